#include "host/scene_document_json.h"

#include <cmath>
#include <limits>

#include "host/scene_document.h"

namespace vorn::scene_doc {

namespace {

const char* TypeName(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::string: return "a string";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    default: return "a number";
  }
}

[[noreturn]] void WrongType(const json& v, const std::string& path, const char* wanted) {
  Fail(path, std::string("expected ") + wanted + ", found " + TypeName(v));
}

Point3 Vec3(const json& v, const std::string& path) {
  float f[3];
  Floats(v, path, f, 3);
  return {f[0], f[1], f[2]};
}

Quat EulerDegrees(Point3 e) {
  const float d = kPi / 180.0f;
  return MatrixToQuat(RotateXMatrix(e.x * d) * RotateYMatrix(e.y * d) * RotateZMatrix(e.z * d));
}

}  // namespace

[[noreturn]] void Fail(const std::string& path, const std::string& msg) { throw SceneError(path.empty() ? "/" : path, msg); }

std::string Key(const std::string& path, const std::string& key) {
  std::string out = path;
  out += '/';
  for (char c : key) {
    if (c == '~') out += "~0";
    else if (c == '/') out += "~1";
    else out += c;
  }
  return out;
}

std::string Key(const std::string& path, size_t index) { return path + "/" + std::to_string(index); }

void CheckObject(const json& v, const std::string& path) {
  if (!v.is_object()) WrongType(v, path, "an object");
}

void CheckArray(const json& v, const std::string& path) {
  if (!v.is_array()) WrongType(v, path, "an array");
}

void CheckKeys(const json& obj, const std::string& path, std::initializer_list<const char*> allowed) {
  CheckObject(obj, path);
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool ok = false;
    for (const char* a : allowed)
      if (it.key() == a) ok = true;
    if (!ok) Fail(Key(path, it.key()), "unknown key '" + it.key() + "'");
  }
}

const json* Find(const json& obj, const char* key) {
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

const json& Require(const json& obj, const std::string& path, const char* key) {
  const json* v = Find(obj, key);
  if (!v) Fail(path, std::string("missing key '") + key + "'");
  return *v;
}

float Float(const json& v, const std::string& path) {
  if (!v.is_number()) WrongType(v, path, "a number");
  double d = v.get<double>();
  float f = static_cast<float>(d);
  if (!std::isfinite(d) || !std::isfinite(f)) Fail(path, "number is not finite in single precision");
  return f;
}

int64_t Int(const json& v, const std::string& path, int64_t lo, int64_t hi) {
  int64_t x = 0;
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
      Fail(path, "integer out of range");
    x = v.get<int64_t>();
  } else if (v.is_number_float()) {
    double d = v.get<double>();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9e15) Fail(path, "expected an integer, found " + v.dump());
    x = static_cast<int64_t>(d);
  } else {
    WrongType(v, path, "an integer");
  }
  if (x < lo || x > hi)
    Fail(path, "value " + std::to_string(x) + " out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
  return x;
}

uint32_t Word(const json& v, const std::string& path) {
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    size_t start = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 2 : 0;
    if (start == 0 || s.size() > 10) Fail(path, "expected a hex word like \"0x1f\", found \"" + s + "\"");
    uint32_t x = 0;
    for (size_t i = start; i < s.size(); ++i) {
      char c = s[i];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) Fail(path, "bad hex digit in \"" + s + "\"");
      x = x * 16 + uint32_t(d);
    }
    return x;
  }
  return static_cast<uint32_t>(Int(v, path, 0, 0xffffffffLL));
}

bool Bool(const json& v, const std::string& path) {
  if (!v.is_boolean()) WrongType(v, path, "true or false");
  return v.get<bool>();
}

std::string Str(const json& v, const std::string& path) {
  if (!v.is_string()) WrongType(v, path, "a string");
  return v.get<std::string>();
}

void Floats(const json& v, const std::string& path, float* out, size_t n) {
  if (!v.is_array() || v.size() != n) Fail(path, "expected an array of " + std::to_string(n) + " numbers");
  for (size_t i = 0; i < n; ++i) out[i] = Float(v[i], Key(path, i));
}

Color Col(const json& v, const std::string& path) {
  float f[3];
  Floats(v, path, f, 3);
  return {f[0], f[1], f[2]};
}

AColor ACol(const json& v, const std::string& path) {
  if (v.is_array() && v.size() == 4) {
    float f[4];
    Floats(v, path, f, 4);
    return {f[0], f[1], f[2], f[3]};
  }
  Color c = Col(v, path);
  return {c.r, c.g, c.b, 1};
}

Quat QuatValue(const json& v, const std::string& path) {
  float f[4];
  Floats(v, path, f, 4);
  Quat q{f[0], f[1], f[2], f[3]};
  if (q.x == 0 && q.y == 0 && q.z == 0 && q.w == 0) Fail(path, "zero quaternion");
  return Normalize(q);
}

ClassID Cls(const json& v, const std::string& path) {
  if (!v.is_array() || v.size() != 2) Fail(path, "expected a class ID [a, b]");
  return {Word(v[0], Key(path, 0)), Word(v[1], Key(path, 1))};
}

Matrix3 Mat(const json& v, const std::string& path, Trs* trs) {
  Matrix3 m;
  if (v.is_object()) {
    CheckKeys(v, path, {"translation", "rotation", "euler", "scale"});
    Trs parts;
    parts.given = true;
    if (const json* t = Find(v, "translation")) parts.t = Vec3(*t, Key(path, "translation"));
    if (const json* s = Find(v, "scale")) parts.s = Vec3(*s, Key(path, "scale"));
    const json* r = Find(v, "rotation");
    const json* e = Find(v, "euler");
    if (r && e) Fail(path, "give either 'rotation' or 'euler', not both");
    if (r) parts.q = QuatValue(*r, Key(path, "rotation"));
    if (e) parts.q = EulerDegrees(Vec3(*e, Key(path, "euler")));
    m = ScaleMatrix(parts.s) * QuatToMatrix(parts.q) * TransMatrix(parts.t);
    if (trs) *trs = parts;
    return m;
  }
  if (!v.is_array()) WrongType(v, path, "a matrix (4 rows of 3 numbers, 12 numbers or a TRS object)");
  if (v.size() == 4) {
    for (size_t i = 0; i < 4; ++i) m.row[i] = Vec3(v[i], Key(path, i));
  } else if (v.size() == 12) {
    for (size_t i = 0; i < 12; ++i) m.row[i / 3][int(i % 3)] = Float(v[i], Key(path, i));
  } else {
    Fail(path, "a matrix has 4 rows of 3 numbers (or 12 numbers), found " + std::to_string(v.size()) + " entries");
  }
  if (trs) {
    AffineParts p = DecompAffine(m);
    trs->t = p.t;
    trs->q = p.q;
    trs->s = p.k * p.f;
    trs->given = false;
  }
  return m;
}

}  // namespace vorn::scene_doc
