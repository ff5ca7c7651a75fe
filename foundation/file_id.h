// File IDs of database attachments. A page links to a file kept in a database column through a URL
// whose ID names the table, key column, key and data column, signed with a secret of the
// installation so that a visitor cannot edit it into the URL of another row or column, and
// carrying the server instance and the time it was made, so that a link stops working when the
// server restarts or after the session time-out. The script library makes the URLs; the
// attachment server checks the IDs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Results of CheckFileId other than a key.
constexpr int kFileIdTooShort = -1;
constexpr int kFileIdBadCheckDigits = -2;
constexpr int kFileIdOtherInstance = -3;
constexpr int kFileIdExpired = -4;
constexpr int kFileIdBadKey = -5;

// "fileInDB/" + encoded ID + "/" + fileName for the row whose key column holds the integer of
// `keyValue`. The ID is the base64 (on one line) of "table-keyColumn-token-dataColumn-tag" with
// its byte pairs swapped; the token holds two check digits, the key's last digit, the server
// instance, the local time `now` to the minute and the key in base 62; the tag is the HMAC of
// everything before it, keyed with `secret`.
std::string MakeFileUrl(std::string_view table, std::string_view keyColumn, std::string_view keyValue,
                        std::string_view dataColumn, std::string_view fileName, int serverInstance, std::int64_t now,
                        std::string_view secret);

// Checks the tag at the end of a decoded ID ("...-tag") against `secret` and removes it with its
// "-". False, leaving the text as it was, when the tag is missing or does not fit (the ID was
// forged or changed) or when there is no secret to check it with.
[[nodiscard]] bool StripFileIdTag(std::string& id, std::string_view secret);

// The key that a token made by MakeFileUrl for these names carries, or one of the negative codes
// above: the token is too short, its check digits do not fit the names, it was made by another
// server instance, it is older than `timeoutMinutes` at `now`, or its key is damaged.
[[nodiscard]] int CheckFileId(std::string_view table, std::string_view keyColumn, std::string_view keyToken,
                              std::string_view dataColumn, int serverInstance, int timeoutMinutes, std::int64_t now);
