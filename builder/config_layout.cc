// The skeleton of a new version-616 configuration file.

#include "builder/config_layout.h"

#include <memory>

#include "platform/little_endian.h"
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
    uint8_t bytes[4];
    platform::Put32(bytes, kFormatVersion);
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

std::string SecondPasswordPlace() {
  return std::string(kPasswordStorageName) + "/" + kSecondPasswordStreamName;
}

std::string AreaPlace(uint32_t area_bits, const std::string& domain, const std::string& user) {
  if (area_bits & IsReadOnly) {
    return std::string(kCommonStorageName) + "/" + kReadOnlyStorageName;
  }
  if (area_bits & IsShared) return kCommonStorageName;
  return domain + "/" + user;
}

std::string AreaWords(uint32_t area_bits, const std::string& domain, const std::string& user) {
  if (area_bits & IsReadOnly) return "read-only area";
  if (area_bits & IsShared) return "common area";
  return "user area " + AreaPlace(area_bits, domain, user);
}

HRESULT OpenAreaStorages(platform::Storage* root, uint32_t area_bits, const std::string& domain,
                         const std::string& user, const AreaStep& step,
                         std::unique_ptr<platform::Storage>* outer,
                         std::unique_ptr<platform::Storage>* target) {
  if (area_bits & IsReadOnly) {
    HRESULT hr = step(root, kCommonStorageName, false, outer);
    if (FAILED(hr)) return hr;
    return step(outer->get(), kReadOnlyStorageName, false, target);
  }
  if (area_bits & IsShared) return step(root, kCommonStorageName, false, target);
  HRESULT hr = step(root, domain, true, outer);
  if (FAILED(hr)) return hr;
  return step(outer->get(), user, true, target);
}

HRESULT OpenAreaStep(platform::Storage* parent, const std::string& name, bool /*user_area*/,
                     std::unique_ptr<platform::Storage>* out) {
  return parent->OpenStorage(platform::AnsiToWide(name), platform::kStorageMode, out);
}

HRESULT ReadVersionNumber(platform::Storage* root, uint32_t* number) {
  std::unique_ptr<platform::Stream> version;
  HRESULT hr = root->OpenStream(platform::AnsiToWide(kVersionStreamName), platform::kStorageMode,
                                &version);
  if (FAILED(hr)) return hr;
  uint8_t bytes[4] = {0, 0, 0, 0};
  uint32_t read = 0;
  hr = version->Read(bytes, sizeof bytes, &read);
  if (FAILED(hr)) return hr;
  if (read != sizeof bytes) return S_FALSE;
  *number = platform::Get32(bytes);
  return S_OK;
}

HRESULT OpenOrCreateAreaStep(platform::Storage* parent, const std::string& name, bool user_area,
                             std::unique_ptr<platform::Storage>* out) {
  const std::u16string wide = platform::AnsiToWide(name);
  HRESULT hr = parent->OpenStorage(wide, platform::kStorageMode, out);
  if (SUCCEEDED(hr)) return hr;
  if (user_area && hr != STG_E_FILENOTFOUND) return hr;
  return parent->CreateStorage(wide, platform::kStorageMode, out);
}

HRESULT OpenPasswordStream(platform::Storage* root, const char* stream_name, PasswordStream* out) {
  using platform::AnsiToWide;
  HRESULT hr = root->OpenStorage(AnsiToWide(kPasswordStorageName), platform::kStorageMode,
                                 &out->passwords);
  if (FAILED(hr)) return hr;
  return out->passwords->OpenStream(AnsiToWide(stream_name), platform::kStorageMode,
                                    &out->stream);
}

HRESULT OpenPasswordStream(const std::string& path, const char* stream_name, PasswordStream* out) {
  HRESULT hr = platform::OpenStorageFile(path, platform::kStorageMode, &out->root);
  if (FAILED(hr)) return hr;
  return OpenPasswordStream(out->root.get(), stream_name, out);
}

}  // namespace builder
