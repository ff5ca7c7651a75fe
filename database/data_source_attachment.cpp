// Attachment downloads: files that an application keeps in binary or long-text columns, served by
// URL. The plain form names the row in the path (".../FileDB/table/keyColumn/key/dataColumn/name");
// the encrypted form carries an ID made by To.fileUrl, signed with the installation's secret and
// valid only for this server instance and for the session time-out. Every name reaches the SQL
// only when it is identifier characters.
#include "database/data_source.h"

#include "database/dyn_bind_set.h"
#include "database/sql_injection_guard.h"
#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/file_id.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

#include <new>
#include <vector>

namespace {

constexpr int kMsgEncryptedExpected = 0;
constexpr int kMsgPlainExpected = 1;
constexpr int kMsgInvalidFileId = 2;
constexpr int kMsgMissingTable = 40;
constexpr int kMsgMissingKeyColumn = 41;
constexpr int kMsgMissingKeyValue = 42;
constexpr int kMsgMissingDataColumn = 43;

constexpr std::string_view kEncryptedMark = "/fileindb/";

// The row and column that an attachment URL names.
struct AttachmentAddress
{
    std::string table;
    std::string keyColumn;
    int key = 0;
    std::string dataColumn;
};

[[noreturn]] void Fail(int slot)
{
    RaiseCatalogText(slot, kNoPosition);
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

// ".../FileDB/table/keyColumn/key/dataColumn[/anything]": the four segments after the first one
// that is "FileDB" (any case); the key as atol reads it, so a word finds row 0.
AttachmentAddress PlainAddress(std::string_view path)
{
    if (LowerAscii(path).find("/filedb/") == std::string::npos)
        Fail(kMsgPlainExpected);
    const std::vector<std::string_view> segments = Split(path, '/');
    size_t at = 0;
    while (at < segments.size() && !EqualsNoCase(segments[at], "FileDB"))
        ++at;
    auto next = [&segments, &at]() -> std::string {
        ++at;
        return at < segments.size() ? std::string(segments[at]) : std::string();
    };
    AttachmentAddress address;
    address.table = next();
    address.keyColumn = next();
    const std::string key = next();
    address.dataColumn = next();
    if (address.table.empty())
        Fail(kMsgMissingTable);
    if (address.keyColumn.empty())
        Fail(kMsgMissingKeyColumn);
    if (key.empty())
        Fail(kMsgMissingKeyValue);
    if (address.dataColumn.empty())
        Fail(kMsgMissingDataColumn);
    address.key = ParseInt32(key);
    return address;
}

// "/fileindb/" + ID + "/" [+ name]: the ID is the base64 of "table-keyColumn-token-dataColumn-tag"
// with its byte pairs swapped; the tag proves that this server made the ID for exactly these names,
// and the token carries the key and the checks of CheckFileId. IDs with the line breaks of
// 76-column base64 decode too, as the decoder skips them.
AttachmentAddress EncryptedAddress(const CAttachmentRequest& request)
{
    const std::string_view path = request.urlPath;
    const size_t mark = LowerAscii(path).find(kEncryptedMark);
    if (mark == std::string::npos)
        Fail(kMsgEncryptedExpected);
    const size_t idStart = mark + kEncryptedMark.size();
    const size_t last = path.rfind('/');
    if (last < idStart)
        Fail(kMsgInvalidFileId);

    std::string plain;
    try {
        std::string id(path.substr(idStart, last - idStart));
        SwapBytePairs(id);
        plain.resize(id.size() / 4 * 3 + 4);
        int length = 0;
        Base64Decode(id.c_str(), plain.data(), static_cast<int>(plain.size()), length, true);
        plain.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        Fail(kMsgOutOfMemory);
    }

    if (!StripFileIdTag(plain, request.fileIdSecret))
        Fail(kMsgInvalidFileId);
    // The names hold no "-" (they are identifiers), so the data column is whatever follows the third.
    std::vector<std::string_view> parts = Split(plain, '-');
    if (parts.size() < 4)
        Fail(kMsgInvalidFileId);
    AttachmentAddress address;
    address.table = parts[0];
    address.keyColumn = parts[1];
    address.dataColumn = plain.substr(static_cast<size_t>(parts[3].data() - plain.data()));
    address.key = CheckFileId(address.table, address.keyColumn, parts[2], address.dataColumn, request.serverInstance,
                              request.timeoutMinutes, request.now);
    if (address.key < 0)
        Fail(kMsgInvalidFileId);
    return address;
}

}  // namespace

void CDataSource::ServeFileFromDb(const CAttachmentRequest& request)
{
    const AttachmentAddress address = request.encrypted ? EncryptedAddress(request) : PlainAddress(request.urlPath);
    // A URL is the client's: a name that is not an identifier never becomes SQL, and is not echoed
    // back either.
    if (!IsSqlName(address.table) || !IsSqlName(address.keyColumn) || !IsSqlName(address.dataColumn))
        Fail(kMsgInvalidFileId);

    std::string bytes;
    {
        std::lock_guard guard(m_lock);
        try {
            RunOnLiveConnection(
                [&] { bytes = ReadFileColumn(address.table, address.keyColumn, address.key, address.dataColumn); });
        } catch (const CDbException& error) {
            ThrowMapped(error);
        }
    }
    request.write(bytes);
}

std::string CDataSource::ReadFileColumn(const std::string& table, const std::string& keyColumn, int key,
                                        const std::string& dataColumn)
{
    CDynBindSet set(&m_database);
    set.AddTable(table);
    set.AddColumn(keyColumn);
    set.AddColumn(dataColumn);
    set.SetFilter(keyColumn + " = " + std::to_string(key));
    if (!set.Open({}, CDynBindSet::kReadOnly))
        throw CSspException("Failed to open table: " + table, kNoPosition);
    if (set.IsEOF())
        throw CSspException("The attachment has already been deleted", kNoPosition);
    CSspValue* value = set.GetColumnValue(dataColumn);
    if (value == nullptr || !(value->IsBinary() || value->IsLongText()))
        throw CSspException("Please specify the column where the file is stored.", kNoPosition);
    return std::move(value->m_text);
}
