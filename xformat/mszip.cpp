#include "xformat/mszip.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

namespace vorn {

namespace {

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

struct Deflater {
  z_stream z{};
  bool ok = false;
  explicit Deflater(int level) {
    ok = deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Deflater() {
    if (ok) deflateEnd(&z);
  }
};

struct Inflater {
  z_stream z{};
  bool ok = false;
  Inflater() { ok = inflateInit2(&z, -15) == Z_OK; }
  ~Inflater() {
    if (ok) inflateEnd(&z);
  }
};

}  // namespace

namespace {

// The six bytes before a block's deflate stream: its sizes and the "CK" signature.
bool PutBlockHeader(uint8_t* block, size_t chunk, size_t packed, std::string* error) {
  if (packed + 2 > 0xFFFF) return Fail(error, "compressed block too large");
  block[0] = static_cast<uint8_t>(chunk);
  block[1] = static_cast<uint8_t>(chunk >> 8);
  block[2] = static_cast<uint8_t>(packed + 2);
  block[3] = static_cast<uint8_t>((packed + 2) >> 8);
  block[4] = 'C';
  block[5] = 'K';
  return true;
}

// Blocks that stand alone need no stream state between them: libdeflate does them in one call each.
bool CompressIndependentBlocks(const uint8_t* data, size_t size, size_t first, size_t last, int level, ByteBuffer& out,
                               std::string* error) {
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> c(
      libdeflate_alloc_compressor(std::clamp(level, 0, 12)), libdeflate_free_compressor);
  if (!c) return Fail(error, "deflate initialisation failed");
  const size_t bound = libdeflate_deflate_compress_bound(c.get(), kMszipBlockSize);
  for (size_t b = first; b < last; ++b) {
    const size_t offset = b * kMszipBlockSize;
    const size_t chunk = std::min(kMszipBlockSize, size - offset);
    uint8_t* block = out.Reserve(6 + bound);
    const size_t packed = libdeflate_deflate_compress(c.get(), data + offset, chunk, block + 6, bound);
    if (packed == 0) return Fail(error, "deflate failed");
    if (!PutBlockHeader(block, chunk, packed, error)) return false;
    out.Commit(6 + packed);
  }
  return true;
}

// Blocks [first, last) of data, appended to out. Every block starts from a reset stream, so a
// range compresses the same wherever it is done; with chaining, the block before block 0 is
// `before` (null at the start of the body).
bool CompressBlocks(const uint8_t* data, size_t size, size_t first, size_t last, const uint8_t* before, int level,
                    bool chainDictionary, ByteBuffer& out, std::string* error) {
  if (!chainDictionary) return CompressIndependentBlocks(data, size, first, last, level, out, error);
  Deflater d(level);
  if (!d.ok) return Fail(error, "deflate initialisation failed");
  const uLong bound = deflateBound(&d.z, kMszipBlockSize);
  for (size_t b = first; b < last; ++b) {
    const size_t offset = b * kMszipBlockSize;
    const size_t chunk = std::min(kMszipBlockSize, size - offset);
    if (deflateReset(&d.z) != Z_OK) return Fail(error, "deflate reset failed");
    const uint8_t* dictionary = b > 0 ? data + offset - kMszipBlockSize : before;
    if (dictionary && deflateSetDictionary(&d.z, dictionary, static_cast<uInt>(kMszipBlockSize)) != Z_OK)
      return Fail(error, "deflate dictionary failed");
    uint8_t* block = out.Reserve(6 + bound);
    d.z.next_in = const_cast<Bytef*>(data + offset);
    d.z.avail_in = static_cast<uInt>(chunk);
    d.z.next_out = block + 6;
    d.z.avail_out = static_cast<uInt>(bound);
    if (deflate(&d.z, Z_FINISH) != Z_STREAM_END) return Fail(error, "deflate failed");
    if (!PutBlockHeader(block, chunk, bound - d.z.avail_out, error)) return false;
    out.Commit(6 + bound - d.z.avail_out);
  }
  return true;
}

// Below this many blocks a second thread costs more than it saves.
constexpr size_t kBlocksPerThread = 64;

}  // namespace

MszipStream::MszipStream(int level, bool chainDictionary, ByteBuffer& out)
    : level_(level), chain_(chainDictionary), out_(out) {}

MszipStream::~MszipStream() = default;

size_t MszipStream::Drain(void* self, const uint8_t* data, size_t size) {
  auto* z = static_cast<MszipStream*>(self);
  const size_t whole = size / kMszipBlockSize * kMszipBlockSize;
  if (whole == 0) return 0;
  z->Compress(data, whole);
  return whole;
}

bool MszipStream::Finish(const uint8_t* data, size_t size) {
  if (size > 0) Compress(data, size);
  return ok_;
}

void MszipStream::Compress(const uint8_t* data, size_t size) {
  if (!ok_) return;
  const size_t blocks = (size + kMszipBlockSize - 1) / kMszipBlockSize;
  const uint8_t* before = havePrevious_ ? previous_.data() : nullptr;
  const size_t threads = std::min<size_t>({std::max(1u, std::thread::hardware_concurrency()), 8,
                                           std::max<size_t>(1, blocks / kBlocksPerThread)});
  if (threads <= 1) {
    ok_ = CompressBlocks(data, size, 0, blocks, before, level_, chain_, out_, &error_);
  } else {
    // Deflate dominates the compressed encodings; blocks are independent, so ranges of them are
    // compressed side by side and joined in order.
    while (parts_.size() < threads - 1) parts_.push_back(std::make_unique<ByteBuffer>());
    std::vector<std::string> errors(threads - 1);
    std::vector<char> ok(threads - 1, 0);
    std::vector<std::thread> workers;
    auto first = [&](size_t t) { return blocks * t / threads; };
    for (size_t t = 1; t < threads; ++t)
      workers.emplace_back([&, t] {
        parts_[t - 1]->Clear();
        ok[t - 1] = CompressBlocks(data, size, first(t), first(t + 1), before, level_, chain_, *parts_[t - 1],
                                   &errors[t - 1]);
      });
    ok_ = CompressBlocks(data, size, 0, first(1), before, level_, chain_, out_, &error_);
    for (std::thread& w : workers) w.join();
    for (size_t t = 0; ok_ && t + 1 < threads; ++t) {
      if (!ok[t]) {
        ok_ = Fail(&error_, errors[t]);
        break;
      }
      out_.Append(parts_[t]->Data(), parts_[t]->Size());
    }
  }
  // The next part's first block may refer back into this part's last.
  if (chain_ && size >= kMszipBlockSize) {
    previous_.assign(data + size - kMszipBlockSize, data + size);
    havePrevious_ = true;
  }
}

bool MszipCompress(const uint8_t* body, size_t size, int level, bool chainDictionary,
                   ByteBuffer& out, std::string* error) {
  if (size > 0xFFFFFFFFull - 16) return Fail(error, "file too large for the compressed encoding");
  out.PutDword(static_cast<uint32_t>(size + 16));
  MszipStream z(level, chainDictionary, out);
  if (!z.Finish(body, size)) return Fail(error, z.Error());
  return true;
}

bool MszipDecompress(const uint8_t* file, size_t size, std::vector<uint8_t>* body,
                     std::string* error) {
  if (size < 20) return Fail(error, "compressed file too short");
  const uint32_t total = static_cast<uint32_t>(file[16]) | static_cast<uint32_t>(file[17]) << 8 |
                         static_cast<uint32_t>(file[18]) << 16 | static_cast<uint32_t>(file[19]) << 24;
  if (total < 16) return Fail(error, "compressed file declares a size below its header");
  const size_t expected = total - 16;
  body->clear();
  // The declared size is not trusted for allocation: deflate expands at most about 1000-fold.
  body->reserve(std::min(expected, size * 64));
  Inflater inf;
  if (!inf.ok) return Fail(error, "inflate initialisation failed");
  size_t pos = 20;
  size_t block = 0;
  while (body->size() < expected) {
    if (size - pos < 6) return Fail(error, "truncated block header in block " + std::to_string(block));
    const size_t plain = file[pos] | file[pos + 1] << 8;
    const size_t packed = file[pos + 2] | file[pos + 3] << 8;
    if (packed < 2 || packed > size - pos - 4)
      return Fail(error, "block " + std::to_string(block) + " runs past the end");
    if (file[pos + 4] != 'C' || file[pos + 5] != 'K')
      return Fail(error, "block " + std::to_string(block) + " lacks the CK signature");
    if (plain == 0 || plain > kMszipBlockSize || plain > expected - body->size())
      return Fail(error, "block " + std::to_string(block) + " has a bad uncompressed size");
    if (inflateReset(&inf.z) != Z_OK) return Fail(error, "inflate reset failed");
    if (!body->empty()) {
      const size_t window = std::min(body->size(), kMszipBlockSize);
      if (inflateSetDictionary(&inf.z, body->data() + body->size() - window,
                               static_cast<uInt>(window)) != Z_OK)
        return Fail(error, "inflate dictionary failed");
    }
    const size_t at = body->size();
    body->resize(at + plain);
    inf.z.next_in = const_cast<Bytef*>(file + pos + 6);
    inf.z.avail_in = static_cast<uInt>(packed - 2);
    inf.z.next_out = body->data() + at;
    inf.z.avail_out = static_cast<uInt>(plain);
    const int rc = inflate(&inf.z, Z_FINISH);
    if (rc != Z_STREAM_END || inf.z.avail_out != 0)
      return Fail(error, "block " + std::to_string(block) + " does not inflate to its size");
    pos += 4 + packed;
    ++block;
  }
  return true;
}

}  // namespace vorn
