// Runs the examples of the documentation, so that the docs cannot drift
// from the programs. The convention for fenced blocks in README.md,
// docs/*.md and examples/README.md:
//   ```sh       commands run by bash -euo pipefail; they must succeed.
//   ```console  "$ command" lines, each followed by its exact standard output.
//   ```ini      an INI description, built by Quarlen without a task refused.
//   anything else (```text, indented blocks) is shown, not run: commands that
//   build the project, take minutes, or only apply after a failure.
// The blocks of one page run in order in one temporary folder, which holds
// a copy of the bundled example as ./Torvi32.CNF, /var/lib/torvi32/Torvi32.CNF
// and /srv/torvi32/Torvi32.CNF: the absolute paths /var/lib/torvi32/,
// /root/, /srv/ and /etc/torvi32.reg of a block are moved below that folder,
// and the registry file there names the example.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::SourceDir;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

struct Block {
  std::string page;  // relative to the source folder
  int line = 0;      // of the opening fence
  std::string lang;
  std::string text;  // without the fences
};

std::vector<Block> FencedBlocks(const std::string& page) {
  std::vector<Block> blocks;
  std::istringstream lines(ReadWholeFile(SourceDir() + "/" + page));
  std::string line;
  int number = 0;
  Block* open = nullptr;
  while (std::getline(lines, line)) {
    ++number;
    if (line.rfind("```", 0) == 0) {
      if (open == nullptr) {
        blocks.push_back({page, number, line.substr(3), ""});
        open = &blocks.back();
      } else {
        open = nullptr;
      }
    } else if (open != nullptr) {
      open->text += line + "\n";
    }
  }
  if (open != nullptr) ADD_FAILURE() << page << ":" << open->line << ": fence never closed";
  return blocks;
}

std::vector<std::string> Pages() {
  std::vector<std::string> pages = {"README.md", "examples/README.md"};
  std::vector<std::string> docs;
  if (DIR* dir = opendir((SourceDir() + "/docs").c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > 3 && name.compare(name.size() - 3, 3, ".md") == 0) {
        docs.push_back("docs/" + name);
      }
    }
    closedir(dir);
  }
  std::sort(docs.begin(), docs.end());
  pages.insert(pages.end(), docs.begin(), docs.end());
  return pages;
}

// The block's text with the documented absolute paths moved below `root`,
// in one pass so that a replacement is never replaced again.
std::string MoveBelow(const std::string& text, const std::string& root) {
  static const char* const kPrefixes[] = {"/var/lib/torvi32/", "/root/", "/srv/",
                                          "/etc/torvi32.reg"};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    for (const std::string prefix : kPrefixes) {
      if (text.compare(i, prefix.size(), prefix) == 0) {
        out += root;  // the prefix itself follows, copied as it stands
        break;
      }
    }
    out += text[i];
  }
  return out;
}

std::string TrimLineEnds(const std::string& text) {
  std::istringstream lines(text);
  std::string line, out;
  while (std::getline(lines, line)) {
    line.erase(line.find_last_not_of(" \t\r") + 1);
    out += line + "\n";
  }
  return out;
}

// One page's folder: the example in place and an environment that finds
// the programs just built.
class PageFolder {
 public:
  PageFolder() {
    const std::string example = ReadWholeFile(SourceDir() + "/examples/Torvi32.CNF");
    for (const char* sub : {"/var", "/var/lib", "/var/lib/torvi32", "/root", "/srv", "/etc",
                            "/tmp"}) {
      mkdir((dir_.path() + sub).c_str(), 0700);
    }
    WriteWholeFile(dir_.File("Torvi32.CNF"), example);
    WriteWholeFile(dir_.path() + "/var/lib/torvi32/Torvi32.CNF", example);
    mkdir((dir_.path() + "/srv/torvi32").c_str(), 0700);
    WriteWholeFile(dir_.path() + "/srv/torvi32/Torvi32.CNF", example);
    WriteWholeFile(dir_.path() + "/etc/torvi32.reg",
                   "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\n"
                   "\"CFG\"=\"" + dir_.path() + "/var/lib/torvi32/Torvi32.CNF\"\n");
    std::string programs = ProgramPath("Quarlen");
    programs.erase(programs.rfind('/'));
    const char* path = std::getenv("PATH");
    env_ = {{"PATH", programs + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
            {"TORVI32_REGISTRY", dir_.path() + "/etc/torvi32.reg"},
            {"WINDIR", dir_.path() + "/etc"},
            {"TMPDIR", dir_.path() + "/tmp"},
            {"LC_ALL", "C"}};
  }

  RunResult Shell(const std::string& script) const {
    return testing_support::Run({"/bin/bash", "-euo", "pipefail", "-c",
                                 MoveBelow(script, dir_.path())},
                                dir_.path(), env_);
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
};

std::string Where(const Block& block) {
  return block.page + ":" + std::to_string(block.line) + ": ```" + block.lang + " block\n" +
         block.text;
}

void RunShellBlock(const PageFolder& folder, const Block& block) {
  RunResult result = folder.Shell(block.text);
  EXPECT_EQ(result.exit_status, 0) << Where(block) << "stdout:\n"
                                   << result.out << "stderr:\n"
                                   << result.err;
}

void RunConsoleBlock(const PageFolder& folder, const Block& block) {
  std::istringstream lines(block.text);
  std::string line;
  std::vector<std::pair<std::string, std::string>> commands;  // command, expected output
  while (std::getline(lines, line)) {
    if (line.rfind("$ ", 0) == 0) {
      commands.push_back({line.substr(2), ""});
    } else if (commands.empty()) {
      ADD_FAILURE() << Where(block) << "output before the first \"$ \" line";
      return;
    } else {
      commands.back().second += line + "\n";
    }
  }
  for (const auto& [command, expected] : commands) {
    RunResult result = folder.Shell(command);
    EXPECT_EQ(result.exit_status, 0) << Where(block) << "stderr:\n" << result.err;
    EXPECT_EQ(TrimLineEnds(result.out), TrimLineEnds(expected)) << Where(block);
  }
}

void BuildIniBlock(const PageFolder& folder, const Block& block, int index) {
  const std::string ini = folder.path() + "/example" + std::to_string(index) + ".ini";
  WriteWholeFile(ini, block.text);
  // Listed first: the dry run of the example changes no file and lists
  // every task it then builds as written.
  const std::vector<std::string> files = testing_support::FilesBelow(folder.path());
  std::string contents;
  for (const std::string& file : files) contents += file + "\n" + ReadWholeFile(file);
  RunResult listed = folder.Shell("Quarlen -D " + ini);
  EXPECT_EQ(listed.exit_status, 0) << Where(block) << listed.err;
  EXPECT_EQ(listed.out.find("\tfails\t"), std::string::npos) << Where(block) << listed.out;
  std::string after;
  for (const std::string& file : testing_support::FilesBelow(folder.path())) {
    after += file + "\n" + ReadWholeFile(file);
  }
  EXPECT_EQ(after, contents) << Where(block) << "the dry run changed a file";
  RunResult result = folder.Shell("Quarlen " + ini);
  EXPECT_EQ(result.exit_status, 0) << Where(block) << result.err;
  EXPECT_EQ(result.err.find("not written"), std::string::npos) << Where(block) << result.err;
  EXPECT_EQ(result.err.find("left out"), std::string::npos) << Where(block) << result.err;
}

TEST(DocsExamples, EveryRunnableBlockSucceeds) {
  int run = 0;
  for (const std::string& page : Pages()) {
    std::vector<Block> blocks = FencedBlocks(page);
    PageFolder folder;
    int index = 0;
    for (const Block& block : blocks) {
      ++index;
      if (block.lang == "sh") {
        RunShellBlock(folder, block);
      } else if (block.lang == "console") {
        RunConsoleBlock(folder, block);
      } else if (block.lang == "ini") {
        BuildIniBlock(folder, block, index);
      } else if (block.lang == "bash" || block.lang == "shell" || block.lang == "shell-session") {
        ADD_FAILURE() << Where(block) << "mark commands ```sh (run) or ```text (shown only)";
        continue;
      } else {
        continue;
      }
      ++run;
    }
  }
  EXPECT_GE(run, 8) << "the docs' examples were not found";
}

// The commands between .EX and .EE in a manual page's EXAMPLES section, with
// the roff escapes that the pages use turned back into characters.
std::vector<Block> ManualPageExamples(const std::string& page) {
  static const std::pair<const char*, const char*> kEscapes[] = {
      {"\\e", "\\"}, {"\\-", "-"}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\&", ""}};
  std::vector<Block> blocks;
  std::istringstream lines(ReadWholeFile(SourceDir() + "/" + page));
  std::string line;
  int number = 0;
  bool in_examples = false;
  Block* open = nullptr;
  while (std::getline(lines, line)) {
    ++number;
    if (line.rfind(".SH ", 0) == 0) in_examples = line == ".SH EXAMPLES";
    if (!in_examples) continue;
    if (line == ".EX") {
      blocks.push_back({page, number, "sh", ""});
      open = &blocks.back();
    } else if (line == ".EE") {
      open = nullptr;
    } else if (open != nullptr) {
      for (const auto& [escape, character] : kEscapes) {
        for (size_t at = line.find(escape); at != std::string::npos;
             at = line.find(escape, at + std::string(character).size())) {
          line.replace(at, std::string(escape).size(), character);
        }
      }
      open->text += line + "\n";
    }
  }
  return blocks;
}

TEST(DocsExamples, ManualPageExamplesSucceed) {
  for (const char* page : {"docs/man/Quarlen.1", "docs/man/Rebolan.1", "docs/man/cfbtool.1"}) {
    std::vector<Block> blocks = ManualPageExamples(page);
    EXPECT_FALSE(blocks.empty()) << page;
    PageFolder folder;
    for (const Block& block : blocks) RunShellBlock(folder, block);
  }
}

// The INI example of the format page builds every task it describes.
TEST(DocsExamples, IniFormatExampleBuildsItsTasks) {
  std::vector<Block> blocks = FencedBlocks("docs/ini-format.md");
  auto ini = std::find_if(blocks.begin(), blocks.end(),
                          [](const Block& b) { return b.lang == "ini"; });
  ASSERT_NE(ini, blocks.end());
  PageFolder folder;
  BuildIniBlock(folder, *ini, 0);
  RunResult listed = folder.Shell("for f in C*.CNF; do cfbtool ls \"$f\"; done");
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  int streams = 0;
  std::istringstream lines(listed.out);
  std::string line;
  while (std::getline(lines, line)) streams += line.rfind("stream ", 0) == 0;
  // The private, the common and the read-only task, cc012, ro012 and _Version_.
  EXPECT_EQ(streams, 6) << listed.out;
  EXPECT_NE(listed.out.find("storage               anna\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("      Guard\n"), std::string::npos) << listed.out;
}

TEST(DocsExamples, ReadmeLinksEveryPage) {
  const std::string readme = ReadWholeFile(SourceDir() + "/README.md");
  for (const std::string& page : Pages()) {
    if (page.rfind("docs/", 0) != 0) continue;
    EXPECT_NE(readme.find("(" + page + ")"), std::string::npos) << page;
  }
}

TEST(DocsExamples, ManualPagesRenderWithoutWarnings) {
  if (!PathExists("/usr/bin/groff")) GTEST_SKIP() << "groff is not installed";
  for (const char* page : {"Quarlen.1", "Rebolan.1", "cfbtool.1"}) {
    const std::string path = SourceDir() + "/docs/man/" + page;
    ASSERT_TRUE(PathExists(path)) << path;
    RunResult result = testing_support::Run({"/usr/bin/groff", "-man", "-ww", "-z", path});
    EXPECT_EQ(result.exit_status, 0) << page;
    EXPECT_EQ(result.err, "") << page;
  }
}

}  // namespace
