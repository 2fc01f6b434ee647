#include "host/math.h"

#include <algorithm>
#include <cstddef>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn {

Quat Normalize(Quat q) {
  float l = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  if (l == 0.0f) return Quat{};
  return {q.x / l, q.y / l, q.z / l, q.w / l};
}

Quat Multiply(Quat a, Quat b) {
  // Matrix of the result is Matrix(a) * Matrix(b) in row-vector order.
  return {b.w * a.x + b.x * a.w + b.y * a.z - b.z * a.y,
          b.w * a.y - b.x * a.z + b.y * a.w + b.z * a.x,
          b.w * a.z + b.x * a.y - b.y * a.x + b.z * a.w,
          b.w * a.w - b.x * a.x - b.y * a.y - b.z * a.z};
}

Quat Inverse(Quat q) { return {-q.x, -q.y, -q.z, q.w}; }

Quat Slerp(Quat a, Quat b, float t) {
  float d = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
  if (d < 0.0f) {
    d = -d;
    b = {-b.x, -b.y, -b.z, -b.w};
  }
  float wa, wb;
  if (d > 0.9995f) {
    wa = 1.0f - t;
    wb = t;
  } else {
    float th = std::acos(d), s = std::sin(th);
    wa = std::sin((1.0f - t) * th) / s;
    wb = std::sin(t * th) / s;
  }
  return Normalize(Quat{wa * a.x + wb * b.x, wa * a.y + wb * b.y, wa * a.z + wb * b.z, wa * a.w + wb * b.w});
}

bool Matrix3::IsIdentity() const { return *this == Matrix3{}; }

Matrix3 operator*(const Matrix3& a, const Matrix3& b) {
  Matrix3 r;
#if defined(__SSE2__)
  // Each row as x times b's first row plus y times its second plus z times its third, the
  // same products and sums in the same order as below, four lanes at once. Rows are loaded and
  // stored 16 bytes wide: the fourth lane reaches into the next row (or the flags), which the
  // next store or the flags' own assignment puts right.
  static_assert(sizeof(Point3) == 12 && offsetof(Matrix3, flags) == 48);
  const auto* bb = reinterpret_cast<const unsigned char*>(&b);
  auto* rb = reinterpret_cast<unsigned char*>(&r);
  const __m128 b0 = _mm_loadu_ps(reinterpret_cast<const float*>(bb)),
               b1 = _mm_loadu_ps(reinterpret_cast<const float*>(bb + 12)),
               b2 = _mm_loadu_ps(reinterpret_cast<const float*>(bb + 24)),
               b3 = _mm_loadu_ps(reinterpret_cast<const float*>(bb + 36));
  for (int i = 0; i < 4; ++i) {
    const Point3& p = a.row[i];
    __m128 v = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(p.x), b0), _mm_mul_ps(_mm_set1_ps(p.y), b1)),
                          _mm_mul_ps(_mm_set1_ps(p.z), b2));
    if (i == 3) v = _mm_add_ps(v, b3);
    _mm_storeu_ps(reinterpret_cast<float*>(rb + 12 * i), v);
  }
#else
  for (int i = 0; i < 4; ++i) {
    const Point3& p = a.row[i];
    r.row[i] = Point3{p.x * b.row[0].x + p.y * b.row[1].x + p.z * b.row[2].x,
                      p.x * b.row[0].y + p.y * b.row[1].y + p.z * b.row[2].y,
                      p.x * b.row[0].z + p.y * b.row[1].z + p.z * b.row[2].z};
  }
  r.row[3] += b.row[3];
#endif
  r.flags = a.flags & b.flags;
  return r;
}


Matrix3 Inverse(const Matrix3& m) {
  // Rows of the adjugate over the determinant, in double to keep near-singular inputs usable.
  const double a = m.row[0].x, b = m.row[0].y, c = m.row[0].z;
  const double d = m.row[1].x, e = m.row[1].y, f = m.row[1].z;
  const double g = m.row[2].x, h = m.row[2].y, k = m.row[2].z;
  const double det = a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
  Matrix3 r;
  if (det == 0.0) return r;
  const double s = 1.0 / det;
  double inv[3][3] = {{(e * k - f * h) * s, (c * h - b * k) * s, (b * f - c * e) * s},
                      {(f * g - d * k) * s, (a * k - c * g) * s, (c * d - a * f) * s},
                      {(d * h - e * g) * s, (b * g - a * h) * s, (a * e - b * d) * s}};
  for (int i = 0; i < 3; ++i)
    r.row[i] = Point3{float(inv[i][0]), float(inv[i][1]), float(inv[i][2])};
  const Point3 t = m.row[3];
  r.row[3] = Point3{float(-(t.x * inv[0][0] + t.y * inv[1][0] + t.z * inv[2][0])),
                    float(-(t.x * inv[0][1] + t.y * inv[1][1] + t.z * inv[2][1])),
                    float(-(t.x * inv[0][2] + t.y * inv[1][2] + t.z * inv[2][2]))};
  r.flags = m.flags;
  return r;
}

bool Equals(const Matrix3& a, const Matrix3& b, float eps) {
  for (int i = 0; i < 4; ++i)
    if (!Equals(a.row[i], b.row[i], eps)) return false;
  return true;
}

Matrix3 RotateXMatrix(float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  Matrix3 m;
  m.row[1] = {0, c, s};
  m.row[2] = {0, -s, c};
  return m;
}

Matrix3 RotateYMatrix(float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  Matrix3 m;
  m.row[0] = {c, 0, -s};
  m.row[2] = {s, 0, c};
  return m;
}

Matrix3 RotateZMatrix(float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  Matrix3 m;
  m.row[0] = {c, s, 0};
  m.row[1] = {-s, c, 0};
  return m;
}

Matrix3 ScaleMatrix(Point3 s) {
  Matrix3 m;
  m.row[0] = {s.x, 0, 0};
  m.row[1] = {0, s.y, 0};
  m.row[2] = {0, 0, s.z};
  return m;
}

Matrix3 TransMatrix(Point3 t) {
  Matrix3 m;
  m.row[3] = t;
  return m;
}

Matrix3 QuatToMatrix(Quat q) {
  const float x = q.x, y = q.y, z = q.z, w = q.w;
  Matrix3 m;
  m.row[0] = {1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)};
  m.row[1] = {2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)};
  m.row[2] = {2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y)};
  return m;
}

Quat MatrixToQuat(const Matrix3& m) {
  // Inverse of QuatToMatrix: m[i][j] here is row i, component j.
  const float m00 = m.row[0].x, m01 = m.row[0].y, m02 = m.row[0].z;
  const float m10 = m.row[1].x, m11 = m.row[1].y, m12 = m.row[1].z;
  const float m20 = m.row[2].x, m21 = m.row[2].y, m22 = m.row[2].z;
  const float tr = m00 + m11 + m22;
  Quat q;
  if (tr > 0.0f) {
    float s = std::sqrt(tr + 1.0f) * 2.0f;
    q = {(m12 - m21) / s, (m20 - m02) / s, (m01 - m10) / s, 0.25f * s};
  } else if (m00 > m11 && m00 > m22) {
    float s = std::sqrt(1.0f + m00 - m11 - m22) * 2.0f;
    q = {0.25f * s, (m01 + m10) / s, (m20 + m02) / s, (m12 - m21) / s};
  } else if (m11 > m22) {
    float s = std::sqrt(1.0f + m11 - m00 - m22) * 2.0f;
    q = {(m01 + m10) / s, 0.25f * s, (m12 + m21) / s, (m20 - m02) / s};
  } else {
    float s = std::sqrt(1.0f + m22 - m00 - m11) * 2.0f;
    q = {(m20 + m02) / s, (m12 + m21) / s, 0.25f * s, (m01 - m10) / s};
  }
  return Normalize(q);
}

namespace {

using M3 = double[3][3];
constexpr int kLanes = 8;

void Transpose(const M3 a, M3 out) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[j][i] = a[i][j];
}

void Mul(const M3 a, const M3 b, M3 out) {
  M3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = r[i][j];
}

double Det(const M3 a) {
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

// Orthogonal factors of non-singular matrices by Newton's iteration Q <- (Q + Q^-T) / 2, several
// at once: each lane's iteration is a chain of divisions that waits on itself, and the lanes'
// chains overlap. A lane's operations and their order do not depend on the others: one matrix
// alone gets the same bits.
void OrthogonalFactors(const M3* a, M3* q, int lanes) {
  bool active[kLanes];
  for (int l = 0; l < lanes; ++l) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) q[l][i][j] = a[l][i][j];
    active[l] = true;
  }
  for (int iter = 0; iter < 64; ++iter) {
    bool any = false;
    for (int l = 0; l < lanes; ++l) {
      if (!active[l]) continue;
      M3& x = q[l];
      double det = Det(x);
      if (det == 0.0) {
        active[l] = false;
        continue;
      }
      // inverse transpose = cofactor matrix / det
      M3 cof = {{x[1][1] * x[2][2] - x[1][2] * x[2][1], x[1][2] * x[2][0] - x[1][0] * x[2][2], x[1][0] * x[2][1] - x[1][1] * x[2][0]},
                {x[0][2] * x[2][1] - x[0][1] * x[2][2], x[0][0] * x[2][2] - x[0][2] * x[2][0], x[0][1] * x[2][0] - x[0][0] * x[2][1]},
                {x[0][1] * x[1][2] - x[0][2] * x[1][1], x[0][2] * x[1][0] - x[0][0] * x[1][2], x[0][0] * x[1][1] - x[0][1] * x[1][0]}};
      double diff = 0;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          double n = 0.5 * (x[i][j] + cof[i][j] / det);
          diff = std::max(diff, std::fabs(n - x[i][j]));
          x[i][j] = n;
        }
      if (diff < 1e-12) active[l] = false;
      any = any || active[l];
    }
    if (!any) break;
  }
}

// One Jacobi rotation a = J^T a J in the plane (p, q); c and sn are J's.
inline void JacobiRotate(M3 a, int p, int q, double& c, double& sn) {
  double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
  double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
  c = 1.0 / std::sqrt(t * t + 1.0);
  sn = t * c;
  for (int r = 0; r < 3; ++r) {
    double arp = a[r][p], arq = a[r][q];
    a[r][p] = c * arp - sn * arq;
    a[r][q] = sn * arp + c * arq;
  }
  for (int r = 0; r < 3; ++r) {
    double apr = a[p][r], aqr = a[q][r];
    a[p][r] = c * apr - sn * aqr;
    a[q][r] = sn * apr + c * aqr;
  }
}

bool Diagonal(const M3 a) { return std::fabs(a[0][1]) + std::fabs(a[0][2]) + std::fabs(a[1][2]) < 1e-15; }

// The eigenvalues of symmetric matrices by Jacobi rotations, several at once (each lane alone
// as it would be by itself).
void SymmetricEigenvalues(M3* a, double (*k)[3], int lanes) {
  bool active[kLanes];
  for (int l = 0; l < lanes; ++l) active[l] = true;
  for (int sweep = 0; sweep < 50; ++sweep) {
    bool any = false;
    for (int l = 0; l < lanes; ++l) {
      if (active[l] && Diagonal(a[l])) active[l] = false;
      any = any || active[l];
    }
    if (!any) break;
    double c, sn;
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q)
        for (int l = 0; l < lanes; ++l)
          if (active[l] && a[l][p][q] != 0.0) JacobiRotate(a[l], p, q, c, sn);
  }
  for (int l = 0; l < lanes; ++l)
    for (int i = 0; i < 3; ++i) k[l][i] = a[l][i][i];
}

// The same with the eigenvectors: s = v diag(k) v^T, the columns of v being the eigenvectors.
// k is the same as without them.
void SymmetricEigen(const M3 s, double k[3], M3 v) {
  M3 a;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      a[i][j] = s[i][j];
      v[i][j] = i == j ? 1.0 : 0.0;
    }
  for (int sweep = 0; sweep < 50 && !Diagonal(a); ++sweep)
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q) {
        if (a[p][q] == 0.0) continue;
        double c, sn;
        JacobiRotate(a, p, q, c, sn);
        for (int r = 0; r < 3; ++r) {
          double vrp = v[r][p], vrq = v[r][q];
          v[r][p] = c * vrp - sn * vrq;
          v[r][q] = sn * vrp + c * vrq;
        }
      }
  for (int i = 0; i < 3; ++i) k[i] = a[i][i];
}

Matrix3 FromM3(const M3 a) {
  Matrix3 m;
  for (int i = 0; i < 3; ++i) m.row[i] = Point3{float(a[i][0]), float(a[i][1]), float(a[i][2])};
  return m;
}

// The parts a decomposition has at once: the translation, the sign, and for a singular matrix
// the stretch; a is the linear part made positive. False when no iteration is needed.
bool Prepare(const Matrix3& m, AffineParts& parts, M3 a) {
  parts = AffineParts{};
  parts.t = m.row[3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = m.row[i][j];
  const double det = Det(a);
  parts.f = det < 0 ? -1.0f : 1.0f;
  if (det < 0)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) a[i][j] = -a[i][j];
  if (det == 0.0) {
    parts.k = Point3{Length(m.row[0]), Length(m.row[1]), Length(m.row[2])};
    return false;
  }
  return true;
}

// Row vectors: a = S * Q with S symmetric (the stretch) and Q the rotation.
void Stretch(const M3 a, const M3 q, M3 s) {
  M3 qt;
  Transpose(q, qt);
  Mul(a, qt, s);
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j) s[i][j] = s[j][i] = 0.5 * (s[i][j] + s[j][i]);
}

}  // namespace

bool IsMirrored(const Matrix3& m) {
  M3 a;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = m.row[i][j];
  return Det(a) < 0;
}

AffineParts DecompAffine(const Matrix3& m) {
  AffineParts parts;
  M3 a[1], q[1], s;
  if (!Prepare(m, parts, a[0])) return parts;
  OrthogonalFactors(a, q, 1);
  Stretch(a[0], q[0], s);
  double k[3];
  M3 v;
  SymmetricEigen(s, k, v);
  parts.q = MatrixToQuat(FromM3(q[0]));
  parts.k = Point3{float(k[0]), float(k[1]), float(k[2])};
  if (Det(v) < 0)
    for (auto& r : v) r[2] = -r[2];
  // S = U^-1 K U with U = v^T (rows of U are the stretch axes).
  M3 u;
  Transpose(v, u);
  parts.u = MatrixToQuat(FromM3(u));
  return parts;
}

void DecompAffineWithoutStretchRotation(const Matrix3* m, size_t count, AffineParts* out) {
  for (size_t first = 0; first < count; first += kLanes) {
    const int n = static_cast<int>(std::min<size_t>(kLanes, count - first));
    // The lanes that need the iterations: a singular matrix has its parts at once.
    M3 a[kLanes], q[kLanes], s[kLanes];
    int lane[kLanes];
    int lanes = 0;
    for (int i = 0; i < n; ++i)
      if (Prepare(m[first + static_cast<size_t>(i)], out[first + static_cast<size_t>(i)], a[lanes])) lane[lanes++] = i;
    OrthogonalFactors(a, q, lanes);
    for (int l = 0; l < lanes; ++l) Stretch(a[l], q[l], s[l]);
    double k[kLanes][3];
    SymmetricEigenvalues(s, k, lanes);
    for (int l = 0; l < lanes; ++l) {
      AffineParts& parts = out[first + static_cast<size_t>(lane[l])];
      parts.q = MatrixToQuat(FromM3(q[l]));
      parts.k = Point3{float(k[l][0]), float(k[l][1]), float(k[l][2])};
    }
  }
}

AffineParts DecompAffineWithoutStretchRotation(const Matrix3& m) {
  AffineParts parts;
  DecompAffineWithoutStretchRotation(&m, 1, &parts);
  return parts;
}

}  // namespace vorn
