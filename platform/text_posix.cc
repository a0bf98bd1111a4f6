// The ANSI code page on POSIX: 1252 unless $TORVI32_ACP names another
// Windows code page, converted through iconv. Single-byte code pages use
// tables built once from iconv; double-byte ones call iconv per text.

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

class CodePage {
 public:
  CodePage() {
    const char* env = std::getenv("TORVI32_ACP");
    std::string number = (env != nullptr && *env != '\0') ? env : "1252";
    if (!Init(number)) {
      Report("the code page $TORVI32_ACP=" + number + " is not known here; using 1252");
      Init("1252");
    }
  }
  ~CodePage() {
    if (to_wide_ != reinterpret_cast<iconv_t>(-1)) iconv_close(to_wide_);
    if (to_ansi_ != reinterpret_cast<iconv_t>(-1)) iconv_close(to_ansi_);
  }

  bool single_byte() const { return single_byte_; }
  unsigned number() const { return number_; }
  bool IsLeadByte(unsigned char byte) const { return !single_byte_ && lead_[byte]; }

  std::u16string ToWide(const std::string& text) const;
  std::string ToAnsi(const std::u16string& text) const;

 private:
  bool Init(const std::string& number);
  // Converts one character's bytes; false when iconv refuses them.
  bool ConvertOne(const char* bytes, size_t n, std::u16string* out) const;

  bool single_byte_ = true;
  unsigned number_ = 1252;
  iconv_t to_wide_ = reinterpret_cast<iconv_t>(-1);
  iconv_t to_ansi_ = reinterpret_cast<iconv_t>(-1);
  char16_t byte_to_wide_[256] = {};
  bool lead_[256] = {};
  std::vector<int16_t> wide_to_byte_;  // 65536 entries, -1 for no mapping
};

bool CodePage::Init(const std::string& number) {
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  std::string name = "CP" + number;
  iconv_t to_wide = iconv_open("UTF-16LE", name.c_str());
  if (to_wide == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_t to_ansi = iconv_open(name.c_str(), "UTF-16LE");
  if (to_ansi == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(to_wide);
    return false;
  }
  to_wide_ = to_wide;
  to_ansi_ = to_ansi;
  number_ = static_cast<unsigned>(std::stoul(number));
  single_byte_ = !(number == "932" || number == "936" || number == "949" || number == "950");
  if (!single_byte_) {
    // A byte starts a two-byte character when it is not a character alone
    // but is one together with some trail byte.
    for (int b = 0x80; b < 256; ++b) {
      char one = static_cast<char>(b);
      std::u16string ignored;
      if (ConvertOne(&one, 1, &ignored)) continue;
      for (int t = 0x40; t < 256 && !lead_[b]; ++t) {
        char two[2] = {static_cast<char>(b), static_cast<char>(t)};
        lead_[b] = ConvertOne(two, 2, &ignored);
      }
    }
    return true;
  }
  wide_to_byte_.assign(65536, -1);
  for (int b = 255; b >= 0; --b) {
    char one = static_cast<char>(b);
    std::u16string wide;
    // A byte without a character of its own keeps its number, as Windows
    // maps 0x81 of 1252 to U+0081, so that every byte survives a round trip.
    char16_t c = (ConvertOne(&one, 1, &wide) && wide.size() == 1) ? wide[0]
                                                                   : static_cast<char16_t>(b);
    byte_to_wide_[b] = c;
  }
  for (int b = 255; b >= 0; --b) wide_to_byte_[byte_to_wide_[b]] = static_cast<int16_t>(b);
  return true;
}

bool CodePage::ConvertOne(const char* bytes, size_t n, std::u16string* out) const {
  char16_t buffer[4];
  char* in = const_cast<char*>(bytes);
  size_t in_left = n;
  char* outp = reinterpret_cast<char*>(buffer);
  size_t out_left = sizeof buffer;
  iconv(to_wide_, nullptr, nullptr, nullptr, nullptr);
  if (iconv(to_wide_, &in, &in_left, &outp, &out_left) == static_cast<size_t>(-1) ||
      in_left != 0) {
    return false;
  }
  out->assign(buffer, (sizeof buffer - out_left) / 2);
  return true;
}

std::u16string CodePage::ToWide(const std::string& text) const {
  std::u16string wide;
  wide.reserve(text.size());
  if (single_byte_) {
    for (unsigned char b : text) wide.push_back(byte_to_wide_[b]);
    return wide;
  }
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      wide.push_back(b);
      ++i;
      continue;
    }
    size_t n = (lead_[b] && i + 1 < text.size()) ? 2 : 1;
    std::u16string one;
    if (ConvertOne(text.data() + i, n, &one)) {
      wide += one;
    } else {
      wide.push_back(kReplacement);
    }
    i += n;
  }
  return wide;
}

std::string CodePage::ToAnsi(const std::u16string& text) const {
  std::string ansi;
  ansi.reserve(text.size());
  if (single_byte_) {
    for (char16_t c : text) {
      int16_t b = wide_to_byte_[c];
      ansi.push_back(b < 0 ? '?' : static_cast<char>(b));
    }
    return ansi;
  }
  for (char16_t c : text) {
    if (c < 0x80) {
      ansi.push_back(static_cast<char>(c));
      continue;
    }
    char buffer[8];
    char* in = reinterpret_cast<char*>(&c);
    size_t in_left = 2;
    char* outp = buffer;
    size_t out_left = sizeof buffer;
    iconv(to_ansi_, nullptr, nullptr, nullptr, nullptr);
    // A surrogate alone is refused by iconv; a pair is beyond every ANSI
    // code page anyway, so each of its halves becomes '?'.
    if (iconv(to_ansi_, &in, &in_left, &outp, &out_left) == static_cast<size_t>(-1)) {
      ansi.push_back('?');
    } else {
      ansi.append(buffer, sizeof buffer - out_left);
    }
  }
  return ansi;
}

const CodePage& Ansi() {
  static const CodePage* code_page = new CodePage();  // lives to the end
  return *code_page;
}

bool IsAscii(const std::string& text) {
  for (unsigned char b : text) {
    if (b >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::u16string AnsiToWide(const std::string& text) {
  if (IsAscii(text)) return std::u16string(text.begin(), text.end());
  return Ansi().ToWide(text);
}

std::string WideToAnsi(const std::u16string& text) { return Ansi().ToAnsi(text); }

bool EqualNoCaseAnsi(const std::string& a, const std::string& b) {
  if (IsAscii(a) && IsAscii(b)) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (UpperCaseChar(static_cast<unsigned char>(a[i])) !=
          UpperCaseChar(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return true;
  }
  return FoldedWide(a) == FoldedWide(b);
}

bool IsAnsiLeadByte(unsigned char byte) { return Ansi().IsLeadByte(byte); }

unsigned AnsiCodePage() { return Ansi().number(); }

bool AnsiCodePageIsDoubleByte() { return !Ansi().single_byte(); }

// Paths are bytes here; file names are UTF-8 by custom.
std::string PathToUtf8(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    uint32_t code = 0;
    const size_t length = DecodeUtf8(path, i, &code);
    AppendUtf8(length == 0 ? 0xFFFD : code, &out);
    i += length == 0 ? 1 : length;
  }
  return out;
}

}  // namespace platform
