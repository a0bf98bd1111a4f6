// What both storage backends share: the open of a run that only reads.
#include "platform/storage.h"

namespace platform {

HRESULT OpenStorageFileToRead(const std::string& path, std::unique_ptr<Storage>* root) {
  HRESULT hr = OpenStorageFile(path, kStorageMode, root);
  if (hr == STG_E_ACCESSDENIED) hr = OpenStorageFile(path, kStorageReadMode, root);
  return hr;
}

}  // namespace platform
