// quorlen-index-codes: learns the text code tables of the "General" sort
// orders from the index entries stored in Access files, reports what it
// learned and writes them as C++ source for the engine.
//
//   quorlen-index-codes [--out FILE.cpp] [--password P] [--other-writer] DATABASE...
//
// --password gives the database password of the file that follows it. A
// file that cannot be read is reported and left out. --other-writer marks the
// file that follows it as written by another engine: its keys are learned on
// their own and fill only the characters Access's keys leave open; where the
// two disagree, Access's codes stay and the disagreement is printed, and a
// code that does not reproduce an Access-written key is left out.
//
// Every leaf entry of every index with a General-order text column becomes
// an observation (columns, the row's values, the stored key); see
// index_key_infer.h for how codes are derived from them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "check/index_entries.h"
#include "keys/learn/index_key_derive.h"
#include "keys/learn/index_key_infer.h"
#include "keys/packed_codes.h"
#include "reader/database.h"

namespace {

using engine::KeyFormat;
using engine::index_text::CodeInference;
using engine::index_text::CodeKind;
using engine::index_text::InferenceReport;
using engine::index_text::TextCode;

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Windows-1252 0x80-0x9F; 0 where the code page leaves the byte undefined.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

uint32_t CodePoint(KeyFormat format, uint16_t ch) {
  if (format == KeyFormat::kJet4 || ch < 0x80 || ch >= 0xA0) return ch;
  return kCp1252High[ch - 0x80];
}

bool Printable(uint32_t cp) {
  return cp >= 0x21 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0) && cp != 0xAD &&
         !(cp >= 0xD800 && cp < 0xE000) && cp != '\\';
}

// Byte values of code page 1252 that stand for a character.
int DefinedCp1252() {
  int n = 0;
  for (int b = 0; b < 256; ++b) n += (b < 0x80 || b >= 0xA0 || kCp1252High[b - 0x80] != 0);
  return n;
}

std::string KindName(CodeKind kind) {
  switch (kind) {
    case CodeKind::kSimple:
      return "CodeKind::kSimple";
    case CodeKind::kInternational:
      return "CodeKind::kInternational";
    case CodeKind::kUnprintable:
      return "CodeKind::kUnprintable";
    case CodeKind::kModifier:
      return "CodeKind::kModifier";
    case CodeKind::kInternationalFlag:
      return "CodeKind::kInternationalFlag";
    case CodeKind::kIgnored:
      return "CodeKind::kIgnored";
  }
  return "?";
}

std::string ByteList(std::span<const uint8_t> bytes) {
  std::string out = "{{";
  char buf[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? ", 0x%02X" : "0x%02X", bytes[i]);
    out += buf;
  }
  return out + "}}";
}

void WriteTable(std::ostream& out, const char* name, KeyFormat format,
                const std::vector<TextCode>& table) {
  if (table.empty()) return;
  out << "constexpr TextCode " << name << "[] = {\n";
  for (const TextCode& c : table) {
    char ch[16];
    std::snprintf(ch, sizeof ch, format == KeyFormat::kJet3 ? "0x%02X" : "0x%04X", c.ch);
    out << "    {" << ch << ", " << KindName(c.kind) << ", "
        << (c.weight == engine::index_text::kWeightUnknown ? std::string("kWeightUnknown")
                                                           : std::to_string(c.weight))
        << ", " << int(c.inline_len) << ", " << ByteList(c.inline_span()) << ", "
        << int(c.extra_len) << ", " << ByteList(c.extra_span()) << ", " << int(c.flag) << "},";
    uint32_t cp = CodePoint(format, c.ch);
    char comment[48];
    std::snprintf(comment, sizeof comment, "  // U+%04X", cp);
    out << comment;
    if (Printable(cp)) {
      std::string utf8;
      engine::AppendUtf8(cp, utf8);
      out << " " << utf8;
    }
    out << "\n";
  }
  out << "};\n\n";
}

// The Jet 4 table as packed text (packed_codes.h), in lines of string literals.
void WritePackedTable(std::ostream& out, const char* name, const std::vector<TextCode>& table) {
  const std::string packed = engine::index_text::PackCodes(table);
  out << "constexpr char " << name << "[] =";
  constexpr size_t kLine = 92;
  for (size_t i = 0; i < packed.size(); i += kLine) {
    out << "\n    \"" << packed.substr(i, kLine) << "\"";
  }
  if (packed.empty()) out << " \"\"";
  out << ";\n\n";
}

std::vector<TextCode> AddJet3Controls(const std::vector<TextCode>& table,
                                      std::span<const engine::index_text::Observation> keys) {
  const auto added = engine::index_text::AddJet3Controls(table, keys);
  for (const auto& [ch, n] : added.check.confirmed) {
    std::printf("  control character 0x%02X coded as the others: %zu keys reproduced\n", ch, n);
  }
  for (const auto& [ch, where] : added.check.contradicted) {
    std::printf(
        "  control character 0x%02X: coded as the others, the key at %s is not reproduced\n", ch,
        where.c_str());
  }
  return added.table;
}

std::vector<TextCode> ReportOtherWriter(engine::index_text::OtherWriterCodes merged) {
  std::printf("  other writer: %zu codes, %zu the same as Access's, %zu added, %zu disagreeing\n",
              merged.offered, merged.same, merged.added, merged.disagreements.size());
  for (const auto& d : merged.disagreements) std::printf("    disagreement: %s\n", d.c_str());
  return std::move(merged.table);
}

struct FormatRun {
  CodeInference inference;
  size_t entries = 0;  // leaf entries of indexes with General text columns
  size_t orphans = 0;  // entries pointing at no live row
  std::vector<std::string> files;
  explicit FormatRun(KeyFormat f, uint8_t version = engine::kGeneralLegacyVersion)
      : inference(f, version) {}
};

void PrintReport(const char* title, KeyFormat format, FormatRun& run, const InferenceReport& r,
                 const std::vector<TextCode>& table) {
  int weight_unknown = 0;
  for (const auto& c : table) weight_unknown += c.weight == engine::index_text::kWeightUnknown;
  std::printf("%s: %zu files, %zu text keys (%zu pointing at no row)\n", title, run.files.size(),
              r.observations, run.orphans);
  std::printf("  reproduced %zu, not covered %zu, mismatched %zu\n", r.matched, r.not_covered,
              r.mismatches.size());
  if (format == KeyFormat::kJet3) {
    int defined_known = 0;
    for (const auto& c : table) {
      defined_known += c.ch < 0x80 || c.ch >= 0xA0 || kCp1252High[c.ch - 0x80] != 0;
    }
    std::printf(
        "  characters known: %zu of 256 byte values; %d of the %d characters of code page "
        "1252 (%d with unknown accent weight)\n",
        table.size(), defined_known, DefinedCp1252(), weight_unknown);
  } else {
    size_t latin1 = 0;
    for (const auto& c : table) latin1 += c.ch < 0x100;
    std::printf("  characters known: %zu UCS-2 units (%zu in U+0000-U+00FF, %zu above)\n",
                table.size(), latin1, table.size() - latin1);
  }
  size_t shown = 0;
  for (const auto& m : r.mismatches) {
    if (shown++ == 20) break;
    std::printf("  mismatch at %s\n    stored  %s\n    encoded %s\n", m.where.c_str(),
                engine::HexBytes(m.expected).c_str(), engine::HexBytes(m.encoded).c_str());
  }
  std::printf("  characters seen but not known: %zu\n", r.unresolved.size());
  for (const auto& [ch, why] : r.unresolved) std::printf("    %s\n", why.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_path;
  bool dump = false;
  bool checking = false;
  std::vector<std::string> files;
  std::vector<std::string> passwords;  // per file
  std::string next_password;
  std::vector<bool> check_only;
  std::vector<bool> other_writer;
  bool next_other = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      out_path = argv[++i];
    } else if (arg == "--password" && i + 1 < argc) {
      next_password = argv[++i];
    } else if (arg == "--check") {
      checking = true;
    } else if (arg == "--other-writer") {
      next_other = true;
    } else if (arg == "--dump") {
      dump = true;
    } else if (arg == "--help" || arg == "-h") {
      std::puts(
          "usage: quorlen-index-codes [--out FILE.cpp] [--dump] [--password P] [--other-writer]\n"
          "                           DATABASE...\n"
          "  --dump          also print every text key with its row's values\n"
          "  --password      the database password of the next file\n"
          "  --other-writer  the next file's keys were not written by Access");
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      return 2;
    } else {
      files.push_back(arg);
      passwords.push_back(next_password);
      next_password.clear();
      check_only.push_back(checking);
      other_writer.push_back(next_other);
      next_other = false;
    }
  }
  if (files.empty()) {
    std::fputs("usage: quorlen-index-codes [--out FILE.cpp] DATABASE...\n", stderr);
    return 2;
  }

  FormatRun jet3(KeyFormat::kJet3), jet4(KeyFormat::kJet4);
  FormatRun other3(KeyFormat::kJet3), other4(KeyFormat::kJet4);
  FormatRun ace(KeyFormat::kJet4, engine::kGeneral2010Version);
  FormatRun other_ace(KeyFormat::kJet4, engine::kGeneral2010Version);
  // Access-written keys under General, against which other writers' codes are held.
  std::vector<engine::index_text::Observation> access3, access4, access_ace;
  std::vector<engine::index_text::Observation> held_out;
  size_t skipped = 0;
  // Text key columns per (format, sort order, version), for the summary.
  std::map<std::string, size_t> orders_seen;
  for (size_t file = 0; file < files.size(); ++file) {
    const std::string& path = files[file];
    auto db = engine::Database::Open(path, engine::OpenOptions{.password = passwords[file]});
    if (!db.ok()) {
      std::fprintf(stderr, "skipped %s: %s\n", path.c_str(), db.error().ToString().c_str());
      ++skipped;
      continue;
    }
    const KeyFormat format = engine::KeyFormatOf(db.value()->version());
    const bool other = other_writer[file];
    FormatRun& legacy =
        format == KeyFormat::kJet3 ? (other ? other3 : jet3) : (other ? other4 : jet4);
    FormatRun& general2010 = other ? other_ace : ace;
    std::set<FormatRun*> listed;
    engine::Status st =
        engine::ForEachIndexEntry(*db.value(), [&](const engine::IndexEntryContext& ctx) {
          bool text = false;
          for (const auto& c : ctx.columns) {
            text |= c.type == engine::key_type::kText || c.type == engine::key_type::kMemo;
          }
          if (!text) return;
          // A key belongs to General of 2010 when one of its text columns is.
          const bool of2010 =
              std::any_of(ctx.columns.begin(), ctx.columns.end(), engine::KeysAsGeneral2010);
          FormatRun& run = of2010 ? general2010 : legacy;
          if (!check_only[file] && listed.insert(&run).second) run.files.push_back(BaseName(path));
          for (const auto& c : ctx.columns) {
            if (c.type != engine::key_type::kText && c.type != engine::key_type::kMemo) continue;
            char order[64];
            std::snprintf(order, sizeof order, "%s 0x%04X version %u", other ? "other" : "access",
                          c.sort_order, c.sort_order_version);
            ++orders_seen[order];
          }
          ++run.entries;
          if (!ctx.row_found) {
            ++run.orphans;
            return;
          }
          engine::index_text::Observation o;
          o.columns.assign(ctx.columns.begin(), ctx.columns.end());
          for (const auto& v : ctx.values) {
            o.values.push_back({v.is_null, v.boolean, {v.bytes.begin(), v.bytes.end()}});
          }
          o.key = ctx.entry.key;
          o.where = BaseName(path) + " table " + ctx.table_object.name + " index " +
                    std::to_string(ctx.index.position) + " row " +
                    std::to_string(ctx.entry.row.page) + ":" + std::to_string(ctx.entry.row.row);
          if (dump) {
            std::printf("%s:", o.where.c_str());
            for (size_t i = 0; i < o.values.size(); ++i) {
              const auto& c = o.columns[i];
              const auto& v = o.values[i];
              if (v.is_null) {
                std::printf(" NULL");
              } else if (c.type == engine::key_type::kText || c.type == engine::key_type::kMemo) {
                std::string utf8;
                for (uint16_t ch : engine::index_text::TextChars(format, v.bytes)) {
                  engine::AppendUtf8(CodePoint(format, ch), utf8);
                }
                std::printf(" \"%s\"", utf8.c_str());
              } else {
                std::printf(" [%s]", engine::HexBytes(v.bytes).c_str());
              }
            }
            std::printf("\n  %s\n", engine::HexBytes(o.key).c_str());
          }
          if (check_only[file]) {
            held_out.push_back(std::move(o));
          } else {
            bool general = !other;
            for (const auto& c : o.columns) general &= engine::SortOrderCovered(c);
            if (general) {
              (format == KeyFormat::kJet3 ? access3 : of2010 ? access_ace : access4).push_back(o);
            }
            run.inference.Add(std::move(o));
          }
        });
    if (!st.ok()) {
      // Observations of this file before the failure are kept: each was
      // read whole and is as true as any other.
      std::fprintf(stderr, "skipped the rest of %s: %s\n", path.c_str(),
                   st.error().ToString().c_str());
      ++skipped;
    }
  }
  if (skipped != 0) std::printf("files not read to the end: %zu\n", skipped);
  for (const auto& [order, n] : orders_seen) {
    std::printf("text key columns under %s: %zu\n", order.c_str(), n);
  }

  InferenceReport r3 = jet3.inference.Run();
  InferenceReport r4 = jet4.inference.Run();
  InferenceReport r10 = ace.inference.Run();
  std::vector<TextCode> t3 = jet3.inference.Table();
  std::vector<TextCode> t4 = jet4.inference.Table();
  std::vector<TextCode> t10 = ace.inference.Table();
  PrintReport("Jet 3 General (97)", KeyFormat::kJet3, jet3, r3, t3);
  t3 = AddJet3Controls(t3, access3);
  // Another writer's codes fill what Access's keys leave open.
  auto other_writers = [](const char* title, KeyFormat format, FormatRun& other,
                          std::vector<TextCode>& table,
                          std::span<const engine::index_text::Observation> access) {
    if (other.files.empty()) return;
    InferenceReport r = other.inference.Run();
    PrintReport(title, format, other, r, other.inference.Table());
    table = ReportOtherWriter(
        engine::index_text::AddOtherWriterCodes(format, table, other.inference.Table(), access));
    std::printf("  table with them: %zu characters\n", table.size());
  };
  other_writers("Jet 3 General (97), other writers", KeyFormat::kJet3, other3, t3, access3);
  PrintReport("Jet 4 General (legacy)", KeyFormat::kJet4, jet4, r4, t4);
  other_writers("Jet 4 General (legacy), other writers", KeyFormat::kJet4, other4, t4, access4);
  PrintReport("General of 2010 (ACE)", KeyFormat::kJet4, ace, r10, t10);
  other_writers("General of 2010 (ACE), other writers", KeyFormat::kJet4, other_ace, t10,
                access_ace);
  if (!held_out.empty()) {
    engine::index_text::TextTables tables{t3, t4, t10};
    size_t matched[2] = {}, not_covered[2] = {}, mismatched[2] = {};
    for (const auto& o : held_out) {
      const int f = o.columns.front().format == KeyFormat::kJet3 ? 0 : 1;
      std::vector<engine::KeyValue> values;
      for (const auto& v : o.values) values.push_back({v.is_null, v.boolean, v.bytes});
      engine::EncodedKey key = engine::index_text::EncodeIndexKeyWith(tables, o.columns, values);
      if (!key.ok()) {
        ++not_covered[f];
      } else if (key.bytes == o.key) {
        ++matched[f];
      } else {
        ++mismatched[f];
        std::printf("  held-out mismatch at %s\n    stored  %s\n    encoded %s\n", o.where.c_str(),
                    engine::HexBytes(o.key).c_str(), engine::HexBytes(key.bytes).c_str());
      }
    }
    for (int f = 0; f < 2; ++f) {
      std::printf("held-out text keys, %s: reproduced %zu, not covered %zu, mismatched %zu\n",
                  f == 0 ? "Jet 3" : "Jet 4", matched[f], not_covered[f], mismatched[f]);
    }
  }

  if (!r3.mismatches.empty() || !r4.mismatches.empty() || !r10.mismatches.empty()) {
    std::fputs("the learned tables do not reproduce every key; nothing written\n", stderr);
    return 1;
  }
  if (!out_path.empty()) {
    std::ostringstream src;
    src << "// Generated by scripts/gen-index-codes (tools/index_codes); do not edit.\n"
           "//\n"
           "// Text code tables of the General sort order, learned from the index entries\n"
           "// Access wrote: each character's code entry is the one that reproduces every\n"
           "// stored key it appears in (tools/index_codes, "
           "engine/src/keys/learn/index_key_infer.h).\n";
    auto list = [&src](const char* title, const FormatRun& run, const FormatRun& other,
                       const InferenceReport& r, size_t known) {
      const size_t from_access = run.inference.Table().size();
      src << "// " << title << ": " << known << " characters, " << from_access << " from "
          << r.observations << " keys in";
      size_t col = 80;
      auto names = [&](const std::vector<std::string>& listed) {
        for (const auto& f : listed) {
          if (col + f.size() > 96) {
            src << "\n//  ";
            col = 4;
          }
          src << " " << f;
          col += f.size() + 1;
        }
      };
      names(run.files);
      if (!other.files.empty()) {
        src << ";\n//   the other " << known - from_access
            << " from keys another engine wrote (Access's codes win where both have one):";
        col = 80;
        names(other.files);
      }
      src << "\n";
    };
    list("Jet 3", jet3, other3, r3, t3.size());
    list("Jet 4", jet4, other4, r4, t4.size());
    list("General of 2010", ace, other_ace, r10, t10.size());
    src << "// Jet 3 control characters the keys leave open are coded as the others are\n"
           "// (DeriveJet3Controls, held against the keys).\n"
           "// Characters not listed have no known code: keys holding them are not encoded.\n"
           "// The Jet 4 tables are packed (keys/packed_codes.h).\n"
           "#include \"keys/index_key_text.h\"\n"
           "#include \"keys/packed_codes.h\"\n\n"
           "namespace engine::index_text {\n\nnamespace {\n\n";
    WriteTable(src, "kJet3General", KeyFormat::kJet3, t3);
    WritePackedTable(src, "kJet4GeneralLegacyPacked", t4);
    WritePackedTable(src, "kJet4General2010Packed", t10);
    src << "}  // namespace\n\n";
    src << "CodeTable Jet3GeneralCodes() { return " << (t3.empty() ? "{}" : "kJet3General")
        << "; }\n";
    src << "CodeTable Jet4GeneralLegacyCodes() {\n"
           "  static const std::vector<TextCode> table = UnpackCodes(kJet4GeneralLegacyPacked);\n"
           "  return table;\n"
           "}\n"
           "CodeTable Jet4General2010Codes() {\n"
           "  static const std::vector<TextCode> table = UnpackCodes(kJet4General2010Packed);\n"
           "  return table;\n"
           "}\n\n";
    src << "}  // namespace engine::index_text\n";
    std::ofstream f(out_path, std::ios::binary | std::ios::trunc);
    f << src.str();
    if (!f.flush()) {
      std::fprintf(stderr, "cannot write %s\n", out_path.c_str());
      return 1;
    }
    std::printf("wrote %s\n", out_path.c_str());
  }
  return 0;
}
