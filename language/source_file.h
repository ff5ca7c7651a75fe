// The pages and scripts that one top-level run reads. CSourceFile holds one file's bytes in an
// immutable buffer read at open time, the index of its lines and the user functions found in it;
// the engine's cursor and every token point into that buffer. CSourceFileCache reads each file
// once per top-level run and is shared by the run's nested engines; it is emptied when the run
// ends, and the next run reads the file again, so an edited file takes effect on the next run.
// Reading (not mapping) the file means that a file saved while a run uses it cannot change or pull
// away the bytes under the cursor.
#pragma once

#include "language/ssp_function.h"
#include "language/ssp_list_code.h"
#include "language/ssp_program.h"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CSourceFile
{
public:
    // Offsets are 32-bit throughout the engine, so a file must stay below 2 GiB.
    static constexpr long long kMaxSize = 0x7fffffffLL;

    explicit CSourceFile(std::string path);
    // An open file over text that is not read from disk: an expression the debugger has a paused
    // run evaluate, scanned like the run's own source.
    CSourceFile(std::string path, std::string text);
    ~CSourceFile();
    CSourceFile(const CSourceFile&) = delete;
    CSourceFile& operator=(const CSourceFile&) = delete;

    // Reads the whole file and indexes its lines; true when it is readable. A file that is already
    // open counts as open. On failure errorText says why, in the form "<what> [<path>]. <reason>".
    // A file read again with unchanged bytes keeps what earlier runs found in it.
    bool Open(std::string& errorText);
    void Close();
    // Ends a run's use of the file but keeps its bytes and what scanning found in them, to be
    // compared with the file's bytes when it is opened again.
    void Suspend() { m_open = false; }
    bool IsOpen() const { return m_open; }

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
    CSspFunction& AddFunction(CSspFunction function);

    // Keeps the raw text of a string literal that was joined from several pieces and so is no slice
    // of the buffer. Keyed by the literal's source span, so scanning a loop body again reuses the
    // same text instead of growing the store on every pass.
    std::string_view KeepJoinedLiteral(int start, int spanEnd, std::string raw);

    // The compiled program of the text [start, end) entered in mode (the whole file, or a
    // function's body), compiled on first use.
    const CSspProgram& Program(int start, int end, int mode);
    // The compiled value of an sql statement's script expression in [start, end); a list that cannot
    // be collected gives the code that raises the collector's error.
    const CSspListCode& SqlValue(int start, int end);
    // How many ops and values have been compiled for the file.
    size_t CompiledSize() const;

private:
    void BuildLineIndex();

    std::string m_path;  // in the caller's spelling
    std::string m_text;  // the file's bytes; never changed while open
    bool m_open = false;
    std::vector<int> m_lineStarts;  // offset of each line's first byte
    int m_indexedEnd = -1;          // last offset that belongs to an indexed line
    std::vector<std::unique_ptr<CSspFunction>> m_functions;
    std::unordered_map<long long, std::string> m_joinedLiterals;
    // Compiled code by the bounds it covers.
    std::unordered_map<long long, std::unique_ptr<CSspProgram>> m_programs;
    std::unordered_map<long long, std::unique_ptr<CSspListCode>> m_sqlValues;
};

// The source files that the runs of one thread read, kept after each run with the code compiled
// from them and the functions found in them. Compiling a page costs a good part of a short run; a
// page run again (the usual case on a server) is read and compared byte for byte, and compiled
// again only when it changed. Bounded in source bytes and compiled entries, so that many or big
// pages on many threads cannot keep much memory; a file beyond the bound is not kept at all.
class CKeptSourceFiles
{
public:
    static constexpr size_t kMaxSourceBytes = size_t{128} << 10;
    static constexpr size_t kMaxMemoEntries = 8192;

    static CKeptSourceFiles& OfThisThread();

    // Keeps a file that a run has finished with, in place of one kept for the same path.
    void Keep(std::unique_ptr<CSourceFile> file);
    // The file kept for path, now owned by the caller; null when none is kept.
    std::unique_ptr<CSourceFile> Take(const std::string& path);

private:
    struct Entry
    {
        std::unique_ptr<CSourceFile> file;
        size_t sourceBytes;
        size_t memoEntries;
    };
    std::unordered_map<std::string, Entry> m_files;
    size_t m_sourceBytes = 0;
    size_t m_memoEntries = 0;
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
    std::unordered_map<std::string, std::unique_ptr<CSourceFile>> m_files;
    std::string m_errorText;
};
