// What both programs' command lines share beyond the switch test: the note
// for a '/' word that looks like a switch but is read as a path, and one
// line read from standard input.

#include "platform/system.h"

namespace platform {

std::string SwitchLookingPathNote(const std::string& word, const std::string& letters,
                                  bool any_case) {
  if (word.size() < 3 || word[0] != '/' || IsSwitchToken(word.c_str())) return "";
  char letter = word[1];
  if (any_case && letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
  if (letters.find(letter) == std::string::npos) return "";
  return word + " is read as a path, not as the switch " + word.substr(0, 2) +
         " (a \"/\" word holding a further \"/\" is a path); for the switch write -" +
         word.substr(1);
}

InputLine ReadStandardInputLine(size_t limit, std::string* line) {
  line->clear();
  std::string bytes;
  // The line, CR LF and one byte more tell a line that is too long or is
  // followed by another from one that fits.
  if (!ReadStandardInput(limit + 3, &bytes)) return InputLine::kUnreadable;
  size_t end = bytes.find('\n');
  size_t line_end = end == std::string::npos ? bytes.size() : end;
  if (end != std::string::npos && line_end > 0 && bytes[line_end - 1] == '\r') --line_end;
  if (line_end > limit) return InputLine::kTooLong;
  if (end != std::string::npos && end + 1 < bytes.size()) return InputLine::kMoreThanOneLine;
  if (end == std::string::npos && bytes.size() > limit) return InputLine::kTooLong;
  *line = bytes.substr(0, line_end);
  if (line->find('\0') != std::string::npos) {
    line->clear();
    return InputLine::kHoldsNul;
  }
  return line->empty() ? InputLine::kEmpty : InputLine::kRead;
}

}  // namespace platform
