// Whole-stream reads. See stream_io.h.

#include "platform/stream_io.h"

namespace platform {

HRESULT MeasureStream(Stream* stream, uint64_t* size) {
  *size = 0;
  HRESULT hr = stream->Seek(0, SeekOrigin::kEnd, size);
  if (FAILED(hr)) return hr;
  return stream->Seek(0, SeekOrigin::kSet, nullptr);
}

HRESULT ReadWholeStream(Stream* stream, std::string* bytes) {
  uint64_t size = 0;
  HRESULT hr = MeasureStream(stream, &size);
  if (FAILED(hr)) return hr;
  if (size > UINT32_MAX) return STG_E_DOCFILECORRUPT;
  bytes->resize(static_cast<size_t>(size));
  if (size == 0) return S_OK;
  uint32_t read = 0;
  hr = stream->Read(&(*bytes)[0], static_cast<uint32_t>(size), &read);
  if (SUCCEEDED(hr) && read != size) hr = STG_E_READFAULT;
  return hr;
}

HRESULT ListElements(Storage* storage, std::vector<ElementStat>* elements) {
  elements->clear();
  std::unique_ptr<ElementEnumerator> enumerator;
  HRESULT hr = storage->EnumElements(&enumerator);
  while (SUCCEEDED(hr)) {
    ElementStat stat;
    hr = enumerator->Next(&stat);
    if (hr == S_FALSE) return S_OK;
    if (SUCCEEDED(hr)) elements->push_back(std::move(stat));
  }
  return hr;
}

}  // namespace platform
