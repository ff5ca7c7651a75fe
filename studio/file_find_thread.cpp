#include "studio/file_find_thread.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/ascii_text.h"
#include "platform/directory_listing.h"
#include "platform/file_system.h"
#include "studio/extension_list.h"

namespace {

// The whole file, mapped read-only for the life of the object.
class CMappedFile
{
public:
    explicit CMappedFile(const std::string& path)
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            m_error = errno;
            return;
        }
        struct stat status
        {};
        if (fstat(fd, &status) != 0) {
            m_error = errno;
        } else if (status.st_size > 0) {
            // A file of no bytes cannot be mapped (mmap refuses a length of 0); it is simply a
            // file without hits.
            void* data = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (data == MAP_FAILED) {
                m_error = errno;
            } else {
                m_data = static_cast<const char*>(data);
                m_size = static_cast<std::size_t>(status.st_size);
                madvise(data, m_size, MADV_SEQUENTIAL);
            }
        }
        close(fd);
    }
    ~CMappedFile()
    {
        if (m_data != nullptr)
            munmap(const_cast<char*>(m_data), m_size);
    }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    // The open or the mapping failed (Error() says why).
    bool Failed() const { return m_error != 0; }
    const char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }
    int Error() const { return m_error; }

private:
    const char* m_data = nullptr;
    std::size_t m_size = 0;
    int m_error = 0;
};

bool MatchesAt(const char* data, std::size_t size, std::size_t at, const std::string& lowerText)
{
    if (lowerText.size() > size - at)
        return false;
    for (std::size_t i = 0; i < lowerText.size(); ++i)
        if (ToLowerAscii(data[at + i]) != lowerText[i])
            return false;
    return true;
}

// Anything but a regular file (a linked folder, a FIFO that would block the search, a device) is
// passed over; a file that cannot even be looked at is left to the search to report.
bool IsSearchable(const std::string& path)
{
    struct stat status
    {};
    return stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode);
}

}  // namespace

void CFileFindThread::SetArguments(std::string what, std::string_view types, std::string folder,
                                   const std::atomic<int>* stop, Poster post)
{
    m_hits = 0;
    m_searched = 0;
    m_what = std::move(what);
    m_whatLower = LowerAscii(m_what);
    m_extensions = ParseExtensionList(types);
    m_folder = std::move(folder);
    m_stop = stop;
    m_post = std::move(post);
}

bool CFileFindThread::InitInstance()
{
    Post("{");
    if (!m_what.empty())
        Walk(m_folder);
    if (Stopped())
        Post("User canceled find in files.");
    Post(std::to_string(m_hits.load()) + " occurrence(s) have been found");
    Post("}");
    return false;
}

void CFileFindThread::Post(std::string text) const
{
    if (m_post && !text.empty())
        m_post(std::move(text));
}

void CFileFindThread::ReportProgress(const std::string& folder) const
{
    if (m_progress)
        m_progress(m_searched, folder);
}

void CFileFindThread::Walk(std::string folder)
{
    const std::string where = folder;
    ReportProgress(where);
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    CDirectoryListing directory(folder.empty() ? "." : folder);
    if (!directory.IsOpen()) {
        Post("Root folder not found or the folder is empty.");
        return;
    }
    while (const char* entry = directory.NextName()) {
        const std::string name = entry;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + name;
        // Links to folders are not followed: one that points upwards would never end the walk.
        struct stat status
        {};
        if (lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            Walk(path);
        else if ((m_extensions.empty() || MatchesExtension(m_extensions, name)) && IsSearchable(path)) {
            SearchFile(path);
            ++m_searched;
            ReportProgress(where);
        }
        if (Stopped())
            return;
    }
}

void CFileFindThread::SearchFile(const std::string& path)
{
    const CMappedFile file(path);
    if (file.Failed()) {
        Post(path + ": " + GetSystemErrorText(file.Error()));
        return;
    }
    const char* data = file.Data();
    const std::size_t size = file.Size();
    int line = 1;
    std::string lineText;
    std::size_t p = 0;
    while (p < size && !Stopped()) {
        if (MatchesAt(data, size, p, m_whatLower)) {
            std::size_t end = p;
            while (end < size && data[end] != '\r' && data[end] != '\n')
                ++end;
            lineText.append(data + p, end - p);
            Post(path + " (" + std::to_string(line) + "): " + lineText);
            ++m_hits;
            // One result per line, however often the text occurs in it.
            p = end;
            continue;
        }
        const char c = data[p];
        if (c == '\n') {
            ++line;
            lineText.clear();
        } else if (c == '\0') {
            Post("Skipping " + path + " because it is a binary file");
            return;
        } else if (c != '\r') {
            lineText += c;
        }
        ++p;
    }
}
