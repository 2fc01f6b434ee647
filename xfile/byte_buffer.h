// A growable byte buffer that hands out room to write into without zero-filling it first.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vorn {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  // Room for at least n more bytes; Commit says how many were used.
  uint8_t* Reserve(size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_ + size_;
  }
  void Commit(size_t n) { size_ += n; }
  void Put(uint8_t byte) {
    if (size_ == capacity_) Grow(1);
    data_[size_++] = byte;
  }
  void Append(const void* bytes, size_t n) {
    if (n == 0) return;
    std::memcpy(Reserve(n), bytes, n);
    size_ += n;
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }
  void PutWord(uint16_t v) {
    uint8_t* p = Reserve(2);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    size_ += 2;
  }
  void PutDword(uint32_t v) {
    uint8_t* p = Reserve(4);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    size_ += 4;
  }
  void PatchDword(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) data_[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }

  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }
  void Clear() { size_ = 0; }

 private:
  void Grow(size_t n) {
    size_t capacity = capacity_ ? capacity_ * 2 : 4096;
    while (capacity - size_ < n) capacity *= 2;
    void* grown = std::realloc(data_, capacity);
    if (!grown) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(grown);
    capacity_ = capacity;
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vorn
