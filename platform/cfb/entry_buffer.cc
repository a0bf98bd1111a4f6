// Recycled entry arrays.
#include "platform/cfb/entry_buffer.h"

#include <mutex>
#include <utility>

#include "platform/cfb/format.h"

namespace cfb {

namespace {
constexpr size_t kMaxKept = 4;
constexpr size_t kMaxKeptEntries = 1u << 20;  // 4 MiB each

std::mutex pool_mutex;
std::vector<std::vector<uint32_t>>& Pool() {
  static auto* pool = new std::vector<std::vector<uint32_t>>;
  return *pool;
}
}  // namespace

std::vector<uint32_t> TakeEntryBuffer(size_t size) {
  std::vector<uint32_t> buffer;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    auto& pool = Pool();
    // The smallest kept array that is large enough, else the largest.
    size_t best = pool.size();
    for (size_t i = 0; i < pool.size(); ++i) {
      if (pool[i].capacity() >= size &&
          (best == pool.size() || pool[i].capacity() < pool[best].capacity())) {
        best = i;
      }
    }
    if (best == pool.size() && !pool.empty()) best = 0;
    if (best < pool.size()) {
      buffer = std::move(pool[best]);
      pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(best));
    }
  }
  buffer.resize(size, FREESECT);  // what was in it stays: callers load before use
  return buffer;
}

void GiveEntryBuffer(std::vector<uint32_t>&& buffer) {
  if (buffer.capacity() == 0 || buffer.capacity() > kMaxKeptEntries) return;
  std::lock_guard<std::mutex> lock(pool_mutex);
  auto& pool = Pool();
  if (pool.size() >= kMaxKept) return;
  pool.push_back(std::move(buffer));
}

}  // namespace cfb
