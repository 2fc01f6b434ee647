// MSZIP blocks of the compressed .X encodings ("bzip", "tzip").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "xfile/byte_buffer.h"

namespace vorn {

// Uncompressed bytes per block; the loader's window is 32 KiB.
inline constexpr size_t kMszipBlockSize = 32 * 1024;

// Appends the compressed form of body (the token stream after the 16-byte header): a DWORD with
// the uncompressed file size including that header, then the blocks. With chainDictionary each
// block may refer back into the previous block, as cabinet MSZIP does; without it every block
// stands alone.
bool MszipCompress(const uint8_t* body, size_t size, int level, bool chainDictionary,
                   ByteBuffer& out, std::string* error);

// The token stream of a whole compressed file (header included in file). Accepts both block
// styles. Output is bounded by the size the file declares.
bool MszipDecompress(const uint8_t* file, size_t size, std::vector<uint8_t>* body,
                     std::string* error);

}  // namespace vorn
