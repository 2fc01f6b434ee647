// Checked reading of scene document values: each value is checked where it is read, and an
// error names its place in the document as a JSON pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "host/host_scene.h"
#include "host/math.h"

namespace vorn::scene_doc {

using json = nlohmann::json;

// Throws a SceneError at path (the root when empty).
[[noreturn]] void Fail(const std::string& path, const std::string& msg);

// The JSON pointer of a key or an element below path.
std::string Key(const std::string& path, const std::string& key);
std::string Key(const std::string& path, size_t index);

void CheckObject(const json& v, const std::string& path);
void CheckArray(const json& v, const std::string& path);
// Rejects keys the format does not know, so a misspelt key is not silently ignored.
void CheckKeys(const json& obj, const std::string& path, std::initializer_list<const char*> allowed);

// The value of a key, or null when the object has none.
const json* Find(const json& obj, const char* key);
const json& Require(const json& obj, const std::string& path, const char* key);

float Float(const json& v, const std::string& path);
int64_t Int(const json& v, const std::string& path, int64_t lo, int64_t hi);
// A 32-bit word: a number or a hex text such as "0x95c723".
uint32_t Word(const json& v, const std::string& path);
bool Bool(const json& v, const std::string& path);
std::string Str(const json& v, const std::string& path);
// Exactly n numbers.
void Floats(const json& v, const std::string& path, float* out, size_t n);
Color Col(const json& v, const std::string& path);
// Three or four numbers; alpha 1 when three.
AColor ACol(const json& v, const std::string& path);
// Normalised; a zero quaternion is refused.
Quat QuatValue(const json& v, const std::string& path);
ClassID Cls(const json& v, const std::string& path);

// The parts of a transform: as given, or taken apart from a matrix (given false).
struct Trs {
  Point3 t, s{1, 1, 1};
  Quat q;
  bool given = false;
};

// A Matrix3: four rows of three, twelve numbers, or {"translation", "rotation"|"euler", "scale"}.
Matrix3 Mat(const json& v, const std::string& path, Trs* trs = nullptr);

}  // namespace vorn::scene_doc
