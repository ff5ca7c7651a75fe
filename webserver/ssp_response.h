// CSspResponse collects what a page run writes, keeps the headers that the page sets (content
// type, charset, expiry, cookies, extra lines) and finally answers the browser with an HTTP/1.0
// response whose body is that output, "200 OK" unless the server chose another status for an
// error page or the page gave its own in a "Status:" line. It also sends static files, redirects
// and the built-in error page, and answers the members of the script object `Response`. A
// background task makes one without a connection: its output is collected and then dropped.
//
// Output is gathered in memory up to kSpillSize and moves to the output file on disk beyond that,
// so a page may write any amount while a usual page never touches the disk; head and a small
// body leave in one send, a file or large output through sendfile(2).
//
// Nothing that reaches a header line may hold CR or LF: every text that a page gives for a header
// is cut at its first line break.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "language/output_sink.h"

class CSspCall;
class CSspValue;
class CTcpSocket;

// Where twStudio sees what a debugged request received and produced; twServer installs none.
using CEchoHook = std::function<void(std::string_view text)>;

class CSspResponse : public CSspOutputSink
{
public:
    // Output beyond this size goes to the output file.
    static constexpr std::size_t kSpillSize = 65536;
    // The statuses of the server's own answers.
    static constexpr const char* kStatusOk = "200 OK";
    static constexpr const char* kStatusBadRequest = "400 Bad Request";
    static constexpr const char* kStatusForbidden = "403 Forbidden";
    static constexpr const char* kStatusNotFound = "404 Not Found";
    static constexpr const char* kStatusLengthRequired = "411 Length Required";
    static constexpr const char* kStatusTooLarge = "413 Request Entity Too Large";
    static constexpr const char* kStatusUriTooLong = "414 Request-URI Too Long";
    static constexpr const char* kStatusServerError = "500 Internal Server Error";
    static constexpr const char* kStatusUnavailable = "503 Service Unavailable";
    // Expires value of a response whose page did not set it: no Expires line.
    static constexpr int kExpiresUnset = -100;

    // `connection` belongs to the caller and must outlive the response; null for a background
    // task, which sends nothing.
    explicit CSspResponse(CTcpSocket* connection);
    // Deletes the output file.
    ~CSspResponse() override;
    CSspResponse(const CSspResponse&) = delete;
    CSspResponse& operator=(const CSspResponse&) = delete;

    // The file that output goes to once it outgrows memory; set before the first write.
    void SetOutputPath(std::string path) { m_outputPath = std::move(path); }
    const std::string& GetOutputPath() const { return m_outputPath; }
    // twStudio: every head sent and every piece of output written is also passed to `echo`.
    void SetEcho(const CEchoHook* echo) { m_echo = echo; }
    // The answer to a HEAD request: every response goes out with the head it would have and
    // without its body.
    void SetHeadOnly(bool on) { m_headOnly = on; }

    // Creates the output file (truncating an old one). 1, or 0 after logging "Failed to create
    // output file." with the path and the system's text; output is then dropped.
    [[nodiscard]] int OpenOutputFile();
    void WriteText(std::string_view text);
    void WriteBinary(const void* bytes, std::size_t length);
    // A date with a time goes out in the date-time output format; any other value as its text.
    void WriteValue(const CSspValue& value) override;
    // No more output is taken; what was written stays for sending.
    void CloseOutputFile();
    // Forgets what was written so far; later writes start an empty body.
    void ClearOutput();
    // Everything written so far.
    std::string GetOutputText() const;

    // CSspOutputSink: the page run's template text and output values, and the end of the run.
    void Write(std::string_view text) override { WriteText(text); }
    void WriteBinary(std::string_view bytes) override { WriteBinary(bytes.data(), bytes.size()); }
    void CloseOutput() override { CloseOutputFile(); }

    void AddCookie(std::string_view name, std::string_view value, std::string_view path,
                   std::string_view expires) override;
    // HttpOnly and SameSite=Lax, and Secure on a TLS connection.
    void AddSessionCookie(std::string_view name, std::string_view value, std::string_view path) override;
    // The value of the first cookie set whose name matches without regard to case; "" if none.
    std::string FindCookie(std::string_view name) const override;
    // The MIME type for the extension of `path` (after its last '.', any case): the configured
    // table, else its "*" entry, else "application/octet-stream".
    static std::string ContentTypeForPath(std::string_view path);

    // "Date:" and, as the page's Expires says, "Expires:" lines, each ending in CR LF.
    std::string FormatDateHeaders(std::time_t now) const;
    std::string FormatDateHeaders() const { return FormatDateHeaders(std::time(nullptr)); }
    // One "Set-Cookie:" line per cookie, in the order set.
    std::string FormatCookieHeaders() const;
    // The page's AddHeader lines, each ending in CR LF.
    std::string JoinExtraHeaders() const;

    // A response answers its connection once: after a redirect, a page or a file has gone out,
    // every later send does nothing. A page may call Response.Redirect inside an expression and
    // run on, or fail after it; what it produces then must not trail the redirect on the wire.
    bool HasAnswered() const { return m_answered; }

    // Sends the file as the whole response: 1, or 0 without connection, after an earlier answer
    // or when the file could not be opened (the browser then gets a small page naming the file
    // below the web root and the error, "404 Not Found" for a file that is not there). Only
    // regular files are sent: a folder or FIFO is answered "403 Forbidden" with that page. Unread
    // input is the caller's to drop, as the dispatcher does before it routes a request, so that
    // the close does not reset the answer.
    int Send(const std::string& filePath);
    // Ends the output and sends it: a page that wrote nothing gets an empty "200 OK" with its
    // headers and cookies; output lost to a failed output file gets the built-in error page.
    void CloseAndSend();
    // "301" when permanent, else "302 Moved Temporarily", with the cookies set so far.
    void SendRedirect(std::string_view url, bool permanent);
    // The built-in error page: `message` (HTML) in a red box, with the response's status.
    void SendPlainErrorPage(std::string_view message);
    // The status line's text of what the response sends, "200 OK" until set; a page's own
    // "Status:" line (AddHeader) wins over it.
    void SetStatus(std::string_view status) { m_status = status; }
    // `text` with the installation's web root left out of every path in it: what a client is shown
    // of a file names it by its place below the web root, never by the server's folders.
    static std::string WithoutWebRoot(std::string_view text);

    // The members of the script object `Response`; errors are thrown as CSspException at the
    // call's position.
    void InvokeMethod(CSspCall& call, CSspValue& result);
    void CallMember(CSspCall& call, CSspValue& result) override { InvokeMethod(call, result); }

    void SetErrorText(std::string text) { m_errorText = std::move(text); }
    const std::string& GetErrorText() const { return m_errorText; }
    void SetExpires(int minutes) { m_expires = minutes; }
    int GetExpires() const { return m_expires; }
    void SetContentType(std::string_view type);
    void SetCharset(std::string_view charset);
    void AddHeader(std::string_view line);
    // A file from a database column, named by the last part of urlPath: its bytes are whatever a
    // visitor uploaded. The browser may not guess another type from them, and a type that it would
    // run or show as a document of this site (any but a few passive types) goes out as a download
    // under that name.
    void MarkDatabaseFile(std::string_view urlPath);
    const std::string& GetDateTimeFormat() const { return m_dateTimeFormat; }
    void SetDateTimeFormat(std::string format) { m_dateTimeFormat = std::move(format); }

private:
    struct Cookie
    {
        std::string name;
        std::string value;
        std::string expires;
        std::string path;
        std::string attributes;  // "; HttpOnly ..." of the session cookie
    };
    enum class Output
    {
        NotStarted,
        Open,
        Closed,
        Failed
    };

    // Starts the output on the first write; false once it is closed or lost.
    [[nodiscard]] bool TakesOutput();
    // True for the one send that may answer the connection; false without connection or after it.
    [[nodiscard]] bool TakeAnswer();
    void Append(std::string_view bytes);
    // Moves the gathered output to the output file.
    void Spill();
    void Echo(std::string_view text) const;
    // "HTTP/1.0 <status>" and every header line for a body of `length` bytes typed by `typePath`.
    std::string FormatHead(std::string_view typePath, std::int64_t length);
    // The status the page gave in a "Status:" line, else the response's.
    std::string_view EffectiveStatus() const;
    // Sends `head` followed by `length` bytes of `fd`; a body already in `head` needs fd -1. The
    // response is the connection's last word: a failed send is logged by the socket, and the
    // connection closes after it either way, so there is nothing to return.
    void SendHeadAndFile(std::string& head, int fd, std::int64_t length);
    void SendHtml(std::string_view title, std::string_view body);
    void SendErrorBox(std::string_view message);

    std::string m_errorText;
    std::string m_status = kStatusOk;
    CTcpSocket* m_connection;
    bool m_answered = false;
    bool m_headOnly = false;
    const CEchoHook* m_echo = nullptr;

    std::string m_outputPath;
    int m_file = -1;  // the output file, once output spilled to disk
    std::int64_t m_fileLength = 0;
    std::string m_pending;  // output not yet in the file
    Output m_output = Output::NotStarted;

    std::vector<Cookie> m_cookies;
    int m_expires = kExpiresUnset;
    std::string m_contentType;
    std::string m_charset;
    std::string m_dateTimeFormat = "0";
    std::vector<std::string> m_extraHeaders;
};
