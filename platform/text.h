// Text in the system's ANSI code page and its conversions to and from the
// UTF-16 names of structured storage.
//
// The code page is GetACP() on Windows; on POSIX 1252 unless $TORVI32_ACP
// names another Windows code page (1250, 1251, 932, ...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/upper_case.h"  // UpperCaseChar: the fold of EqualNoCaseAnsi

namespace platform {

// MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_USEGLYPHCHARS, ...).
// Never fails: in a single-byte code page a byte without a character of its
// own becomes the control character of the same number (as Windows does for
// 0x81 in 1252); an invalid double-byte sequence becomes U+FFFD.
std::u16string AnsiToWide(const std::string& text);

// WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_SEPCHARS, ...); a
// character without a mapping becomes '?'.
std::string WideToAnsi(const std::u16string& text);

// lstrcmpiA(a, b) == 0: equal after conversion to UTF-16 and simple
// upper-case folding.
bool EqualNoCaseAnsi(const std::string& a, const std::string& b);

// `text` converted with AnsiToWide and folded with UpperCaseChar: a key
// under which names equal by EqualNoCaseAnsi's rule meet.
std::u16string FoldedWide(const std::string& text);

// The text of a file that begins with the UTF-16LE byte-order mark, decoded
// and converted with WideToAnsi (an odd last byte is dropped). Returns
// false, *ansi untouched, when `bytes` does not begin with the mark.
bool DecodeMarkedUtf16Le(const std::string& bytes, std::string* ansi);

// The number of the ANSI code page (1252, 932, ...), and whether it has
// two-byte characters (932, 936, 949, 950).
unsigned AnsiCodePage();
bool AnsiCodePageIsDoubleByte();

// The UTF-8 character at text[at]: its length in bytes, with *code its code
// point; 0 when none starts there (the end, a stray continuation byte, an
// overlong form, a surrogate, a value above U+10FFFF, a cut sequence).
size_t DecodeUtf8(const std::string& text, size_t at, uint32_t* code);

// Whether `text` holds a byte above 0x7F and is valid UTF-8 throughout: no
// stray continuation byte, no overlong form, no surrogate, nothing above
// U+10FFFF.
bool IsUtf8BeyondAscii(const std::string& text);

// Whether `text` reads as text of the ANSI code page. Every byte, or pair of
// a lead and a trail byte, must convert to a character of the code page
// (not U+FFFD, not one of the control characters U+0080..U+009F that a
// byte without a character of its own becomes). A single-byte code page has
// a character for nearly every byte, so bytes alone cannot tell its text
// from UTF-8; there text that IsUtf8BeyondAscii does not count as ANSI text
// either: letters above 0x7F in ANSI text practically never form UTF-8
// (each would need one to three bytes of 0x80..0xBF behind it, and in 1252
// these are symbols and punctuation).
bool IsAnsiText(const std::string& text);

// Whether `byte` starts a two-byte character in the ANSI code page
// (IsDBCSLeadByte); always false in single-byte code pages.
bool IsAnsiLeadByte(unsigned char byte);

// `text` with every control character (below 0x20, and 0x7F) written as
// \xNN: how a message shows a name taken from a file, so that a line break,
// an escape sequence or a NUL in it never reaches the terminal or a log raw.
std::string EscapeControlCharacters(const std::string& text);

// The Unicode code points of UTF-16 text; a lone surrogate stays as it is.
std::vector<uint32_t> CodePoints(const std::u16string& text);

// Appends code point `code` (at most U+10FFFF) to *out in UTF-8.
void AppendUtf8(uint32_t code, std::string* out);

// UTF-16 text as UTF-8, a lone surrogate as U+FFFD.
std::string WideToUtf8(const std::u16string& text);

// A file path (in the encoding that file paths take: bytes on POSIX, the
// ANSI code page on Windows) as UTF-8 text to show or to write into a
// report. On POSIX a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string PathToUtf8(const std::string& path);

}  // namespace platform
