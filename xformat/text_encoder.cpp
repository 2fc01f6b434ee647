// The text encoding: members closed by ';', array elements separated by ',', one member per
// line, each array element of structures on its own line.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "host/parallel.h"
#include "xformat/data_walker.h"
#include "xformat/digit_pairs.h"
#include "xformat/shortest_float.h"
#include "xformat/template_ids.h"
#include "xformat/template_serialisers.h"
#include "xformat/xfile_encoders.h"

namespace vorn {

namespace {

constexpr uint32_t kMaxIndent = 64;

// An indentation of n spaces at w, room for kMaxIndent given. Most are a few spaces: sixteen are
// copied at once (a fixed-size copy, no call), and the text goes on after the first n.
char* Indent(char* w, uint32_t n) {
  static constexpr char kSpaces[17] = "                ";
  if (n <= 16)
    std::memcpy(w, kSpaces, 16);
  else
    std::memset(w, ' ', n);
  return w + n;
}
constexpr uint32_t kValuesPerLine = 16;
// The longest text of a Float (with its decimal point) or a Dword.
constexpr size_t kNumberMaxChars = kShortestFloatMaxChars + 2;
// From this many elements the second half of a structure array is written on the second core.
constexpr uint32_t kSideMinimum = 1024;

// Waits for the second core however a scope is left: its job refers to the scope's locals.
struct SideWait {
  BackgroundJobs* jobs;
  ~SideWait() {
    if (!jobs) return;
    try {
      jobs->Wait();
    } catch (...) {  // the scope is already being left by a failure of its own
    }
  }
};

// A DWORD's decimal text at w. Indices and counts are mostly short: up to four digits are
// written by comparisons and two table pairs, without the library's digit-counting loop.
inline __attribute__((always_inline)) char* WriteDword(uint32_t v, char* w) {
  if (v < 100) {
    if (v < 10) {
      *w = static_cast<char>('0' + v);
      return w + 1;
    }
    std::memcpy(w, kDigitPairs + 2 * v, 2);
    return w + 2;
  }
  if (v < 10000) {
    const uint32_t high = v / 100, low = v - high * 100;
    if (high < 10) {
      *w++ = static_cast<char>('0' + high);
    } else {
      std::memcpy(w, kDigitPairs + 2 * high, 2);
      w += 2;
    }
    std::memcpy(w, kDigitPairs + 2 * low, 2);
    return w + 2;
  }
  return std::to_chars(w, w + 10, v).ptr;
}

struct TextVisitor {
  ByteBuffer& out;
  uint32_t indent = 0;
  bool finite = true;
  // The second core and the buffer it writes into, kept from one array to the next.
  BackgroundJobs* jobs = nullptr;
  ByteBuffer* side = nullptr;
  // Set while writing an object whose string names a frame (the bone of a SkinWeights): the
  // string follows the frame's name as written.
  const TextNameMap* frameNames = nullptr;
  // Resolves nested templates for the timed-keys shape; null writes such arrays through the walker.
  const TemplateRegistry* registry = nullptr;

  void NewLine() {
    const uint32_t n = indent < kMaxIndent ? indent : kMaxIndent;
    uint8_t* p = out.Reserve(kMaxIndent + 1);  // Indent may write past n
    p[0] = '\n';
    Indent(reinterpret_cast<char*>(p + 1), n);
    out.Commit(n + 1);
  }

  template <class T>
  void Integer(T value) {
    char* p = reinterpret_cast<char*>(out.Reserve(24));
    if constexpr (std::is_same_v<T, uint32_t>)
      out.Commit(static_cast<size_t>(WriteDword(value, p) - p));
    else
      out.Commit(static_cast<size_t>(std::to_chars(p, p + 24, value).ptr - p));
  }

  void One(XMemberType type, const uint8_t* bytes) {
    switch (type) {
      case XMemberType::Word: { uint16_t v; std::memcpy(&v, bytes, 2); Integer(v); break; }
      case XMemberType::Sword: { int16_t v; std::memcpy(&v, bytes, 2); Integer(v); break; }
      case XMemberType::Dword: { uint32_t v; std::memcpy(&v, bytes, 4); Integer(v); break; }
      case XMemberType::Sdword: { int32_t v; std::memcpy(&v, bytes, 4); Integer(v); break; }
      case XMemberType::Char: Integer(static_cast<int8_t>(bytes[0])); break;
      case XMemberType::Uchar:
      case XMemberType::Byte: Integer(bytes[0]); break;
      case XMemberType::Float: {
        float v;
        std::memcpy(&v, bytes, 4);
        if (!std::isfinite(v)) finite = false;
        out.Commit(FormatFloat(v, reinterpret_cast<char*>(out.Reserve(64))));
        break;
      }
      case XMemberType::Double: {
        double v;
        std::memcpy(&v, bytes, 8);
        if (!std::isfinite(v)) finite = false;
        out.Commit(FormatDouble(v, reinterpret_cast<char*>(out.Reserve(400))));
        break;
      }
      case XMemberType::String:
      case XMemberType::Template: break;
    }
  }

  void MemberBegin(uint32_t depth) {
    if (depth == 0) NewLine();
  }
  void Value(XMemberType type, const uint8_t* bytes) { One(type, bytes); }
  void Values(XMemberType type, const uint8_t* bytes, uint32_t count) {
    // A long list's second half, cut at a line's start, is written beside the first.
    const uint32_t split = jobs && count >= 2 * kSideMinimum ? count / 2 / kValuesPerLine * kValuesPerLine : count;
    if (split == count) return ValueRange(type, bytes, 0, count, count);
    Beside(
        count - split, [&] { ValueRange(type, bytes, 0, split, count); },
        [&](TextVisitor& w) { w.ValueRange(type, bytes, split, count, count); });
  }
  // Values [from, to) of a list of count.
  void ValueRange(XMemberType type, const uint8_t* bytes, uint32_t from, uint32_t to, uint32_t count) {
    const size_t size = PrimitiveSize(type);
    for (uint32_t k = from; k < to; ++k) {
      if (k) {
        out.Put(',');
        if (k % kValuesPerLine == 0 && count > kValuesPerLine) NewLine();
      }
      One(type, bytes + k * size);
    }
  }
  void String(const char* text, size_t length, bool) {
    if (frameNames) {
      const std::string_view name = (*frameNames)(std::string_view(text, length));
      text = name.data();
      length = name.size();
    }
    // the text encoding has no escapes: a double quote would end the string early
    out.Put('"');
    uint8_t* p = out.Reserve(length);
    for (size_t i = 0; i < length; ++i) p[i] = text[i] == '"' ? '\'' : static_cast<uint8_t>(text[i]);
    out.Commit(length);
    out.Put('"');
  }
  // Arrays of small number structures (Vector, Coords2d, MeshFace) are most of a mesh's text:
  // written here element by element, in the walker's own order, rather than member by member
  // through it. Returns the elements written; the walker goes on from there (and names a fault).
  uint32_t Structures(const XTemplate& element, DataCursor& c, uint32_t n, uint32_t depth) {
    const auto& ms = element.members;
    auto number = [](XMemberType t) { return t == XMemberType::Float || t == XMemberType::Dword; };
    if (element.fixedSize > 0 && !ms.empty()) {
      XMemberType types[8];
      if (ms.size() > std::size(types)) return 0;
      for (size_t i = 0; i < ms.size(); ++i) {
        if (ms[i].isArray || !number(ms[i].type)) return 0;
        types[i] = ms[i].type;
      }
      // The walker checked that n elements fit. An element's text does not depend on where it
      // stands, so a long array's second half is written beside the first and appended.
      const size_t members = ms.size(), size = static_cast<size_t>(element.fixedSize);
      const uint32_t split = jobs && n >= kSideMinimum ? n / 2 : n;
      if (split == n) {
        Fixed(types, members, c.p, 0, n, n, depth);
      } else {
        Beside(
            n - split, [&] { Fixed(types, members, c.p, 0, split, n, depth); },
            [&](TextVisitor& w) { w.Fixed(types, members, c.p + split * size, split, n, n, depth); });
      }
      c.p += n * size;
      c.left -= n * size;
      return n;
    }
    if (IsCountedDwords(element))
      return Varying(c, n, depth, SkipCounted, [](TextVisitor& w, DataCursor& at, uint32_t from, uint32_t to,
                                                  uint32_t all, uint32_t d) { return w.Counted(at, from, to, all, d); });
    if (IsTimedKeys(element))
      return Varying(c, n, depth, SkipTimed, [](TextVisitor& w, DataCursor& at, uint32_t from, uint32_t to,
                                                uint32_t all, uint32_t d) { return w.Timed(at, from, to, all, d); });
    return 0;
  }
  // An animation key: a DWORD time and a structure of a count and that many floats.
  bool IsTimedKeys(const XTemplate& element) const {
    const auto& ms = element.members;
    if (!registry || ms.size() != 2 || ms[0].isArray || ms[0].type != XMemberType::Dword || ms[1].isArray ||
        ms[1].type != XMemberType::Template)
      return false;
    const XTemplate& keys = registry->At(static_cast<size_t>(ms[1].templateIndex));
    const auto& ks = keys.members;
    return ks.size() == 2 && !ks[0].isArray && ks[0].type == XMemberType::Dword && ks[1].isArray &&
           ks[1].type == XMemberType::Float && ks[1].dimCount == 1 && keys.dims[ks[1].firstDim].member == 0;
  }
  // Elements that differ in length (faces, keys): from kSideMinimum the first half is measured,
  // checked as it will be written, to find where the second begins; that half is written beside.
  template <class Skip, class Write>
  uint32_t Varying(DataCursor& c, uint32_t n, uint32_t depth, Skip skip, Write write) {
    uint32_t split = n;
    DataCursor rest = c;
    if (jobs && n >= kSideMinimum) {
      split = n / 2;
      for (uint32_t k = 0; k < split; ++k)
        if (!skip(rest)) {
          split = n;
          break;
        }
    }
    if (split == n) return write(*this, c, 0, n, n, depth);
    uint32_t sideWritten = 0;
    Beside(
        n - split, [&] { write(*this, c, 0, split, n, depth); },
        [&](TextVisitor& w) { sideWritten = write(w, rest, split, n, n, depth); });
    c = rest;
    return split + sideWritten;
  }
  // Steps over a count and that many 4-byte values after `head` bytes; false if they do not fit
  // or are more than `most`.
  static bool SkipCountedAfter(DataCursor& c, size_t head, uint32_t most) {
    uint32_t count;
    if (c.left < head + 4) return false;
    std::memcpy(&count, c.p + head, 4);
    if (count > most || uint64_t{count} * 4 > c.left - head - 4) return false;
    c.p += head + 4 + size_t{count} * 4;
    c.left -= head + 4 + size_t{count} * 4;
    return true;
  }
  static bool SkipCounted(DataCursor& c) { return SkipCountedAfter(c, 0, UINT32_MAX); }
  // Timed writes no key whose values would break over lines: the first half must hold none.
  static bool SkipTimed(DataCursor& c) { return SkipCountedAfter(c, 4, kValuesPerLine); }
  // Elements [from, to) of n counted DWORD lists at c; stops before one that does not fit.
  uint32_t Counted(DataCursor& c, uint32_t from, uint32_t to, uint32_t n, uint32_t depth) {
    uint32_t k = from;
    for (; k < to; ++k) {
      uint32_t count;
      if (c.left < 4) break;
      std::memcpy(&count, c.p, 4);
      if (uint64_t{count} * 4 > c.left - 4) break;
      if (count <= kValuesPerLine) {  // a face: one line, written straight into reserved room
        char* const begin = reinterpret_cast<char*>(out.Reserve((count + 1) * 11 + 3 + kMaxIndent));
        char* w = WriteDword(count, begin);
        *w++ = ';';
        for (uint32_t i = 0; i < count; ++i) {
          if (i) *w++ = ',';
          w = Number(XMemberType::Dword, c.p + 4 + 4 * i, w);
        }
        *w++ = ';';
        w = ElementEnd(k + 1 == n, depth, w);
        out.Commit(static_cast<size_t>(w - begin));
      } else {
        Integer(count);
        out.Put(';');
        Values(XMemberType::Dword, c.p + 4, count);
        out.Put(';');
        ElementEnd(k + 1 == n, depth);
      }
      c.p += 4 + size_t{count} * 4;
      c.left -= 4 + size_t{count} * 4;
    }
    return k - from;
  }
  // Elements [from, to) of n timed keys at c, as the walker writes them ("time;count;values;;");
  // stops before one that does not fit, or that would break its values over lines.
  uint32_t Timed(DataCursor& c, uint32_t from, uint32_t to, uint32_t n, uint32_t depth) {
    uint32_t k = from;
    for (; k < to; ++k) {
      uint32_t count;
      if (c.left < 8) break;
      std::memcpy(&count, c.p + 4, 4);
      if (count > kValuesPerLine || uint64_t{count} * 4 > c.left - 8) break;
      char* const begin = reinterpret_cast<char*>(out.Reserve(count * (kNumberMaxChars + 1) + 2 * 11 + 4 + kMaxIndent));
      char* w = Number(XMemberType::Dword, c.p, begin);
      *w++ = ';';
      w = WriteDword(count, w);
      *w++ = ';';
      for (uint32_t i = 0; i < count; ++i) {
        if (i) *w++ = ',';
        w = Number(XMemberType::Float, c.p + 8 + 4 * i, w);
      }
      *w++ = ';';
      *w++ = ';';
      w = ElementEnd(k + 1 == n, depth, w);
      out.Commit(static_cast<size_t>(w - begin));
      c.p += 8 + size_t{count} * 4;
      c.left -= 8 + size_t{count} * 4;
    }
    return k - from;
  }
  // first() writes here while second(w) writes on the second core into the side buffer, whose
  // text is then appended; weight is the elements second writes.
  template <class First, class Second>
  void Beside(size_t weight, First first, Second second) {
    side->Clear();
    bool sideFinite = true;
    jobs->Add(
        [this, &second, &sideFinite] {
          TextVisitor w{*side};
          w.indent = indent;
          w.registry = registry;
          second(w);
          sideFinite = w.finite;
          return size_t{0};
        },
        weight);
    SideWait guard{jobs};  // the job refers to this frame, however it is left
    first();
    guard.jobs = nullptr;
    jobs->Wait();
    out.Append(side->Data(), side->Size());
    finite = finite && sideFinite;
  }
  // Elements [from, to) of an array of n elements of 4-byte numbers, the first at p. Each
  // element is written straight into room reserved for its longest text.
  void Fixed(const XMemberType* types, size_t members, const uint8_t* p, uint32_t from, uint32_t to, uint32_t n,
             uint32_t depth) {
    const size_t most = members * (kNumberMaxChars + 1) + 2 + kMaxIndent;
    // A short array leaves the cache alone: its first use in a thread costs more (the 96 KiB
    // made and cleared) than a few hundred values gain.
    FloatTextCache* texts = size_t{to - from} * members >= 1024 ? &ThreadFloatTextCache() : nullptr;
    for (uint32_t k = from; k < to; ++k) {
      char* const begin = reinterpret_cast<char*>(out.Reserve(most));
      char* w = begin;
      for (size_t i = 0; i < members; ++i, p += 4) {
        w = Number(types[i], p, w, texts);
        *w++ = ';';
      }
      w = ElementEnd(k + 1 == n, depth, w);
      out.Commit(static_cast<size_t>(w - begin));
    }
  }
  // A Float or Dword member's text at w.
  char* Number(XMemberType type, const uint8_t* p, char* w) {
    if (type == XMemberType::Dword) {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return WriteDword(v, w);
    }
    float v;
    std::memcpy(&v, p, 4);
    if (!std::isfinite(v)) finite = false;
    return w + FormatFloat(v, w);
  }
  // The same through the texts written lately, when given: for mesh data, whose values repeat
  // (an animation's keys seldom do, and take the one above).
  char* Number(XMemberType type, const uint8_t* p, char* w, FloatTextCache* texts) {
    if (!texts || type == XMemberType::Dword) return Number(type, p, w);
    float v;
    std::memcpy(&v, p, 4);
    if (!std::isfinite(v)) finite = false;
    return texts->Write(v, w);
  }
  void MemberEnd(uint32_t) { out.Put(';'); }
  void ElementEnd(bool last, uint32_t depth) {
    char* p = reinterpret_cast<char*>(out.Reserve(2 + kMaxIndent));
    out.Commit(static_cast<size_t>(ElementEnd(last, depth, p) - p));
  }
  char* ElementEnd(bool last, uint32_t depth, char* w) const {
    if (last) return w;
    *w++ = ',';
    if (depth != 0) return w;
    const uint32_t n = indent < kMaxIndent ? indent : kMaxIndent;
    *w++ = '\n';
    return Indent(w, n);
  }
  void ArrayEnd(uint32_t, uint32_t) { out.Put(';'); }
};

std::string Describe(const XFileTree& tree, const XTreeObject& o) {
  const XTemplate* t = tree.TemplateOf(o);
  std::string text = t ? t->name : "object";
  if (!o.name.empty()) text += " '" + o.name + "'";
  return text;
}

// One step of the walk over the objects: an object opened (its header and data) at a depth, or
// one with children closed. A step's text depends on nothing but the step.
struct Step {
  uint32_t object;
  uint32_t depth;
  bool close;
};

// The steps of a pre-order walk, with an explicit stack so that deep hierarchies cannot exhaust
// the call stack.
std::vector<Step> WalkSteps(const XFileTree& tree) {
  std::vector<Step> steps;
  steps.reserve(2 * tree.objects.size());
  std::vector<uint32_t> open;
  uint32_t current = tree.firstTop;
  while (current != kNoObject || !open.empty()) {
    if (current == kNoObject) {
      const uint32_t closed = open.back();
      open.pop_back();
      steps.push_back({closed, static_cast<uint32_t>(open.size()), true});
      current = tree.objects[closed].nextSibling;
      continue;
    }
    const XTreeObject& o = tree.objects[current];
    steps.push_back({current, static_cast<uint32_t>(open.size()), false});
    if (!o.isReference && o.firstChild != kNoObject) {
      open.push_back(current);
      current = o.firstChild;
    } else {
      current = o.nextSibling;
    }
  }
  return steps;
}

// Writes steps [begin, end) through v; false with *error at the first object that cannot be
// written.
bool EncodeSteps(const XFileTree& tree, const TextNameMap& names, std::span<const Step> steps, size_t begin,
                 size_t end, TextVisitor& v, std::string* error) {
  ByteBuffer& out = v.out;
  const int32_t skinWeights = tree.templates.IndexOf(kSkinWeightsGuid);
  for (size_t i = begin; i < end; ++i) {
    const Step& step = steps[i];
    const XTreeObject& o = tree.objects[step.object];
    v.indent = step.depth;
    if (step.close) {
      v.NewLine();
      out.Put('}');
      continue;
    }
    if (step.depth == 0 && i != 0) out.Put('\n');
    v.NewLine();
    if (o.isReference) {
      out.Append("{ ", 2);
      const std::string_view name = names(o.name);
      out.Append(name.data(), name.size());
      out.Append(" }", 2);
      continue;
    }
    const XTemplate& tpl = *tree.TemplateOf(o);
    out.Append(tpl.name.data(), tpl.name.size());
    if (!o.name.empty()) {
      out.Put(' ');
      const std::string_view name = names(o.name);
      out.Append(name.data(), name.size());
    }
    v.frameNames = skinWeights >= 0 && o.templateIndex == skinWeights ? &names : nullptr;
    out.Append(" {", 2);
    v.indent = step.depth + 1;
    std::span<const uint8_t> data = tree.Data(o);
    DataCursor c{data.data(), data.size()};
    std::string why;
    if (!WalkData(tree.templates, tpl, c, v, 0, &why) || c.left != 0) {
      if (error) *error = Describe(tree, o) + ": data does not fit the template" + (why.empty() ? "" : ": " + why);
      return false;
    }
    if (!v.finite) {
      if (error) *error = Describe(tree, o) + ": a float that is not finite cannot be written as text";
      return false;
    }
    if (o.firstChild == kNoObject) {
      v.indent = step.depth;
      v.NewLine();
      out.Put('}');
    }
  }
  return true;
}

// Where the steps split into pieces of about the same data (each piece's first step), or nothing
// when they do not: too little to be worth a second core, or one object so big that its own
// arrays are better split (the visitor does that) than the file around it.
std::vector<size_t> PieceStarts(const XFileTree& tree, std::span<const Step> steps) {
  constexpr size_t kSplitMinimum = size_t{256} << 10, kPieceData = size_t{128} << 10;
  size_t total = 0, biggest = 0;
  for (const Step& step : steps) {
    const size_t bytes = step.close ? 0 : tree.Data(tree.objects[step.object]).size();
    total += bytes;
    biggest = std::max(biggest, bytes);
  }
  if (total < kSplitMinimum || biggest > total / 4) return {};
  const size_t pieces = std::max<size_t>(2, total / kPieceData);
  std::vector<size_t> starts{0};
  size_t sum = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (sum * pieces >= total * starts.size()) starts.push_back(i);
    if (!steps[i].close) sum += tree.Data(tree.objects[steps[i].object]).size();
  }
  return starts;
}

// Many objects: the pieces of the walk are taken in order by both cores. The export thread
// writes the piece due next straight out, or the one the second core has finished, so the
// file writing overlaps the encoding; a piece written ahead waits in a buffer, at most
// kAhead of them at a time.
class PieceRun {
 public:
  PieceRun(const XFileTree& tree, const TextNameMap& names, std::span<const Step> steps,
           std::vector<size_t> starts)
      : tree_(tree), names_(names), steps_(steps), starts_(std::move(starts)), pieces_(starts_.size()) {
    starts_.push_back(steps.size());
  }

  bool Run(ByteBuffer& out, BackgroundJobs& jobs, std::string* error) {
    jobs.Add(
        [this] {
          Work();
          return size_t{0};
        },
        0);
    Stopper stopper{this, &jobs};
    std::unique_lock<std::mutex> lock(mutex_);
    while (emitted_ < pieces_.size() && !failed_ && !aborted_) {
      Piece& due = pieces_[emitted_];
      if (due.state == kDone) {
        lock.unlock();
        out.AppendLarge(due.text->Data(), due.text->Size());
        lock.lock();
        Recycle(due);
        ++emitted_;
        changed_.notify_all();
      } else if (claimed_ == emitted_) {
        ++claimed_;
        lock.unlock();
        const bool ok = Encode(emitted_, out, &due.error);
        lock.lock();
        due.state = kDone;
        if (!ok) Fail(emitted_);
        ++emitted_;
        changed_.notify_all();
      } else if (!ClaimAndEncode(lock)) {
        changed_.wait(lock, [&] { return due.state == kDone || failed_ || aborted_; });
      }
    }
    // After a failure every piece before it is claimed already: wait for them, and report the
    // first failure in file order, the one a single core would have met.
    changed_.wait(lock, [&] { return busy_ == 0; });
    if (aborted_) {
      lock.unlock();
      jobs.Wait();  // rethrows what stopped the second core
    }
    if (!failed_) return true;
    if (error) *error = pieces_[firstFailed_].error;
    return false;
  }

 private:
  static constexpr size_t kAhead = 4;
  enum State { kOpen, kDone };
  struct Piece {
    State state = kOpen;
    std::unique_ptr<ByteBuffer> text;
    std::string error;
  };
  // Stops the second core however Run is left, before the jobs are waited for.
  struct Stopper {
    PieceRun* run;
    BackgroundJobs* jobs;
    ~Stopper() {
      {
        std::lock_guard<std::mutex> lock(run->mutex_);
        run->stopped_ = true;
      }
      run->changed_.notify_all();
      SideWait{jobs};
    }
  };

  bool Encode(size_t piece, ByteBuffer& into, std::string* error) const {
    TextVisitor v{into};
    v.registry = &tree_.templates;
    return EncodeSteps(tree_, names_, steps_, starts_[piece], starts_[piece + 1], v, error);
  }
  void Fail(size_t piece) {
    if (!failed_ || piece < firstFailed_) firstFailed_ = piece;
    failed_ = true;
  }
  void Recycle(Piece& p) {
    p.text->Clear();
    spare_.push_back(std::move(p.text));
  }
  bool CanClaim() const { return !failed_ && !stopped_ && !aborted_ && claimed_ < pieces_.size() && claimed_ < emitted_ + kAhead; }

  // Encodes the next unclaimed piece into a buffer of its own; false when none may be taken.
  bool ClaimAndEncode(std::unique_lock<std::mutex>& lock) {
    if (!CanClaim()) return false;
    const size_t i = claimed_++;
    Piece& p = pieces_[i];
    if (spare_.empty()) {
      p.text = std::make_unique<ByteBuffer>();
    } else {
      p.text = std::move(spare_.back());
      spare_.pop_back();
    }
    ++busy_;
    lock.unlock();
    bool ok = false;
    try {
      ok = Encode(i, *p.text, &p.error);
    } catch (...) {
      lock.lock();
      --busy_;
      aborted_ = true;
      changed_.notify_all();
      throw;
    }
    lock.lock();
    --busy_;
    p.state = kDone;
    if (!ok) Fail(i);
    changed_.notify_all();
    return true;
  }

  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return CanClaim() || failed_ || stopped_ || aborted_ || claimed_ >= pieces_.size(); });
      if (!ClaimAndEncode(lock)) return;
    }
  }

  const XFileTree& tree_;
  const TextNameMap& names_;
  std::span<const Step> steps_;
  std::vector<size_t> starts_;
  std::vector<Piece> pieces_;
  std::vector<std::unique_ptr<ByteBuffer>> spare_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t emitted_ = 0, claimed_ = 0, busy_ = 0, firstFailed_ = 0;
  // failed_: a piece cannot be written; stopped_: Run is being left; aborted_: an encoding threw.
  bool failed_ = false, stopped_ = false, aborted_ = false;
};

}  // namespace

bool EncodeText(const XFileTree& tree, bool embedTemplates, ByteBuffer& out, std::string* error, bool secondCore) {
  out.Put('\n');
  if (embedTemplates) {
    std::string text;
    for (int32_t index : TemplatesUsed(tree)) AppendTemplateText(tree.templates, tree.templates.At(index), text);
    out.Append(text.data(), text.size());
  }
  const TextNameMap names(tree);
  const std::vector<Step> steps = WalkSteps(tree);
  const bool threaded = secondCore && SecondCoreAvailable();
  BackgroundJobs jobs(threaded);
  ByteBuffer side;
  TextVisitor v{out};
  v.registry = &tree.templates;
  std::vector<size_t> starts;
  if (threaded) starts = PieceStarts(tree, steps);
  if (starts.empty()) {
    // One thread walks the file; the second core takes halves of big arrays.
    if (threaded) {
      v.jobs = &jobs;
      v.side = &side;
    }
    if (!EncodeSteps(tree, names, steps, 0, steps.size(), v, error)) return false;
  } else {
    PieceRun run(tree, names, steps, std::move(starts));
    if (!run.Run(out, jobs, error)) return false;
  }
  out.Put('\n');
  return true;
}

}  // namespace vorn
