// Structured storage of the Windows build: thin wrappers of ole32's
// IStorage, IStream and IEnumSTATSTG. Results are ole32's own, with these
// checks made before ole32 is called, so that both builds agree:
//  - any mode but kStorageMode gives STG_E_INVALIDFLAG (OpenStorageFile also
//    takes kStorageReadMode);
//  - below a root opened with kStorageReadMode every change gives
//    STG_E_ACCESSDENIED, and an element asked for with kStorageMode is
//    opened with kElementReadMode, the mode ole32 allows there;
//  - a name that the compound file format forbids (platform::IsValidElementName:
//    empty, 32 characters or more, or holding NUL, '/', '\', ':' or '!') gives
//    STG_E_INVALIDNAME. Wine's ole32 accepts these and would write them into
//    the file (a name holding NUL cut short at the NUL).
// Wine also lets a stream seek before its start, which Windows refuses (the
// backend refuses it too), and leaves stale bytes in the gap that a write
// past the end opens (the backend writes zeros there, as the engine does).
#include "platform/storage.h"

#include <utility>

#include "platform/conversion_record.h"
#include "platform/element_name.h"
#include "platform/file.h"
#include "platform/text.h"

namespace platform {
namespace {

const wchar_t* Wide(const std::u16string& name) {
  return reinterpret_cast<const wchar_t*>(name.c_str());
}

constexpr uint64_t kMaxVersion3Offset = 0x7FFFFFFF;

// STGM_READ | STGM_SHARE_EXCLUSIVE: an element below a root opened for
// reading.
constexpr DWORD kElementReadMode = 0x10;

// Checks made before every call that takes a mode and a name.
HRESULT CheckModeAndName(uint32_t mode, const std::u16string& name) {
  if (mode != kStorageMode) return STG_E_INVALIDFLAG;
  if (!IsValidElementName(name)) return STG_E_INVALIDNAME;
  return S_OK;
}

class WindowsStream : public Stream {
 public:
  WindowsStream(IStream* stream, bool read_only) : stream_(stream), read_only_(read_only) {}
  ~WindowsStream() override { stream_->Release(); }
  WindowsStream(const WindowsStream&) = delete;
  WindowsStream& operator=(const WindowsStream&) = delete;

  HRESULT Read(void* buffer, uint32_t count, uint32_t* read) override {
    ULONG done = 0;
    HRESULT hr = stream_->Read(buffer, count, &done);
    if (read != nullptr) *read = done;
    return hr;
  }

  HRESULT Write(const void* data, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (read_only_) return STG_E_ACCESSDENIED;
    // A write of nothing changes nothing, also past the end.
    HRESULT hr = count > 0 ? ZeroGapBeforeWrite() : S_OK;
    if (FAILED(hr)) return hr;
    ULONG done = 0;
    hr = stream_->Write(data, count, &done);
    if (written != nullptr) *written = done;
    return hr;
  }

  HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) override {
    if (offset < 0) {
      // Wine's ole32 moves before the start without complaint (the position
      // wraps to near 2^64); Windows refuses, and so does this backend.
      uint64_t base = 0;
      HRESULT hr = Base(origin, &base);
      if (FAILED(hr)) return hr;
      if (static_cast<uint64_t>(-(offset + 1)) >= base) return STG_E_INVALIDFUNCTION;
    }
    LARGE_INTEGER move;
    move.QuadPart = offset;
    ULARGE_INTEGER position;
    position.QuadPart = 0;
    HRESULT hr = stream_->Seek(move, static_cast<DWORD>(origin), &position);
    if (new_position != nullptr && SUCCEEDED(hr)) *new_position = position.QuadPart;
    return hr;
  }

 private:
  // A write past the end leaves a gap between the old end and the position.
  // Wine's ole32 fills it with whatever the newly allocated sectors held
  // (bytes of streams destroyed earlier); this writes zeros there first.
  HRESULT ZeroGapBeforeWrite() {
    uint64_t position = 0;
    uint64_t size = 0;
    HRESULT hr = Base(SeekOrigin::kCurrent, &position);
    if (SUCCEEDED(hr)) hr = Base(SeekOrigin::kEnd, &size);
    if (FAILED(hr) || position <= size) return hr;
    // A file of the format's version 3 ends before 2 GiB: ole32 refuses a
    // write out there by itself, without zeros written first.
    if (position > kMaxVersion3Offset) return S_OK;
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(size);
    hr = stream_->Seek(move, STREAM_SEEK_SET, nullptr);
    static const char kZeros[4096] = {0};
    for (uint64_t left = position - size; SUCCEEDED(hr) && left > 0;) {
      ULONG piece = static_cast<ULONG>(left < sizeof(kZeros) ? left : sizeof(kZeros));
      ULONG done = 0;
      hr = stream_->Write(kZeros, piece, &done);
      if (SUCCEEDED(hr) && done != piece) hr = STG_E_WRITEFAULT;
      left -= piece;
    }
    return hr;
  }

  // The position that `origin` counts from.
  HRESULT Base(SeekOrigin origin, uint64_t* base) {
    *base = 0;
    if (origin == SeekOrigin::kCurrent) {
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      ULARGE_INTEGER position;
      HRESULT hr = stream_->Seek(zero, STREAM_SEEK_CUR, &position);
      if (SUCCEEDED(hr)) *base = position.QuadPart;
      return hr;
    }
    if (origin == SeekOrigin::kEnd) {
      STATSTG stat;
      ZeroMemory(&stat, sizeof(stat));
      HRESULT hr = stream_->Stat(&stat, STATFLAG_NONAME);
      if (SUCCEEDED(hr)) *base = stat.cbSize.QuadPart;
      return hr;
    }
    return S_OK;
  }

  IStream* stream_;
  const bool read_only_;
};

class WindowsEnumerator : public ElementEnumerator {
 public:
  explicit WindowsEnumerator(IEnumSTATSTG* enumerator) : enumerator_(enumerator) {}
  ~WindowsEnumerator() override { enumerator_->Release(); }
  WindowsEnumerator(const WindowsEnumerator&) = delete;
  WindowsEnumerator& operator=(const WindowsEnumerator&) = delete;

  HRESULT Next(ElementStat* stat) override {
    STATSTG raw;
    ZeroMemory(&raw, sizeof(raw));
    ULONG fetched = 0;
    HRESULT hr = enumerator_->Next(1, &raw, &fetched);
    if (hr != S_OK || fetched != 1) {
      if (raw.pwcsName != nullptr) CoTaskMemFree(raw.pwcsName);
      return FAILED(hr) ? hr : S_FALSE;
    }
    stat->name.clear();
    if (raw.pwcsName != nullptr) {
      for (const wchar_t* c = raw.pwcsName; *c != L'\0'; ++c) {
        stat->name.push_back(static_cast<char16_t>(*c));
      }
      CoTaskMemFree(raw.pwcsName);
    }
    stat->type = raw.type == STGTY_STORAGE ? ElementType::kStorage : ElementType::kStream;
    stat->size = raw.type == STGTY_STREAM ? raw.cbSize.QuadPart : 0;
    memcpy(stat->clsid, &raw.clsid, sizeof stat->clsid);
    stat->created = static_cast<uint64_t>(raw.ctime.dwHighDateTime) << 32 | raw.ctime.dwLowDateTime;
    stat->modified = static_cast<uint64_t>(raw.mtime.dwHighDateTime) << 32 | raw.mtime.dwLowDateTime;
    return S_OK;
  }

 private:
  IEnumSTATSTG* enumerator_;
};

class WindowsStorage : public Storage {
 public:
  WindowsStorage(IStorage* storage, bool read_only) : storage_(storage), read_only_(read_only) {}
  ~WindowsStorage() override { storage_->Release(); }
  WindowsStorage(const WindowsStorage&) = delete;
  WindowsStorage& operator=(const WindowsStorage&) = delete;

  HRESULT OpenStream(const std::u16string& name, uint32_t mode,
                     std::unique_ptr<Stream>* stream) override {
    HRESULT hr = CheckModeAndName(mode, name);
    if (FAILED(hr)) return hr;
    IStream* raw = nullptr;
    hr = storage_->OpenStream(Wide(name), nullptr, ElementMode(mode), 0, &raw);
    return Wrap(hr, raw, read_only_, stream);
  }

  HRESULT CreateStream(const std::u16string& name, uint32_t mode,
                       std::unique_ptr<Stream>* stream) override {
    HRESULT hr = CheckModeAndName(mode, name);
    if (SUCCEEDED(hr) && read_only_) hr = STG_E_ACCESSDENIED;
    if (FAILED(hr)) return hr;
    IStream* raw = nullptr;
    hr = storage_->CreateStream(Wide(name), mode, 0, 0, &raw);
    return Wrap(hr, raw, read_only_, stream);
  }

  HRESULT OpenStorage(const std::u16string& name, uint32_t mode,
                      std::unique_ptr<Storage>* storage) override {
    HRESULT hr = CheckModeAndName(mode, name);
    if (FAILED(hr)) return hr;
    IStorage* raw = nullptr;
    hr = storage_->OpenStorage(Wide(name), nullptr, ElementMode(mode), nullptr, 0, &raw);
    return Wrap(hr, raw, read_only_, storage);
  }

  HRESULT CreateStorage(const std::u16string& name, uint32_t mode,
                        std::unique_ptr<Storage>* storage) override {
    HRESULT hr = CheckModeAndName(mode, name);
    if (SUCCEEDED(hr) && read_only_) hr = STG_E_ACCESSDENIED;
    if (FAILED(hr)) return hr;
    IStorage* raw = nullptr;
    hr = storage_->CreateStorage(Wide(name), mode, 0, 0, &raw);
    return Wrap(hr, raw, read_only_, storage);
  }

  HRESULT DestroyElement(const std::u16string& name) override {
    if (!IsValidElementName(name)) return STG_E_INVALIDNAME;
    if (read_only_) return STG_E_ACCESSDENIED;
    return storage_->DestroyElement(Wide(name));
  }

  HRESULT RenameElement(const std::u16string& old_name,
                        const std::u16string& new_name) override {
    if (!IsValidElementName(old_name) || !IsValidElementName(new_name)) return STG_E_INVALIDNAME;
    if (read_only_) return STG_E_ACCESSDENIED;
    return storage_->RenameElement(Wide(old_name), Wide(new_name));
  }

  HRESULT EnumElements(std::unique_ptr<ElementEnumerator>* enumerator) override {
    IEnumSTATSTG* raw = nullptr;
    HRESULT hr = storage_->EnumElements(0, nullptr, 0, &raw);
    return WrapAs<WindowsEnumerator>(hr, raw, enumerator);
  }

  // Takes ownership of `raw` when the call succeeded; `extra` goes to the
  // wrapper's constructor.
  template <typename Wrapper, typename Raw, typename Interface, typename... Extra>
  static HRESULT WrapAs(HRESULT hr, Raw* raw, std::unique_ptr<Interface>* out, Extra... extra) {
    out->reset();
    if (FAILED(hr)) {
      if (raw != nullptr) raw->Release();
      return hr;
    }
    if (raw == nullptr) return STG_E_UNKNOWN;
    out->reset(new Wrapper(raw, extra...));
    return hr;
  }
  static HRESULT Wrap(HRESULT hr, IStream* raw, bool read_only, std::unique_ptr<Stream>* out) {
    return WrapAs<WindowsStream>(hr, raw, out, read_only);
  }
  static HRESULT Wrap(HRESULT hr, IStorage* raw, bool read_only, std::unique_ptr<Storage>* out) {
    return WrapAs<WindowsStorage>(hr, raw, out, read_only);
  }

 private:
  // The mode ole32 is given for an element asked for with kStorageMode.
  DWORD ElementMode(uint32_t mode) const { return read_only_ ? kElementReadMode : mode; }

  IStorage* storage_;
  const bool read_only_;
};

}  // namespace

HRESULT OpenStorageFile(const std::string& path, uint32_t mode,
                        std::unique_ptr<Storage>* root) {
  root->reset();
  if (mode != kStorageMode && mode != kStorageReadMode) return STG_E_INVALIDFLAG;
  HRESULT hr = CheckNotInConversion(path);
  if (FAILED(hr)) return hr;
  std::u16string wide_path = AnsiToWide(path);
  IStorage* raw = nullptr;
  hr = StgOpenStorage(Wide(wide_path), nullptr, mode, nullptr, 0, &raw);
  return WindowsStorage::Wrap(hr, raw, mode == kStorageReadMode, root);
}

HRESULT CreateStorageFile(const std::string& path, uint32_t mode,
                          std::unique_ptr<Storage>* root) {
  root->reset();
  if (mode != kStorageMode) return STG_E_INVALIDFLAG;
  HRESULT hr = CheckNotInConversion(path);
  if (FAILED(hr)) return hr;
  std::u16string wide_path = AnsiToWide(path);
  IStorage* raw = nullptr;
  hr = StgCreateDocfile(Wide(wide_path), mode, 0, &raw);
  return WindowsStorage::Wrap(hr, raw, /*read_only=*/false, root);
}

// ole32 puts every call into the file as it returns: a scope holds nothing.
StorageScope::StorageScope() = default;
StorageScope::~StorageScope() = default;
std::vector<StorageScope::Failure> StorageScope::Commit() { return {}; }
void StorageScope::Abandon() {}

HRESULT ReleaseStorageFile(const std::string&) { return S_OK; }

// ole32 holds nothing between calls: the old file is not held across the
// move on Windows.
int MoveStorageFile(const std::string& from, const std::string& to) {
  return FileSystem::Default()->Rename(from, to);
}

int DeleteStorageFile(const std::string& path) {
  if (FAILED(CheckNotInConversion(path))) return EBUSY;
  return FileSystem::Default()->Delete(path);
}

std::unique_ptr<DryRunFiles> BeginDryRunFiles() { return nullptr; }

// The export keeps ole32's read-write open, as Rebolan always had it here.
bool ExportReadsUnwritableFiles() { return false; }

}  // namespace platform
