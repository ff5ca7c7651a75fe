#include "language/source_file.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "platform/file_descriptor.h"
#include "platform/heap_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr int kMsgFailedToRead = 66;  // "Failed to map script file."

std::string OpenFailure(int slot, const std::string& path, const std::string& reason)
{
    std::string text = CMessageCatalog::Text(slot);
    // "Failed to open file: " already ends in its blank.
    text += text.ends_with(' ') ? "[" : " [";
    text += path;
    text += "]. ";
    text += reason;
    return text;
}

std::string SystemText(int error)
{
    return std::system_category().message(error);
}

}  // namespace

CSourceFile::CSourceFile(std::string path) : m_path(std::move(path))
{}

CSourceFile::CSourceFile(std::string path, std::string text) : m_path(std::move(path)), m_text(std::move(text))
{
    BuildLineIndex();
    m_open = true;
}

CSourceFile::~CSourceFile() = default;

bool CSourceFile::Open(std::string& errorText)
{
    if (m_open)
        return true;
    // O_NONBLOCK keeps a FIFO put where a script should be from blocking the open; it has no
    // effect on the regular files that are read below.
    CFileDescriptor fd(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) {
        errorText = OpenFailure(kMsgFailedToOpen, m_path, SystemText(errno));
        return false;
    }
    struct stat info
    {};
    if (::fstat(fd.Get(), &info) != 0) {
        errorText = OpenFailure(kMsgFailedToOpen, m_path, SystemText(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errorText = OpenFailure(kMsgFailedToOpen, m_path, "Not a regular file.");
        return false;
    }
    std::string tooLarge = "The file is 2 GiB or larger; pages and scripts must be smaller.";
    if (info.st_size >= kMaxSize) {
        errorText = OpenFailure(kMsgFailedToRead, m_path, tooLarge);
        return false;
    }
    // The size is only a hint: the file may grow or shrink while it is read, so read to its end.
    // The buffer has one byte more than the size, so that the usual read, which comes back short
    // at the end of a regular file, also tells that the end is reached: no second read is needed
    // to find it. Only a file that grew while it was read goes on, in small pieces, until a read
    // gives nothing: files seldom grow, and a spare block read into would have to be cleared and
    // then trimmed again on every run.
    std::string text;
    text.resize(static_cast<size_t>(info.st_size) + 1);
    size_t filled = 0;
    for (;;) {
        if (filled == text.size()) {
            char more[4096];
            ssize_t got = ::read(fd.Get(), more, sizeof more);
            if (got < 0 && errno == EINTR)
                continue;
            if (got == 0)
                break;
            if (got < 0 || text.size() + static_cast<size_t>(got) > static_cast<size_t>(kMaxSize)) {
                errorText = OpenFailure(kMsgFailedToRead, m_path, got < 0 ? SystemText(errno) : tooLarge);
                return false;
            }
            text.append(more, static_cast<size_t>(got));
            filled = text.size();
            continue;
        }
        ssize_t got = ::read(fd.Get(), text.data() + filled, text.size() - filled);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            errorText = OpenFailure(kMsgFailedToRead, m_path, SystemText(errno));
            return false;
        }
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
        if (filled < text.size())
            break;
    }
    text.resize(filled);

    // The same bytes as at the last run: the lines, functions and scanned tokens found in them
    // still hold, so the run goes on from there instead of scanning the file again.
    if (m_text != text) {
        Close();
        m_text = std::move(text);
        BuildLineIndex();
    }
    m_open = true;
    return true;
}

void CSourceFile::Close()
{
    m_open = false;
    m_text.clear();
    m_text.shrink_to_fit();
    m_lineStarts.clear();
    m_indexedEnd = -1;
    m_functions.clear();
    m_programs.clear();
    m_sqlValues.clear();
    m_joinedLiterals.clear();
}

bool CSourceFile::IsPage() const
{
    size_t dot = m_path.rfind('.');
    return dot != std::string::npos && EqualsNoCase(std::string_view(m_path).substr(dot), ".twp");
}

void CSourceFile::BuildLineIndex()
{
    m_lineStarts.clear();
    m_indexedEnd = -1;
    const char* base = m_text.data();
    const char* end = base + m_text.size();
    const char* lineStart = base;
    while (lineStart < end) {
        m_lineStarts.push_back(static_cast<int>(lineStart - base));
        const char* newline = static_cast<const char*>(std::memchr(lineStart, '\n', end - lineStart));
        if (newline == nullptr) {
            // The last line has no line feed; it still holds statements, errors and breakpoints.
            // Its end is the end of the text, where a cursor that ran off the end stands.
            m_indexedEnd = static_cast<int>(m_text.size());
            return;
        }
        m_indexedEnd = static_cast<int>(newline - base);
        lineStart = newline + 1;
    }
}

int CSourceFile::LineOf(int offset) const
{
    if (offset < 0 || offset > m_indexedEnd || m_lineStarts.empty())
        return 0;
    auto after = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), offset);
    return static_cast<int>(after - m_lineStarts.begin());
}

int CSourceFile::LineStart(int offset) const
{
    int line = LineOf(offset);
    return line == 0 ? 0 : m_lineStarts[static_cast<size_t>(line - 1)];
}

CSspFunction* CSourceFile::FindFunction(std::string_view name) const
{
    for (const auto& function : m_functions) {
        if (EqualsNoCase(function->name, name))
            return function.get();
    }
    return nullptr;
}

CSspFunction* CSourceFile::FindFunctionAt(int key) const
{
    for (const auto& function : m_functions) {
        if (function->key == key)
            return function.get();
    }
    return nullptr;
}

CSspFunction& CSourceFile::AddFunction(CSspFunction function)
{
    m_functions.push_back(std::make_unique<CSspFunction>(std::move(function)));
    return *m_functions.back();
}

std::string_view CSourceFile::KeepJoinedLiteral(int start, int spanEnd, std::string raw)
{
    long long key = (static_cast<long long>(start) << 32) | static_cast<unsigned>(spanEnd);
    return m_joinedLiterals.try_emplace(key, std::move(raw)).first->second;
}

namespace {

long long RangeKey(int start, int end)
{
    return (static_cast<long long>(start) << 32) | static_cast<unsigned>(end);
}

}  // namespace

const CSspProgram& CSourceFile::Program(int start, int end, int mode)
{
    std::unique_ptr<CSspProgram>& program = m_programs[RangeKey(start, end)];
    if (!program)
        program = std::make_unique<CSspProgram>(*this, start, end, mode);
    return *program;
}

const CSspListCode& CSourceFile::SqlValue(int start, int end)
{
    std::unique_ptr<CSspListCode>& code = m_sqlValues[RangeKey(start, end)];
    if (!code) {
        try {
            CSspTokenList list;
            int cursor = start;
            CollectTokens(CSspCollector::kSqlValue, *this, cursor, end, list);
            code = std::make_unique<CSspListCode>(list, CSspListCode::Use::kExpression);
        } catch (const CSspException& error) {
            code = std::make_unique<CSspListCode>(error.GetMessage(), error.GetPosition());
        }
    }
    return *code;
}

size_t CSourceFile::CompiledSize() const
{
    size_t size = m_sqlValues.size();
    for (const auto& [range, program] : m_programs)
        size += program->OpCount();
    return size;
}

CKeptSourceFiles& CKeptSourceFiles::OfThisThread()
{
    thread_local CKeptSourceFiles kept;
    return kept;
}

void CKeptSourceFiles::Keep(std::unique_ptr<CSourceFile> file)
{
    Take(file->Path());
    if (!file->IsOpen())
        return;
    const size_t bytes = static_cast<size_t>(file->Size());
    const size_t entries = file->CompiledSize();
    if (bytes > kMaxSourceBytes || entries > kMaxMemoEntries)
        return;
    while (!m_files.empty() && (m_sourceBytes + bytes > kMaxSourceBytes || m_memoEntries + entries > kMaxMemoEntries))
        Take(m_files.begin()->first);
    file->Suspend();
    m_sourceBytes += bytes;
    m_memoEntries += entries;
    std::string path = file->Path();
    m_files.emplace(std::move(path), Entry{std::move(file), bytes, entries});
}

std::unique_ptr<CSourceFile> CKeptSourceFiles::Take(const std::string& path)
{
    auto it = m_files.find(path);
    if (it == m_files.end())
        return nullptr;
    m_sourceBytes -= it->second.sourceBytes;
    m_memoEntries -= it->second.memoEntries;
    std::unique_ptr<CSourceFile> file = std::move(it->second.file);
    m_files.erase(it);
    return file;
}

CSourceFileCache::~CSourceFileCache() = default;

CSourceFile* CSourceFileCache::Get(const std::string& path)
{
    m_errorText.clear();
    auto it = m_files.find(path);
    if (it == m_files.end()) {
        std::unique_ptr<CSourceFile> file = CKeptSourceFiles::OfThisThread().Take(path);
        if (file == nullptr)
            file = std::make_unique<CSourceFile>(path);
        it = m_files.emplace(path, std::move(file)).first;
    }
    if (!it->second->Open(m_errorText))
        return nullptr;
    return it->second.get();
}

void CSourceFileCache::CloseAll()
{
    // A run over large sources leaves large scan memos behind; once they are freed, the heap gives
    // the memory back, so that one big page does not keep the server that much larger for good.
    size_t sourceBytes = 0;
    size_t memoEntries = 0;
    CKeptSourceFiles& kept = CKeptSourceFiles::OfThisThread();
    for (auto& [path, file] : m_files) {
        sourceBytes += static_cast<size_t>(file->Size());
        memoEntries += file->CompiledSize();
        kept.Keep(std::move(file));
    }
    m_files.clear();
    if (sourceBytes >= kLargeSourceBytes || memoEntries >= kLargeMemoEntries)
        ReleaseFreeHeapMemory();
}
