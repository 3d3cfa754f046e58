// key_codes: what the repair's learning of text codes gives on the corpus.
//
//   key_codes --corpus DIR [--max-bytes N]
//
// For every real file (real/files.tsv, with passwords):
//  - as is: characters of indexed text the built-in tables lack, and how
//    many of them are learned from the file's own entries or derived from
//    base letter + accent code (and, for sort orders without built-in codes,
//    how many General codes the file's keys confirm);
//  - left out: every accented letter found in the file's General-order keys
//    taken out of the tables, then learned back: how many come back with
//    exactly the built-in code, how many with another, how many not at all;
//  - derived: each such letter taken out alone and derived from the rest of
//    the table (no learning), then held against the file's keys holding it:
//    confirmed, contradicted, and equal to the built-in code.
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reader/database.h"
#include "keys/learn/index_key_derive.h"
#include "keys/learn/index_key_infer.h"
#include "check/index_entries.h"
#include "repair/repair_keys.h"

namespace {

using engine::KeyFormat;
using engine::index_text::CodeTable;
using engine::index_text::Observation;
using engine::index_text::TextCode;

struct Totals {
  uint64_t files = 0, missing = 0, learned = 0, derived = 0, derived_confirmed = 0,
           derived_dropped = 0, confirmed_general = 0, unresolved = 0, held_confirmed = 0,
           held_contradicted = 0, weights = 0, keys_reproduced = 0, keys_mismatched = 0;
  uint64_t left_out = 0, back_exact = 0, back_other = 0, back_none = 0;
  uint64_t derive_tried = 0, derive_exact = 0, derive_confirmed = 0, derive_contradicted = 0,
           derive_unchecked = 0, derive_none = 0;
};

CodeTable Builtin(KeyFormat f) {
  return f == KeyFormat::kJet3 ? engine::index_text::Jet3GeneralCodes()
                               : engine::index_text::Jet4GeneralLegacyCodes();
}

std::vector<TextCode> Without(CodeTable table, const std::set<uint16_t>& drop) {
  std::vector<TextCode> out;
  for (const TextCode& c : table) {
    if (!drop.count(c.ch)) out.push_back(c);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = "../shared/corpus";
  uint64_t max_bytes = UINT64_MAX;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--corpus" && i + 1 < argc) {
      corpus = argv[++i];
    } else if (a == "--max-bytes" && i + 1 < argc) {
      max_bytes = std::stoull(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: key_codes [--corpus DIR] [--max-bytes N]\n");
      return 2;
    }
  }
  std::ifstream tsv(corpus + "/real/files.tsv");
  if (!tsv) {
    std::fprintf(stderr, "key_codes: no %s/real/files.tsv\n", corpus.c_str());
    return 1;
  }
  std::string line;
  std::getline(tsv, line);
  Totals t;
  std::printf("%-60s %7s %7s %7s %7s %7s %9s | %8s %6s | %7s %6s %6s\n", "file", "missing",
              "learned", "derived", "general", "unres", "left-out", "back-eq", "b-none", "derive",
              "d-conf", "d-contr");
  while (std::getline(tsv, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 6 || std::stoull(cols[4]) > max_bytes) continue;
    auto db = engine::Database::Open(corpus + "/real/" + cols[0],
                                     engine::OpenOptions{.password = cols[5]});
    if (!db.ok()) continue;
    ++t.files;
    const KeyFormat format = engine::KeyFormatOf(db.value()->version());

    // As is.
    engine::LearnedKeyCodes as_is = engine::LearnKeyCodes(**db);
    const auto& s = as_is.stats;
    t.missing += s.missing;
    t.learned += s.learned;
    t.derived += s.derived;
    t.derived_confirmed += s.derived_confirmed;
    t.derived_dropped += s.derived_dropped;
    t.confirmed_general += s.confirmed_general;
    t.unresolved += s.unresolved;
    t.weights += s.weights_confirmed;
    t.held_confirmed += s.held_out_confirmed;
    t.held_contradicted += s.held_out_contradicted;
    t.keys_reproduced += s.held_out_keys_reproduced;
    t.keys_mismatched += s.held_out_keys_mismatched;
    if (s.held_out_keys_mismatched != 0) {
      std::fprintf(stderr, "%s: %llu held-out keys not as stored\n", cols[0].c_str(),
                   static_cast<unsigned long long>(s.held_out_keys_mismatched));
    }

    // The file's General-order keys, and the accented letters in them.
    std::vector<Observation> observations;
    std::set<uint16_t> accented;
    const CodeTable builtin = Builtin(format);
    (void)engine::ForEachIndexEntry(**db, [&](const engine::IndexEntryContext& c) {
      if (!c.row_found || observations.size() >= 50000) return;
      bool text = false;
      for (const auto& k : c.columns) {
        if (k.type != engine::key_type::kText && k.type != engine::key_type::kMemo) continue;
        // General of 2010 has its own table, which the repair does not learn.
        if (!engine::SortOrderCovered(k) || engine::KeysAsGeneral2010(k)) return;
        text = true;
      }
      if (!text) return;
      Observation o;
      o.columns.assign(c.columns.begin(), c.columns.end());
      for (size_t i = 0; i < c.values.size(); ++i) {
        const auto& v = c.values[i];
        o.values.push_back({v.is_null, v.boolean, {v.bytes.begin(), v.bytes.end()}});
        const auto& k = c.columns[i];
        if ((k.type == engine::key_type::kText || k.type == engine::key_type::kMemo) &&
            !v.is_null) {
          for (uint16_t ch : engine::index_text::TextChars(format, v.bytes)) {
            const TextCode* code = engine::index_text::FindCode(builtin, ch);
            if (code && code->kind == engine::index_text::CodeKind::kInternational &&
                engine::index_text::SplitAccent(format, ch)) {
              accented.insert(ch);
            }
          }
        }
      }
      o.key = c.entry.key;
      observations.push_back(std::move(o));
    });

    // Left out, learned back.
    uint64_t back_exact = 0, back_none = 0;
    if (!accented.empty()) {
      engine::index_text::TextTables known{engine::index_text::Jet3GeneralCodes(),
                                           engine::index_text::Jet4GeneralLegacyCodes()};
      const std::vector<TextCode> reduced = Without(builtin, accented);
      (format == KeyFormat::kJet3 ? known.jet3 : known.jet4) = reduced;
      engine::LearnedKeyCodes back = engine::LearnKeyCodes(**db, known);
      engine::KeyColumn general;
      general.type = engine::key_type::kText;
      general.format = format;
      const auto* order = back.codes ? back.codes->Find(general) : nullptr;
      for (uint16_t ch : accented) {
        const TextCode* got = order ? engine::index_text::FindCode(order->table, ch) : nullptr;
        if (got == nullptr) {
          ++back_none;
        } else if (engine::index_text::SameCode(*got, *engine::index_text::FindCode(builtin, ch))) {
          ++back_exact;
        } else {
          ++t.back_other;
          std::fprintf(
              stderr, "%s: %s learned as %s, built-in %s\n", cols[0].c_str(),
              engine::KeyCharacterName(format, ch).c_str(),
              engine::index_text::Describe(*got).c_str(),
              engine::index_text::Describe(*engine::index_text::FindCode(builtin, ch)).c_str());
        }
      }
      t.left_out += accented.size();
      t.back_exact += back_exact;
      t.back_none += back_none;
    }

    // Each alone, derived and held against the keys.
    uint64_t d_conf = 0, d_contr = 0, tried = 0;
    for (uint16_t ch : accented) {
      const std::vector<TextCode> rest = Without(builtin, {ch});
      const auto study = engine::index_text::StudyAccents(format, rest);
      const uint16_t wanted[] = {ch};
      const auto derived = engine::index_text::DeriveAccented(format, rest, study, wanted);
      ++tried;
      if (derived.empty()) {
        ++t.derive_none;
        continue;
      }
      if (engine::index_text::SameCode(derived[0], *engine::index_text::FindCode(builtin, ch))) {
        ++t.derive_exact;
      }
      const auto check = engine::index_text::CheckDerived(format, rest, derived, observations);
      if (check.contradicted.count(ch)) {
        ++d_contr;
      } else if (check.confirmed.count(ch)) {
        ++d_conf;
      } else {
        ++t.derive_unchecked;
      }
    }
    t.derive_tried += tried;
    t.derive_confirmed += d_conf;
    t.derive_contradicted += d_contr;

    std::string name = cols[0].size() > 60 ? cols[0].substr(0, 57) + "..." : cols[0];
    std::printf("%-60s %7u %7u %7u %7u %7u %9zu | %8llu %6llu | %7llu %6llu %6llu\n", name.c_str(),
                s.missing, s.learned, s.derived, s.confirmed_general, s.unresolved, accented.size(),
                static_cast<unsigned long long>(back_exact),
                static_cast<unsigned long long>(back_none), static_cast<unsigned long long>(tried),
                static_cast<unsigned long long>(d_conf), static_cast<unsigned long long>(d_contr));
  }
  auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("\n%llu files\n", u(t.files));
  std::printf(
      "as is: %llu characters (per file and sort order) without a built-in code; %llu learned, "
      "%llu derived (%llu confirmed by a key, %llu dropped as contradicted), %llu General codes "
      "confirmed for other sort orders, %llu Jet 3 accent weights confirmed, %llu unresolved; "
      "split check: %llu derived codes confirmed by held-out keys, %llu contradicted\n",
      u(t.missing), u(t.learned), u(t.derived), u(t.derived_confirmed), u(t.derived_dropped),
      u(t.confirmed_general), u(t.weights), u(t.unresolved), u(t.held_confirmed),
      u(t.held_contradicted));
  std::printf(
      "held-out keys (codes from half the entries encoding the other half): %llu as stored, "
      "%llu not\n",
      u(t.keys_reproduced), u(t.keys_mismatched));
  std::printf(
      "left out (accented letters of the files' keys taken out of the tables): %llu; came back "
      "with the built-in code %llu, with another code %llu, not at all %llu\n",
      u(t.left_out), u(t.back_exact), u(t.back_other), u(t.back_none));
  std::printf(
      "derived alone: %llu tried, %llu without a rule (diacritic on no other letter), %llu equal "
      "to the built-in code; held against the keys: %llu confirmed, %llu contradicted, %llu with "
      "no key to say\n",
      u(t.derive_tried), u(t.derive_none), u(t.derive_exact), u(t.derive_confirmed),
      u(t.derive_contradicted), u(t.derive_unchecked));
  return 0;
}
