// Where a run stands and what it shows when it fails: the error report, the run's own error page,
// the lines and watch values the debugger asks for and the position of a hung run.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "platform/file_system.h"

#include <system_error>

namespace {

std::string_view SourceLineAt(std::string_view text, int lineStart)
{
    std::string_view rest = text.substr(static_cast<size_t>(lineStart));
    return rest.substr(0, rest.find_first_of("\r\n"));
}

}  // namespace

const std::string& CSspEngine::FormatError(std::string_view message, int position)
{
    if (m_sourceFile == nullptr || position < 0 || position > m_sourceFile->Size() || m_sourceFile->Size() == 0) {
        m_errorText = message;
        return m_errorText;
    }
    // Errors found at the end of the file (a block or an if left open) point at its last character,
    // so that the report names the file and its last line.
    if (position == m_sourceFile->Size())
        position = m_sourceFile->Size() - 1;
    m_errorPosition = position;
    int line = m_sourceFile->LineOf(position);
    int lineStart = m_sourceFile->LineStart(position);
    int column = position - lineStart + 1;  // a tab is one column; a CR is a column of its line

    std::string report = m_filePath;
    report += " (";
    report += std::to_string(line);
    report += ',';
    report += std::to_string(column);
    report += "): \r\n";
    // The line shown is the one that holds the position, also when the position is its line feed.
    report += SourceLineAt(m_sourceFile->Text(), lineStart);
    report += "\r\n\r\n";
    // The message as written: the report is shown and logged as text, never used as a format.
    report += message;
    m_errorText = std::move(report);
    return m_errorText;
}

void CSspEngine::SetErrorFile(std::string_view path)
{
    CScriptFileName name = ResolveScriptFile(path, !path.empty() && path.front() == '/');
    m_errorFileUrl = std::move(name.url);
    m_errorFilePath = std::move(name.file);
}

CSspEngine::CScriptFileName CSspEngine::ResolveScriptFile(std::string_view path, bool rooted) const
{
    // Scripts pass on text that browsers send, so a path may hold any number of "..": they are
    // resolved before the base folder is put in front, which they then can never climb out of. A
    // zero byte ends the path, as it would end the name the system is given.
    path = path.substr(0, path.find('\0'));
    const std::string webroot = GetProgramDirectory() + "/webroot";
    std::string base = webroot;
    std::string relative;
    if (!rooted) {
        std::string folder = m_filePath.substr(0, m_filePath.rfind('/') + 1);
        if (folder.starts_with(webroot + "/"))
            relative = folder.substr(webroot.size() + 1);
        else
            base = folder.empty() ? "." : folder.substr(0, folder.size() - 1);
    }
    relative += path;
    // Pages written for other systems may separate folders with backslashes.
    for (char& c : relative) {
        if (c == '\\')
            c = '/';
    }
    size_t first = relative.find_first_not_of('/');
    relative.erase(0, first == std::string::npos ? relative.size() : first);

    CScriptFileName name;
    name.url = CanonicalizeRelativePath(rooted ? std::string(path) : m_urlDirectory + std::string(path));
    name.file = base + "/" + CanonicalizeRelativePath(relative);
    return name;
}

int CSspEngine::GetLineNumber() const
{
    return m_sourceFile ? m_sourceFile->LineOf(Cursor()) : 0;
}

int CSspEngine::GetLineNumber(std::string_view fileName) const
{
    int line = 0;
    for (const CSspEngine* engine = m_top; engine != nullptr; engine = engine->RunningChild()) {
        if (EqualsNoCase(engine->m_filePath, fileName))
            line = engine->GetLineNumber();
    }
    return line;
}

bool CSspEngine::LineOpensCode() const
{
    if (m_sourceFile == nullptr || m_sourceFile->LineOf(Cursor()) == 0)
        return false;
    std::string_view rest = m_sourceFile->Text().substr(static_cast<size_t>(m_sourceFile->LineStart(Cursor())));
    std::string_view line = rest.substr(0, rest.find('\n'));
    return line.find("--{") != std::string_view::npos;
}

std::string CSspEngine::EvalWatch(std::string_view expression)
{
    // In parentheses, the text is collected as an argument list is: it ends at its closing
    // parenthesis whatever follows, and a statement keyword or ";" in it is an error.
    CSourceFile watch(m_filePath, "(" + std::string(expression) + ")");
    struct WatchScope
    {
        bool& flag;
        explicit WatchScope(bool& on) : flag(on) { flag = true; }
        ~WatchScope() { flag = false; }
    } scope(m_evaluatingWatch);
    try {
        CSspTokenList list;
        int cursor = 0;
        CollectTokens(CSspCollector::kArguments, watch, cursor, watch.Size(), list);
        CSspValue value;
        EvalExpression(CSspListCode(list, CSspListCode::Use::kExpression), value);
        return value.ToString();
    } catch (const CSspException& error) {
        return error.GetMessage();
    } catch (const std::system_error& error) {
        return error.what();
    } catch (...) {
        return "Unknown error in " + m_filePath + ".";
    }
}

std::vector<std::string> CSspEngine::HangPosition() const
{
    std::vector<std::string> lines;
    if (m_top->Cursor() <= m_top->m_start)
        return lines;
    for (const CSspEngine* engine = m_top; engine != nullptr;) {
        const CSspEngine* child = engine->RunningChild();
        std::string line = "File: " + engine->m_filePath;
        line += child ? " called a function at offset " : " hanged before offset ";
        line += std::to_string(engine->Cursor());
        line += '.';
        lines.push_back(std::move(line));
        engine = child;
    }
    return lines;
}

void CSspEngine::LogHangPosition() const
{
    for (const std::string& line : HangPosition())
        TheLog().WriteText(line);
}
