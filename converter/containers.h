// The converter's text and list containers: a fixed 260-byte text, a
// singly linked list of such texts, and a byte list kept in chained blocks
// of 100 bytes whose first block lives inside the object.
//
// The only failure is an exhausted heap: an append that cannot get memory
// leaves the container as it was and says so through its result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace converter {

// Capacity of every text of the system: 259 characters and a NUL.
constexpr size_t kTextCapacity = 260;
constexpr size_t kMaxTextLength = kTextCapacity - 1;

class CString {
 public:
  CString() { text[0] = '\0'; }
  virtual ~CString() = default;

  // Sets the text to the n bytes at `bytes`. Returns false (text unchanged)
  // when n is over 259 or the bytes hold a NUL before n, so that no text is
  // ever cut silently.
  bool Assign(const char* bytes, size_t n);
  // The same for a NUL-terminated text.
  bool Assign(const char* text_in);
  size_t Length() const;
  bool Empty() const { return text[0] == '\0'; }

  char text[kTextCapacity];
};

class CStringArray {
 public:
  CStringArray() = default;
  virtual ~CStringArray();
  CStringArray(const CStringArray&) = delete;
  CStringArray& operator=(const CStringArray&) = delete;

  // Copies the text into a new node at the tail. Returns the index given to
  // the item (the number of items before it), or -1 when no node could be
  // allocated; the list is then unchanged.
  int32_t Append(const CString& item);
  // REQUIRES: nothing. Returns nullptr for an index at or past the end.
  CString* ItemAt(uint32_t index);
  const CString* ItemAt(uint32_t index) const;
  uint32_t ItemCount() const { return count_; }
  void RemoveAll();
  // Calls f(const CString&) for every item, head first, in one walk.
  template <typename F>
  void ForEach(F f) const {
    for (const Node* n = head_; n != nullptr; n = n->next) f(n->item);
  }

 private:
  struct Node {
    Node* next;
    CString item;
  };
  Node* head_ = nullptr;
  // The tail link keeps Append constant-time; ItemAt still walks.
  Node* tail_ = nullptr;
  uint32_t count_ = 0;
};

class CByteArray {
 public:
  static constexpr uint32_t kBlockSize = 100;

  CByteArray() = default;
  virtual ~CByteArray();
  CByteArray(const CByteArray&) = delete;
  CByteArray& operator=(const CByteArray&) = delete;

  // Stores the byte at the end. Returns its index, or -1 when a new block
  // was needed and could not be allocated (nothing stored).
  int32_t Append(uint8_t byte);
  // Returns the byte at `index`, or 0 for an index at or past the count.
  uint8_t ItemAt(uint32_t index) const;
  uint32_t Count() const { return count_; }
  // Frees every block but the first; the count becomes 0.
  void RemoveAll();
  // Number of blocks held on the heap (for tests of the block rule).
  uint32_t HeapBlockCount() const;
  // Calls f(uint8_t) for every byte in order, in one walk.
  template <typename F>
  void ForEach(F f) const {
    uint32_t left = count_;
    for (const Block* b = &first_; b != nullptr && left > 0; b = b->next) {
      uint32_t n = left < kBlockSize ? left : kBlockSize;
      for (uint32_t i = 0; i < n; ++i) f(b->bytes[i]);
      left -= n;
    }
  }

 private:
  struct Block {
    Block* next;
    uint8_t bytes[kBlockSize];
  };
  uint32_t count_ = 0;
  Block first_{nullptr, {}};
  // The last block, so that Append does not walk the chain.
  Block* last_ = &first_;
};

}  // namespace converter
