// The schema of the INI text: the keys the reader asks for are the keys the
// review knows, and the keys outside it are told from language keys.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "builder/config_layout.h"
#include "builder/ini_conversion.h"
#include "builder/ini_review.h"
#include "platform/profile.h"

namespace builder {
namespace {

// A profile that remembers every section and key it was asked for.
class FakeRecordingProfile : public platform::ProfileFile {
 public:
  explicit FakeRecordingProfile(const std::string& text)
      : text_(platform::ProfileFile::FromText(text)) {}
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, uint32_t size,
                        bool keep_quotes) const override {
    asked.insert({section, key});
    return text_->GetString(section, key, default_value, size, keep_quotes);
  }
  uint32_t GetInt(const std::string& section, const std::string& key,
                  int32_t default_value) const override {
    asked.insert({section, key});
    return text_->GetInt(section, key, default_value);
  }
  const std::string& Text() const override { return text_->Text(); }
  uint64_t SourceSize() const override { return text_->SourceSize(); }
  std::vector<std::string> SectionNames() const override { return text_->SectionNames(); }
  std::vector<std::string> KeyNames(const std::string& section) const override {
    return text_->KeyNames(section);
  }
  void Locate(size_t offset, std::string* section, std::string* key) const override {
    text_->Locate(offset, section, key);
  }
  mutable std::set<std::pair<std::string, std::string>> asked;

 private:
  std::unique_ptr<platform::ProfileFile> text_;
};

// Every module and option switched on, once as a private and once as a
// shared task, so that the reader asks for every key it knows.
TEST(IniSchemaTest, EveryKeyTheReaderAsksForIsInTheSchema) {
  std::string every_switch;
  for (const char* key : kTaskSwitchKeys) every_switch += std::string(key) + "=1\r\n";
  for (const char* is_private : {"1", "0"}) {
    // No HexPassword, so that Password is asked for too.
    FakeRecordingProfile ini("[MAIN]\r\nNumTasks=1\r\n[ToDelete]\r\n"
                             "NumTasks=1\r\n[Task0]\r\n" + every_switch +
                             "IsPrivate=" + is_private + "\r\nIsReadOnly=0\r\n");
    PlanLanguagePass(ini, "ENG");
    PlanDeletion(ini, 0);
    PlanTask(ini, 0, "ENG");
    ASSERT_GT(ini.asked.size(), 30u);
    for (const auto& [section, key] : ini.asked) {
      EXPECT_TRUE(IsSchemaKey(section, key)) << "[" << section << "] " << key;
    }
  }
  DomainName.clear();
  UserName.clear();
}

TEST(IniSchemaTest, KeysInAndOutOfTheSchema) {
  struct Case {
    const char* section;
    const char* key;
    bool known;
  };
  const Case cases[] = {
      {"MAIN", "NumTasks", true},       {"main", "numtasks", true},
      {"MAIN", "OutputENG", true},      {"MAIN", "Output", true},
      {"MAIN", "Output123456789AB", true},   // a code of 11 characters
      {"MAIN", "Output123456789ABC", false},  // 12: no language code
      {"MAIN", "DeleleteOldCNF", true}, {"MAIN", "DeleteOldCNF", false},
      {"MAIN", "RGWPassword", true},    {"MAIN", "NameENG", false},
      {"ToDelete", "NumTasks", true},   {"ToDelete", "Task12", true},
      {"ToDelete", "Task012", false},   {"ToDelete", "Password", false},
      {"Task3", "NameDEU", true},       {"Task3", "ReportFileName", true},
      {"Task3", "IsShared", true},      {"Task3", "SendTo", true},
      {"Task3", "Areas", true},         {"Task3", "Area", false},
      {"Task3", "NumTasks", false},     {"Task3", "IsSharedENG", false},
      {"Other", "NameENG", false},      {"Task03", "NameENG", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSchemaKey(c.section, c.key), c.known) << "[" << c.section << "] " << c.key;
  }
}

}  // namespace
}  // namespace builder
