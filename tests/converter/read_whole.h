// A version-615 file read as Rebolan reads it, for the tests of what comes
// after the reading (the emitter, the check of a converted file).
#pragma once

#include <memory>
#include <string>

#include "converter/old_config_reader.h"
#include "platform/storage.h"

namespace converter {

struct ReadWhole {
  StoredConfiguration config;
  std::string stored_password;
  int result = 0;  // the OR of the reads' results; an open's HRESULT
};

inline ReadWhole ReadWholeFile615(const std::string& path) {
  ReadWhole read;
  std::unique_ptr<platform::Storage> root;
  read.result = OpenConfiguration(path, false, &root);
  if (!root) return read;
  read.result |= ReadStoredPassword(root.get(), path, &read.stored_password);
  read.result |= ReadTaskAreas(root.get(), path, kOldVersion, &read.config);
  return read;
}

}  // namespace converter
