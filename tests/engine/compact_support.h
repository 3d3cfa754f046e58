// Helpers of the compaction tests: the canonical dump of a file, and the
// comparison of two dumps under the rules of the dump format (tables by
// name, columns exactly, rows as multisets, catalog object ids through the
// names of the objects they denote).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "reader/database.h"
#include "reader/dump.h"

namespace compact_test {

namespace fs = std::filesystem;

inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A scratch directory removed with everything in it when the test ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "quorlen-compact-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    if (made != nullptr) path_ = made;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Calls visit(table name, column) for every text and memo column of the
// file's tables.
inline void ForEachTextColumn(
    const std::string& path,
    const std::function<void(const std::string&, const engine::ColumnDef&)>& visit) {
  auto db = engine::Database::Open(path);
  EXPECT_TRUE(db.ok()) << db.error().ToString();
  if (!db.ok()) return;
  for (const engine::CatalogObject* t : db.value()->tables()) {
    auto def = db.value()->ReadTableDef(t->table_page());
    if (!def.ok()) continue;
    for (const engine::ColumnDef& c : def->columns) {
      if (c.type == static_cast<uint8_t>(engine::ColumnType::kText) ||
          c.type == static_cast<uint8_t>(engine::ColumnType::kMemo)) {
        visit(t->name, c);
      }
    }
  }
}

// The dump of the file, or a null document (with a test failure) when it
// cannot be read.
inline nlohmann::json DumpFile(const std::string& path, const std::string& password = "") {
  auto db = engine::Database::Open(path, engine::OpenOptions{.password = password});
  EXPECT_TRUE(db.ok()) << path << ": " << db.error().ToString();
  if (!db.ok()) return nullptr;
  auto text = engine::DumpToString(*db.value());
  EXPECT_TRUE(text.ok()) << path << ": " << text.error().ToString();
  if (!text.ok()) return nullptr;
  return nlohmann::json::parse(text.value());
}

// Columns that hold catalog object ids, by lower-case table name.
inline const std::map<std::string, std::set<std::string>>& IdColumnsByTable() {
  static const std::map<std::string, std::set<std::string>> k = {
      {"msysobjects", {"id", "parentid"}},
      {"msysaces", {"objectid"}},
      {"msyscomplexcolumns", {"complextypeobjectid", "flattableid", "conceptualtableid"}},
      {"msysqueries", {"objectid"}},
      {"msysnavpaneobjectids", {"id"}},
      {"msysnavpanegrouptoobjects", {"objectid"}},
  };
  return k;
}

// Object id -> the chain of names from the root ("#251658240/Tables/T").
inline std::map<int64_t, std::string> ObjectKeys(const nlohmann::json& dump) {
  std::map<int64_t, std::string> keys;
  std::map<int64_t, std::pair<nlohmann::json, std::string>> objects;
  for (const auto& t : dump["tables"]) {
    if (Lower(t["name"].get<std::string>()) != "msysobjects") continue;
    int id = -1, parent = -1, name = -1;
    for (int i = 0; i < static_cast<int>(t["columns"].size()); ++i) {
      std::string c = Lower(t["columns"][static_cast<size_t>(i)]["name"].get<std::string>());
      if (c == "id") id = i;
      if (c == "parentid") parent = i;
      if (c == "name") name = i;
    }
    if (id < 0 || parent < 0 || name < 0) break;
    for (const auto& row : t["rows"]) {
      const auto& v = row[static_cast<size_t>(id)];
      if (!v.is_number_integer()) continue;
      objects[v.get<int64_t>()] = {row[static_cast<size_t>(parent)],
                                   row[static_cast<size_t>(name)].dump()};
    }
  }
  std::function<std::string(int64_t, int)> resolve = [&](int64_t id, int depth) -> std::string {
    if (auto k = keys.find(id); k != keys.end()) return k->second;
    auto o = objects.find(id);
    if (o == objects.end() || depth > 64) return "#" + std::to_string(id);
    const auto& parent = o->second.first;
    std::string up =
        parent.is_number_integer() ? resolve(parent.get<int64_t>(), depth + 1) : parent.dump();
    std::string key = up + "/" + o->second.second;
    keys[id] = key;
    return key;
  };
  for (const auto& [id, o] : objects) resolve(id, 0);
  return keys;
}

struct CanonicalTable {
  nlohmann::json columns;
  bool system = false;
  std::vector<std::string> rows;      // sorted
  std::vector<std::string> in_order;  // the same, in storage order
};

inline std::map<std::string, CanonicalTable> Canonical(const nlohmann::json& dump) {
  std::map<std::string, CanonicalTable> out;
  if (dump.is_null()) return out;
  const auto keys = ObjectKeys(dump);
  for (const auto& t : dump["tables"]) {
    CanonicalTable c;
    const std::string name = t["name"].get<std::string>();
    c.columns = t["columns"];
    c.system = t["system"].get<bool>();
    std::set<size_t> id_positions;
    if (auto it = IdColumnsByTable().find(Lower(name)); it != IdColumnsByTable().end()) {
      for (size_t i = 0; i < t["columns"].size(); ++i) {
        if (it->second.count(Lower(t["columns"][i]["name"].get<std::string>()))) {
          id_positions.insert(i);
        }
      }
    }
    // Navigation-pane and permission rows of objects that are gone are
    // leftovers a compaction drops: left out on both sides.
    const bool drops_stale = Lower(name).rfind("msysnavpane", 0) == 0 || Lower(name) == "msysaces";
    size_t dropped = 0;
    for (auto row : t["rows"]) {
      bool unlisted = false;
      for (size_t i : id_positions) {
        if (!row[i].is_number_integer()) continue;
        auto k = keys.find(row[i].get<int64_t>());
        unlisted = unlisted || k == keys.end();
        row[i] = k != keys.end() ? "object " + k->second
                                 : "unlisted id " + std::to_string(row[i].get<int64_t>());
      }
      if (drops_stale && unlisted) {
        ++dropped;
        continue;
      }
      c.rows.push_back(row.dump());
    }
    c.in_order = c.rows;
    std::sort(c.rows.begin(), c.rows.end());
    if (t["row_count"].get<size_t>() != c.rows.size() + dropped) {
      c.rows.push_back("row_count mismatch");
    }
    out[name] = std::move(c);
  }
  return out;
}

// Expects every table common to both dumps to list its rows in the same
// order (object ids through the objects they name).
inline void ExpectSameRowOrder(const nlohmann::json& a, const nlohmann::json& b,
                               const std::string& what) {
  auto ca = Canonical(a);
  auto cb = Canonical(b);
  for (const auto& [name, ta] : ca) {
    auto it = cb.find(name);
    if (it == cb.end() || ta.rows != it->second.rows) continue;  // reported by content
    const auto& order_b = it->second.in_order;
    auto [pa, pb] = std::mismatch(ta.in_order.begin(), ta.in_order.end(), order_b.begin());
    if (pa == ta.in_order.end()) continue;
    ADD_FAILURE() << what << ": rows of " << name << " in another order from row "
                  << (pa - ta.in_order.begin()) << "\n  source: " << pa->substr(0, 300)
                  << "\n  copy:   " << pb->substr(0, 300);
  }
}

// Expects the two dumps to hold the same content; lists differences.
inline void ExpectSameContent(const nlohmann::json& a, const nlohmann::json& b,
                              const std::string& what) {
  ASSERT_FALSE(a.is_null()) << what;
  ASSERT_FALSE(b.is_null()) << what;
  EXPECT_EQ(a["format"], b["format"]) << what;
  EXPECT_EQ(a["page_size"], b["page_size"]) << what;
  auto ca = Canonical(a);
  auto cb = Canonical(b);
  for (const auto& [name, ta] : ca) {
    auto it = cb.find(name);
    if (it == cb.end()) {
      ADD_FAILURE() << what << ": table " << name << " is missing from the copy";
      continue;
    }
    const CanonicalTable& tb = it->second;
    EXPECT_EQ(ta.columns, tb.columns) << what << ": columns of " << name;
    EXPECT_EQ(ta.system, tb.system) << what << ": system flag of " << name;
    if (ta.rows == tb.rows) continue;
    std::vector<std::string> only_a, only_b;
    std::set_difference(ta.rows.begin(), ta.rows.end(), tb.rows.begin(), tb.rows.end(),
                        std::back_inserter(only_a));
    std::set_difference(tb.rows.begin(), tb.rows.end(), ta.rows.begin(), ta.rows.end(),
                        std::back_inserter(only_b));
    std::string detail;
    for (size_t i = 0; i < only_a.size() && i < 3; ++i)
      detail += "\n  only in source: " + only_a[i].substr(0, 300);
    for (size_t i = 0; i < only_b.size() && i < 3; ++i)
      detail += "\n  only in copy:   " + only_b[i].substr(0, 300);
    ADD_FAILURE() << what << ": rows of " << name << " differ (" << ta.rows.size() << " vs "
                  << tb.rows.size() << ")" << detail;
  }
  for (const auto& [name, tb] : cb) {
    if (!ca.count(name)) ADD_FAILURE() << what << ": the copy has an extra table " << name;
  }
}

}  // namespace compact_test
