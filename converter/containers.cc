// Converter containers. See containers.h.

#include "converter/containers.h"

#include <cstring>
#include <new>

namespace converter {

bool CString::Assign(const char* bytes, size_t n) {
  if (n > kMaxTextLength || std::memchr(bytes, '\0', n) != nullptr) return false;
  std::memcpy(text, bytes, n);
  text[n] = '\0';
  return true;
}

bool CString::Assign(const char* text_in) {
  size_t n = strnlen(text_in, kTextCapacity);
  return Assign(text_in, n);
}

size_t CString::Length() const { return strnlen(text, kTextCapacity); }

CStringArray::~CStringArray() { RemoveAll(); }

int32_t CStringArray::Append(const CString& item) {
  Node* node = new (std::nothrow) Node;
  if (node == nullptr) return -1;
  node->next = nullptr;
  std::memcpy(node->item.text, item.text, kTextCapacity);
  node->item.text[kMaxTextLength] = '\0';
  if (tail_ == nullptr) {
    head_ = node;
  } else {
    tail_->next = node;
  }
  tail_ = node;
  return static_cast<int32_t>(count_++);
}

CString* CStringArray::ItemAt(uint32_t index) {
  if (index >= count_) return nullptr;
  Node* node = head_;
  while (index-- > 0) node = node->next;
  return &node->item;
}

const CString* CStringArray::ItemAt(uint32_t index) const {
  return const_cast<CStringArray*>(this)->ItemAt(index);
}

void CStringArray::RemoveAll() {
  while (head_ != nullptr) {
    Node* next = head_->next;
    delete head_;
    head_ = next;
  }
  tail_ = nullptr;
  count_ = 0;
}

CByteArray::~CByteArray() { RemoveAll(); }

int32_t CByteArray::Append(uint8_t byte) {
  if (count_ == INT32_MAX) return -1;
  Block* block = last_;
  uint32_t position = count_ % kBlockSize;
  if (count_ != 0 && position == 0) {
    // The last block is full: the 101st, 201st, ... byte opens a new one.
    Block* fresh = new (std::nothrow) Block;
    if (fresh == nullptr) return -1;
    fresh->next = nullptr;
    block->next = fresh;
    block = fresh;
    last_ = fresh;
  }
  block->bytes[position] = byte;
  return static_cast<int32_t>(count_++);
}

uint8_t CByteArray::ItemAt(uint32_t index) const {
  if (index >= count_) return 0;
  const Block* block = &first_;
  while (index >= kBlockSize) {
    block = block->next;
    index -= kBlockSize;
  }
  return block->bytes[index];
}

void CByteArray::RemoveAll() {
  while (first_.next != nullptr) {
    Block* next = first_.next->next;
    delete first_.next;
    first_.next = next;
  }
  last_ = &first_;
  count_ = 0;
}

uint32_t CByteArray::HeapBlockCount() const {
  uint32_t n = 0;
  for (const Block* b = first_.next; b != nullptr; b = b->next) ++n;
  return n;
}

}  // namespace converter
