// The pages and scripts that runs read. CSourceFile holds one file's bytes in an immutable buffer,
// the index of its lines, the user functions found in it and the code compiled from it; the
// engine's cursor and every token point into that buffer. CSourceFileCache reads each file once
// per top-level run and is shared by the run's nested engines; the next run reads the file again,
// so an edited file takes effect on the next run. Reading (not mapping) the file means that a file
// saved while a run uses it cannot change or pull away the bytes under the cursor.
//
// The files are kept between runs by CKeptSourceFiles, one store for every thread: a file read
// again with the same bytes is the same CSourceFile, with what earlier runs of any thread compiled
// in it. So the cost of a site's pages is paid once per page, not once per page and thread, and
// their memory grows with the site, not with the threads.
#pragma once

#include "language/ssp_function.h"
#include "language/ssp_list_code.h"
#include "language/ssp_program.h"

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What the file system tells of a file without reading it. A file whose stamp is the same as when
// its bytes were read still holds those bytes, provided that the stamp was settled then: its status
// change time (which every write moves and nobody can set back) lay further in the past than the
// coarsest time stamps of a file system, so that a write after the read cannot leave it as it was.
struct CSourceFileStamp
{
    static constexpr long long kSettledNanoseconds = 3'000'000'000LL;

    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = -1;
    long long modified = 0;  // nanoseconds since 1970
    long long changed = 0;   // status change, nanoseconds since 1970
    bool settled = false;

    bool SameFile(const CSourceFileStamp& other) const;
};

class CSourceFile
{
public:
    // Offsets are 32-bit throughout the engine, so a file must stay below 2 GiB.
    static constexpr long long kMaxSize = 0x7fffffffLL;

    explicit CSourceFile(std::string path);
    // The file of path with text as its bytes; also an expression that the debugger has a paused
    // run evaluate, scanned like the run's own source.
    CSourceFile(std::string path, std::string text);
    ~CSourceFile();
    CSourceFile(const CSourceFile&) = delete;
    CSourceFile& operator=(const CSourceFile&) = delete;

    // Reads the whole file at path into text and its stamp, as it stood before the read; false when
    // it is not readable, and errorText then says why, in the form "<what> [<path>]. <reason>".
    [[nodiscard]] static bool Read(const std::string& path, std::string& text, CSourceFileStamp& stamp,
                                   std::string& errorText);

    const std::string& Path() const { return m_path; }
    // True for a .twp page (extension compared without regard to case); such files start in text.
    bool IsPage() const;

    std::string_view Text() const { return m_text; }
    int Size() const { return static_cast<int>(m_text.size()); }

    // The 1-based line that holds offset (a line feed belongs to the line it ends; the last line
    // counts also without a final line feed), or 0 when no line holds it.
    int LineOf(int offset) const;
    // The offset of the first byte of the line that holds offset; 0 when no line holds it.
    int LineStart(int offset) const;
    int LineCount() const { return static_cast<int>(m_lineStarts.size()); }

    // The first function whose name equals name without regard to case, or null.
    CSspFunction* FindFunction(std::string_view name) const;
    CSspFunction* FindFunctionAt(int key) const;
    // Adds function, unless one was added at its key meanwhile (then that one is the result) or
    // one of its name was (then the result is null: the name is used).
    CSspFunction* AddFunction(CSspFunction function);

    // Keeps the raw text of a string literal that was joined from several pieces and so is no slice
    // of the buffer. Keyed by the literal's source span, so scanning a loop body again reuses the
    // same text instead of growing the store on every pass.
    std::string_view KeepJoinedLiteral(int start, int spanEnd, std::string raw);

    // The compiled program of the text [start, end) entered in mode (the whole file, or the body
    // of function), compiled on first use.
    const CSspProgram& Program(int start, int end, int mode, const CSspFunction* function = nullptr);
    // The compiled value of an sql statement's script expression in [start, end); a list that cannot
    // be collected gives the code that raises the collector's error.
    const CSspListCode& SqlValue(int start, int end);
    // How many ops and values have been compiled for the file.
    size_t CompiledSize() const;

private:
    void BuildLineIndex();
    CSspFunction* FindFunctionLocked(std::string_view name) const;
    CSspFunction* FindFunctionAtLocked(int key) const;

    const std::string m_path;       // in the caller's spelling
    const std::string m_text;       // the file's bytes
    std::vector<int> m_lineStarts;  // offset of each line's first byte
    int m_indexedEnd = -1;          // last offset that belongs to an indexed line
    // Runs on any thread find functions and compile code as they reach them; what they add is
    // never changed or removed while the file lives, so what they were given stays valid.
    mutable std::mutex m_lock;  // guards everything below
    std::vector<std::unique_ptr<CSspFunction>> m_functions;
    std::unordered_map<long long, std::string> m_joinedLiterals;
    // Compiled code by the bounds it covers.
    std::unordered_map<long long, std::unique_ptr<CSspProgram>> m_programs;
    std::unordered_map<long long, CSspListCodePtr> m_sqlValues;
    // What CompiledSize tells, counted as code is kept: every run's end asks for it, and walking
    // the compiled code of a page that is not in the processor's caches costs a miss per program.
    size_t m_compiledSize = 0;
};

// The source files that runs have read, kept after each run with the code compiled from them and
// the functions found in them, for every thread. Compiling a page costs a good part of a short run;
// a page run again (the usual case on a server) is compiled again only when it changed. Whether it
// did is told by its stamp when that settled; a file changed lately is read and compared byte for
// byte, so that an edit that leaves size and time stamps as they were is seen too. A run that holds a file keeps it alive while a newer version takes
// its place. Bounded in source bytes and compiled entries, the least recently used files going
// first, so that many or big pages cannot keep much memory; a file beyond the bound for one file
// is not kept at all.
class CKeptSourceFiles
{
public:
    static constexpr size_t kMaxFileBytes = size_t{256} << 10;
    static constexpr size_t kMaxFileEntries = 65536;
    static constexpr size_t kMaxSourceBytes = size_t{32} << 20;
    static constexpr size_t kMaxEntries = 524288;

    static CKeptSourceFiles& Instance();

    // The kept file of path when its settled stamp tells that the file still holds its bytes, else
    // null: the file must be read.
    std::shared_ptr<CSourceFile> GetUnchanged(const std::string& path);
    // The file of path whose bytes, read with stamp, are text: the kept one when its bytes are the
    // same, else a new one, kept in place of the old.
    std::shared_ptr<CSourceFile> Get(const std::string& path, std::string text, const CSourceFileStamp& stamp);
    // A run has finished with file: what it compiled counts now, and may put it beyond the bounds.
    void Release(const std::shared_ptr<CSourceFile>& file);
    bool Holds(const std::string& path) const;

private:
    struct Entry
    {
        std::shared_ptr<CSourceFile> file;
        CSourceFileStamp stamp;
        size_t entries = 0;
        std::list<std::string>::iterator use;
    };
    void Drop(std::unordered_map<std::string, Entry>::iterator it);
    // Drops the least recently used files until the kept ones are within the bounds again.
    void Trim();

    mutable std::mutex m_lock;  // guards everything below
    std::unordered_map<std::string, Entry> m_files;
    std::list<std::string> m_uses;  // the paths, the most recently used first
    size_t m_sourceBytes = 0;
    size_t m_entries = 0;
};

class CSourceFileCache
{
public:
    // A run that read this much source, or kept this many scanned tokens and lists, gives the
    // freed heap memory back to the system when its files are closed.
    static constexpr size_t kLargeSourceBytes = size_t{4} << 20;
    static constexpr size_t kLargeMemoEntries = 100000;

    CSourceFileCache() = default;
    ~CSourceFileCache();
    CSourceFileCache(const CSourceFileCache&) = delete;
    CSourceFileCache& operator=(const CSourceFileCache&) = delete;

    // The open file for path (the exact path: file names are case-sensitive here), reading it on
    // first use. Null when it cannot be read; ErrorText() then says why. A failed entry is tried
    // again on the next Get.
    CSourceFile* Get(const std::string& path);
    // Closes and forgets every file (end of the top-level run); after a large run the freed memory
    // goes back to the system.
    void CloseAll();
    const std::string& ErrorText() const { return m_errorText; }

private:
    std::unordered_map<std::string, std::shared_ptr<CSourceFile>> m_files;
    std::string m_errorText;
};
