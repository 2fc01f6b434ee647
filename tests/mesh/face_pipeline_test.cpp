#include "mesh/face_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/parallel.h"
#include "mesh_fixture.h"

namespace vorn {
namespace {

// Every chunk reaches the consumer whole and in order, and a slot is never refilled before its
// chunk was consumed, whichever side is slower; each worker keeps to its own state.
TEST(FacePipeline, ConsumerSeesEveryChunkInOrderWhicheverSideIsSlower) {
  constexpr size_t kCount = 1003, kChunk = 10, kSlots = 3;
  for (int slowSide = 0; slowSide < 3; ++slowSide) {
    std::vector<size_t> slot(kSlots * kChunk);
    std::vector<size_t> seen;
    std::vector<size_t> byWorker[2];
    RunOrdered(
        kCount, kChunk, kSlots, true,
        [&](size_t worker, size_t s, size_t b, size_t e) {
          ASSERT_LT(worker, 2u);
          byWorker[worker].push_back(b);
          if (slowSide == 1 && b % 97 < kChunk) std::this_thread::sleep_for(std::chrono::microseconds(300));
          for (size_t f = b; f < e; ++f) slot[s * kChunk + f - b] = f;
        },
        [&](size_t s, size_t b, size_t e) {
          if (slowSide == 2 && b % 89 < kChunk) std::this_thread::sleep_for(std::chrono::microseconds(300));
          for (size_t f = b; f < e; ++f) seen.push_back(slot[s * kChunk + f - b]);
        });
    ASSERT_EQ(seen.size(), kCount) << "slow side " << slowSide;
    for (size_t f = 0; f < kCount; ++f) ASSERT_EQ(seen[f], f) << "slow side " << slowSide;
    EXPECT_EQ(byWorker[0].size() + byWorker[1].size(), (kCount + kChunk - 1) / kChunk) << "each chunk once";
  }
}

TEST(FacePipeline, AFailureOnEitherSideEndsBothAndReachesTheCaller) {
  for (bool threaded : {false, true}) {
    size_t consumedUpTo = 0;
    EXPECT_THROW(RunOrdered(
                     1000, 10, 4, threaded,
                     [&](size_t, size_t, size_t b, size_t) {
                       if (b == 500) throw std::runtime_error("probe");
                     },
                     [&](size_t, size_t, size_t e) { consumedUpTo = e; }),
                 std::runtime_error);
    EXPECT_LE(consumedUpTo, 500u) << "nothing past the failure";
    if (!threaded) {
      EXPECT_EQ(consumedUpTo, 500u);
    }

    std::atomic<size_t> produced{0};
    EXPECT_THROW(RunOrdered(
                     100000, 10, 4, threaded,
                     [&](size_t, size_t, size_t, size_t e) {
                       for (size_t p = produced.load(); p < e && !produced.compare_exchange_weak(p, e);) {
                       }
                     },
                     [&](size_t, size_t b, size_t) {
                       if (b == 300) throw std::logic_error("number");
                     }),
                 std::logic_error);
    EXPECT_LT(produced.load(), 1000u) << "the producers stop within a few chunks";
  }
}

TEST(FacePipeline, HalvesCoverTheRangeOnce) {
  for (size_t count : {0u, 1u, 2u, 7u, 100000u}) {
    std::vector<int> hits(count, 0);
    ForEachHalf(count, true, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) ++hits[i];
    });
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i], 1) << count << " at " << i;
  }
}

// A mesh with everything that reaches a corner record: split texture coordinates, two sets,
// smoothing groups and flat faces, materials with transforms and a normal map, colours. Built on
// two cores, or beside the export thread, it must give the one-core build's data bit for bit.
class TwoCoreBuild : public testing::MeshFixture {
 protected:
  // (side - 1)^2 quads.
  static TriMesh Grid(uint32_t side) {
    TriMesh m;
    for (uint32_t y = 0; y < side; ++y)
      for (uint32_t x = 0; x < side; ++x)
        m.verts.push_back({float(x), float(y), float((x * 7 + y * 13) % 5) * 0.25f});
    for (uint32_t y = 0; y + 1 < side; ++y)
      for (uint32_t x = 0; x + 1 < side; ++x) {
        const uint32_t a = y * side + x, b = a + 1, c = a + side, d = c + 1;
        const uint32_t group = (x / 16 + y / 16) % 3 == 0 ? 0u : 1u << ((x / 16) % 4);
        const uint16_t id = static_cast<uint16_t>((x / 30) % 3);
        m.faces.push_back(TriFace{{a, b, d}, group, id, 0});
        m.faces.push_back(TriFace{{a, d, c}, group, id, 0});
      }
    MapChannel& uv = m.Map(1);
    uv.supported = true;
    for (const Point3& p : m.verts) uv.verts.push_back({p.x / float(side), p.y / float(side), 0});
    uv.verts.push_back({0.5f, 0.5f, 0});
    for (size_t f = 0; f < m.faces.size(); ++f) {
      MapFace mf{{m.faces[f].v[0], m.faces[f].v[1], m.faces[f].v[2]}};
      if (f % 37 == 0) mf.t[1] = static_cast<uint32_t>(uv.verts.size() - 1);  // a seam
      uv.faces.push_back(mf);
    }
    MapChannel& second = m.Map(2);
    second = uv;
    Point3* turned = second.verts.MutableData();
    for (size_t i = 0; i < second.verts.size(); ++i) turned[i] = {turned[i].y, 1 - turned[i].x, 0};
    testing::AddChannel(m, 0, std::vector<Point3>(m.verts.size(), Point3{1, 1, 1}));
    m.Map(0).verts.MutableData()[5] = {1, 0, 0};
    return m;
  }

  static XTextureSlot Slot(int32_t channel, TextureSlotRole role, UVTransform transform = XTextureSlot{}.uvTransform) {
    XTextureSlot slot;
    slot.mapChannel = channel;
    slot.role = role;
    slot.uvTransform = transform;
    return slot;
  }

  void SetUp() override {
    MeshFixture::SetUp();
    ctx_.options.Tangent = 1;
    ctx_.options.BiTangent = 1;
    ctx_.options.VertexColor = 1;
  }
};

template <class T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool SameData(const XMeshData& a, const XMeshData& b) {
  return SameBytes(a.faces, b.faces) && SameBytes(a.vertices, b.vertices) && SameBytes(a.corners, b.corners) &&
         SameBytes(a.texCoords, b.texCoords) && SameBytes(a.positions, b.positions);
}

TEST_F(TwoCoreBuild, GivesTheOneCoreDataBitForBit) {
  const TriMesh m = Grid(121);  // 28,800 faces
  AddPlainMaterial(Slot(1, TextureSlotRole::Diffuse, UVTransform{{{2, 0}, {0, 2}, {0.25f, 0}}}),
                   Slot(2, TextureSlotRole::NormalMap));
  AddPlainMaterial(Slot(2, TextureSlotRole::NormalMap));
  AddPlainMaterial();

  ctx_.secondCore = false;
  const XMeshData* one = Build(m);
  ASSERT_TRUE(one);
  const XMeshData single = *one;
  ctx_.secondCore = true;
  const XMeshData* two = Build(m);
  ASSERT_TRUE(two);
  ASSERT_GT(single.VertexCount(), m.verts.size()) << "seams and flat faces split vertices";
  EXPECT_TRUE(SameData(single, *two));
}

// A small mesh is built on the second core while the export thread goes on. Its materials are
// shared records the export thread keeps adding to (the list moves as it grows), its progress is
// counted when it is handed over, and its mesh copy is released when it is done.
TEST_F(TwoCoreBuild, BesideTheExportThreadGivesTheSameData) {
  const TriMesh m = Grid(41);  // 3,200 faces
  for (int i = 0; i < 3; ++i) {
    auto record = std::make_unique<XMaterial>();
    record->name = "Shared" + std::to_string(i);
    record->slots[0] = Slot(1 + i % 2, i == 1 ? TextureSlotRole::NormalMap : TextureSlotRole::Diffuse,
                            UVTransform{{{1.0f + float(i), 0}, {0, 1}, {0, 0.5f}}});
    ctx_.materials.push_back(std::move(record));
    XMaterialEntry& e = node_.nodeMaterials.emplace_back();
    e.kind = MaterialKind::Reference;
    e.ref.index = static_cast<uint32_t>(i);
  }
  const XMeshData* inline_ = Build(m);
  ASSERT_TRUE(inline_);
  const XMeshData reference = *inline_;

  ctx_.progress.stepsDone = 0;
  ctx_.progress.StartPhase(static_cast<uint32_t>(m.faces.size()), 0, 95);
  BackgroundJobs beside(true);
  node_.meshCopy = m;
  node_.mesh = &node_.meshCopy;
  ASSERT_TRUE(GenMeshData(ctx_, node_, &beside));
  EXPECT_EQ(ctx_.progress.stepsDone, m.faces.size());
  for (int i = 0; i < 5000; ++i) ctx_.materials.push_back(std::make_unique<XMaterial>());
  beside.Wait();
  ASSERT_TRUE(node_.meshData);
  EXPECT_TRUE(SameData(reference, *node_.meshData));
  EXPECT_EQ(node_.mesh, nullptr);
  EXPECT_TRUE(node_.meshCopy.faces.empty());
}

}  // namespace
}  // namespace vorn
