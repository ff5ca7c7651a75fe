#include "language/source_file.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "platform/file_descriptor.h"
#include "platform/heap_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
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

long long Nanoseconds(const timespec& time)
{
    return static_cast<long long>(time.tv_sec) * 1'000'000'000LL + time.tv_nsec;
}

// The stamp of the file that info describes, settled when its last status change lies far enough
// before now, taken before info was.
CSourceFileStamp StampOf(const struct stat& info, long long now)
{
    CSourceFileStamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = Nanoseconds(info.st_mtim);
    stamp.changed = Nanoseconds(info.st_ctim);
    stamp.settled = stamp.changed < now - CSourceFileStamp::kSettledNanoseconds;
    return stamp;
}

long long Now()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

}  // namespace

CSourceFile::CSourceFile(std::string path) : m_path(std::move(path))
{}

CSourceFile::CSourceFile(std::string path, std::string text) : m_path(std::move(path)), m_text(std::move(text))
{
    BuildLineIndex();
}

CSourceFile::~CSourceFile() = default;

bool CSourceFileStamp::SameFile(const CSourceFileStamp& other) const
{
    return device == other.device && inode == other.inode && size == other.size && modified == other.modified &&
           changed == other.changed;
}

bool CSourceFile::Read(const std::string& path, std::string& text, CSourceFileStamp& stamp, std::string& errorText)
{
    // O_NONBLOCK keeps a FIFO put where a script should be from blocking the open; it has no
    // effect on the regular files that are read below.
    CFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) {
        errorText = OpenFailure(kMsgFailedToOpen, path, SystemText(errno));
        return false;
    }
    struct stat info
    {};
    const long long now = Now();
    if (::fstat(fd.Get(), &info) != 0) {
        errorText = OpenFailure(kMsgFailedToOpen, path, SystemText(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errorText = OpenFailure(kMsgFailedToOpen, path, "Not a regular file.");
        return false;
    }
    std::string tooLarge = "The file is 2 GiB or larger; pages and scripts must be smaller.";
    if (info.st_size >= kMaxSize) {
        errorText = OpenFailure(kMsgFailedToRead, path, tooLarge);
        return false;
    }
    // The size is only a hint: the file may grow or shrink while it is read, so read to its end.
    // The buffer has one byte more than the size, so that the usual read, which comes back short
    // at the end of a regular file, also tells that the end is reached: no second read is needed
    // to find it. Only a file that grew while it was read goes on, in small pieces, until a read
    // gives nothing: files seldom grow, and a spare block read into would have to be cleared and
    // then trimmed again on every run.
    text.clear();
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
                errorText = OpenFailure(kMsgFailedToRead, path, got < 0 ? SystemText(errno) : tooLarge);
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
            errorText = OpenFailure(kMsgFailedToRead, path, SystemText(errno));
            return false;
        }
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
        if (filled < text.size())
            break;
    }
    text.resize(filled);
    stamp = StampOf(info, now);
    return true;
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
    const std::lock_guard<std::mutex> lock(m_lock);
    return FindFunctionLocked(name);
}

CSspFunction* CSourceFile::FindFunctionAt(int key) const
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return FindFunctionAtLocked(key);
}

CSspFunction* CSourceFile::FindFunctionLocked(std::string_view name) const
{
    for (const auto& function : m_functions) {
        if (EqualsNoCase(function->name, name))
            return function.get();
    }
    return nullptr;
}

CSspFunction* CSourceFile::FindFunctionAtLocked(int key) const
{
    for (const auto& function : m_functions) {
        if (function->key == key)
            return function.get();
    }
    return nullptr;
}

CSspFunction* CSourceFile::AddFunction(CSspFunction function)
{
    // Runs on two threads may both have found the definition missing.
    const std::lock_guard<std::mutex> lock(m_lock);
    if (CSspFunction* known = FindFunctionAtLocked(function.key))
        return known;
    if (FindFunctionLocked(function.name) != nullptr)
        return nullptr;
    m_functions.push_back(std::make_unique<CSspFunction>(std::move(function)));
    return m_functions.back().get();
}

std::string_view CSourceFile::KeepJoinedLiteral(int start, int spanEnd, std::string raw)
{
    long long key = (static_cast<long long>(start) << 32) | static_cast<unsigned>(spanEnd);
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_joinedLiterals.try_emplace(key, std::move(raw)).first->second;
}

namespace {

long long RangeKey(int start, int end)
{
    return (static_cast<long long>(start) << 32) | static_cast<unsigned>(end);
}

}  // namespace

// Code is compiled outside the lock, which compiling takes for the literals it keeps; when two
// runs compile the same code at once, the first one kept is used by both.
const CSspProgram& CSourceFile::Program(int start, int end, int mode, const CSspFunction* function)
{
    const long long key = RangeKey(start, end);
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (auto it = m_programs.find(key); it != m_programs.end())
            return *it->second;
    }
    auto program = std::make_unique<CSspProgram>(*this, start, end, mode, function);
    const size_t ops = program->OpCount();
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto [kept, added] = m_programs.try_emplace(key, std::move(program));
    if (added)
        m_compiledSize += ops;
    return *kept->second;
}

const CSspListCode& CSourceFile::SqlValue(int start, int end)
{
    const long long key = RangeKey(start, end);
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (auto it = m_sqlValues.find(key); it != m_sqlValues.end())
            return *it->second;
    }
    CSspListCodePtr code;
    std::pmr::memory_resource* heap = std::pmr::get_default_resource();
    try {
        CSspTokenList list;
        int cursor = start;
        CollectTokens(CSspCollector::kSqlValue, *this, cursor, end, list);
        code = MakeListCode(heap, list, CSspListCode::Use::kExpression, nullptr, false, 0);
    } catch (const CSspException& error) {
        code = MakeListCode(heap, error.GetMessage(), error.GetPosition());
    }
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto [kept, added] = m_sqlValues.try_emplace(key, std::move(code));
    if (added)
        ++m_compiledSize;
    return *kept->second;
}

size_t CSourceFile::CompiledSize() const
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_compiledSize;
}

CKeptSourceFiles& CKeptSourceFiles::Instance()
{
    static CKeptSourceFiles kept;
    return kept;
}

std::shared_ptr<CSourceFile> CKeptSourceFiles::GetUnchanged(const std::string& path)
{
    std::shared_ptr<CSourceFile> kept;
    CSourceFileStamp stamp;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_files.find(path);
        if (it == m_files.end() || !it->second.stamp.settled)
            return nullptr;
        kept = it->second.file;
        stamp = it->second.stamp;
        m_uses.splice(m_uses.begin(), m_uses, it->second.use);
    }
    // Asked outside the lock: the file system is slow beside the lock's other users.
    struct stat info
    {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !StampOf(info, 0).SameFile(stamp))
        return nullptr;
    return kept;
}

std::shared_ptr<CSourceFile> CKeptSourceFiles::Get(const std::string& path, std::string text,
                                                   const CSourceFileStamp& stamp)
{
    std::shared_ptr<CSourceFile> kept;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (auto it = m_files.find(path); it != m_files.end()) {
            kept = it->second.file;
            m_uses.splice(m_uses.begin(), m_uses, it->second.use);
        }
    }
    // Compared outside the lock: the kept bytes never change.
    if (kept && kept->Text() == text) {
        // The newer stamp may have settled; the next run then needs no read.
        const std::lock_guard<std::mutex> lock(m_lock);
        if (auto it = m_files.find(path); it != m_files.end() && it->second.file == kept)
            it->second.stamp = stamp;
        return kept;
    }
    auto file = std::make_shared<CSourceFile>(path, std::move(text));
    if (static_cast<size_t>(file->Size()) > kMaxFileBytes) {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (auto it = m_files.find(path); it != m_files.end())
            Drop(it);
        return file;
    }
    const std::lock_guard<std::mutex> lock(m_lock);
    if (auto it = m_files.find(path); it != m_files.end())
        Drop(it);
    m_uses.push_front(path);
    m_files.emplace(path, Entry{file, stamp, 0, m_uses.begin()});
    m_sourceBytes += static_cast<size_t>(file->Size());
    Trim();
    return file;
}

void CKeptSourceFiles::Release(const std::shared_ptr<CSourceFile>& file)
{
    const size_t entries = file->CompiledSize();
    const std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_files.find(file->Path());
    if (it == m_files.end() || it->second.file != file)
        return;
    if (entries > kMaxFileEntries) {
        Drop(it);
        return;
    }
    m_entries = m_entries - it->second.entries + entries;
    it->second.entries = entries;
    Trim();
}

bool CKeptSourceFiles::Holds(const std::string& path) const
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_files.contains(path);
}

void CKeptSourceFiles::Drop(std::unordered_map<std::string, Entry>::iterator it)
{
    m_sourceBytes -= static_cast<size_t>(it->second.file->Size());
    m_entries -= it->second.entries;
    m_uses.erase(it->second.use);
    m_files.erase(it);
}

void CKeptSourceFiles::Trim()
{
    // The most recently used file stays, whatever its size: the run that uses it holds it anyway.
    while (m_files.size() > 1 && (m_sourceBytes > kMaxSourceBytes || m_entries > kMaxEntries))
        Drop(m_files.find(m_uses.back()));
}

CSourceFileCache::~CSourceFileCache() = default;

CSourceFile* CSourceFileCache::Get(const std::string& path)
{
    m_errorText.clear();
    if (auto it = m_files.find(path); it != m_files.end())
        return it->second.get();
    CKeptSourceFiles& kept = CKeptSourceFiles::Instance();
    std::shared_ptr<CSourceFile> file = kept.GetUnchanged(path);
    if (!file) {
        std::string text;
        CSourceFileStamp stamp;
        if (!CSourceFile::Read(path, text, stamp, m_errorText))
            return nullptr;
        file = kept.Get(path, std::move(text), stamp);
    }
    return m_files.emplace(path, std::move(file)).first->second.get();
}

void CSourceFileCache::CloseAll()
{
    // A run over large sources leaves large compiled code behind; once it is freed, the heap gives
    // the memory back, so that one big page does not keep the server that much larger for good.
    if (m_files.empty())
        return;
    size_t sourceBytes = 0;
    size_t memoEntries = 0;
    CKeptSourceFiles& kept = CKeptSourceFiles::Instance();
    for (auto& [path, file] : m_files) {
        sourceBytes += static_cast<size_t>(file->Size());
        memoEntries += file->CompiledSize();
        kept.Release(file);
    }
    m_files.clear();
    if (sourceBytes >= kLargeSourceBytes || memoEntries >= kLargeMemoEntries)
        ReleaseFreeHeapMemory();
}
