#include "mail/mail_store.h"

#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "platform/directory_listing.h"
#include "platform/file_descriptor.h"
#include "platform/file_system.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMsgReplacedOnMove = 23;  // " will be deleted because a new file with same name ..."
// Enough for every file a second could bring; past it the folder is taken to be broken.
constexpr int kMaxNameSuffix = 100000;
// The dot keeps a file being written out of every listing of mail files, which go by extension.
constexpr const char* kTemporaryPrefix = ".new-";

std::string TimeStamp(std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// Claims the first free name of the stamp in the folder: `claim` makes the file under the name
// it is given and fails with EEXIST when the name is taken. Returns what the last claim returned
// (-1 with errno set when no name could be had).
template <class Claim>
int ClaimFirstFreeName(const std::string& folderPath, const std::string& stamp, std::string_view extension,
                       std::string& path, Claim claim)
{
    for (int suffix = 0; suffix <= kMaxNameSuffix; ++suffix) {
        path = folderPath + "/" + stamp;
        if (suffix > 0)
            path += "-" + std::to_string(suffix);
        path += ".";
        path += extension;
        int result = claim(path);
        if (result >= 0 || errno != EEXIST)
            return result;
    }
    errno = EEXIST;
    return -1;
}

int CreateFirstFreeName(const std::string& folderPath, const std::string& stamp, std::string_view extension,
                        std::string& path)
{
    return ClaimFirstFreeName(folderPath, stamp, extension, path, [](const std::string& candidate) {
        return ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    });
}

// A new hidden file in the folder holding `content`; its path, or "" with errno set.
std::string WriteTemporaryFile(const std::string& folderPath, std::string_view content)
{
    std::string path = folderPath + "/" + kTemporaryPrefix + "XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return {};
    bool written = WriteAll(fd, content);
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(path.c_str());
        errno = error;
        return {};
    }
    return path;
}

MailFile OpenDescriptor(int fd)
{
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr)
        ::close(fd);
    return MailFile(file);
}

// A move that fails with EEXIST instead of replacing the target, so that a replacement is seen
// and logged. Where the file system cannot refuse to replace, the target is looked at first.
int MoveWithoutReplacing(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    struct stat status;
    if (::lstat(to.c_str(), &status) == 0)
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

bool IsMailFolderName(std::string_view folder)
{
    if (folder.empty() || folder == "." || folder == "..")
        return false;
    return folder.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string MailFolderPath(std::string_view root, std::string_view folder)
{
    std::string path(root);
    path += "/mail/";
    path += folder;
    return path;
}

bool CreateMailFolder(std::string_view root, std::string_view folder)
{
    if (!IsMailFolderName(folder))
        return false;
    return CreateDirectoryIfMissing(std::string(root) + "/mail") &&
           CreateDirectoryIfMissing(MailFolderPath(root, folder));
}

MailFile CreateMailFile(std::string_view root, std::string_view folder, std::string_view extension, std::string& path,
                        std::time_t now)
{
    const std::string folderPath = MailFolderPath(root, folder);
    if (!IsMailFolderName(folder)) {
        TheLog().WriteLine("Failed to create mail folders: %s", folderPath.c_str());
        path.clear();
        return nullptr;
    }
    const std::string stamp = TimeStamp(now);
    int fd = CreateFirstFreeName(folderPath, stamp, extension, path);
    if (fd < 0) {
        // Usually the folders are missing: a new installation, or a mailbox fetched the first time.
        if (!CreateMailFolder(root, folder)) {
            TheLog().WriteLine("Failed to create mail folders: %s", folderPath.c_str());
            path.clear();
            return nullptr;
        }
        fd = CreateFirstFreeName(folderPath, stamp, extension, path);
    }
    MailFile file = fd >= 0 ? OpenDescriptor(fd) : nullptr;
    if (!file) {
        TheLog().WriteLine("Failed to create %s", path.c_str());
        path.clear();
    }
    return file;
}

MailFile CreateMailFile(std::string_view root, std::string_view folder, std::string_view extension, std::string& path)
{
    return CreateMailFile(root, folder, extension, path, std::time(nullptr));
}

std::tuple<std::string, int, std::string> MailFileOrder(const std::string& name)
{
    std::string_view stem(name);
    stem = stem.substr(0, stem.rfind('.'));
    const size_t dash = stem.rfind('-');
    int suffix = 0;
    // The stamp itself holds one dash; only a second one starts a suffix.
    if (dash != std::string_view::npos && stem.find('-') != dash) {
        const char* first = stem.data() + dash + 1;
        const char* last = stem.data() + stem.size();
        auto [end, error] = std::from_chars(first, last, suffix);
        if (error == std::errc() && end == last)
            stem = stem.substr(0, dash);
        else
            suffix = 0;
    }
    return {std::string(stem), suffix, name};
}

bool WriteNewMailFile(std::string_view root, std::string_view folder, std::string_view extension,
                      std::string_view content, std::string& path)
{
    const std::string folderPath = MailFolderPath(root, folder);
    path.clear();
    if (!CreateMailFolder(root, folder)) {
        TheLog().WriteLine("Failed to create mail folders: %s", folderPath.c_str());
        return false;
    }
    const std::string temporary = WriteTemporaryFile(folderPath, content);
    if (temporary.empty()) {
        TheLog().WriteLine("Failed to create a file in %s. %s", folderPath.c_str(), GetSystemErrorText(errno).c_str());
        return false;
    }
    // link() gives the finished file its name in one step and, unlike rename, never replaces a
    // file that took the name meanwhile.
    const int linked = ClaimFirstFreeName(
        folderPath, TimeStamp(std::time(nullptr)), extension, path,
        [&temporary](const std::string& candidate) { return ::link(temporary.c_str(), candidate.c_str()); });
    const int error = errno;
    ::unlink(temporary.c_str());
    if (linked < 0) {
        TheLog().WriteLine("Failed to create %s. %s", path.c_str(), GetSystemErrorText(error).c_str());
        path.clear();
        return false;
    }
    return true;
}

MailFile CreateInboxFile(std::string_view root, std::string_view mailbox, std::string& path)
{
    return CreateMailFile(root, mailbox, "eml", path);
}

bool CloseMailFile(MailFile& file)
{
    if (!file)
        return false;
    bool written = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    written = std::fclose(file.release()) == 0 && written;
    return written;
}

bool MoveMailFile(std::string_view root, const std::string& path, std::string_view folder)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        TheLog().WriteLine("Failed to find the file name when moving files");
        return false;
    }
    if (!CreateMailFolder(root, folder)) {
        TheLog().WriteLine("Failed to create deleted mail folder");
        return false;
    }
    const std::string target = MailFolderPath(root, folder) + path.substr(slash);
    int error = MoveWithoutReplacing(path, target);
    if (error == 0)
        return true;
    // Only a file that is really in the way is removed: deleting the target for any other
    // failure (a missing source, say) would lose a message and move nothing in its place.
    if (error == EEXIST) {
        TheLog().WriteLine("%s %s %s", GetSystemErrorText(error).c_str(), target.c_str(),
                           CMessageCatalog::Text(kMsgReplacedOnMove));
        if (!DeleteFileForced(target))
            TheLog().WriteLine("Failed to delete %s. %s", target.c_str(), GetSystemErrorText(errno).c_str());
        error = ::rename(path.c_str(), target.c_str()) == 0 ? 0 : errno;
        if (error == 0)
            return true;
    }
    TheLog().WriteLine("Failed to move %s to %s. %s", path.c_str(), target.c_str(), GetSystemErrorText(error).c_str());
    return false;
}

int RemoveMailLeftovers(std::string_view root)
{
    const std::string mailRoot = std::string(root) + "/mail";
    CDirectoryListing listing(mailRoot);
    int removed = 0;
    while (const char* name = listing.NextName()) {
        if (IsMailFolderName(name))
            removed += RemoveTemporaryLeftovers(mailRoot + "/" + name, kTemporaryPrefix);
    }
    return removed;
}
