// URL encoding as the request, the response, the script library and the error report share it:
// form values and cookies are decoded with UrlDecode, texts that scripts put into links are
// encoded with UrlEncode. Hexadecimal digits are written in lower case ('/' becomes "%2f"),
// which pages and stored links already rely on.
#pragma once

#include <string>
#include <string_view>

// In place: every '+' becomes a blank, then every '%' followed by two characters becomes the byte
// that HexToByte gives for them. A '%' with fewer than two characters after it stays.
void UrlDecode(std::string& text);

// In place: the bytes CR, LF, ! " # $ % & ' ( ) + , / : ; < = > ? [ \ ] ^ ` { | } ~ become "%" and
// two lower-case hexadecimal digits; every other byte stays (bytes of 128 and above and the other
// control characters too); then every blank becomes '+'.
void UrlEncode(std::string& text);

// The byte of a two-character hexadecimal text; '?' for a text of any other length. The digits
// are not validated: after upper-casing, a character other than '0'..'9' counts as its code
// minus 55, so 'A'..'F' count 10..15 and other characters give some byte.
unsigned char HexToByte(std::string_view twoCharacters);

// Two lower-case hexadecimal digits.
std::string ByteToHex(unsigned char byte);

// Every '%' doubled, for a text that is later used as a printf format.
std::string EscapePercent(std::string_view text);
