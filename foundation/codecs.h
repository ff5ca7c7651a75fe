// Byte-level codecs shared by the mail code, the attachment URLs and the page writer: base64 and
// quoted-printable in both directions, HTML escaping and the byte-pair swap that scrambles
// file identifiers. The decoders work on bounded caller buffers so that mail can be decoded in
// pieces as it arrives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Standard alphabet with "=" padding; a CR LF before every group that would start past column 76,
// none at the end.
void Base64Encode(const void* data, std::size_t length, std::string& out);
void Base64EncodeString(std::string_view text, std::string& out);
// The same encoding on one line, for IDs that go into URLs, header lines and scripts, where a line
// break would end the URL or the line. The decoder reads both forms.
void Base64EncodeId(std::string_view text, std::string& out);

// Decodes groups of four alphabet characters, skipping every other character (line breaks, blanks,
// "="). Stops at the end of `text` or when fewer than 4 bytes of `buffer` remain. With `flush`,
// the bits of an incomplete last group are written as whole bytes; without it, that group is left
// for the next call. The output is NUL-terminated. Returns the number of characters consumed
// (without `flush`, up to the end of the last complete group) and the byte count in outLength;
// 0 for a null text or buffer or a size below 1.
int Base64Decode(const char* text, char* buffer, int size, int& outLength, bool flush);

// Decodes "=XX" escapes (either case) and drops soft line breaks ("=" before CR LF, CR or LF);
// any other "=" is copied. With `underscore` (encoded header words) "_" becomes a blank. Writes at
// most size - 1 bytes and a NUL. Returns the characters consumed and the byte count in outLength;
// 0 for a null text or buffer or a size below 1.
int QuotedPrintableDecode(const char* text, char* buffer, int size, int& outLength, bool underscore);

// Quoted-printable (RFC 2045) that decodes to exactly `data`: CR LF stays a line break; every
// other byte outside printable ASCII, a lone CR or LF among them, "=", and a blank or tab before a
// line break or the end become "=XX" (upper-case hexadecimal); a soft line break ("=" CR LF) keeps
// every line to at most 76 characters. The output ends as the data does, with or without a line
// break.
void QuotedPrintableEncode(std::string_view data, std::string& out);

// Escapes & < > and the double quote in place; with `lines`, drops CR and turns LF into
// "<br>\r\n". A text that needs no change is not touched. Throws CSspException "Out of memory"
// when the escaped text cannot be allocated.
void HtmlEscape(std::string& text, bool lines);

// Swaps bytes 0 and 1, 2 and 3, and so on; an odd last byte stays.
void SwapBytePairs(std::string& text);
