// The listing of a dry run. See dry_run_listing.h.

#include "builder/dry_run_listing.h"

#include <cstdio>

#include "builder/config_layout.h"
#include "platform/program_main.h"

namespace builder {

namespace {

// A free text as one field: control bytes as \xHH, so that a tab or line
// end in a name never splits the line.
std::string Field(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Line(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line.push_back('\t');
    line += fields[i];
  }
  return line + "\n";
}

std::string PasswordKind(const PasswordDone& p) {
  if (std::string(p.stream) == kSecondPasswordStreamName) return "second";
  return p.hex ? "main-hex" : "main";
}

std::string PassLines(const PassDone& pass) {
  const std::string language = Field(pass.plan.language);
  const std::string path = Field(pass.plan.config_path);
  if (pass.refused) return Line({"output", language, "in-conversion", path});
  std::string text = Line({"output", language, pass.existed ? "exists" : "absent",
                           pass.exists_after ? "exists" : "absent", path});
  if (pass.plan.delete_old) text += Line({"delete-old", language, path});
  for (const PasswordDone& p : pass.passwords) {
    text += Line({"password", language, PasswordKind(p), p.stored ? "stores" : "fails"});
  }
  for (const DeletionDone& d : pass.deletions) {
    switch (d.outcome) {
      case DeleteOutcome::kDeleted:
        text += Line({"delete", language, "removes", Field(d.place), Field(d.stream),
                      Field(d.name)});
        break;
      case DeleteOutcome::kNotFound:
        text += Line({"delete", language, "none", Field(d.name)});
        break;
      case DeleteOutcome::kFailed:
        text += Line({"delete", language, "fails", Field(d.why), Field(d.name)});
        break;
    }
  }
  for (const TaskDone& t : pass.tasks) {
    if (t.written) {
      text += Line({"task", language, "writes", Field(t.place), Field(t.stream), t.section,
                    Field(t.name)});
    } else {
      text += Line({"task", language, "fails", Field(t.place), Field(t.why), t.section,
                    Field(t.name)});
    }
  }
  return text;
}

}  // namespace

std::string DryRunListing(const std::vector<IniDone>& inis, int32_t result) {
  std::string text = Line({"dry-run", std::to_string(kDryRunListingVersion)});
  for (const IniDone& ini : inis) {
    text += Line({"ini", ini.found ? "read" : "missing", Field(ini.ini_path)});
    for (const PassDone& pass : ini.passes) text += PassLines(pass);
  }
  bool passed = false;
  char hex[11];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(result));
  text += Line({"exit", std::to_string(platform::PosixExitStatus(result, &passed)), hex});
  return text;
}

std::string ListingNotWrittenMessage() {
  return "the listing of the dry run could not be written to standard output";
}

std::string NoDryRunMessage() {
  return "this build has no dry run (/D); nothing was done";
}

}  // namespace builder
