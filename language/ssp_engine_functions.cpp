// User function definitions: registering them in their source file and finding one by name.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

#include <new>

namespace {

constexpr const char* kFunctionSyntax = "Syntax: function name(paramter 1, parameter 2, ...)";
constexpr const char* kMissingEndFunction = "Function must end with \"endfunction\" statement.";

bool IsAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

CSspFunction& CSspEngine::DeclareFunction(int key)
{
    CSspToken name = ReadToken();
    if (CSspFunction* known = m_sourceFile->FindFunctionAt(key)) {
        SetCursor(known->end);
        return *known;
    }
    if (m_sourceFile->FindFunction(name.text) != nullptr)
        throw CSspException(CMessageCatalog::Text(kMsgNameUsed) + std::string(name.text), name.start);

    // The record joins the file only once it is complete: a definition that fails here must not
    // leave behind a record that a later pass would jump through.
    CSspFunction function;
    function.key = key;
    function.name = name.text;
    if (ReadToken().text != "(")
        throw CSspException(kFunctionSyntax, key);
    for (;;) {
        CSspToken parameter = ReadToken();
        if (parameter.text == ")")
            break;
        if (parameter.text == ",")
            continue;
        if (parameter.text.empty() || parameter.text == ";" || parameter.text == "}--" ||
            !IsAsciiAlnum(parameter.text.front()))
            throw CSspException(kFunctionSyntax, key);
        function.parameters.emplace_back(parameter.text);
    }
    CSspToken token = ReadToken();
    function.bodyStart = token.start;
    while (!EqualsNoCase(token.text, "endfunction")) {
        if (token.text.empty() || token.text == "}--")
            throw CSspException(kMissingEndFunction, key);
        token = ReadToken();
    }
    function.endKeyword = token.start;
    function.end = Cursor();
    try {
        return m_sourceFile->AddFunction(std::move(function));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, 0);
    }
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
            return &DeclareFunction(key);
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
