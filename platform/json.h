// JSON text for machine-readable output: strings, escaped as RFC 8259 asks.
#pragma once

#include <string>

namespace platform {

// Appends `text` (UTF-8) as a JSON string: '"' and '\' escaped, control
// characters (and DEL) as \u00XX. A byte that is not part of valid UTF-8 is
// written as U+FFFD, so that the output is always valid JSON.
void AppendJsonString(const std::string& text, std::string* out);

// Appends UTF-16 text (an element name exactly as stored) as a JSON string;
// a lone surrogate is written as its \uXXXX escape.
void AppendJsonName(const std::u16string& name, std::string* out);

// AppendJsonString into a new string.
std::string JsonString(const std::string& text);

}  // namespace platform
