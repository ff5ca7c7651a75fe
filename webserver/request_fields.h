// CRequestFields holds the raw body of one request (or the query string of a GET) and the form
// fields parsed from it: url-encoded pairs, or the parts of a multipart/form-data body, and for a
// request with a body the fields of its URL's query string as well. The bytes
// of uploaded files stay in the body; the file object copies one out on demand with
// GetUploadedFile. Field names are compared without regard to case.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CRequestFields
{
public:
    // Results of GetUploadedFile.
    static constexpr int kUploadOk = 0;
    static constexpr int kUploadNoFileData = -1;
    static constexpr int kUploadNoMemory = -2;
    static constexpr int kUploadNoField = -3;

    CRequestFields() = default;
    CRequestFields(const CRequestFields&) = delete;
    CRequestFields& operator=(const CRequestFields&) = delete;

    // Makes room for a body of `length` bytes plus a terminating zero byte; the body length
    // becomes 0. A smaller buffer is replaced. Returns 1, or 0 (capacity 0) when the memory
    // cannot be had.
    [[nodiscard]] int ReserveBody(std::size_t length);
    // The body becomes a copy of `text` (a GET's query string). Returns ReserveBody's result.
    [[nodiscard]] int SetBody(std::string_view text);
    // The reserved buffer, for a reader that fills it; SetBodyLength then records how much it
    // filled (at most the capacity).
    char* GetBodyBuffer() { return m_body.get(); }
    std::size_t GetBodyCapacity() const { return m_capacity; }
    void SetBodyLength(std::size_t length);
    std::string_view GetBody() const { return {m_body.get(), m_length}; }

    // The query string of a request that has a body of its own ("edit.twp?id=100" as a form's
    // action): Parse adds its fields after the body's.
    void SetQuery(std::string_view query) { m_query = query; }

    void SetMultipart(bool multipart) { m_multipart = multipart; }
    bool IsMultipart() const { return m_multipart; }

    // Parses the body into fields: ParseMultipart for a multipart body, else ParseUrlEncoded.
    // Then the query's fields are added; a field that the body holds keeps the body's value.
    void Parse();
    // name=value pairs separated by '&'; a '#' at the start of a pair ends the body. Values are
    // URL-decoded, names are not. Returns 1.
    int ParseUrlEncoded();
    // Returns 1 when the whole body was read, 0 when it stopped at a malformed part; the fields
    // found until then stay.
    [[nodiscard]] int ParseMultipart();

    bool GetValue(std::string_view name, std::string& value) const;
    bool Exists(std::string_view name) const;
    // The length of the field's value, 0 when absent.
    int GetLength(std::string_view name) const;

    // The value is trimmed of white space and the name lower-cased. A repeated name gets the new
    // value appended after a LF; an empty value for a known name changes nothing.
    void Add(std::string_view name, std::string_view value);
    // As Add, but replaces the stored value.
    void Set(std::string_view name, std::string_view value);

    // Copies the uploaded file of the field into `block`, reusing its memory when it is large
    // enough; `fileName` receives the file's name without its folders, blanks replaced by '_'.
    // Returns one of the kUpload results; on kUploadNoMemory the block is left empty.
    [[nodiscard]] int GetUploadedFile(std::string_view name, std::string& fileName,
                                      std::vector<unsigned char>& block) const;

private:
    using ValueMap = std::unordered_map<std::string, std::string>;

    // Add, into any map of fields.
    static void AddTo(ValueMap& values, std::string_view name, std::string_view value);
    // The url-encoded pairs of `text`, as ParseUrlEncoded reads them, added to `values`.
    static void AddUrlEncoded(ValueMap& values, std::string_view text);
    void AddQueryFields();

    // Where a file's bytes lie in the body: [start, end).
    struct UploadRange
    {
        std::size_t start = 0;
        std::size_t end = 0;
    };

    // Parses the part whose first header line starts at `position`, with the next delimiter
    // searched as `delimiter`. Moves `position` past the part's delimiter. Returns 1 when a part
    // was stored and the delimiter found, 0 when the part is malformed.
    [[nodiscard]] int ParseOnePart(std::string_view body, std::string_view delimiter, std::size_t& position);

    bool m_multipart = false;
    std::unique_ptr<char[]> m_body;  // m_capacity + 1 bytes, the last one zero
    std::size_t m_capacity = 0;
    std::size_t m_length = 0;
    std::string m_query;
    ValueMap m_values;                                       // lower-cased name -> value
    std::unordered_map<std::string, UploadRange> m_uploads;  // lower-cased name -> file bytes
};
