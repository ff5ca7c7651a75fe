// The mail store: every message the system handles is a plain file below "<install>/mail/":
// "outbox" holds messages waiting for the Email Sender (".txt"), "sent" the ones it keeps after
// sending, "failed" the ones it could never send, one folder per POP3 mailbox the received
// messages (".eml"), "deleted" and any folder a script names the received messages moved there.
// Email_Out and the admin mail write outbox files, the Email Sender reads them, the POP3 client
// writes mailbox files and Email_In moves them.
//
// New files are named after the local time of their creation, "%Y%m%d-%H%M%S.<ext>", and
// "<stamp>-<n>.<ext>" (n = 1, 2, ...) when that name is taken. Names are claimed by exclusive
// creation, so two threads that create a file in the same second never share one. Failures are
// logged and reported by the result; nothing is thrown.
#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>

struct CMailFileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// An open mail file, written in binary (line ends are CR LF as the writer puts them).
using MailFile = std::unique_ptr<std::FILE, CMailFileCloser>;

// A folder name that stays below "<root>/mail": not empty, ".", ".." and without separators.
// Every function below refuses other names, as scripts and peers choose folder names.
bool IsMailFolderName(std::string_view folder);

// "<root>/mail/<folder>".
std::string MailFolderPath(std::string_view root, std::string_view folder);

// Creates "<root>/mail" and then "<root>/mail/<folder>" where missing; true when the folder exists.
[[nodiscard]] bool CreateMailFolder(std::string_view root, std::string_view folder);

// Creates a new, empty file named after `now` in "<root>/mail/<folder>", making the folders when
// they are missing; null after a logged failure. `path` receives the file's path.
MailFile CreateMailFile(std::string_view root, std::string_view folder, std::string_view extension, std::string& path,
                        std::time_t now);
MailFile CreateMailFile(std::string_view root, std::string_view folder, std::string_view extension, std::string& path);

// Sort key of a mail file's name "<stamp>[-<n>].<extension>", in the order the files were made:
// the stamp, then n (0 without one), so that "-10" follows "-9" and a later second's first name
// follows the numbered names of the second before. A name of another form sorts by its own text.
std::tuple<std::string, int, std::string> MailFileOrder(const std::string& name);

// Writes `content` as a new file named as CreateMailFile names them, such that no reader ever
// sees it half-written: the bytes go to a hidden temporary file of the folder first, which then
// takes its name in one step. `path` receives the name; false after a logged failure, which
// leaves no file behind.
[[nodiscard]] bool WriteNewMailFile(std::string_view root, std::string_view folder, std::string_view extension,
                                    std::string_view content, std::string& path);

// Removes the hidden temporary files (".new-XXXXXX") that a process killed while writing left in
// the folders of "<root>/mail"; nothing else. Returns the number removed.
int RemoveMailLeftovers(std::string_view root);

// A received message's file in the mailbox's folder.
MailFile CreateInboxFile(std::string_view root, std::string_view mailbox, std::string& path);

// Flushes and closes the file; false when a write failed on the way (disk full), which fclose
// alone would not tell.
[[nodiscard]] bool CloseMailFile(MailFile& file);

// Moves the file at `path` into "<root>/mail/<folder>/" under its own name. A file of that name
// already there is replaced, and the replacement logged. False after a logged failure.
[[nodiscard]] bool MoveMailFile(std::string_view root, const std::string& path, std::string_view folder);
