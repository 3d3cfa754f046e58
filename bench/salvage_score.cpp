// Damages copies of corpus files in every damage class with fixed seeds and
// scores what the tolerant reader recovers, per class.
//
//   salvage_score [--copies N] [--corpus DIR] [--max-bytes B] [--timeout S] [FILE[:PASSWORD]...]
//   salvage_score --integrity [...]           the classes that show only against the rest
//                 of the file: page-0 fields, a value changed under its index
//   salvage_score --write-damaged DIR [...]   only writes the damaged copies into DIR,
//                 named NNNN-CLASS.mdb, with DIR/passwords.tsv (name, password)
//   salvage_score --mutations N [--seed S] [--only K] [...]  N random mutations (bench/mutations.h)
//                 (Jet and ACE files are scored apart: each class's line names its family)
//   of
//                 the files up to 256 KB (or --max-bytes), each repaired and the result
//                 checked: refusals by error number, crashes, hangs, failed checks
//
// Each copy is read in a child process, so a crash or a hang (more than
// --timeout seconds) is counted instead of ending the run.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "engine/check.h"
#include "engine/repair.h"
#include "mutations.h"
#include "salvage_damage.h"

namespace {

using salvage_test::Bytes;

struct Input {
  std::string path;
  std::string password;
};

struct Totals {
  uint64_t copies = 0, skipped = 0, crashes = 0, hangs = 0, open_failed = 0;
  uint64_t repaired = 0, repair_refused = 0, repaired_with_damage = 0;
  // Repaired copies whose MSysCompactError does not list exactly the
  // repair's losses (or that have one without losses); copies with losses
  // whose table was left out (a catalog sort order without key codes).
  uint64_t error_table_wrong = 0, error_table_left_out = 0;
  // Copies in which `check` finds damage before the repair, and repairs that
  // say what they did about it: a page-0 note, or a row listed as altered.
  uint64_t found_by_check = 0, told_by_repair = 0;
  salvage_test::Score sum;
};

bool ReadFile(const std::string& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The files a table lists: path under `folder`, size and password columns.
void ListedFiles(const std::string& folder, const std::string& tsv_path, size_t bytes_column,
                 size_t password_column, uint64_t max_bytes, std::vector<Input>& out) {
  std::ifstream tsv(tsv_path);
  std::string line;
  std::getline(tsv, line);  // column names
  while (std::getline(tsv, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() <= bytes_column) continue;
    if (std::stoull(cols[bytes_column]) > max_bytes) continue;
    const std::string password = cols.size() > password_column ? cols[password_column] : "";
    out.push_back({folder + "/" + cols[0], password});
  }
}

// The real files (Jet and ACE), then the ACE test files of ace/.
std::vector<Input> CorpusFiles(const std::string& dir, uint64_t max_bytes) {
  std::vector<Input> out;
  ListedFiles(dir + "/real", dir + "/real/files.tsv", 4, 5, max_bytes, out);
  ListedFiles(dir + "/ace", dir + "/ace.tsv", 3, 4, max_bytes, out);
  return out;
}

// "ace" or "jet": the scores of the two are kept apart.
std::string Family(const Bytes& file) {
  static constexpr char kAce[] = "Standard ACE DB";
  const bool ace = file.size() > 0x14 && std::equal(kAce, kAce + 15, file.begin() + 4);
  return ace ? "ace" : "jet";
}

// Runs `work` in a child process that writes `out` back; false when the
// child crashed (`hang` set when it ran past `timeout` seconds).
template <size_t N, class Work>
bool InChild(unsigned timeout, uint64_t (&out)[N], bool& hang, Work work) {
  hang = false;
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(timeout);
    uint64_t result[N] = {};
    work(result);
    ssize_t w = write(fds[1], result, sizeof result);
    _exit(w > 0 ? 0 : 3);
  }
  close(fds[1]);
  ssize_t got = read(fds[0], out, sizeof out);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  hang = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == static_cast<ssize_t>(sizeof out);
}

// The --mutations run: every mutation repaired in a child process, the
// repaired file checked.
int RunMutations(const std::vector<std::pair<Input, Bytes>>& files, uint64_t count, uint64_t seed0,
                 unsigned timeout, bool verbose, int64_t only) {
  struct Tally {
    uint64_t copies = 0, repaired = 0, refused = 0, crashes = 0, hangs = 0, check_damage = 0;
  };
  std::map<std::string, Tally> by_kind;
  std::map<uint64_t, uint64_t> refusals;
  constexpr size_t kinds = std::size(mutations::kKinds);
  for (uint64_t n = 0; n < count; ++n) {
    const mutations::Kind kind = mutations::kKinds[n % kinds];
    const auto& [input, intact] = files[(n / kinds) % files.size()];
    const uint64_t seed = seed0 + n;
    if (only >= 0 && static_cast<int64_t>(n) != only) continue;
    Bytes copy = intact;
    const size_t page_size = copy.size() > 0x14 && copy[0x14] == 0 ? 2048 : 4096;
    const std::string what = mutations::Mutate(copy, page_size, kind, seed);
    if (what.empty()) continue;
    const std::string name = input.path.substr(input.path.rfind('/') + 1);
    // out[0]: 1 repaired, 2 refused; out[1]: the error number; out[2]:
    // damage `check` finds in the repaired file.
    uint64_t out[3] = {};
    bool hang = false;
    const bool finished = InChild(timeout, out, hang, [&](uint64_t* result) {
      char dir[] = "/tmp/salvage-mutation-XXXXXX";
      if (mkdtemp(dir) == nullptr) return;
      const std::string in_path = std::string(dir) + "/damaged.mdb";
      const std::string out_path = std::string(dir) + "/repaired.mdb";
      std::ofstream(in_path, std::ios::binary)
          .write(reinterpret_cast<const char*>(copy.data()),
                 static_cast<std::streamsize>(copy.size()));
      engine::RepairOptions ro;
      ro.password = input.password;
      auto r = engine::RepairDatabase(in_path, out_path, ro);
      if (r.ok()) {
        result[0] = 1;
        engine::CheckOptions co;
        co.password = input.password;
        auto report = engine::CheckDatabase(out_path, co);
        result[2] = report.ok() ? report->damage_count() : 1;
        if (verbose && report.ok()) {
          for (const auto& p : report->problems) {
            if (p.severity != engine::Severity::kDamage) continue;
            std::fprintf(stderr, "  check: %s: %s\n", p.code.c_str(), p.message.c_str());
          }
        }
      } else {
        result[0] = 2;
        result[1] = static_cast<uint64_t>(r.error().number());
        if (verbose) std::fprintf(stderr, "  repair: %s\n", r.error().ToString().c_str());
      }
      std::remove(out_path.c_str());
      std::remove(in_path.c_str());
      rmdir(dir);
    });
    Tally& t = by_kind[Family(intact) + " " + mutations::KindName(kind)];
    ++t.copies;
    const char* verdict = nullptr;
    if (hang) {
      ++t.hangs;
      verdict = "hang";
    } else if (!finished) {
      ++t.crashes;
      verdict = "crash";
    } else if (out[0] == 2) {
      ++t.refused;
      ++refusals[out[1]];
      verdict = "refused";
    } else if (out[0] == 1) {
      ++t.repaired;
      if (out[2] > 0) {
        ++t.check_damage;
        verdict = "check-damage";
      }
    }
    if (verdict != nullptr) {
      std::fprintf(stderr, "%s: mutation %llu %s seed %llu %s: %s", verdict,
                   static_cast<unsigned long long>(n), name.c_str(),
                   static_cast<unsigned long long>(seed), mutations::KindName(kind), what.c_str());
      if (out[0] == 2)
        std::fprintf(stderr, " (error %llu)", static_cast<unsigned long long>(out[1]));
      std::fprintf(stderr, "\n");
    }
  }
  std::printf("%zu files, %llu mutations from seed %llu\n", files.size(),
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed0));
  std::printf("%-16s %7s %9s %8s %8s %6s %5s %13s\n", "mutation", "copies", "repaired", "refused",
              "refused%", "crash", "hang", "check-damage");
  Tally all;
  auto row = [](const std::string& name, const Tally& t) {
    const double share =
        t.copies ? 100.0 * static_cast<double>(t.refused) / static_cast<double>(t.copies) : 0.0;
    std::printf(
        "%-16s %7llu %9llu %8llu %7.2f%% %6llu %5llu %13llu\n", name.c_str(),
        static_cast<unsigned long long>(t.copies), static_cast<unsigned long long>(t.repaired),
        static_cast<unsigned long long>(t.refused), share,
        static_cast<unsigned long long>(t.crashes), static_cast<unsigned long long>(t.hangs),
        static_cast<unsigned long long>(t.check_damage));
  };
  for (const auto& [name, t] : by_kind) {
    row(name, t);
    all.copies += t.copies;
    all.repaired += t.repaired;
    all.refused += t.refused;
    all.crashes += t.crashes;
    all.hangs += t.hangs;
    all.check_damage += t.check_damage;
  }
  row("all", all);
  for (const auto& [number, times] : refusals) {
    std::printf("  refused with error %llu: %llu\n", static_cast<unsigned long long>(number),
                static_cast<unsigned long long>(times));
  }
  return all.crashes + all.hangs > 0 ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t copies = 520;
  uint64_t max_bytes = 700 * 1024;
  unsigned timeout = 60;
  bool verbose = false;
  std::string write_damaged;  // a folder: write the copies, score nothing
  bool repair = false;
  bool integrity = false;  // the classes that show only against the rest of the file
  int64_t only = -1;
  uint64_t mutation_count = 0, mutation_seed = 0x3E7A11;
  bool max_bytes_given = false;
  std::string corpus = "../shared/corpus";
  std::vector<Input> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--copies" && i + 1 < argc) {
      copies = std::stoull(argv[++i]);
    } else if (a == "--corpus" && i + 1 < argc) {
      corpus = argv[++i];
    } else if (a == "--max-bytes" && i + 1 < argc) {
      max_bytes = std::stoull(argv[++i]);
      max_bytes_given = true;
    } else if (a == "--mutations" && i + 1 < argc) {
      mutation_count = std::stoull(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      mutation_seed = std::stoull(argv[++i]);
    } else if (a == "--only" && i + 1 < argc) {
      only = std::stoll(argv[++i]);
    } else if (a == "--write-damaged" && i + 1 < argc) {
      write_damaged = argv[++i];
    } else if (a == "--repair") {
      repair = true;
    } else if (a == "--integrity") {
      integrity = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--timeout" && i + 1 < argc) {
      timeout = static_cast<unsigned>(std::stoul(argv[++i]));
    } else {
      size_t colon = a.rfind(':');
      if (colon != std::string::npos && colon > 1) {
        inputs.push_back({a.substr(0, colon), a.substr(colon + 1)});
      } else {
        inputs.push_back({a, ""});
      }
    }
  }
  if (mutation_count > 0) {
    if (inputs.empty()) inputs = CorpusFiles(corpus, max_bytes_given ? max_bytes : 256 * 1024);
    std::vector<std::pair<Input, Bytes>> files;
    for (const Input& in : inputs) {
      Bytes bytes;
      if (ReadFile(in.path, bytes) && !bytes.empty()) files.emplace_back(in, std::move(bytes));
    }
    if (files.empty()) {
      std::cerr << "salvage_score: no readable input files\n";
      return 1;
    }
    return RunMutations(files, mutation_count, mutation_seed, timeout, verbose, only);
  }
  if (inputs.empty()) inputs = CorpusFiles(corpus, max_bytes);
  // The intact files and their facts, once.
  struct Source {
    Input input;
    Bytes bytes;
    salvage_test::FileFacts facts;
  };
  std::vector<Source> sources;
  for (const Input& in : inputs) {
    Source s;
    s.input = in;
    if (!ReadFile(in.path, s.bytes)) continue;
    auto facts = salvage_test::Facts(s.bytes, in.password);
    if (!facts || facts->rows.empty()) continue;
    s.facts = std::move(*facts);
    sources.push_back(std::move(s));
  }
  if (sources.empty()) {
    std::cerr << "salvage_score: no readable input files\n";
    return 1;
  }
  std::map<std::string, Totals> by_class;
  std::map<uint64_t, uint64_t> refusals;  // error number -> repairs refused
  const std::span<const salvage_test::DamageClass> class_list =
      integrity ? std::span<const salvage_test::DamageClass>(salvage_test::kIntegrityClasses)
                : std::span<const salvage_test::DamageClass>(salvage_test::kEveryClass);
  const size_t classes = class_list.size();
  for (uint64_t n = 0; n < copies; ++n) {
    auto kind = class_list[n % classes];
    const Source& src = sources[(n / classes) % sources.size()];
    uint64_t seed = 0x5A17A9E + n;
    if (only >= 0 && static_cast<int64_t>(n) != only) continue;
    Bytes copy = src.bytes;
    if (verbose) {
      std::fprintf(stderr, "copy %llu: %s %s\n", static_cast<unsigned long long>(n),
                   salvage_test::ClassName(kind), src.input.path.c_str());
    }
    salvage_test::Damage damage = salvage_test::Apply(copy, src.facts, kind, seed);
    Totals& t = by_class[Family(src.bytes) + " " + salvage_test::ClassName(kind)];
    if (damage.what.empty()) {
      ++t.skipped;  // nothing of that kind in this file
      continue;
    }
    if (!write_damaged.empty()) {
      char name[64];
      std::snprintf(name, sizeof name, "%04llu-%s.mdb", static_cast<unsigned long long>(n),
                    salvage_test::ClassName(kind));
      const std::string path = write_damaged + "/" + name;
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(copy.data()),
                static_cast<std::streamsize>(copy.size()));
      std::ofstream(write_damaged + "/passwords.tsv", std::ios::app)
          << name << '\t' << src.input.password << '\n';
      if (!out) {
        std::cerr << "salvage_score: cannot write " << path << "\n";
        return 1;
      }
      ++t.copies;
      continue;
    }
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      alarm(timeout);
      std::vector<std::string> notes;
      salvage_test::Score s =
          salvage_test::Evaluate(copy, src.facts, damage, src.input.password, &notes);
      if (verbose) {
        for (const auto& note : notes) std::fprintf(stderr, "  %s\n", note.c_str());
      }
      // With --repair: the damaged copy repaired into a file, and that file
      // checked. out[9]: 1 repaired, 2 refused with an error; out[10]: damage
      // problems `check` finds in the repaired file; out[12]: 1 when its error
      // table does not list the losses, 2 when it was left out; out[13]: 1 when
      // `check` finds damage in the damaged copy; out[14]: 1 when the repair
      // noted page 0 or listed an altered row.
      uint64_t out[15] = {s.untouched,
                          s.recovered,
                          s.recovered_touched,
                          s.value_lost,
                          s.invented,
                          s.altered,
                          s.reported_rows,
                          s.missed_no_definition,
                          s.open_failed ? 1u : 0u,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0};
      if (repair) {
        char dir[] = "/tmp/salvage-score-XXXXXX";
        if (mkdtemp(dir) != nullptr) {
          std::string in_path = std::string(dir) + "/damaged.mdb";
          std::string out_path = std::string(dir) + "/repaired.mdb";
          std::ofstream(in_path, std::ios::binary)
              .write(reinterpret_cast<const char*>(copy.data()),
                     static_cast<std::streamsize>(copy.size()));
          engine::RepairOptions ro;
          ro.password = src.input.password;
          engine::CheckOptions before;
          before.password = src.input.password;
          auto found = engine::CheckDatabase(in_path, before);
          out[13] = !found.ok() || found->damage_count() > 0 ? 1 : 0;
          auto r = engine::RepairDatabase(in_path, out_path, ro);
          if (r.ok()) {
            out[9] = 1;
            for (const engine::LossRecord& l : r->losses) {
              const bool page0 =
                  l.kind == engine::LossKind::kHeader && l.position && l.position->page == 0;
              if (page0 || l.kind == engine::LossKind::kAlteredValue) out[14] = 1;
            }
            engine::CheckOptions co;
            co.password = src.input.password;
            auto report = engine::CheckDatabase(out_path, co);
            out[10] = report.ok() ? report->damage_count() : 1;
            std::string why;
            auto listed = salvage_test::ErrorTableRows(
                out_path, ro.password, r->error_table.empty() ? "MSysCompactError" : r->error_table,
                &why);
            if (!r->lost_anything()) {
              out[12] = listed ? 1 : 0;
            } else if (r->error_table.empty()) {
              out[12] = listed ? 1 : 2;
            } else if (!listed) {
              out[12] = 1;
            } else {
              why = salvage_test::ErrorTableMismatch(*listed, r->losses);
              out[12] = why.empty() ? 0 : 1;
            }
            if (verbose && out[12] == 1) std::fprintf(stderr, "  error table: %s\n", why.c_str());
            if (verbose && report.ok()) {
              for (const auto& p : report->problems) {
                if (p.severity != engine::Severity::kDamage) continue;
                std::fprintf(stderr, "  check: %s: %s\n", p.code.c_str(), p.message.c_str());
              }
            }
          } else {
            out[9] = 2;
            out[11] = static_cast<uint64_t>(r.error().number());
            if (verbose) std::fprintf(stderr, "  repair: %s\n", r.error().ToString().c_str());
          }
          std::remove(out_path.c_str());
          std::remove(in_path.c_str());
          rmdir(dir);
        }
      }
      ssize_t w = write(fds[1], out, sizeof out);
      _exit(w > 0 ? 0 : 3);
    }
    close(fds[1]);
    uint64_t in[15] = {};
    ssize_t got = read(fds[0], in, sizeof in);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ++t.copies;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
      ++t.hangs;
      std::cerr << "hang: " << src.input.path << " seed " << seed << " " << damage.what << "\n";
      continue;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got != static_cast<ssize_t>(sizeof in)) {
      ++t.crashes;
      std::cerr << "crash: " << src.input.path << " seed " << seed << " " << damage.what << "\n";
      continue;
    }
    salvage_test::Score s;
    s.untouched = in[0];
    s.recovered = in[1];
    s.recovered_touched = in[2];
    s.value_lost = in[3];
    s.invented = in[4];
    s.altered = in[5];
    s.reported_rows = in[6];
    s.missed_no_definition = in[7];
    if (in[8]) ++t.open_failed;
    if (in[9] == 1) ++t.repaired;
    if (in[9] == 2) {
      ++t.repair_refused;
      ++refusals[in[11]];
    }
    if (in[10] > 0) ++t.repaired_with_damage;
    if (in[12] == 1) ++t.error_table_wrong;
    if (in[12] == 2) ++t.error_table_left_out;
    t.found_by_check += in[13];
    t.told_by_repair += in[14];
    if (s.invented > 0 || s.untouched != s.recovered) {
      std::cerr << salvage_test::ClassName(kind) << ": "
                << src.input.path.substr(src.input.path.rfind('/') + 1) << " seed " << seed << " "
                << damage.what << ": recovered " << s.recovered << "/" << s.untouched
                << " invented " << s.invented << " no-definition " << s.missed_no_definition
                << "\n";
    }
    t.sum.untouched += s.untouched;
    t.sum.recovered += s.recovered;
    t.sum.recovered_touched += s.recovered_touched;
    t.sum.value_lost += s.value_lost;
    t.sum.invented += s.invented;
    t.sum.altered += s.altered;
    t.sum.reported_rows += s.reported_rows;
    t.sum.missed_no_definition += s.missed_no_definition;
  }
  std::printf("%zu files, %llu damaged copies\n", sources.size(),
              static_cast<unsigned long long>(copies));
  std::printf("%-22s %6s %5s %11s %11s %7s %8s %7s %8s %8s %6s %5s\n", "class", "copies", "skip",
              "untouched", "recovered", "share", "no-tdef", "lv-null", "invented", "altered",
              "crash", "hang");
  Totals all;
  if (!write_damaged.empty()) {
    uint64_t written = 0;
    for (const auto& [name, t] : by_class) written += t.copies;
    std::printf("wrote %llu damaged copies to %s\n", static_cast<unsigned long long>(written),
                write_damaged.c_str());
    return 0;
  }
  auto line = [](const std::string& name, const Totals& t) {
    double share = t.sum.untouched ? 100.0 * static_cast<double>(t.sum.recovered) /
                                         static_cast<double>(t.sum.untouched)
                                   : 100.0;
    std::printf("%-22s %6llu %5llu %11llu %11llu %6.2f%% %8llu %7llu %8llu %8llu %6llu %5llu\n",
                name.c_str(), static_cast<unsigned long long>(t.copies),
                static_cast<unsigned long long>(t.skipped),
                static_cast<unsigned long long>(t.sum.untouched),
                static_cast<unsigned long long>(t.sum.recovered), share,
                static_cast<unsigned long long>(t.sum.missed_no_definition),
                static_cast<unsigned long long>(t.sum.value_lost),
                static_cast<unsigned long long>(t.sum.invented),
                static_cast<unsigned long long>(t.sum.altered),
                static_cast<unsigned long long>(t.crashes),
                static_cast<unsigned long long>(t.hangs));
  };
  for (const auto& [name, t] : by_class) {
    line(name, t);
    all.copies += t.copies;
    all.skipped += t.skipped;
    all.crashes += t.crashes;
    all.hangs += t.hangs;
    all.sum.untouched += t.sum.untouched;
    all.sum.recovered += t.sum.recovered;
    all.sum.missed_no_definition += t.sum.missed_no_definition;
    all.sum.value_lost += t.sum.value_lost;
    all.sum.invented += t.sum.invented;
    all.sum.altered += t.sum.altered;
  }
  line("all", all);
  if (repair) {
    std::printf("\nrepair of the same copies:\n%-22s %8s %8s %14s %12s %12s %8s %8s\n", "class",
                "repaired", "refused", "check-damage", "errtab-wrong", "errtab-off", "found",
                "told");
    auto repair_line = [](const std::string& name, const Totals& t) {
      std::printf("%-22s %8llu %8llu %14llu %12llu %12llu %8llu %8llu\n", name.c_str(),
                  static_cast<unsigned long long>(t.repaired),
                  static_cast<unsigned long long>(t.repair_refused),
                  static_cast<unsigned long long>(t.repaired_with_damage),
                  static_cast<unsigned long long>(t.error_table_wrong),
                  static_cast<unsigned long long>(t.error_table_left_out),
                  static_cast<unsigned long long>(t.found_by_check),
                  static_cast<unsigned long long>(t.told_by_repair));
    };
    for (const auto& [name, t] : by_class) {
      repair_line(name, t);
      all.repaired += t.repaired;
      all.repair_refused += t.repair_refused;
      all.repaired_with_damage += t.repaired_with_damage;
      all.error_table_wrong += t.error_table_wrong;
      all.error_table_left_out += t.error_table_left_out;
      all.found_by_check += t.found_by_check;
      all.told_by_repair += t.told_by_repair;
    }
    repair_line("all", all);
    for (const auto& [number, n] : refusals) {
      std::printf("  refused with error %llu: %llu\n", static_cast<unsigned long long>(number),
                  static_cast<unsigned long long>(n));
    }
  }
  return all.crashes + all.hangs + all.sum.invented + all.error_table_wrong == 0 ? 0 : 2;
}
