#include "keys/learn/index_key_infer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>

namespace engine::index_text {

namespace {

// Jet 3 simple characters stand for 0, 1 or 2 accent placeholders.
constexpr uint8_t kMaxWeight = 2;
// Longest inline code tried for one character.
constexpr size_t kMaxInline = 6;
// Longest unprintable record tried for one character.
constexpr size_t kMaxRecord = 3;
// Most combinations of candidate entries tried for one observation.
constexpr size_t kMaxCombinations = 64;

TextCode Make(uint16_t ch, CodeKind kind, std::span<const uint8_t> inl,
              std::span<const uint8_t> extra, uint8_t weight = 0, uint8_t flag = 0) {
  return TextCode::Make(ch, kind, inl, extra, weight, flag);
}

bool HasInline(CodeKind kind) {
  return kind == CodeKind::kSimple || kind == CodeKind::kInternational ||
         kind == CodeKind::kInternationalFlag;
}

bool IsGeneralText(KeyFormat format, uint8_t version, const KeyColumn& c) {
  if (c.type != key_type::kText && c.type != key_type::kMemo) return false;
  return c.format == format && c.sort_order == kGeneralSortOrder &&
         (format == KeyFormat::kJet3 ? c.code_page == 1252 : c.sort_order_version == version);
}

std::vector<KeyValue> Values(const Observation& obs) {
  std::vector<KeyValue> values;
  values.reserve(obs.values.size());
  for (const auto& v : obs.values) values.push_back(KeyValue{v.is_null, v.boolean, v.bytes});
  return values;
}

std::string CharName(KeyFormat format, uint16_t ch) {
  char buf[16];
  if (format == KeyFormat::kJet3) {
    std::snprintf(buf, sizeof buf, "0x%02X", ch);
  } else {
    std::snprintf(buf, sizeof buf, "U+%04X", ch);
  }
  return buf;
}

}  // namespace

std::string Describe(const TextCode& c) {
  static const char* const kNames[] = {"simple",   "international", "unprintable",
                                       "modifier", "flagged",       "ignored"};
  std::string out = kNames[static_cast<int>(c.kind)];
  char buf[8];
  auto hex = [&](std::span<const uint8_t> bytes) {
    std::string h;
    for (uint8_t b : bytes) {
      std::snprintf(buf, sizeof buf, "%02X", b);
      h += buf;
    }
    return h;
  };
  if (c.inline_len) out += " " + hex(c.inline_span());
  if (c.extra_len) out += "/" + hex(c.extra_span());
  if (c.kind == CodeKind::kInternationalFlag) out += " flag " + std::to_string(c.flag);
  if (c.kind == CodeKind::kSimple && c.weight) out += " weight " + std::to_string(c.weight);
  return "(" + out + ")";
}

bool SameCode(const TextCode& a, const TextCode& b) {
  return a.ch == b.ch && a.kind == b.kind && a.weight == b.weight &&
         std::equal(a.inline_span().begin(), a.inline_span().end(), b.inline_span().begin(),
                    b.inline_span().end()) &&
         std::equal(a.extra_span().begin(), a.extra_span().end(), b.extra_span().begin(),
                    b.extra_span().end()) &&
         a.flag == b.flag;
}

CodeTable& CodeInference::Slot(TextTables& tables) const {
  if (format_ == KeyFormat::kJet3) return tables.jet3;
  return version_ == kGeneral2010Version ? tables.jet4_2010 : tables.jet4;
}

void CodeInference::Add(Observation observation) {
  if (observation.columns.size() != observation.values.size()) return;
  Prepared p;
  std::set<uint16_t> distinct;
  bool has_text = false;
  for (size_t i = 0; i < observation.columns.size(); ++i) {
    const KeyColumn& c = observation.columns[i];
    if (c.format != format_) return;
    if (c.type != key_type::kText && c.type != key_type::kMemo) continue;
    if (!IsGeneralText(format_, version_, c)) return;
    has_text = true;
    if (observation.values[i].is_null) continue;
    for (uint16_t ch : PrepareText(TextChars(format_, observation.values[i].bytes))) {
      distinct.insert(ch);
    }
  }
  if (!has_text) return;
  p.obs = std::move(observation);
  p.distinct.assign(distinct.begin(), distinct.end());
  observations_.push_back(std::move(p));
}

std::optional<TextCode> CodeInference::Resolved(uint16_t ch) const {
  auto it = candidates_.find(ch);
  if (it == candidates_.end() || it->second.empty() || contradicted_.count(ch)) return {};
  const auto& set = it->second;
  if (set.size() == 1) return set.front();
  if (format_ != KeyFormat::kJet3) return {};
  // Jet 3: the same simple code with different weights: weight unknown.
  for (const auto& c : set) {
    if (c.kind != CodeKind::kSimple) return {};
    TextCode a = c, b = set.front();
    a.weight = b.weight = 0;
    if (!SameCode(a, b)) return {};
  }
  TextCode code = set.front();
  code.weight = kWeightUnknown;
  return code;
}

EncodedKey CodeInference::Encode(const Prepared& p,
                                 const std::map<uint16_t, TextCode>& codes) const {
  std::vector<TextCode> table;
  table.reserve(codes.size());
  for (const auto& [ch, code] : codes) table.push_back(code);
  TextTables tables;
  Slot(tables) = table;
  std::vector<KeyValue> values = Values(p.obs);
  return EncodeIndexKeyWith(tables, p.obs.columns, values);
}

bool CodeInference::Matches(const Prepared& p, const std::map<uint16_t, TextCode>& codes) const {
  EncodedKey key = Encode(p, codes);
  return key.ok() && key.bytes == p.obs.key;
}

std::vector<TextCode> CodeInference::Hypotheses(const Prepared& p, uint16_t ch,
                                                const std::map<uint16_t, TextCode>& base) const {
  std::vector<TextCode> out;
  const Observation& obs = p.obs;
  std::vector<TextCode> base_table;
  for (const auto& [c, code] : base) base_table.push_back(code);
  TextTables tables;
  Slot(tables) = base_table;

  // Where the first column holding `ch` starts in the key, and where the
  // character's inline bytes start within that segment.
  size_t start = 0;
  size_t column = obs.columns.size();
  std::vector<uint16_t> chars;
  for (size_t i = 0; i < obs.columns.size(); ++i) {
    const KeyColumn& c = obs.columns[i];
    const ObservedValue& v = obs.values[i];
    if ((c.type == key_type::kText || c.type == key_type::kMemo) && !v.is_null) {
      chars = PrepareText(TextChars(format_, v.bytes));
      if (std::find(chars.begin(), chars.end(), ch) != chars.end()) {
        column = i;
        break;
      }
    }
    EncodedKey seg = EncodeKeySegmentWith(tables, c, KeyValue{v.is_null, v.boolean, v.bytes});
    if (!seg.ok()) return out;
    start += seg.bytes.size();
  }
  if (column == obs.columns.size() || start + 1 >= obs.key.size()) return out;
  size_t offset = 0;
  for (uint16_t c : chars) {
    if (c == ch) break;
    auto it = base.find(c);
    if (it == base.end()) return out;
    if (HasInline(it->second.kind)) offset += it->second.inline_len;
  }
  std::vector<uint8_t> seg(obs.key.begin() + static_cast<std::ptrdiff_t>(start + 1), obs.key.end());
  if (!obs.columns[column].ascending) {
    for (auto& b : seg) b = static_cast<uint8_t>(~b);
  }
  const std::span<const uint8_t> segment(seg);

  out.push_back(Make(ch, CodeKind::kIgnored, {}, {}));
  if (format_ == KeyFormat::kJet4) {
    std::set<std::vector<uint8_t>> records;
    for (size_t len = 1; len <= kMaxRecord; ++len) {
      for (size_t i = 0; i + len <= seg.size(); ++i) {
        records.insert(std::vector<uint8_t>(seg.begin() + static_cast<std::ptrdiff_t>(i),
                                            seg.begin() + static_cast<std::ptrdiff_t>(i + len)));
      }
    }
    for (const auto& r : records) out.push_back(Make(ch, CodeKind::kUnprintable, {}, r));
    // A modifier adds to an accent code of at least 0x02; values that would
    // wrap it past 0xFF are assumed unused (see the header).
    for (int v = 1; v <= 0xFD; ++v) {
      const uint8_t mod[1] = {static_cast<uint8_t>(v)};
      out.push_back(Make(ch, CodeKind::kModifier, {}, mod));
    }
  }

  for (size_t len = 1; len <= kMaxInline && offset + len <= segment.size(); ++len) {
    const auto inl = segment.subspan(offset, len);
    // Every entry with these inline bytes writes the same bytes up to and
    // including them: try the rest only when those match.
    std::map<uint16_t, TextCode> probe = base;
    probe[ch] = Make(ch, CodeKind::kSimple, inl, {}, 0);
    EncodedKey simple = Encode(p, probe);
    const size_t prefix = start + 1 + offset + len;
    if (simple.ok() &&
        (simple.bytes.size() < prefix || obs.key.size() < prefix ||
         !std::equal(obs.key.begin(), obs.key.begin() + static_cast<std::ptrdiff_t>(prefix),
                     simple.bytes.begin()))) {
      continue;
    }
    if (format_ == KeyFormat::kJet3) {
      for (uint8_t w = 0; w <= kMaxWeight; ++w)
        out.push_back(Make(ch, CodeKind::kSimple, inl, {}, w));
      for (uint8_t n = 0; n < 16; ++n) {
        const uint8_t extra[1] = {n};
        out.push_back(Make(ch, CodeKind::kInternational, inl, extra));
      }
    } else {
      out.push_back(Make(ch, CodeKind::kSimple, inl, {}));
      for (uint8_t flag : {uint8_t{2}, uint8_t{3}}) {
        out.push_back(Make(ch, CodeKind::kInternationalFlag, inl, {}, 0, flag));
      }
      // Accent 0x02 is the filler (same key as a simple character); 0x00
      // and 0x01 are assumed unused (see the header).
      for (int e = 3; e <= 0xFF; ++e) {
        const uint8_t extra[1] = {static_cast<uint8_t>(e)};
        out.push_back(Make(ch, CodeKind::kInternational, inl, extra));
        for (uint8_t flag : {uint8_t{2}, uint8_t{3}}) {
          out.push_back(Make(ch, CodeKind::kInternationalFlag, inl, extra, 0, flag));
        }
      }
    }
  }
  return out;
}

bool CodeInference::LocateText(const Prepared& p, const std::map<uint16_t, TextCode>& settled,
                               size_t& column, std::vector<uint8_t>& segment) const {
  const Observation& obs = p.obs;
  column = obs.columns.size();
  for (size_t i = 0; i < obs.columns.size(); ++i) {
    const uint8_t type = obs.columns[i].type;
    if (type == key_type::kText || type == key_type::kMemo) {
      if (column != obs.columns.size()) return false;
      column = i;
    }
  }
  if (column == obs.columns.size() || obs.values[column].is_null) return false;
  std::vector<TextCode> table;
  for (const auto& [ch, code] : settled) table.push_back(code);
  TextTables tables;
  Slot(tables) = table;
  size_t start = 0;
  for (size_t i = 0; i < column; ++i) {
    const ObservedValue& v = obs.values[i];
    EncodedKey seg =
        EncodeKeySegmentWith(tables, obs.columns[i], KeyValue{v.is_null, v.boolean, v.bytes});
    if (!seg.ok()) return false;
    start += seg.bytes.size();
  }
  if (start + 1 >= obs.key.size()) return false;
  segment.assign(obs.key.begin() + static_cast<std::ptrdiff_t>(start + 1), obs.key.end());
  if (!obs.columns[column].ascending) {
    if (column + 1 == obs.columns.size()) segment.pop_back();
    for (auto& b : segment) b = static_cast<uint8_t>(~b);
  }
  return true;
}

std::optional<size_t> CodeInference::SettledCodes(const Prepared& p,
                                                  std::map<uint16_t, TextCode>& settled) const {
  size_t open = 0;
  for (uint16_t ch : p.distinct) {
    if (contradicted_.count(ch)) return std::nullopt;
    auto it = candidates_.find(ch);
    if (it != candidates_.end() && it->second.size() == 1) {
      settled[ch] = it->second.front();
    } else {
      ++open;
    }
  }
  return open;
}

bool CodeInference::LearnPlain(const Prepared& p) {
  const Observation& obs = p.obs;
  std::map<uint16_t, TextCode> settled;
  std::optional<size_t> unsettled = SettledCodes(p, settled);
  if (!unsettled || *unsettled == 0) return false;
  size_t text_column = 0;
  std::vector<uint8_t> seg;
  if (!LocateText(p, settled, text_column, seg)) return false;
  auto end = std::find(seg.begin(), seg.end(), uint8_t{0x01});
  if (end == seg.end() || end + 1 == seg.end() || *(end + 1) != 0x00) return false;
  const std::vector<uint8_t> main(seg.begin(), end);
  const std::vector<uint16_t> chars =
      PrepareText(TextChars(format_, obs.values[text_column].bytes));

  // Pieces each open character may take: its simple/ignored candidates, or
  // anything up to kMaxInline bytes when it has none.
  std::map<uint16_t, std::vector<std::vector<uint8_t>>> allowed;
  for (uint16_t ch : p.distinct) {
    if (settled.count(ch)) {
      const TextCode& c = settled[ch];
      if (c.kind != CodeKind::kSimple && c.kind != CodeKind::kIgnored) return false;
      allowed[ch] = {std::vector<uint8_t>(c.inline_span().begin(), c.inline_span().end())};
      if (c.kind == CodeKind::kIgnored) allowed[ch].front().clear();
      continue;
    }
    auto it = candidates_.find(ch);
    if (it == candidates_.end()) continue;  // free
    auto& list = allowed[ch];
    for (const TextCode& c : it->second) {
      if (c.kind == CodeKind::kSimple)
        list.emplace_back(c.inline_span().begin(), c.inline_span().end());
      if (c.kind == CodeKind::kIgnored) list.emplace_back();
    }
    if (list.empty()) return false;  // known not to be simple or ignored
  }

  constexpr size_t kMaxSteps = 200000;
  size_t steps = 0;
  bool gave_up = false;
  std::map<uint16_t, std::vector<uint8_t>> assigned;
  std::map<uint16_t, std::set<std::vector<uint8_t>>> found;
  std::function<void(size_t, size_t)> cut = [&](size_t i, size_t pos) {
    if (gave_up) return;
    if (++steps > kMaxSteps) {
      gave_up = true;
      return;
    }
    if (i == chars.size()) {
      if (pos != main.size()) return;
      for (const auto& [ch, piece] : assigned) found[ch].insert(piece);
      return;
    }
    const uint16_t ch = chars[i];
    auto matches = [&](const std::vector<uint8_t>& piece) {
      return pos + piece.size() <= main.size() &&
             std::equal(piece.begin(), piece.end(),
                        main.begin() + static_cast<std::ptrdiff_t>(pos));
    };
    if (auto a = assigned.find(ch); a != assigned.end()) {
      if (matches(a->second)) cut(i + 1, pos + a->second.size());
      return;
    }
    std::vector<std::vector<uint8_t>> options;
    if (auto al = allowed.find(ch); al != allowed.end()) {
      options = al->second;
    } else {
      for (size_t len = 0; len <= kMaxInline && pos + len <= main.size(); ++len) {
        options.emplace_back(main.begin() + static_cast<std::ptrdiff_t>(pos),
                             main.begin() + static_cast<std::ptrdiff_t>(pos + len));
      }
    }
    for (const auto& piece : options) {
      if (!matches(piece)) continue;
      assigned[ch] = piece;
      cut(i + 1, pos + piece.size());
      assigned.erase(ch);
    }
  };
  cut(0, 0);
  if (gave_up) return false;
  if (found.empty()) {
    std::vector<uint16_t> open;
    for (uint16_t ch : p.distinct) {
      if (!settled.count(ch)) open.push_back(ch);
    }
    if (open.size() == 1) {
      contradicted_[open[0]] = "no code entry reproduces the key at " + obs.where;
      return true;
    }
    return false;
  }
  bool changed = false;
  for (uint16_t ch : p.distinct) {
    if (settled.count(ch)) continue;
    std::vector<TextCode> next;
    for (const auto& piece : found[ch]) {
      TextCode code = piece.empty() ? Make(ch, CodeKind::kIgnored, {}, {})
                                    : Make(ch, CodeKind::kSimple, piece, {});
      auto it = candidates_.find(ch);
      if (it != candidates_.end()) {
        bool known = false;
        for (const auto& c : it->second) known |= SameCode(c, code);
        if (!known) continue;
      }
      next.push_back(code);
    }
    auto it = candidates_.find(ch);
    if (it == candidates_.end() || it->second.size() != next.size()) {
      candidates_[ch] = next;
      changed = true;
    }
  }
  return changed;
}

bool CodeInference::Learn(const Prepared& p) {
  std::vector<uint16_t> open;
  std::optional<uint16_t> fresh;
  std::map<uint16_t, TextCode> base;
  for (uint16_t ch : p.distinct) {
    if (contradicted_.count(ch)) return false;
    auto it = candidates_.find(ch);
    if (it == candidates_.end()) {
      if (fresh) return false;  // two characters never seen: nothing to learn yet
      fresh = ch;
    } else if (it->second.size() == 1) {
      base[ch] = it->second.front();
    } else {
      open.push_back(ch);
    }
  }
  if (!fresh && open.empty()) {
    // A key of one known character that does not come out right: that
    // character's code is wrong for at least one of its keys.
    if (p.distinct.size() == 1 && !Matches(p, base)) {
      contradicted_[p.distinct[0]] = "its code does not reproduce the key at " + p.obs.where;
      return true;
    }
    return false;
  }
  size_t combinations = 1;
  for (uint16_t ch : open) {
    combinations *= candidates_[ch].size();
    if (combinations > kMaxCombinations) return false;
  }

  // Candidates of each open character that take part in a reproduction.
  std::map<uint16_t, std::vector<TextCode>> kept;
  bool any_hypothesis = !fresh.has_value();
  bool matched = false;
  auto keep = [&kept](uint16_t ch, const TextCode& code) {
    auto& list = kept[ch];
    for (const auto& c : list) {
      if (SameCode(c, code)) return;
    }
    list.push_back(code);
  };
  std::vector<size_t> pick(open.size(), 0);
  for (size_t n = 0; n < combinations; ++n) {
    std::map<uint16_t, TextCode> codes = base;
    for (size_t i = 0; i < open.size(); ++i) codes[open[i]] = candidates_[open[i]][pick[i]];
    if (fresh) {
      for (const TextCode& h : Hypotheses(p, *fresh, codes)) {
        any_hypothesis = true;
        codes[*fresh] = h;
        if (Matches(p, codes)) {
          matched = true;
          keep(*fresh, h);
          for (size_t i = 0; i < open.size(); ++i) keep(open[i], codes[open[i]]);
        }
      }
    } else if (Matches(p, codes)) {
      matched = true;
      for (size_t i = 0; i < open.size(); ++i) keep(open[i], codes[open[i]]);
    }
    for (size_t i = 0; i < open.size(); ++i) {
      if (++pick[i] < candidates_[open[i]].size()) break;
      pick[i] = 0;
    }
  }
  if (!any_hypothesis) return false;  // the key could not be taken apart
  if (!matched) {
    // Blame a character only when it is the sole open one.
    std::vector<uint16_t> all = open;
    if (fresh) all.push_back(*fresh);
    if (all.size() == 1) {
      contradicted_[all[0]] = "no code entry reproduces the key at " + p.obs.where;
      return true;
    }
    return false;
  }
  bool changed = false;
  if (fresh) {
    candidates_[*fresh] = kept[*fresh];
    changed = true;
  }
  for (uint16_t ch : open) {
    if (kept[ch].size() != candidates_[ch].size()) {
      candidates_[ch] = kept[ch];
      changed = true;
    }
  }
  return changed;
}

std::vector<size_t> CodeInference::Signature(const Prepared& p) const {
  std::vector<size_t> sizes;
  sizes.reserve(p.distinct.size());
  for (uint16_t ch : p.distinct) {
    auto it = candidates_.find(ch);
    // 0: never seen alone; SIZE_MAX: contradicted.
    sizes.push_back(contradicted_.count(ch)   ? SIZE_MAX
                    : it == candidates_.end() ? 0
                                              : it->second.size() + 1);
  }
  return sizes;
}

InferenceReport CodeInference::Run() {
  constexpr int kMaxRounds = 100;
  for (int round = 0; round < kMaxRounds; ++round) {
    bool changed = false;
    for (auto& p : observations_) {
      std::vector<size_t> now = Signature(p);
      if (now == p.seen) continue;
      if (format_ == KeyFormat::kJet4) changed |= LearnPlain(p);
      changed |= Learn(p);
      if (format_ == KeyFormat::kJet4) changed |= LearnJoint(p);
      p.seen = Signature(p);
    }
    if (!changed) break;
  }

  WithdrawUnreproduced();

  InferenceReport report;
  report.observations = observations_.size();
  const std::vector<TextCode> table = Table();
  TextTables tables;
  Slot(tables) = table;
  std::set<uint16_t> seen;
  for (const auto& p : observations_) {
    seen.insert(p.distinct.begin(), p.distinct.end());
    std::vector<KeyValue> values = Values(p.obs);
    EncodedKey key = EncodeIndexKeyWith(tables, p.obs.columns, values);
    if (!key.ok()) {
      ++report.not_covered;
    } else if (key.bytes == p.obs.key) {
      ++report.matched;
    } else {
      report.mismatches.push_back({p.obs.where, p.obs.key, key.bytes});
    }
  }
  for (uint16_t ch : seen) {
    if (FindCode(table, ch) != nullptr) continue;
    std::string why;
    if (auto c = contradicted_.find(ch); c != contradicted_.end()) {
      why = c->second;
    } else if (auto it = candidates_.find(ch); it != candidates_.end()) {
      why = std::to_string(it->second.size()) + " code entries fit every key";
      if (it->second.size() <= 4) {
        why += ":";
        for (const TextCode& code : it->second) why += " " + Describe(code);
      }
    } else {
      why = "never the only unknown character of a key";
    }
    report.unresolved[ch] = CharName(format_, ch) + ": " + why;
  }
  return report;
}

void CodeInference::WithdrawUnreproduced() {
  // Every code was learned from keys it reproduces, but a key may combine
  // characters in a way the encoder does not model (a letter sorting as two,
  // say), so that each code fits its own keys and together they miss one.
  // Then one of that key's codes is wrong for it: the least supported one
  // (fewest reproduced keys; letters past ASCII before ASCII) is withdrawn,
  // and the key, like every key with the character, is no longer encoded. Each pass withdraws at
  // least one character, so this ends.
  while (true) {
    const std::vector<TextCode> table = Table();
    TextTables tables;
    Slot(tables) = table;
    std::map<uint16_t, size_t> support;
    std::vector<const Prepared*> missed;
    for (const auto& p : observations_) {
      EncodedKey key = EncodeIndexKeyWith(tables, p.obs.columns, Values(p.obs));
      if (!key.ok()) continue;
      if (key.bytes == p.obs.key) {
        for (uint16_t ch : p.distinct) ++support[ch];
      } else {
        missed.push_back(&p);
      }
    }
    if (missed.empty()) return;
    const size_t withdrawn_before = contradicted_.size();
    for (const Prepared* p : missed) {
      // A key one of whose characters this pass already withdrew is looked
      // at again in the next pass, with the smaller table.
      if (contradicted_.size() != withdrawn_before &&
          std::any_of(p->distinct.begin(), p->distinct.end(), [&](uint16_t ch) {
            return contradicted_.count(ch) && FindCode(table, ch) != nullptr;
          })) {
        continue;
      }
      // Letters past ASCII are the suspects first: they occur in few keys,
      // while the ASCII codes rest on keys of every file.
      auto suspect = [&](uint16_t ch, bool ascii_too) {
        return !contradicted_.count(ch) && !seeded_.count(ch) && FindCode(table, ch) != nullptr &&
               (ascii_too || ch >= 0x80);
      };
      bool ascii_too = std::none_of(p->distinct.begin(), p->distinct.end(),
                                    [&](uint16_t ch) { return suspect(ch, false); });
      size_t least = SIZE_MAX;
      for (uint16_t ch : p->distinct) {
        if (suspect(ch, ascii_too)) least = std::min(least, support[ch]);
      }
      for (uint16_t ch : p->distinct) {
        if (least != SIZE_MAX && suspect(ch, ascii_too) && support[ch] == least) {
          contradicted_[ch] =
              "withdrawn: with its learned code the key at " + p->obs.where + " is not reproduced";
        }
      }
    }
    // Keys that only seeded codes encode have nothing to withdraw: they stay
    // mismatches.
    if (contradicted_.size() == withdrawn_before) return;
  }
}

void CodeInference::Seed(CodeTable known) {
  for (const TextCode& code : known) {
    candidates_[code.ch] = {code};
    seeded_.insert(code.ch);
  }
}

std::vector<TextCode> CodeInference::Learned() const {
  std::vector<TextCode> out;
  for (const TextCode& code : Table()) {
    if (!seeded_.count(code.ch)) out.push_back(code);
  }
  return out;
}

std::vector<TextCode> CodeInference::Table() const {
  std::vector<TextCode> table;
  for (const auto& [ch, set] : candidates_) {
    if (auto code = Resolved(ch)) table.push_back(*code);
  }
  return table;
}

}  // namespace engine::index_text
