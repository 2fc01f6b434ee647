// MSZIP blocks of the compressed .X encodings ("bzip", "tzip").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xformat/byte_buffer.h"

namespace vorn {

// Uncompressed bytes per block; the loader's window is 32 KiB.
inline constexpr size_t kMszipBlockSize = 32 * 1024;

// Appends the compressed form of body (the token stream after the 16-byte header): a DWORD with
// the uncompressed file size including that header, then the blocks. With chainDictionary each
// block may refer back into the previous block, as cabinet MSZIP does; without it every block
// stands alone.
bool MszipCompress(const uint8_t* body, size_t size, int level, bool chainDictionary,
                   ByteBuffer& out, std::string* error);

// Compresses a body that arrives in parts, appending the blocks to out. Every part but the
// last must be whole blocks; Drain, as a ByteBuffer drain, takes the whole blocks of its window.
class MszipStream {
 public:
  MszipStream(int level, bool chainDictionary, ByteBuffer& out);
  ~MszipStream();
  MszipStream(const MszipStream&) = delete;
  MszipStream& operator=(const MszipStream&) = delete;

  static size_t Drain(void* self, const uint8_t* data, size_t size);
  // The last part; false when any block failed.
  bool Finish(const uint8_t* data, size_t size);
  const std::string& Error() const { return error_; }

 private:
  void Compress(const uint8_t* data, size_t size);

  int level_;
  bool chain_;
  ByteBuffer& out_;
  bool ok_ = true;
  std::string error_;
  std::vector<uint8_t> previous_;  // the last block compressed, for chaining
  bool havePrevious_ = false;
  std::vector<std::unique_ptr<ByteBuffer>> parts_;  // per worker thread, kept between parts
};

// The token stream of a whole compressed file (header included in file). Accepts both block
// styles. Output is bounded by the size the file declares.
bool MszipDecompress(const uint8_t* file, size_t size, std::vector<uint8_t>* body,
                     std::string* error);

}  // namespace vorn
