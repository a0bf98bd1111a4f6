// Helpers shared by the tests: temporary folders, whole-file reads and
// writes, running the programs, and the independent readers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it when
// the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);  // "" when missing
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);

// The project's source folder, its build folder, a program built there
// ("Quarlen", "Rebolan", "cfbtool") and a fixture below tests/fixtures.
std::string SourceDir();
std::string BinaryDir();
std::string ProgramPath(const std::string& name);
std::string FixturePath(const std::string& relative);

struct RunResult {
  int exit_status = -1;  // the process's exit status, -1 when it did not exit
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path) without a shell in folder `cwd` (empty: the
// current one), with extra environment entries `env` ("NAME" -> "value";
// a value of "\x01unset" removes the variable), feeding `input` to stdin.
RunResult Run(const std::vector<std::string>& argv, const std::string& cwd = "",
              const std::map<std::string, std::string>& env = {},
              const std::string& input = "");

// Starts `argv` as Run does, with its stderr written to the file `err_path`,
// and returns at once: the child's process id, to wait for with waitpid.
int Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& err_path);

// Run as a user to whom permission bits apply: this process's own, or when
// that is root, for whom they deny nothing (as in CI), the user nobody.
RunResult RunAsReader(const std::vector<std::string>& argv, const std::string& cwd = "",
                      const std::map<std::string, std::string>& env = {},
                      const std::string& input = "");
// Gives `path` the permission bits `mode`, and to the user RunAsReader runs
// as (chown, when this process is root): a file given with 0444 is one that
// user may read and not write, and may delete from a folder given with 0755.
void GiveToReader(const std::string& path, unsigned mode);

// The tree of a compound file as Python olefile reads it (Debian's
// /usr/bin/python3 with python3-olefile): one line per element in the form
// "S path" for a storage and "F path size hex-bytes" for a stream, sorted by
// path, paths joined with '/'. "ERROR: ..." when olefile refuses the file.
std::string OlefileDump(const std::string& cnf_path);

// Every element of a compound file as this project's engine reads it:
// "path/name" -> bytes for a stream, "path/name/" -> "" for a storage;
// {"absent", ""} when there is no file, {"unreadable", ""} when the engine
// refuses it. Times and CLSIDs are left out. Opening the file takes back a
// journal left beside it, as every program's open does.
std::map<std::string, std::string> StorageContents(const std::string& path);

// The paths of the entries of `folder`, sorted; none when it cannot be read.
std::vector<std::string> FolderEntries(const std::string& folder);

// The files below `folder`, those in its folders included, sorted; a folder
// with nothing in it is listed itself (so that an empty private folder left
// behind shows).
std::vector<std::string> FilesBelow(const std::string& folder);

// Hex of bytes, lower case, no separators.
std::string Hex(const std::string& bytes);

// 32-bit little-endian encoding, for writing expected stream bytes.
std::string Le32(uint32_t v);

}  // namespace testing_support
