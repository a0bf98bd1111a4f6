// The skeleton of a new version-616 configuration file.

#include "builder/config_layout.h"

#include <memory>

#include "platform/storage.h"
#include "platform/text.h"

namespace builder {

std::string ConfigPath;
std::string DomainName;
std::string UserName;

bool CreateSkeleton(const std::string& path) {
  using platform::AnsiToWide;
  using platform::kStorageMode;
  std::unique_ptr<platform::Storage> root;
  if (FAILED(platform::CreateStorageFile(path, kStorageMode, &root))) return false;

  {
    std::unique_ptr<platform::Stream> version;
    if (FAILED(root->CreateStream(AnsiToWide(kVersionStreamName), kStorageMode, &version))) {
      return false;
    }
    const uint8_t bytes[4] = {kFormatVersion & 0xFF, (kFormatVersion >> 8) & 0xFF, 0, 0};
    uint32_t written = 0;
    version->Write(bytes, sizeof bytes, &written);  // checked by the version test on open
  }
  {
    std::unique_ptr<platform::Storage> passwords;
    if (FAILED(root->CreateStorage(AnsiToWide(kPasswordStorageName), kStorageMode, &passwords))) {
      return false;
    }
  }
  {
    std::unique_ptr<platform::Storage> common;
    if (FAILED(root->CreateStorage(AnsiToWide(kCommonStorageName), kStorageMode, &common))) {
      return false;
    }
    std::unique_ptr<platform::Storage> read_only;
    if (FAILED(common->CreateStorage(AnsiToWide(kReadOnlyStorageName), kStorageMode,
                                     &read_only))) {
      return false;
    }
  }
  {
    std::unique_ptr<platform::Storage> domain;
    if (FAILED(root->CreateStorage(AnsiToWide(kDefaultDomainName), kStorageMode, &domain))) {
      return false;
    }
  }
  return true;  // releasing the root puts everything into the file
}

}  // namespace builder
