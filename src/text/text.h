// Text and encoding conversions shared by every layer.
//
// Inside the core a text is a std::string holding code page 936 (GBK) bytes; a byte sequence is
// a std::string holding raw bytes (it may contain NULs). Conversions to UTF-8, UTF-16 and other
// charsets happen only at the edges, through the functions below. None of them fails: a byte
// that is invalid in the source, or a character the target cannot hold, becomes "?".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesprey {

using Text = std::string;   // code page 936 bytes
using Bytes = std::string;  // raw bytes

// UTF-8 bytes to code page 936.
Text utf8ToAnsi(std::string_view utf8);
// Code page 936 to UTF-8 bytes.
std::string ansiToUtf8(std::string_view ansi);

// Code page 936 to UTF-16 and back; the UTF-16 edge of the regex adapter and the JSON library.
std::u16string ansiToUtf16(std::string_view ansi);
// The same into `out`, replacing its contents but keeping its storage: a long-lived buffer is
// not allocated (and its pages not faulted in) anew for every large text.
void ansiToUtf16(std::string_view ansi, std::u16string& out);
// The same into `out`, which has room for ansi.size() characters (more are never needed);
// returns the number of characters written.
std::size_t ansiToUtf16(std::string_view ansi, char16_t* out);
Text utf16ToAnsi(std::u16string_view utf16);
std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

// True when the bytes are well-formed UTF-8 (ASCII included).
bool isValidUtf8(std::string_view bytes);

// Percent-encodes every byte except, with keepUnreserved, "-", "." and ASCII letters and digits.
// With asUtf8 the UTF-8 bytes of the text are encoded, otherwise its code page 936 bytes.
Text urlEncode(std::string_view text, bool keepUnreserved, bool asUtf8);

// Reads the bytes as UTF-16 little-endian text; an odd last byte is dropped.
Text decodeUtf16Bytes(std::string_view bytes);

// Decodes the bytes in fromCharset and encodes the text in toCharset, dropping the first `skip`
// bytes of the result when given. Empty charset names mean "UTF-8" and "GBK". Accepts the names
// people write: UTF-8, GBK, GB2312, GB18030, BIG5, unicode / UTF-16LE, UTF-16BE, ISO-8859-1 and
// anything else iconv knows, in any case. An unknown charset gives an empty result.
Bytes transcodeBytes(std::string_view bytes, std::string_view fromCharset = {},
                     std::string_view toCharset = {}, std::optional<int> skip = {});

// Date-time: days since 1899-12-30 00:00 local time, the fraction being the time of day.
double nowDateTime();
// Local calendar fields to a date-time; no validation beyond what the calendar needs.
double makeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Formats with the date and time pictures ("yyyy", "MM", "M", "dd", "d", "hh", "h", "HH", "H",
// "mm", "ss"; every other character is copied). A picture shorter than 3 bytes gives an empty
// part. An invalid date-time gives an empty text.
Text formatDateTime(double dateTime, std::string_view dateFormat = {},
                    std::string_view timeFormat = {}, bool force24Hour = false);

// The stored time stamp format: style 0 to 3 picks the separators, part picks which fields.
Text dateTimeToText(std::optional<double> dateTime = {}, int style = 0, int part = 0);

// True when the user's LC_TIME locale writes the time on the 24-hour clock.
bool localeUses24Hour();

}  // namespace vesprey
