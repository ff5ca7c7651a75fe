// User function definitions: registering them in their source file and finding one by name.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

#include <new>

CSspFunction& CSspEngine::DeclareFunction(const CSspDefinition& definition)
{
    if (definition.nameFailure)
        definition.nameFailure->Raise();
    if (CSspFunction* known = m_sourceFile->FindFunctionAt(definition.function.key))
        return *known;
    if (m_sourceFile->FindFunction(definition.name.text) != nullptr)
        throw CSspException(CMessageCatalog::Text(kMsgNameUsed) + std::string(definition.name.text),
                            definition.name.start);
    if (definition.failure)
        definition.failure->Raise();
    CSspFunction* added = nullptr;
    try {
        added = m_sourceFile->AddFunction(definition.function);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, 0);
    }
    // Null when a run on another thread declared another function of the name meanwhile.
    if (added == nullptr)
        throw CSspException(CMessageCatalog::Text(kMsgNameUsed) + std::string(definition.name.text),
                            definition.name.start);
    return *added;
}

void CSspEngine::ExecuteDefinition(const CSspOp& op)
{
    // A definition met while running is registered and skipped, never executed in line: the op
    // after it is the one after its endfunction.
    SetCursor(op.next);
    DeclareFunction(*m_program->Detail(op).definition);
}

CSspFunction* CSspEngine::ScanFunctions(std::string_view name)
{
    // The scan walks the whole file from its first byte and leaves the run where it stood.
    struct SavedPlace
    {
        CSspEngine& engine;
        int cursor, end, codeMode;
        ~SavedPlace()
        {
            engine.SetCursor(cursor);
            engine.m_end = end;
            engine.m_codeMode = codeMode;
        }
    } saved{*this, Cursor(), m_end, m_codeMode};

    m_codeMode = m_sourceFile->IsPage() ? kTextMode : kStatementMode;
    m_end = m_sourceFile->Size();
    SetCursor(0);
    while (SkipToFunction()) {
        int key = Cursor() - 8;  // the cursor stands just after "function"
        if (EqualsNoCase(PeekToken().text, name))
            return &DeclareFunction(ReadDefinition(*m_sourceFile, key, m_end));
    }
    return nullptr;
}

bool CSspEngine::SkipToFunction()
{
    for (;;) {
        CSspToken token = ReadSkippedToken();
        if (token.text.empty())
            return false;
        if (EqualsNoCase(token.text, "function"))
            return true;
    }
}

CSspToken CSspEngine::ReadSkippedToken()
{
    while (Cursor() < m_end) {
        if (m_codeMode == kTextMode) {
            std::string_view skipped;
            int cursor = Cursor();
            m_codeMode = ReadText(m_sourceFile->Text(), cursor, m_end, skipped, false);
            SetCursor(cursor);
            continue;
        }
        CSspToken token = ReadToken();
        if (token.text != "}--")
            return token;
        CloseCodeBlock();
    }
    return CSspToken{{}, Cursor()};
}
