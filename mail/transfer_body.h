// The body of an outgoing message in the form it travels in over SMTP. Outbox files keep the
// content as the page wrote it; on the way out a text that a mail server would refuse or change -
// one with a line over 998 bytes (RFC 5321), or with bytes beyond ASCII for a server that did not
// offer 8BITMIME - is encoded quoted-printable and its Content-Transfer-Encoding header says so,
// so that the receiver decodes exactly the bytes that were written. In a multipart body each part
// is looked at on its own. A body or part already in an encoding of its own (base64, or one the
// script named) and a nested multipart or message stay as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The longest line, without its CR LF, that SMTP carries.
constexpr std::size_t kMaxSmtpLineBytes = 998;

// `body` (the bytes after the header block of an outbox file) in transfer form: every line ended
// by CR LF, a line feed alone ending a line too, encoded where it has to be; not yet dot-stuffed.
// `headerLines`, the message's extra header lines (MIME ones among them, continuation lines as
// lines of their own), are changed to name the encoding; a body without MIME headers gets
// "MIME-Version: 1.0" as well.
std::string FormatTransferBody(std::vector<std::string>& headerLines, std::string_view body, bool eightBitMime);
