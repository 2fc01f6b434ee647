// The three .X encoders, validation and the reader on a large synthetic mesh: a grid of about
// one million triangles with normals and texture coordinates.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "xformat/standard_templates.h"
#include "xformat/template_ids.h"
#include "xformat/xfile_encoders.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_writer.h"

namespace {

using namespace vorn;

constexpr int kGrid = 708;  // 2 * 708 * 708 = 1,002,528 faces

struct MeshBytes {
  std::vector<uint8_t> mesh, normals, uv;
};

void Put(std::vector<uint8_t>& out, const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}
void Dword(std::vector<uint8_t>& out, uint32_t v) { Put(out, &v, 4); }
void Float(std::vector<uint8_t>& out, float v) { Put(out, &v, 4); }

const MeshBytes& Mesh() {
  static const MeshBytes bytes = [] {
    MeshBytes b;
    const uint32_t n = (kGrid + 1) * (kGrid + 1);
    Dword(b.mesh, n);
    Dword(b.normals, n);
    Dword(b.uv, n);
    for (int y = 0; y <= kGrid; ++y)
      for (int x = 0; x <= kGrid; ++x) {
        const float u = static_cast<float>(x) / kGrid, v = static_cast<float>(y) / kGrid;
        const float h = std::sin(u * 17.0f) * std::cos(v * 11.0f);
        Float(b.mesh, u * 100.0f);
        Float(b.mesh, h * 3.0f);
        Float(b.mesh, v * 100.0f);
        const float nx = -std::cos(u * 17.0f) * 0.3f, nz = std::sin(v * 11.0f) * 0.2f;
        const float len = std::sqrt(nx * nx + 1.0f + nz * nz);
        Float(b.normals, nx / len);
        Float(b.normals, 1.0f / len);
        Float(b.normals, nz / len);
        Float(b.uv, u);
        Float(b.uv, v);
      }
    const uint32_t faces = 2u * kGrid * kGrid;
    Dword(b.mesh, faces);
    Dword(b.normals, faces);
    for (uint32_t y = 0; y < kGrid; ++y)
      for (uint32_t x = 0; x < kGrid; ++x) {
        const uint32_t a = y * (kGrid + 1) + x, c = a + kGrid + 1;
        for (std::vector<uint8_t>* out : {&b.mesh, &b.normals}) {
          for (uint32_t v : {3u, a, a + 1, c + 1, 3u, a, c + 1, c}) Dword(*out, v);
        }
      }
    return b;
  }();
  return bytes;
}

void Fill(XFileWriter& writer) {
  for (auto block : TemplateBlocks()) writer.AddTemplates(block.data(), block.size());
  const MeshBytes& b = Mesh();
  XObjectHandle frame = writer.AddObject({}, kFrameGuid, "Terrain", nullptr, 0);
  XObjectHandle mesh = writer.AddObject(frame, kMeshGuid, "Terrain", b.mesh.data(), b.mesh.size());
  writer.Release(writer.AddObject(mesh, kMeshNormalsGuid, nullptr, b.normals.data(), b.normals.size()));
  writer.Release(writer.AddObject(mesh, kMeshTextureCoordsGuid, nullptr, b.uv.data(), b.uv.size()));
  writer.Release(mesh);
  writer.Release(frame);
}

const XFileTree& Tree() {
  static const XFileWriter* writer = [] {
    auto* w = new XFileWriter;
    Fill(*w);
    return w;
  }();
  return writer->Tree();
}

size_t DataBytes() { return Tree().data.size(); }

void Encode(benchmark::State& state, XFileFormat format, int level, bool chain = false) {
  const XFileTree& tree = Tree();
  XEncodeOptions options;
  options.compressionLevel = level;
  options.chainBlocks = chain;
  size_t size = 0;
  for (auto _ : state) {
    ByteBuffer out;
    std::string error;
    if (!EncodeXFile(tree, format, options, out, &error)) state.SkipWithError(error.c_str());
    size = out.Size();
    benchmark::DoNotOptimize(out.Data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * DataBytes()));
  state.counters["file_MB"] = static_cast<double>(size) / 1e6;
  state.counters["data_MB"] = static_cast<double>(DataBytes()) / 1e6;
}

void BM_EncodeText(benchmark::State& state) { Encode(state, XFileFormat::Text, 6); }
void BM_EncodeBinary(benchmark::State& state) { Encode(state, XFileFormat::Binary, 6); }
void BM_EncodeCompressed(benchmark::State& state) {
  Encode(state, XFileFormat::Compressed, static_cast<int>(state.range(0)));
}
// blocks that refer back into the previous block
void BM_EncodeCompressedChained(benchmark::State& state) {
  Encode(state, XFileFormat::Compressed, static_cast<int>(state.range(0)), true);
}

// AddObject's check of the bytes against the templates, the whole tree built each time.
void BM_AddObjectsWithValidation(benchmark::State& state) {
  Mesh();
  for (auto _ : state) {
    XFileWriter writer;
    Fill(writer);
    benchmark::DoNotOptimize(writer.Tree().objects.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * DataBytes()));
}

void Read(benchmark::State& state, XFileFormat format) {
  ByteBuffer file;
  std::string error;
  EncodeXFile(Tree(), format, {}, file, &error);
  for (auto _ : state) {
    XFileTree tree;
    if (!ReadXFile(file.Data(), file.Size(), {}, &tree, &error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(tree.data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * DataBytes()));
}

void BM_ReadText(benchmark::State& state) { Read(state, XFileFormat::Text); }
void BM_ReadBinary(benchmark::State& state) { Read(state, XFileFormat::Binary); }
void BM_ReadCompressed(benchmark::State& state) { Read(state, XFileFormat::Compressed); }

BENCHMARK(BM_EncodeText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeCompressed)->Arg(1)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeCompressedChained)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddObjectsWithValidation)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadCompressed)->Unit(benchmark::kMillisecond);

}  // namespace
