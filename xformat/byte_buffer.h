// A growable byte buffer that hands out room to write into without zero-filling it first. Given
// a drain, it holds a window instead: when the window is full its bytes go to the drain, so a
// long encoding streams out at constant memory.
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

  // Takes leading bytes of the window and returns how many; what it leaves stays in front.
  using Drain = size_t (*)(void* context, const uint8_t* data, size_t size);
  // From now on the window holds about `window` bytes; what is held already goes first.
  void SetDrain(size_t window, Drain drain, void* context) {
    drain_ = drain;
    context_ = context;
    if (capacity_ < window) Grow(window - size_);
  }
  // Hands everything held to the drain.
  void DrainAll() {
    while (drain_ && size_ > 0 && DrainWindow()) {
    }
  }

  // Room for at least n more bytes; Commit says how many were used.
  uint8_t* Reserve(size_t n) {
    if (capacity_ - size_ < n) MakeRoom(n);
    return data_ + size_;
  }
  void Commit(size_t n) { size_ += n; }
  void Put(uint8_t byte) {
    if (size_ == capacity_) MakeRoom(1);
    data_[size_++] = byte;
  }
  void Append(const void* bytes, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    // A block larger than the window passes through it in window-sized parts.
    while (drain_ && n > capacity_ - size_) {
      const size_t part = capacity_ - size_;
      if (part) std::memcpy(data_ + size_, p, part);
      size_ += part;
      p += part;
      n -= part;
      if (!DrainWindow()) break;
    }
    if (n == 0) return;
    std::memcpy(Reserve(n), p, n);
    size_ += n;
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }
  // The same, but with a drain a large block goes to it as it stands, not through the window.
  void AppendLarge(const void* bytes, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    if (drain_ && n > capacity_) {
      DrainAll();
      if (size_ == 0)
        while (n > 0) {
          const size_t taken = drain_(context_, p, n);
          if (taken == 0) break;
          p += taken;
          n -= taken;
          drained_ += taken;
        }
    }
    Append(p, n);
  }
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
  // The bytes held (all of them without a drain).
  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }
  // Every byte put in so far, drained or held.
  size_t Total() const { return drained_ + size_; }
  void Clear() { size_ = 0; }

 private:
  void MakeRoom(size_t n) {
    if (drain_ && size_ > 0) DrainWindow();
    if (capacity_ - size_ < n) Grow(n);
  }
  // False when the drain took nothing.
  bool DrainWindow() {
    const size_t taken = drain_(context_, data_, size_);
    if (taken == 0) return false;
    std::memmove(data_, data_ + taken, size_ - taken);
    size_ -= taken;
    drained_ += taken;
    return true;
  }
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
  size_t drained_ = 0;
  Drain drain_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace vorn
