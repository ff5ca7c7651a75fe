// CFileOutputSink: the output of one run collected in a file on disk, so that a page or a task may
// produce any amount of text without holding it in memory. The file is created (and truncated) on
// the first write, closed when the top-level run ends, and deleted with the sink: it exists only
// while one response is built. The background thread's tasks write through one; a response that
// sends its body from a file can keep its output the same way.
#pragma once

#include "language/output_sink.h"

#include <string>
#include <string_view>

class CFileOutputSink : public CSspOutputSink {
public:
    explicit CFileOutputSink(std::string path);
    // Closes the file if it was created and deletes it.
    ~CFileOutputSink() override;
    CFileOutputSink(const CFileOutputSink&) = delete;
    CFileOutputSink& operator=(const CFileOutputSink&) = delete;

    // Creates the file unless that was done (or tried) before. A failure is logged once with the
    // path and the system's error text; every later write is then dropped.
    bool OpenOutputFile();
    // Appends text, creating the file first. Writes after CloseOutput are dropped.
    void Write(std::string_view text) override;
    // Writes what is buffered and closes the file; the file stays on disk until the sink goes.
    void CloseOutput() override;

    const std::string& Path() const { return m_path; }
    // True once the file was created, also after it was closed.
    bool IsOpened() const { return m_opened; }

private:
    void Flush();

    // Small writes (a page writes many) are gathered up to this size before they reach the file.
    static constexpr std::size_t kBufferSize = 64 * 1024;

    std::string m_path;
    std::string m_buffer;
    int m_fd = -1;
    bool m_opened = false;      // the file was created
    bool m_openFailed = false;  // creation was tried and failed: writes are dropped
    bool m_writeFailed = false; // a write failed and was logged: later writes are dropped
};
