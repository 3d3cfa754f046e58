// The sample databases the corpus tests walk, with their passwords.
//
// Folders under QUORLEN_CORPUS_DIR: jet3/ and jet4/ (test files of a public
// reader project), other-writers/ (files written by another engine) and
// real/jet3, real/jet4, real/ace (files from real applications;
// real/files.tsv gives each one's database password in its sixth column),
// ace/ (ACE .accdb files; ace.tsv beside it gives passwords in its fifth). A missing folder gives
// no files, so the tests that use them skip where the corpus is absent.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corpus {

struct File {
  std::filesystem::path path;
  std::string name;      // relative to the corpus folder: "real/jet4/x.mdb"
  std::string password;  // empty when the file has none
};

inline std::filesystem::path Root() {
  return std::filesystem::path(QUORLEN_CORPUS_DIR);
}

// A table of files with their passwords: file -> password (column
// `column`, counted from 0), for the files that have one.
inline std::map<std::string, std::string> ReadPasswords(const std::filesystem::path& tsv,
                                                        size_t column) {
  std::map<std::string, std::string> out;
  std::ifstream in(tsv);
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() > column && !fields[column].empty()) out[fields[0]] = fields[column];
  }
  return out;
}

// real/files.tsv: file (relative to real/) -> password, its sixth column.
inline const std::map<std::string, std::string>& RealPasswords() {
  static const auto passwords = ReadPasswords(Root() / "real" / "files.tsv", 5);
  return passwords;
}

// ace.tsv beside ace/: file -> password, its fifth column.
inline const std::map<std::string, std::string>& AcePasswords() {
  static const auto passwords = ReadPasswords(Root() / "ace.tsv", 4);
  return passwords;
}

// The database files (.mdb) of the named folders, each folder sorted by name.
inline std::vector<File> Files(std::initializer_list<std::string_view> folders) {
  namespace fs = std::filesystem;
  std::vector<File> out;
  for (std::string_view folder : folders) {
    fs::path dir = Root() / folder;
    if (!fs::is_directory(dir)) continue;
    std::vector<File> here;
    for (const auto& e : fs::directory_iterator(dir)) {
      std::string ext = e.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (!e.is_regular_file() || (ext != ".mdb" && ext != ".accdb")) continue;
      File f;
      f.path = e.path();
      f.name = std::string(folder) + "/" + e.path().filename().string();
      if (folder.starts_with("real/")) {
        auto it = RealPasswords().find(f.name.substr(5));
        if (it != RealPasswords().end()) f.password = it->second;
      } else if (folder == "ace") {
        auto it = AcePasswords().find(e.path().filename().string());
        if (it != AcePasswords().end()) f.password = it->second;
      }
      here.push_back(std::move(f));
    }
    std::sort(here.begin(), here.end(),
              [](const File& a, const File& b) { return a.name < b.name; });
    out.insert(out.end(), here.begin(), here.end());
  }
  return out;
}

// Every ACE file of the corpus (.accdb).
inline std::vector<File> AceFiles() {
  return Files({"ace", "real/ace"});
}

// Every Jet 3 / Jet 4 file of the corpus.
inline std::vector<File> AllFiles() {
  return Files({"jet3", "jet4", "other-writers", "real/jet3", "real/jet4"});
}

// One file by its name relative to the corpus folder, if it is here.
inline std::vector<File> Named(std::initializer_list<std::string_view> names) {
  std::vector<File> out;
  for (std::string_view name : names) {
    std::string folder(name.substr(0, name.rfind('/')));
    for (File& f : Files({folder})) {
      if (f.name == name) out.push_back(std::move(f));
    }
  }
  return out;
}

}  // namespace corpus
