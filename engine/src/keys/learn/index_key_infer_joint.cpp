// Jet 4: learning several unknown characters from one key at once.
//
// A Jet 4 text segment can be taken apart without knowing the characters:
// inline bytes up to the first 0x01, the accent list up to the next 0x01 (or
// the end), then optionally the packed flag codes with their fixed suffix and
// the unprintable records, each with the position it was written for. The
// characters are then matched to these parts from left to right: a known
// character must fit where it stands, an unknown one may be any entry that
// fits (ignored; an unprintable taking the next record; a modifier making the
// next accent code; simple, international or flagged with inline bytes cut
// from the next 1-6 inline bytes and the accent code and flag found at its
// position). Every way through that uses all parts is a solution; the search
// shares work between paths reaching the same state. A character's
// candidates are the entries it takes in some solution. Only keys whose
// unknown characters occur once are handled this way.
//
// Entries this search does not consider (besides those excluded in
// index_key_infer.h): inline codes longer than 6 bytes, unprintable records
// longer than 4 bytes, accents of more than one byte, and an accented
// character or a modifier directly followed by a modifier (the accent code
// would then be the sum of two unknowns). A key needing one of those finds no
// solution and teaches nothing; it cannot teach a wrong code, because every
// character left with a single candidate is checked by encoding the key.
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "keys/learn/index_key_infer.h"

namespace engine::index_text {

namespace {

constexpr size_t kMaxInlineBytes = 6;
constexpr size_t kMaxStates = 2000000;

struct Record {
  size_t q = 0;
  std::vector<uint8_t> bytes;
};

struct Parts {
  std::vector<uint8_t> main;
  std::vector<uint8_t> accents;
  bool flag_section = false;
  std::vector<uint8_t> flags;  // decoded codes, trailing 3s already gone
  std::vector<Record> records;
};

// `seg` is the segment after the flag byte in ascending form, ending with
// the closing 0x00.
bool Split(const std::vector<uint8_t>& seg, Parts& out) {
  if (seg.empty() || seg.back() != 0x00) return false;
  const size_t end = seg.size() - 1;  // the closing 0x00
  size_t i = 0;
  while (i < end && seg[i] != 0x01) out.main.push_back(seg[i++]);
  if (i >= end) return false;
  ++i;
  while (i < end && seg[i] != 0x01) {
    if (seg[i] == 0x00) return false;
    out.accents.push_back(seg[i++]);
  }
  if (i == end) return true;
  if (i + 1 >= end || seg[i + 1] != 0x01) return false;
  i += 2;
  static const uint8_t kSuffix[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};
  if (i < end && seg[i] != 0x01) {
    out.flag_section = true;
    while (true) {
      if (i + 5 <= end && std::equal(std::begin(kSuffix), std::end(kSuffix), seg.begin() + i))
        break;
      if (i >= end || !(seg[i] & 0x80)) return false;
      for (int shift : {4, 2, 0}) {
        uint8_t code = static_cast<uint8_t>(seg[i] >> shift & 0x03);
        if (code != 0) out.flags.push_back(code);
      }
      ++i;
    }
    i += 5;
    if (i == end) return true;
    if (seg[i] != 0xFF) return false;
    ++i;
  }
  if (i >= end || seg[i] != 0x01) return false;
  ++i;
  while (i < end) {
    if (i + 3 > end || !(seg[i] & 0x80) || seg[i + 2] != 0x06) return false;
    const uint32_t h = static_cast<uint32_t>((seg[i] & 0x7F) << 8 | seg[i + 1]);
    if (h < 7 || (h - 7) % 4 != 0) return false;
    Record r;
    r.q = (h - 7) / 4;
    size_t j = i + 3;
    size_t k = j + 1;
    while (k < end && !(k + 2 < end && (seg[k] & 0x80) && seg[k + 2] == 0x06)) ++k;
    if (k > end) return false;
    r.bytes.assign(seg.begin() + static_cast<std::ptrdiff_t>(j),
                   seg.begin() + static_cast<std::ptrdiff_t>(k));
    out.records.push_back(std::move(r));
    i = k;
  }
  return true;
}

struct State {
  size_t i = 0;     // next character
  size_t moff = 0;  // inline bytes used
  size_t pos = 0;   // characters with inline bytes so far
  size_t alen = 0;  // accent list length
  int alast = -1;   // its last value (may still change by a modifier)
  size_t apos = 0;  // characters the accent list covers
  bool started = false;
  size_t prefix = 0;
  size_t rec = 0;
  size_t flag = 0;
  bool any_flag = false;
  // A simple character stands where the stored accent code is a real
  // accent: only a modifier right after it can explain that.
  bool needs_modifier = false;

  // Every field is below 2^16 (a key is shorter than a page), the flag and
  // record counts below 2^12.
  std::pair<uint64_t, uint64_t> Key() const {
    const uint64_t a =
        uint64_t{i} | uint64_t{moff} << 16 | uint64_t{pos} << 32 | uint64_t{alen} << 48;
    const uint64_t b = static_cast<uint64_t>(alast + 1) | uint64_t{apos} << 16 |
                       uint64_t{rec} << 32 | uint64_t{flag} << 44 | uint64_t{started} << 56 |
                       uint64_t{prefix} << 57 | uint64_t{any_flag} << 58 |
                       uint64_t{needs_modifier} << 59;
    return {a, b};
  }
};

class Solver {
 public:
  Solver(const Parts& parts, const std::vector<uint16_t>& chars,
         const std::vector<std::vector<TextCode>>& options, bool* gave_up)
      : parts_(parts), chars_(chars), options_(options), gave_up_(gave_up) {
    valid_.resize(chars.size());
  }

  bool Solve(const State& s) {
    auto key = s.Key();
    if (auto it = memo_.find(key); it != memo_.end()) return it->second;
    if (memo_.size() > kMaxStates) {
      *gave_up_ = true;
      return false;
    }
    bool ok = false;
    if (!Feasible(s)) {
      ok = false;
    } else if (s.i == chars_.size()) {
      ok = Finished(s);
    } else {
      std::vector<TextCode> generated;
      for (const TextCode& code : Options(s, generated)) {
        State next = s;
        if (!Apply(code, next)) continue;
        ++next.i;
        if (Solve(next)) {
          ok = true;
          AddValid(s.i, code);
        }
      }
    }
    memo_[key] = ok;
    return ok;
  }

  const std::vector<std::vector<TextCode>>& valid() const { return valid_; }

  // One solution, following valid choices from the start.
  std::vector<TextCode> OnePath() {
    std::vector<TextCode> path;
    State s;
    while (s.i < chars_.size()) {
      bool moved = false;
      std::vector<TextCode> generated;
      for (const TextCode& code : Options(s, generated)) {
        State next = s;
        if (!Apply(code, next)) continue;
        ++next.i;
        auto it = memo_.find(next.Key());
        if (it != memo_.end() && it->second) {
          path.push_back(code);
          s = next;
          moved = true;
          break;
        }
      }
      if (!moved) return {};
    }
    return path;
  }

 private:
  void AddValid(size_t i, const TextCode& code) {
    for (const auto& c : valid_[i]) {
      if (SameCode(c, code)) return;
    }
    valid_[i].push_back(code);
  }

  // Accent list element `index` is final with value v.
  bool FinalOk(size_t index, int v) const {
    if (index < parts_.accents.size()) return v == parts_.accents[index];
    return v >= 0 && v <= 0x02;  // dropped from the end
  }

  bool Push(State& s, int v) const {
    if (s.alen > 0 && !FinalOk(s.alen - 1, s.alast)) return false;
    s.alast = v;
    ++s.alen;
    return true;
  }

  // The accent index a character at `here` would write to, after filling.
  static size_t AccentIndex(const State& s) {
    return s.alen + (s.apos < s.pos ? s.pos - s.apos : 0);
  }

  bool Apply(const TextCode& code, State& s) const {
    const size_t here = s.pos;
    const CodeKind kind = code.kind;
    if (s.needs_modifier) {
      if (kind == CodeKind::kModifier) {
        s.needs_modifier = false;
      } else if (kind != CodeKind::kIgnored && kind != CodeKind::kUnprintable) {
        return false;
      }
    }
    if (kind == CodeKind::kSimple ||
        (kind == CodeKind::kInternationalFlag && code.extra_len == 0)) {
      const size_t k = AccentIndex(s);
      if (k < parts_.accents.size() && parts_.accents[k] >= 0x03) s.needs_modifier = true;
    }
    if (kind == CodeKind::kSimple || kind == CodeKind::kInternational ||
        kind == CodeKind::kInternationalFlag) {
      const auto inl = code.inline_span();
      if (s.moff + inl.size() > parts_.main.size() ||
          !std::equal(inl.begin(), inl.end(), parts_.main.begin() + s.moff)) {
        return false;
      }
      s.moff += inl.size();
      ++s.pos;
    }
    if (kind == CodeKind::kSimple || kind == CodeKind::kIgnored) return true;
    const bool accent =
        (kind == CodeKind::kInternational || kind == CodeKind::kInternationalFlag) &&
        code.extra_len > 0;
    const bool modifier = kind == CodeKind::kModifier && code.extra_len > 0 && code.extra[0];
    if (accent || modifier) {
      s.started = true;
      while (s.apos < here) {
        if (!Push(s, 0x02)) return false;
        ++s.apos;
      }
      if (accent) {
        for (uint8_t e : code.extra_span()) {
          if (!Push(s, e)) return false;
        }
        ++s.apos;
      } else if (s.alen > 0) {
        s.alast = (s.alast + code.extra[0]) & 0xFF;
      } else {
        if (!Push(s, code.extra[0])) return false;
        s.prefix = 1;
      }
    }
    if (kind == CodeKind::kUnprintable) {
      size_t q = here;
      if (s.started) q = s.alen + (here - s.apos) - s.prefix;
      if (s.rec >= parts_.records.size()) return false;
      const Record& r = parts_.records[s.rec];
      if (r.q != q || !std::equal(r.bytes.begin(), r.bytes.end(), code.extra_span().begin(),
                                  code.extra_span().end())) {
        return false;
      }
      ++s.rec;
    }
    if (kind == CodeKind::kInternationalFlag) {
      if (!parts_.flag_section) return false;
      const uint8_t want = s.flag < parts_.flags.size() ? parts_.flags[s.flag] : 3;
      if (code.flag != want) return false;
      ++s.flag;
      s.any_flag = true;
    }
    return true;
  }

  // Every remaining character adds at most one to the inline count or takes
  // at most one record, and an inline character uses at least one byte. The
  // accent list, one code per inline character (plus a leading modifier),
  // says how many inline characters there must be at least.
  bool Feasible(const State& s) const {
    const size_t left = chars_.size() - s.i;
    const size_t need_inline =
        parts_.accents.size() > s.pos + 1 ? parts_.accents.size() - 1 - s.pos : 0;
    const size_t need_records = parts_.records.size() - s.rec;
    return need_inline + need_records <= left && need_inline <= parts_.main.size() - s.moff;
  }

  bool Finished(const State& s) const {
    if (s.needs_modifier) return false;
    if (s.moff != parts_.main.size() || s.rec != parts_.records.size()) return false;
    if (s.any_flag != parts_.flag_section || s.flag < parts_.flags.size()) return false;
    if (s.alen > 0 && !FinalOk(s.alen - 1, s.alast)) return false;
    return s.alen >= parts_.accents.size();
  }

  // The entries to try for character s.i: its known or narrowed-down ones,
  // or entries made up from the parts (into `out`).
  const std::vector<TextCode>& Options(const State& s, std::vector<TextCode>& out) const {
    const std::vector<TextCode>& given = options_[s.i];
    if (!given.empty()) return given;
    const uint16_t ch = chars_[s.i];
    out.clear();
    out.reserve(32);
    auto make = [ch](CodeKind kind, std::span<const uint8_t> inl, std::span<const uint8_t> extra,
                     uint8_t flag) { return TextCode::Make(ch, kind, inl, extra, 0, flag); };
    out.push_back(make(CodeKind::kIgnored, {}, {}, 0));
    if (s.rec < parts_.records.size() && !parts_.records[s.rec].bytes.empty() &&
        parts_.records[s.rec].bytes.size() <= 4) {
      out.push_back(make(CodeKind::kUnprintable, {}, parts_.records[s.rec].bytes, 0));
    }
    // A modifier: the value that turns the current last accent code (after
    // filling) into the one stored.
    {
      const size_t fill = s.apos < s.pos ? s.pos - s.apos : 0;
      int last = fill > 0 ? 0x02 : s.alast;
      size_t index = s.alen + fill;
      if (fill > 0 || s.alen > 0) {
        index -= 1;
      } else {
        last = 0;  // starts the list
      }
      if (index < parts_.accents.size()) {
        const int v = (parts_.accents[index] - last) & 0xFF;
        if (v >= 1 && v <= 0xFD) {
          const uint8_t mod[1] = {static_cast<uint8_t>(v)};
          out.push_back(make(CodeKind::kModifier, {}, mod, 0));
        }
      }
    }
    const size_t k = AccentIndex(s);
    const bool has_accent = k < parts_.accents.size() && parts_.accents[k] >= 0x03;
    const uint8_t accent[1] = {has_accent ? parts_.accents[k] : uint8_t{0}};
    const uint8_t flag = s.flag < parts_.flags.size() ? parts_.flags[s.flag] : 3;
    for (size_t len = 1; len <= kMaxInlineBytes && s.moff + len <= parts_.main.size(); ++len) {
      std::span<const uint8_t> inl(parts_.main.data() + s.moff, len);
      out.push_back(make(CodeKind::kSimple, inl, {}, 0));
      if (has_accent) out.push_back(make(CodeKind::kInternational, inl, accent, 0));
      if (parts_.flag_section) {
        out.push_back(make(CodeKind::kInternationalFlag, inl, {}, flag));
        if (has_accent) out.push_back(make(CodeKind::kInternationalFlag, inl, accent, flag));
      }
    }
    return out;
  }

  const Parts& parts_;
  const std::vector<uint16_t>& chars_;
  const std::vector<std::vector<TextCode>>& options_;
  bool* gave_up_;
  struct KeyHash {
    size_t operator()(const std::pair<uint64_t, uint64_t>& k) const {
      return std::hash<uint64_t>()(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
    }
  };
  std::unordered_map<std::pair<uint64_t, uint64_t>, bool, KeyHash> memo_;
  std::vector<std::vector<TextCode>> valid_;
};

}  // namespace

bool CodeInference::LearnJoint(const Prepared& p) {
  std::map<uint16_t, TextCode> settled;
  std::optional<size_t> open = SettledCodes(p, settled);
  if (!open || *open == 0) return false;
  size_t column = 0;
  std::vector<uint8_t> seg;
  if (!LocateText(p, settled, column, seg)) return false;
  // Only when the text is the last column: the split needs the segment's end.
  if (column + 1 != p.obs.columns.size()) return false;
  Parts parts;
  if (!Split(seg, parts)) return false;
  const std::vector<uint16_t> chars = PrepareText(TextChars(format_, p.obs.values[column].bytes));

  std::map<uint16_t, int> count;
  for (uint16_t ch : chars) ++count[ch];
  std::vector<std::vector<TextCode>> options(chars.size());
  for (size_t i = 0; i < chars.size(); ++i) {
    const uint16_t ch = chars[i];
    if (auto s = settled.find(ch); s != settled.end()) {
      options[i] = {s->second};
      continue;
    }
    if (count[ch] > 1) return false;  // repeated unknown characters: not this way
    if (auto c = candidates_.find(ch); c != candidates_.end()) options[i] = c->second;
  }

  bool gave_up = false;
  Solver solver(parts, chars, options, &gave_up);
  const bool solved = solver.Solve(State{});
  if (gave_up) return false;
  if (!solved) return false;  // nothing fits; the single-character rules report such keys
  // The parts model must agree with the encoder: check one solution whole.
  std::vector<TextCode> path = solver.OnePath();
  if (path.size() != chars.size()) return false;
  std::map<uint16_t, TextCode> codes = settled;
  for (const TextCode& c : path) codes[c.ch] = c;
  if (!Matches(p, codes)) return false;

  bool changed = false;
  for (size_t i = 0; i < chars.size(); ++i) {
    const uint16_t ch = chars[i];
    if (settled.count(ch)) continue;
    const std::vector<TextCode>& valid = solver.valid()[i];
    auto it = candidates_.find(ch);
    if (it == candidates_.end()) {
      candidates_[ch] = valid;
      changed = true;
      continue;
    }
    std::vector<TextCode> next;
    for (const TextCode& c : it->second) {
      for (const TextCode& v : valid) {
        if (SameCode(c, v)) {
          next.push_back(c);
          break;
        }
      }
    }
    if (next.size() != it->second.size()) {
      it->second = next;
      changed = true;
    }
  }
  return changed;
}

}  // namespace engine::index_text
