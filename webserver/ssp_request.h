// CSspRequest reads the head and body of one HTTP/1.0 request from a connection, keeps what the
// dispatcher and the pages need, and answers the members of the script object `Request`. A
// background task makes one without a connection, so that its scripts can use `Request` too.
//
// The head is bounded before memory or time is spent on it: lines of at most 4095 bytes (a longer
// one is logged and skipped), at most kMaxHeadBytes and kMaxHeadLines in all. The body is read
// only for POST, and only up to the GeneralMaxUpload setting. Time is bounded too (see
// CRequestTimeLimits), so that a client that trickles its request cannot hold a server thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "language/request_object.h"
#include "webserver/request_fields.h"

class CSspValue;
class CTcpSocket;

// How long a client may take over its request, counted from its connection's arrival. The first
// byte must come soon: a connection that sends nothing costs a descriptor for nothing. Head and
// body together get requestSeconds;
// beyond that a body goes on only while each window of rateWindowSeconds brings at least
// minBytesPerWindow bytes (about 1 KB/s), so a large upload over a slow line still arrives but a
// body sent a byte at a time does not hold the thread for the length of the upload limit.
struct CRequestTimeLimits
{
    int firstByteSeconds = 10;
    int requestSeconds = 60;
    int rateWindowSeconds = 10;
    int minBytesPerWindow = 10240;
};

class CSspRequest : public CSspRequestObject
{
public:
    // Results of Parse.
    static constexpr int kParseOk = 0;
    static constexpr int kParseNoMemory = -1;         // no memory for the body
    static constexpr int kParseNoContentLength = -2;  // a POST without Content-Length
    static constexpr int kParseBroken = -3;           // head or body cut short, failed or over its bounds
    static constexpr int kParseInvalidAddress = -4;   // the URL holds control bytes: "Invalid HTTP address."
    static constexpr int kParseTooLarge = -5;         // the body is over the upload limit
    static constexpr int kParseNoConnection = -6;
    static constexpr int kParseAddressTooLong = -7;  // the request line does not fit kLineBufferSize

    static constexpr int kLineBufferSize = 4096;  // so a header line holds at most 4095 bytes
    static constexpr std::size_t kMaxHeadBytes = 65536;
    static constexpr int kMaxHeadLines = 100;

    // `connection` belongs to the caller (the server thread) and must outlive the request; null
    // for a request made by a background task.
    explicit CSspRequest(CTcpSocket* connection);
    CSspRequest(const CSspRequest&) = delete;
    CSspRequest& operator=(const CSspRequest&) = delete;

    // Reads the head and, for a POST, the body. Returns one of the kParse results; never throws.
    [[nodiscard]] int Parse();
    // Set before Parse to bound the client otherwise than by the defaults.
    void SetTimeLimits(const CRequestTimeLimits& limits) { m_limits = limits; }

    // The form field's value (CRequestFields::GetValue).
    bool GetField(std::string_view name, std::string& value) const override;
    // The uploaded file of a form field (CRequestFields::GetUploadedFile).
    int GetUploadedFile(std::string_view name, std::string& fileName, std::vector<unsigned char>& block) const override;
    // The cookie's URL-decoded value, "" when the request has none of that name (case counts).
    std::string GetCookie(std::string_view name) const override;
    // A request that came over a connection; its peer's address.
    bool HasClient() const override { return m_connection != nullptr; }
    std::string GetClientAddress() const override;
    // The peer has closed its side, or reset the connection. A client that shuts down only its
    // sending side after its request counts as gone too: it cannot be told apart without a send.
    bool HasClientLeft() const override;

    // True when `bytes` hold a whole request head: up to an empty line, by the line rules of
    // CTcpSocket::ReadLine, with which the head is read.
    static bool IsHeadComplete(std::string_view bytes);
    // The URL path up to and including its last '/', "/" when it has none.
    std::string GetUrlFolder() const;

    // The members of the script object `Request`; errors are thrown as CSspException at the
    // call's position.
    void InvokeMethod(CSspCall& call, CSspValue& value);
    void CallMember(CSspCall& call, CSspValue& value) override { InvokeMethod(call, value); }

    // The file that a URL path names below <install>/webroot. No percent-decoding is applied, and
    // '\' counts as a folder separator as '/' does.
    static std::string MapUrlToFile(std::string_view urlPath);

    // twStudio only: when a request fails before its first line and its bytes cannot begin a
    // plain HTTP request, log the advice that the browser may be using https:// on a plain port.
    static void EnableHttpsHint(bool on);

    const std::string& GetMethod() const { return m_method; }
    // The request line and every header line read, each followed by CR LF.
    const std::string& GetAllHeaders() const { return m_allHeaders; }
    // The URL as sent, query included.
    const std::string& GetFullUrl() const { return m_fullUrl; }
    // The URL without a GET's query; other methods keep it.
    const std::string& GetUrlPath() const { return m_urlPath; }
    // Empty for attachment URLs and refused URLs.
    const std::string& GetFilePath() const { return m_filePath; }
    // The text after the last '.' of the URL path's last segment, "" when there is none.
    const std::string& GetExtension() const { return m_extension; }
    // A segment of the URL path is "FileDB" or "FileInDB" (any case): served from the database.
    bool IsAttachment() const { return m_attachment; }
    const std::string& GetHost() const { return m_host; }
    const std::string& GetReferer() const { return m_referer; }
    const std::string& GetVia() const { return m_via; }
    const std::string& GetBrowserType() const { return m_browserType; }
    int GetBrowserVersionMajor() const { return m_browserMajor; }
    int GetBrowserVersionMinor() const { return m_browserMinor; }
    CRequestFields& GetFields() { return m_fields; }
    const CRequestFields& GetFields() const { return m_fields; }
    CTcpSocket* GetConnection() const { return m_connection; }

private:
    [[nodiscard]] int ReadHead();
    // Reads and drops the rest of a line that did not fit the buffer; counts its bytes.
    [[nodiscard]] int SkipRestOfLine(char* buffer, std::size_t& headBytes);
    [[nodiscard]] int ReadBody();
    // Receives the body into `buffer`, holding the client to the request's deadline and, past
    // it, to the minimum rate.
    [[nodiscard]] int ReceiveBody(char* buffer, std::int64_t length);
    void ReadRequestLine(std::string_view line);
    void ReadHeaderLine(std::string_view line);
    void ReadContentLength(std::string_view rest);
    void ReadCookies(std::string_view text);
    void DetectBrowser(std::string_view userAgent);

    std::string m_method;
    std::string m_allHeaders;
    std::string m_fullUrl;
    std::string m_urlPath;
    std::string m_filePath;
    std::string m_extension;
    bool m_attachment = false;
    bool m_invalidAddress = false;
    bool m_addressTooLong = false;
    std::string m_host;
    int m_browserMajor = 0;
    int m_browserMinor = 0;
    std::string m_browserType;
    std::string m_referer;
    std::string m_via;
    CRequestFields m_fields;
    CTcpSocket* m_connection;
    std::unordered_map<std::string, std::string> m_cookies;  // name as sent -> decoded value

    // Content-Length as sent; -1 while absent or when it is no number or a negative one. A number
    // beyond the 64-bit range is refused as too large.
    std::int64_t m_contentLength = -1;
    bool m_contentLengthRefused = false;
    CRequestTimeLimits m_limits;
    // When head and body together must have arrived; set as Parse begins.
    std::chrono::steady_clock::time_point m_deadline;
};
