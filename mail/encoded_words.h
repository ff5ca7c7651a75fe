// Encoded words of mail headers ("=?charset?B?...?=", RFC 2047), in both directions. Header lines
// may hold only ASCII: the SMTP client writes every header text that is not plain ASCII as encoded
// words in the site's text encoding, and the MIME reader decodes the words of received subjects and
// display names, whatever their charset, into that encoding.
#pragma once

#include <string>
#include <string_view>

#include "mail/mail_address.h"

class CServerConfig;

// The charset of the texts that pages, scripts and mail hold: MimeTextEncoding, "utf-8" when the
// setting is empty.
std::string MailTextCharset(const CServerConfig& config);

// Unstructured header text (a subject): unchanged when it is plain ASCII and holds nothing that
// reads as an encoded word, else the whole text as encoded words in `charset`, separated by blanks.
std::string EncodeHeaderText(std::string_view text, std::string_view charset);

// "display name <address>", the name as encoded words or a quoted string where it needs to be;
// the bare address when the mailbox has no name.
std::string FormatMailbox(const CMailbox& mailbox, std::string_view charset);

// An address list ("Jürgen Müller <jm@example.org>, b@example.org") as FormatMailbox writes each
// of its mailboxes, joined with ", ".
std::string EncodeAddressList(std::string_view list, std::string_view charset);

// One header line "Name: value", encoded as its name asks: address headers as address lists,
// Content-* and MIME-Version lines (whose parameters encoded words must not enter) unchanged,
// every other one as unstructured text.
std::string EncodeHeaderLine(std::string_view line, std::string_view charset);

// A header line folded (RFC 5322): a CR LF goes before blanks so that each line holds at most 78
// characters, where the line has a blank to break at; a word longer than that keeps its line.
// Every line keeps a word, so none is white space alone.
std::string FoldHeaderLine(std::string_view line);

// `text` with every encoded word decoded (B or Q, letters and charset names of any case) and
// converted from its charset to `charset`. White space between two adjacent encoded words goes. A
// word with an unknown encoding letter, or whose charset cannot be converted, stays as it is.
std::string DecodeEncodedWords(std::string_view text, std::string_view charset);
