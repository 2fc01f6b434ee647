#include "mesh/face_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

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

// A mesh big enough for the second core, with everything that reaches a corner record: split
// texture coordinates, two sets, smoothing groups and flat faces, materials with transforms and
// a normal map, colours. The two-core build must give the one-core build's data bit for bit.
class TwoCoreBuild : public testing::MeshFixture {};

template <class T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

TEST_F(TwoCoreBuild, GivesTheOneCoreDataBitForBit) {
  ctx_.options.Tangent = 1;
  ctx_.options.BiTangent = 1;
  ctx_.options.VertexColor = 1;
  constexpr uint32_t kSide = 121;  // 120 x 120 quads: 28,800 faces
  TriMesh m;
  for (uint32_t y = 0; y < kSide; ++y)
    for (uint32_t x = 0; x < kSide; ++x)
      m.verts.push_back({float(x), float(y), float((x * 7 + y * 13) % 5) * 0.25f});
  for (uint32_t y = 0; y + 1 < kSide; ++y)
    for (uint32_t x = 0; x + 1 < kSide; ++x) {
      const uint32_t a = y * kSide + x, b = a + 1, c = a + kSide, d = c + 1;
      const uint32_t group = (x / 16 + y / 16) % 3 == 0 ? 0u : 1u << ((x / 16) % 4);
      const uint16_t id = static_cast<uint16_t>((x / 30) % 3);
      m.faces.push_back(TriFace{{a, b, d}, group, id, 0});
      m.faces.push_back(TriFace{{a, d, c}, group, id, 0});
    }
  MapChannel& uv = m.Map(1);
  uv.supported = true;
  for (const Point3& p : m.verts) uv.verts.push_back({p.x / kSide, p.y / kSide, 0});
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
  XTextureSlot diffuse, bump;
  diffuse.mapChannel = 1;
  diffuse.uvTransform = UVTransform{{{2, 0}, {0, 2}, {0.25f, 0}}};
  bump.mapChannel = 2;
  bump.role = TextureSlotRole::NormalMap;
  AddPlainMaterial(diffuse, bump);
  AddPlainMaterial(bump);
  AddPlainMaterial();

  ctx_.secondCore = false;
  const XMeshData* one = Build(m);
  ASSERT_TRUE(one);
  const XMeshData single = *one;
  ctx_.secondCore = true;
  const XMeshData* two = Build(m);
  ASSERT_TRUE(two);
  ASSERT_GT(single.VertexCount(), m.verts.size()) << "seams and flat faces split vertices";
  EXPECT_TRUE(SameBytes(single.faces, two->faces));
  EXPECT_TRUE(SameBytes(single.vertices, two->vertices));
  EXPECT_TRUE(SameBytes(single.corners, two->corners));
  EXPECT_TRUE(SameBytes(single.texCoords, two->texCoords));
  EXPECT_TRUE(SameBytes(single.positions, two->positions));
}

}  // namespace
}  // namespace vorn
