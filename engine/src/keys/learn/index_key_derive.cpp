#include "keys/learn/index_key_derive.h"

#include <algorithm>
#include <cstdio>

namespace engine::index_text {

namespace {

struct Decomposition {
  uint16_t ch;
  char base;
  uint16_t mark;
};

// Latin letters of U+00C0-U+024F whose canonical decomposition is one ASCII
// letter and one combining diacritic (Unicode Character Database).
constexpr Decomposition kLatin[] = {
    {0x00C0, 'A', 0x300}, {0x00C1, 'A', 0x301}, {0x00C2, 'A', 0x302}, {0x00C3, 'A', 0x303},
    {0x00C4, 'A', 0x308}, {0x00C5, 'A', 0x30A}, {0x00C7, 'C', 0x327}, {0x00C8, 'E', 0x300},
    {0x00C9, 'E', 0x301}, {0x00CA, 'E', 0x302}, {0x00CB, 'E', 0x308}, {0x00CC, 'I', 0x300},
    {0x00CD, 'I', 0x301}, {0x00CE, 'I', 0x302}, {0x00CF, 'I', 0x308}, {0x00D1, 'N', 0x303},
    {0x00D2, 'O', 0x300}, {0x00D3, 'O', 0x301}, {0x00D4, 'O', 0x302}, {0x00D5, 'O', 0x303},
    {0x00D6, 'O', 0x308}, {0x00D9, 'U', 0x300}, {0x00DA, 'U', 0x301}, {0x00DB, 'U', 0x302},
    {0x00DC, 'U', 0x308}, {0x00DD, 'Y', 0x301}, {0x00E0, 'a', 0x300}, {0x00E1, 'a', 0x301},
    {0x00E2, 'a', 0x302}, {0x00E3, 'a', 0x303}, {0x00E4, 'a', 0x308}, {0x00E5, 'a', 0x30A},
    {0x00E7, 'c', 0x327}, {0x00E8, 'e', 0x300}, {0x00E9, 'e', 0x301}, {0x00EA, 'e', 0x302},
    {0x00EB, 'e', 0x308}, {0x00EC, 'i', 0x300}, {0x00ED, 'i', 0x301}, {0x00EE, 'i', 0x302},
    {0x00EF, 'i', 0x308}, {0x00F1, 'n', 0x303}, {0x00F2, 'o', 0x300}, {0x00F3, 'o', 0x301},
    {0x00F4, 'o', 0x302}, {0x00F5, 'o', 0x303}, {0x00F6, 'o', 0x308}, {0x00F9, 'u', 0x300},
    {0x00FA, 'u', 0x301}, {0x00FB, 'u', 0x302}, {0x00FC, 'u', 0x308}, {0x00FD, 'y', 0x301},
    {0x00FF, 'y', 0x308}, {0x0100, 'A', 0x304}, {0x0101, 'a', 0x304}, {0x0102, 'A', 0x306},
    {0x0103, 'a', 0x306}, {0x0104, 'A', 0x328}, {0x0105, 'a', 0x328}, {0x0106, 'C', 0x301},
    {0x0107, 'c', 0x301}, {0x0108, 'C', 0x302}, {0x0109, 'c', 0x302}, {0x010A, 'C', 0x307},
    {0x010B, 'c', 0x307}, {0x010C, 'C', 0x30C}, {0x010D, 'c', 0x30C}, {0x010E, 'D', 0x30C},
    {0x010F, 'd', 0x30C}, {0x0112, 'E', 0x304}, {0x0113, 'e', 0x304}, {0x0114, 'E', 0x306},
    {0x0115, 'e', 0x306}, {0x0116, 'E', 0x307}, {0x0117, 'e', 0x307}, {0x0118, 'E', 0x328},
    {0x0119, 'e', 0x328}, {0x011A, 'E', 0x30C}, {0x011B, 'e', 0x30C}, {0x011C, 'G', 0x302},
    {0x011D, 'g', 0x302}, {0x011E, 'G', 0x306}, {0x011F, 'g', 0x306}, {0x0120, 'G', 0x307},
    {0x0121, 'g', 0x307}, {0x0122, 'G', 0x327}, {0x0123, 'g', 0x327}, {0x0124, 'H', 0x302},
    {0x0125, 'h', 0x302}, {0x0128, 'I', 0x303}, {0x0129, 'i', 0x303}, {0x012A, 'I', 0x304},
    {0x012B, 'i', 0x304}, {0x012C, 'I', 0x306}, {0x012D, 'i', 0x306}, {0x012E, 'I', 0x328},
    {0x012F, 'i', 0x328}, {0x0130, 'I', 0x307}, {0x0134, 'J', 0x302}, {0x0135, 'j', 0x302},
    {0x0136, 'K', 0x327}, {0x0137, 'k', 0x327}, {0x0139, 'L', 0x301}, {0x013A, 'l', 0x301},
    {0x013B, 'L', 0x327}, {0x013C, 'l', 0x327}, {0x013D, 'L', 0x30C}, {0x013E, 'l', 0x30C},
    {0x0143, 'N', 0x301}, {0x0144, 'n', 0x301}, {0x0145, 'N', 0x327}, {0x0146, 'n', 0x327},
    {0x0147, 'N', 0x30C}, {0x0148, 'n', 0x30C}, {0x014C, 'O', 0x304}, {0x014D, 'o', 0x304},
    {0x014E, 'O', 0x306}, {0x014F, 'o', 0x306}, {0x0150, 'O', 0x30B}, {0x0151, 'o', 0x30B},
    {0x0154, 'R', 0x301}, {0x0155, 'r', 0x301}, {0x0156, 'R', 0x327}, {0x0157, 'r', 0x327},
    {0x0158, 'R', 0x30C}, {0x0159, 'r', 0x30C}, {0x015A, 'S', 0x301}, {0x015B, 's', 0x301},
    {0x015C, 'S', 0x302}, {0x015D, 's', 0x302}, {0x015E, 'S', 0x327}, {0x015F, 's', 0x327},
    {0x0160, 'S', 0x30C}, {0x0161, 's', 0x30C}, {0x0162, 'T', 0x327}, {0x0163, 't', 0x327},
    {0x0164, 'T', 0x30C}, {0x0165, 't', 0x30C}, {0x0168, 'U', 0x303}, {0x0169, 'u', 0x303},
    {0x016A, 'U', 0x304}, {0x016B, 'u', 0x304}, {0x016C, 'U', 0x306}, {0x016D, 'u', 0x306},
    {0x016E, 'U', 0x30A}, {0x016F, 'u', 0x30A}, {0x0170, 'U', 0x30B}, {0x0171, 'u', 0x30B},
    {0x0172, 'U', 0x328}, {0x0173, 'u', 0x328}, {0x0174, 'W', 0x302}, {0x0175, 'w', 0x302},
    {0x0176, 'Y', 0x302}, {0x0177, 'y', 0x302}, {0x0178, 'Y', 0x308}, {0x0179, 'Z', 0x301},
    {0x017A, 'z', 0x301}, {0x017B, 'Z', 0x307}, {0x017C, 'z', 0x307}, {0x017D, 'Z', 0x30C},
    {0x017E, 'z', 0x30C}, {0x01A0, 'O', 0x31B}, {0x01A1, 'o', 0x31B}, {0x01AF, 'U', 0x31B},
    {0x01B0, 'u', 0x31B}, {0x01CD, 'A', 0x30C}, {0x01CE, 'a', 0x30C}, {0x01CF, 'I', 0x30C},
    {0x01D0, 'i', 0x30C}, {0x01D1, 'O', 0x30C}, {0x01D2, 'o', 0x30C}, {0x01D3, 'U', 0x30C},
    {0x01D4, 'u', 0x30C}, {0x01E6, 'G', 0x30C}, {0x01E7, 'g', 0x30C}, {0x01E8, 'K', 0x30C},
    {0x01E9, 'k', 0x30C}, {0x01EA, 'O', 0x328}, {0x01EB, 'o', 0x328}, {0x01F0, 'j', 0x30C},
    {0x01F4, 'G', 0x301}, {0x01F5, 'g', 0x301}, {0x01F8, 'N', 0x300}, {0x01F9, 'n', 0x300},
    {0x0200, 'A', 0x30F}, {0x0201, 'a', 0x30F}, {0x0202, 'A', 0x311}, {0x0203, 'a', 0x311},
    {0x0204, 'E', 0x30F}, {0x0205, 'e', 0x30F}, {0x0206, 'E', 0x311}, {0x0207, 'e', 0x311},
    {0x0208, 'I', 0x30F}, {0x0209, 'i', 0x30F}, {0x020A, 'I', 0x311}, {0x020B, 'i', 0x311},
    {0x020C, 'O', 0x30F}, {0x020D, 'o', 0x30F}, {0x020E, 'O', 0x311}, {0x020F, 'o', 0x311},
    {0x0210, 'R', 0x30F}, {0x0211, 'r', 0x30F}, {0x0212, 'R', 0x311}, {0x0213, 'r', 0x311},
    {0x0214, 'U', 0x30F}, {0x0215, 'u', 0x30F}, {0x0216, 'U', 0x311}, {0x0217, 'u', 0x311},
    {0x0218, 'S', 0x326}, {0x0219, 's', 0x326}, {0x021A, 'T', 0x326}, {0x021B, 't', 0x326},
    {0x021E, 'H', 0x30C}, {0x021F, 'h', 0x30C}, {0x0226, 'A', 0x307}, {0x0227, 'a', 0x307},
    {0x0228, 'E', 0x327}, {0x0229, 'e', 0x327}, {0x022E, 'O', 0x307}, {0x022F, 'o', 0x307},
    {0x0232, 'Y', 0x304}, {0x0233, 'y', 0x304},
};

// Windows-1252 0x80-0x9F as Unicode; 0 where the byte is undefined.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::optional<uint8_t> AccentOf(KeyFormat format, const TextCode& c) {
  if (c.kind != CodeKind::kInternational || c.extra_len != 1) return std::nullopt;
  return format == KeyFormat::kJet3 ? static_cast<uint8_t>(c.extra[0] & 0x0F) : c.extra[0];
}

bool SameInline(const TextCode& a, const TextCode& b) {
  return std::equal(a.inline_span().begin(), a.inline_span().end(), b.inline_span().begin(),
                    b.inline_span().end());
}

std::string Name(KeyFormat format, uint16_t ch) {
  char buf[16];
  std::snprintf(buf, sizeof buf, format == KeyFormat::kJet3 ? "0x%02X" : "U+%04X", ch);
  return buf;
}

}  // namespace

std::optional<AccentedLetter> SplitAccent(KeyFormat format, uint16_t ch) {
  uint16_t cp = ch;
  if (format == KeyFormat::kJet3) {
    if (ch > 0xFF) return std::nullopt;
    if (ch >= 0x80 && ch < 0xA0) cp = kCp1252High[ch - 0x80];
  }
  auto it = std::lower_bound(std::begin(kLatin), std::end(kLatin), cp,
                             [](const Decomposition& d, uint16_t v) { return d.ch < v; });
  if (it == std::end(kLatin) || it->ch != cp) return std::nullopt;
  return AccentedLetter{static_cast<uint16_t>(it->base), it->mark};
}

AccentStudy StudyAccents(KeyFormat format, CodeTable table) {
  AccentStudy study;
  std::map<uint16_t, std::set<uint8_t>> seen;
  for (const TextCode& c : table) {
    auto letter = SplitAccent(format, c.ch);
    // A letter the order ignores (in Jet 4 the ones newer than its tables)
    // tells nothing of its diacritic.
    if (!letter || c.kind == CodeKind::kIgnored) continue;
    const TextCode* base = FindCode(table, letter->base);
    if (base == nullptr) continue;
    ++study.pairs;
    auto accent = AccentOf(format, c);
    if (base->kind == CodeKind::kSimple && accent && SameInline(*base, c)) {
      ++study.fitting;
      seen[letter->mark].insert(*accent);
      continue;
    }
    study.broken.insert(letter->mark);
    study.exceptions.push_back(Name(format, c.ch) + " " + Describe(c) + " on base " +
                               Name(format, base->ch) + " " + Describe(*base));
  }
  for (const auto& [mark, codes] : seen) {
    if (codes.size() != 1) {
      study.broken.insert(mark);
      study.exceptions.push_back("diacritic U+" + Name(KeyFormat::kJet4, mark).substr(2) + " has " +
                                 std::to_string(codes.size()) + " accent codes");
      continue;
    }
    if (!study.broken.count(mark)) study.accent[mark] = *codes.begin();
  }
  return study;
}

std::vector<TextCode> DeriveAccented(KeyFormat format, CodeTable table, const AccentStudy& study,
                                     std::span<const uint16_t> wanted) {
  std::vector<TextCode> out;
  std::set<uint16_t> done;
  for (uint16_t ch : wanted) {
    if (FindCode(table, ch) != nullptr || !done.insert(ch).second) continue;
    auto letter = SplitAccent(format, ch);
    if (!letter) continue;
    auto accent = study.accent.find(letter->mark);
    const TextCode* base = FindCode(table, letter->base);
    if (accent == study.accent.end() || base == nullptr || base->kind != CodeKind::kSimple) {
      continue;
    }
    const uint8_t extra[1] = {accent->second};
    out.push_back(TextCode::Make(ch, CodeKind::kInternational, base->inline_span(), extra));
  }
  std::sort(out.begin(), out.end(),
            [](const TextCode& a, const TextCode& b) { return a.ch < b.ch; });
  return out;
}

std::vector<TextCode> MergeCodes(CodeTable table, std::span<const TextCode> more) {
  std::vector<TextCode> out(table.begin(), table.end());
  for (const TextCode& c : more) {
    if (FindCode(table, c.ch) == nullptr) out.push_back(c);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const TextCode& a, const TextCode& b) { return a.ch < b.ch; });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const TextCode& a, const TextCode& b) { return a.ch == b.ch; }),
            out.end());
  return out;
}

DerivedCheck CheckDerived(KeyFormat format, CodeTable table, std::span<const TextCode> derived,
                          std::span<const Observation> observations) {
  DerivedCheck check;
  if (derived.empty()) return check;
  const std::vector<TextCode> merged = MergeCodes(table, derived);
  // The observations are all of one General order: the table under test
  // stands for whichever that is.
  TextTables tables;
  if (format == KeyFormat::kJet3) {
    tables.jet3 = merged;
  } else {
    tables.jet4 = tables.jet4_2010 = merged;
  }
  for (const Observation& obs : observations) {
    std::set<uint16_t> in_key;
    std::vector<KeyValue> values;
    for (size_t i = 0; i < obs.columns.size() && i < obs.values.size(); ++i) {
      const ObservedValue& v = obs.values[i];
      values.push_back(KeyValue{v.is_null, v.boolean, v.bytes});
      const uint8_t type = obs.columns[i].type;
      if ((type != key_type::kText && type != key_type::kMemo) || v.is_null) continue;
      for (uint16_t ch : PrepareText(TextChars(format, v.bytes))) {
        if (FindCode(derived, ch) != nullptr) in_key.insert(ch);
      }
    }
    if (in_key.empty()) continue;
    EncodedKey key = EncodeIndexKeyWith(tables, obs.columns, values);
    if (!key.ok()) continue;
    for (uint16_t ch : in_key) {
      if (key.bytes == obs.key) {
        ++check.confirmed[ch];
      } else if (!check.contradicted.count(ch)) {
        check.contradicted[ch] = obs.where;
      }
    }
  }
  for (const auto& [ch, where] : check.contradicted) check.confirmed.erase(ch);
  return check;
}

std::vector<TextCode> DeriveJet3Controls(CodeTable table) {
  constexpr uint16_t kControls = 0x20;
  constexpr size_t kExceptions = 2;
  std::vector<const TextCode*> known;
  for (uint16_t ch = 0; ch < kControls; ++ch) {
    if (const TextCode* c = FindCode(table, ch)) known.push_back(c);
  }
  for (const TextCode* shared : known) {
    size_t same = 0;
    for (const TextCode* c : known) {
      TextCode moved = *c;
      moved.ch = shared->ch;
      same += SameCode(moved, *shared);
    }
    if (same + kExceptions < known.size() || same < kControls / 2) continue;
    std::vector<TextCode> derived;
    for (uint16_t ch = 0; ch < kControls; ++ch) {
      if (FindCode(table, ch) != nullptr) continue;
      derived.push_back(*shared);
      derived.back().ch = ch;
    }
    return derived;
  }
  return {};
}

DerivedCodes AddJet3Controls(CodeTable table, std::span<const Observation> keys) {
  std::vector<TextCode> derived = DeriveJet3Controls(table);
  DerivedCodes out;
  out.check = CheckDerived(KeyFormat::kJet3, table, derived, keys);
  std::erase_if(derived,
                [&](const TextCode& c) { return out.check.contradicted.count(c.ch) != 0; });
  out.table = MergeCodes(table, derived);
  return out;
}

OtherWriterCodes AddOtherWriterCodes(KeyFormat format, CodeTable access, CodeTable other,
                                     std::span<const Observation> access_keys) {
  OtherWriterCodes out;
  out.offered = other.size();
  std::vector<TextCode> candidates;
  for (const TextCode& c : other) {
    const TextCode* a = FindCode(access, c.ch);
    if (a == nullptr) {
      candidates.push_back(c);
    } else if (SameCode(*a, c)) {
      ++out.same;
    } else {
      out.disagreements.push_back(KeyCharacterName(format, c.ch) + ": Access " + Describe(*a) +
                                  ", other writer " + Describe(c));
    }
  }
  for (;;) {
    const DerivedCheck check = CheckDerived(format, access, candidates, access_keys);
    if (check.contradicted.empty()) break;
    for (const auto& [ch, where] : check.contradicted) {
      out.disagreements.push_back(KeyCharacterName(format, ch) + ": " +
                                  Describe(*FindCode(candidates, ch)) +
                                  " of the other writer does not reproduce the key at " + where);
    }
    std::erase_if(candidates,
                  [&](const TextCode& c) { return check.contradicted.count(c.ch) != 0; });
  }
  out.added = candidates.size();
  out.table = MergeCodes(access, candidates);
  return out;
}

}  // namespace engine::index_text
