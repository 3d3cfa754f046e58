// quorlen-cli as a user runs it: exit codes 0 / 1 / 2, errors on standard
// error as "error NNNN: description", results on standard output.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "progress_bar.h"
#include "quorlen_version.h"
#include "reader/database.h"
#include "small_db.h"
#include "text_width.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quorlen_cli_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }

  // Runs quorlen-cli with shell-quoted arguments, standard input from
  // /dev/null (never a terminal); `tail` is appended raw, `env` prefixed.
  Outcome Exec(const std::vector<std::string>& args, const std::string& tail = "",
               const std::string& env = "") {
    std::string cmd = "env -u QUORLEN_PASSWORD " + env + " " + QUORLEN_CLI;
    for (const auto& a : args) {
      std::string q = "'";
      for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
      cmd += " " + q + "'";
    }
    fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    cmd += " </dev/null >" + (tail.empty() ? out.string() : tail) + " 2>" + err.string();
    int status = std::system(cmd.c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = tail.empty() ? Slurp(out) : "";
    r.err = Slurp(err);
    return r;
  }

  fs::path Write(const std::string& name, const jet_test::Bytes& bytes) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return p;
  }

  fs::path dir_;
};

TEST_F(Cli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Exec({}).code, 2);
  EXPECT_EQ(Exec({"frobnicate"}).code, 2);
  EXPECT_EQ(Exec({"dump"}).code, 2);
  EXPECT_EQ(Exec({"info", "a.mdb", "--no-such-option"}).code, 2);
  Outcome help = Exec({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("info"), std::string::npos);
  EXPECT_NE(help.out.find("dump"), std::string::npos);
  Outcome version = Exec({"--version"});
  EXPECT_EQ(version.code, 0);
  // One version: the project's, as packages give it ("1.0.0").
  EXPECT_EQ(version.out, std::string("quorlen-cli ") + QUORLEN_VERSION_FULL + "\n");
  EXPECT_EQ(Exec({"-V"}).out, version.out);
  EXPECT_EQ(std::string(QUORLEN_VERSION_TEXT), std::to_string(QUORLEN_VERSION_MAJOR) + "." +
                                                   (QUORLEN_VERSION_MINOR < 10 ? "0" : "") +
                                                   std::to_string(QUORLEN_VERSION_MINOR));
}

TEST_F(Cli, AnUnknownSubcommandIsNamed) {
  Outcome unknown = Exec({"frobnicate", "x.mdb"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_NE(unknown.err.find("unknown subcommand \"frobnicate\""), std::string::npos)
      << unknown.err;
  EXPECT_NE(unknown.err.find("info, dump, check"), std::string::npos) << unknown.err;
  EXPECT_EQ(unknown.err.find("is required"), std::string::npos) << unknown.err;
  // No subcommand at all is still a missing one.
  Outcome none = Exec({});
  EXPECT_EQ(none.code, 2);
  EXPECT_EQ(none.err.find("unknown subcommand"), std::string::npos) << none.err;
}

// What CLI11 would misdescribe is named: an unknown option, a file name
// that looks like one, an empty "=" value; --json answers JSON even then.
TEST_F(Cli, UsageErrorsNameTheWordAtFault) {
  Outcome bogus = Exec({"--bogus"});
  EXPECT_EQ(bogus.code, 2);
  EXPECT_NE(bogus.err.find("unknown option \"--bogus\""), std::string::npos) << bogus.err;
  Outcome dash = Exec({"info", "-dash.mdb"});
  EXPECT_EQ(dash.code, 2);
  EXPECT_NE(dash.err.find("unknown option \"-dash.mdb\""), std::string::npos) << dash.err;
  EXPECT_NE(dash.err.find("./-dash.mdb"), std::string::npos) << dash.err;
  Outcome empty = Exec({"info", "--password=", "a.mdb"});
  EXPECT_EQ(empty.code, 2);
  EXPECT_NE(empty.err.find("--password was given an empty value"), std::string::npos) << empty.err;
  Outcome no_file = Exec({"check", "--json", "--password-file", (dir_ / "none").string(), "a.mdb"});
  EXPECT_EQ(no_file.code, 2);
  auto doc = nlohmann::json::parse(no_file.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << no_file.out;
  EXPECT_NE(doc["usage_error"].get<std::string>().find("password file"), std::string::npos);
  // Usage errors share one style.
  Outcome three = Exec({"compact", "a", "b", "c"});
  EXPECT_EQ(three.code, 2);
  EXPECT_EQ(three.err.rfind("quorlen-cli: ", 0), 0u) << three.err;
  EXPECT_EQ(no_file.err.rfind("quorlen-cli: ", 0), 0u) << no_file.err;
  // help COMMAND is COMMAND --help; each command lists only its own exit codes.
  Outcome help = Exec({"help", "compact"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out, Exec({"compact", "--help"}).out);
  EXPECT_EQ(help.out.find(" 3 "), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("QUORLEN_PASSWORD"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("process list"), std::string::npos) << help.out;
}

// A file name need not be UTF-8; the JSON answer must still be JSON.
TEST_F(Cli, JsonTakesAnyFileName) {
  const std::string latin1 = (dir_ / "caf\xE9.mdb").string();
  Outcome missing = Exec({"check", "--json", latin1});
  EXPECT_EQ(missing.code, 1) << missing.err;
  auto doc = nlohmann::json::parse(missing.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << missing.out;
  EXPECT_EQ(doc["error"]["number"], 3024);
  {
    const auto bytes = jet_test::BuildSmallDb(engine::JetVersion::kJet4);
    std::ofstream(latin1, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  Outcome present = Exec({"check", "--json", latin1});
  EXPECT_NE(present.code, 1) << present.err;  // checked (the built file has a known fault: 3)
  doc = nlohmann::json::parse(present.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << present.out;
  EXPECT_EQ(doc["file"], (dir_ / "caf\xEF\xBF\xBD.mdb").string());
  Outcome compacted = Exec({"compact", "--json", latin1, latin1 + ".copy"});
  EXPECT_EQ(compacted.code, 0) << compacted.err;
  EXPECT_FALSE(nlohmann::json::parse(compacted.out, nullptr, false).is_discarded())
      << compacted.out;
}

TEST_F(Cli, EngineErrorsExitWithOneAndANumber) {
  Outcome missing = Exec({"dump", (dir_ / "nope.mdb").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err.rfind("error 3024: ", 0), 0u) << missing.err;
  EXPECT_TRUE(missing.out.empty());
  Outcome folder = Exec({"info", dir_.string()});
  EXPECT_EQ(folder.code, 1);
  EXPECT_EQ(folder.err.rfind("error 3044: ", 0), 0u) << folder.err;
  Outcome empty_name = Exec({"dump", ""});
  EXPECT_EQ(empty_name.code, 1);
  EXPECT_EQ(empty_name.err.rfind("error 3044: ", 0), 0u) << empty_name.err;
  Outcome too_long = Exec({"dump", std::string(5000, 'x')});
  EXPECT_EQ(too_long.err.rfind("error 3044: ", 0), 0u) << too_long.err;
  fs::path fifo = dir_ / "pipe.mdb";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Outcome pipe = Exec({"dump", fifo.string()});  // must not wait for a writer
  EXPECT_EQ(pipe.err.rfind("error 3044: ", 0), 0u) << pipe.err;
  fs::path text = Write("notes.mdb", jet_test::Bytes(5000, 'x'));
  Outcome not_db = Exec({"dump", text.string()});
  EXPECT_EQ(not_db.code, 1);
  EXPECT_EQ(not_db.err.rfind("error 3343: ", 0), 0u) << not_db.err;
  if (geteuid() != 0) {  // root reads anything
    fs::path locked = Write("locked.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4));
    fs::permissions(locked, fs::perms::none);
    Outcome denied = Exec({"dump", locked.string()});
    EXPECT_EQ(denied.err.rfind("error 3051: ", 0), 0u) << denied.err;
  }
}

TEST_F(Cli, DumpAndInfoOfABuiltDatabase) {
  fs::path db = Write("small.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet3));
  Outcome dump = Exec({"dump", db.string()});
  ASSERT_EQ(dump.code, 0) << dump.err;
  EXPECT_TRUE(dump.err.empty());
  auto json = nlohmann::json::parse(dump.out);
  EXPECT_EQ(json["format"], "jet3");
  EXPECT_EQ(json["tables"][1]["name"], "T");
  EXPECT_EQ(json["tables"][1]["rows"][0][2], "Zo\xC3\xAB");

  Outcome info = Exec({"info", db.string()});
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("format:      jet3"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("page size:   2048"), std::string::npos);
  EXPECT_NE(info.out.find("pages:       9"), std::string::npos);
  EXPECT_NE(info.out.find("0x01 data"), std::string::npos);
  EXPECT_NE(info.out.find("free pages:  1"), std::string::npos);
  EXPECT_NE(info.out.find("3 rows"), std::string::npos);
  EXPECT_NE(info.out.find("(system)"), std::string::npos);
  EXPECT_EQ(info.out.find("warning:"), std::string::npos);

  // A partial page at the end is reported, not silently read.
  jet_test::Bytes longer = jet_test::BuildSmallDb(engine::JetVersion::kJet3);
  longer.resize(longer.size() + 100, 0);
  Outcome tail = Exec({"info", Write("longer.mdb", longer).string()});
  ASSERT_EQ(tail.code, 0) << tail.err;
  EXPECT_NE(tail.out.find("warning:     100 bytes after the last whole page"), std::string::npos);
}

// info --json holds what the text shows; dump takes --table and writes
// CSV (RFC 4180) to standard output or one file per table.
TEST_F(Cli, InfoJsonAndDumpOfChosenTablesAsCsv) {
  fs::path db = Write("small.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4));
  Outcome info = Exec({"info", "--json", db.string()});
  ASSERT_EQ(info.code, 0) << info.err;
  auto doc = nlohmann::json::parse(info.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << info.out;
  EXPECT_EQ(doc["format_version"], 1);
  EXPECT_EQ(doc["format"], "jet4");
  EXPECT_EQ(doc["page_size"], 4096);
  EXPECT_EQ(doc["password"], false);
  bool found = false;
  for (const auto& t : doc["tables"]) {
    if (t["name"] == "T") {
      found = true;
      EXPECT_EQ(t["rows"], 3);
      EXPECT_EQ(t["system"], false);
    }
  }
  EXPECT_TRUE(found) << info.out;
  Outcome missing = Exec({"info", "--json", (dir_ / "none.mdb").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(nlohmann::json::parse(missing.out)["error"]["number"], 3024);

  // One table; its name in another letter case is the same table.
  Outcome one = Exec({"dump", "--table", "t", db.string()});
  ASSERT_EQ(one.code, 0) << one.err;
  auto only = nlohmann::json::parse(one.out);
  ASSERT_EQ(only["tables"].size(), 1u);
  EXPECT_EQ(only["tables"][0]["name"], "T");
  Outcome unknown = Exec({"dump", "--table", "Nope", db.string()});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_EQ(unknown.err.rfind("error 3078: ", 0), 0u) << unknown.err;

  Outcome csv = Exec({"dump", "--format", "csv", "--table", "T", db.string()});
  ASSERT_EQ(csv.code, 0) << csv.err;
  // A header line, then one CRLF-ended line per row.
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 4) << csv.out;
  EXPECT_NE(csv.out.find("\r\n"), std::string::npos);
  EXPECT_NE(csv.out.find("Zo\xC3\xAB"), std::string::npos) << csv.out;
  EXPECT_EQ(Exec({"dump", "--format", "csv", db.string()}).code, 2) << "CSV needs one table";
  EXPECT_EQ(Exec({"dump", "--output-dir", dir_.string(), db.string()}).code, 2);

  const fs::path out = dir_ / "csv";
  Outcome folder = Exec({"dump", "--format", "csv", "--output-dir", out.string(), db.string()});
  ASSERT_EQ(folder.code, 0) << folder.err;
  EXPECT_TRUE(fs::exists(out / "T.csv"));
  EXPECT_FALSE(fs::exists(out / "MSysObjects.csv")) << "system tables only when named";
  EXPECT_EQ(Slurp(out / "T.csv"), csv.out);
  // Files that exist are left alone.
  Outcome again = Exec({"dump", "--format", "csv", "--output-dir", out.string(), db.string()});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err.rfind("error 3204: ", 0), 0u) << again.err;
  EXPECT_EQ(Slurp(out / "T.csv"), csv.out);
}

TEST(TextWidth, WideCharactersTakeTwoColumnsAndMarksNone) {
  EXPECT_EQ(cli::DisplayWidth(""), 0);
  EXPECT_EQ(cli::DisplayWidth("Orders"), 6);
  EXPECT_EQ(cli::DisplayWidth("Zo\xC3\xAB"), 3);                // Zoë: 2-byte ë
  EXPECT_EQ(cli::DisplayWidth("\xD0\x91\xD0\xBE\xD1\x80"), 3);  // Бор (Cyrillic)
  EXPECT_EQ(cli::DisplayWidth("\xE7\x99\xBA\xE9\x80\x81"), 4);  // 発送 (CJK)
  EXPECT_EQ(cli::DisplayWidth("\xED\x95\x9C"), 2);              // 한 (Hangul)
  EXPECT_EQ(cli::DisplayWidth("\xE3\x83\xAA"), 2);              // リ (katakana)
  EXPECT_EQ(cli::DisplayWidth("\xEF\xBC\xA1"), 2);              // Ａ (fullwidth)
  EXPECT_EQ(cli::DisplayWidth("\xF0\xA0\x80\x80"), 2);          // U+20000 (4 bytes)
  EXPECT_EQ(cli::DisplayWidth("e\xCC\x81"), 1);                 // e + combining acute
  EXPECT_EQ(cli::DisplayWidth("\xE0\xB8\x81\xE0\xB8\xB4"), 1);  // Thai ก + vowel mark
  EXPECT_EQ(cli::DisplayWidth("\xE2\x82\xAC"), 1);              // € (3 bytes, narrow)
  // Broken sequences count one column per byte, and never read past the end.
  EXPECT_EQ(cli::DisplayWidth("\xFF"), 1);
  EXPECT_EQ(cli::DisplayWidth("a\xE7\x99"), 3);
  EXPECT_EQ(cli::DisplayWidth("\xC3("), 2);
  EXPECT_EQ(cli::PadToWidth("\xE7\x99\xBA", 5), "\xE7\x99\xBA   ");
  EXPECT_EQ(cli::PadToWidth("toolong", 3), "toolong");
}

TEST_F(Cli, InfoSaysRowOrRowsAndAlignsByDisplayWidth) {
  fs::path file = fs::path(QUORLEN_CORPUS_DIR) / "real" / "jet4" /
                  "keke1020+AutoCheckMaster202103121622__Database.mdb";
  if (!fs::exists(file)) GTEST_SKIP() << "corpus not found: " << file;
  Outcome info = Exec({"info", file.string()});
  ASSERT_EQ(info.code, 0) << info.err;
  std::istringstream lines(info.out.substr(info.out.find("tables:")));
  std::string line;
  std::getline(lines, line);
  int count_end = -1, tables = 0;
  bool one = false, wide = false;
  while (std::getline(lines, line)) {
    ++tables;
    // The row count ends at the same column on every line.
    size_t unit = line.find(" row");
    ASSERT_NE(unit, std::string::npos) << line;
    int end = cli::DisplayWidth(line.substr(0, unit));
    if (count_end < 0) count_end = end;
    EXPECT_EQ(end, count_end) << line;
    EXPECT_EQ(line.find(" 1 rows"), std::string::npos) << line;
    one |= line.find(" 1 row") != std::string::npos;
    wide |= line.find("\xE7\x99\xBA\xE9\x80\x81") != std::string::npos;  // 発送リスト
  }
  EXPECT_EQ(tables, 11);
  EXPECT_TRUE(one) << info.out;
  EXPECT_TRUE(wide) << info.out;
}

TEST_F(Cli, PasswordOption) {
  jet_test::SmallDbOptions options;
  options.password = "open sesame";
  fs::path db = Write("locked.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4, options));
  Outcome none = Exec({"dump", db.string()});
  EXPECT_EQ(none.code, 1);
  EXPECT_EQ(none.err.rfind("error 3031: ", 0), 0u) << none.err;
  EXPECT_EQ(Exec({"dump", db.string(), "--password", "open"}).code, 1);
  Outcome right = Exec({"dump", db.string(), "--password", "open sesame"});
  EXPECT_EQ(right.code, 0) << right.err;
}

TEST_F(Cli, PasswordFromTheEnvironmentOrAFile) {
  jet_test::SmallDbOptions options;
  options.password = "open sesame";
  fs::path db = Write("locked.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4, options));
  Outcome env = Exec({"dump", db.string()}, "", "QUORLEN_PASSWORD='open sesame'");
  EXPECT_EQ(env.code, 0) << env.err;
  Outcome wrong_env = Exec({"check", db.string()}, "", "QUORLEN_PASSWORD=open");
  EXPECT_EQ(wrong_env.code, 1);
  EXPECT_EQ(wrong_env.err.rfind("error 3031: ", 0), 0u) << wrong_env.err;
  // The option wins over the environment.
  EXPECT_EQ(Exec({"info", db.string(), "--password", "open sesame"}, "", "QUORLEN_PASSWORD=x").code,
            0);

  // A file: its first line, with or without a line end (LF or CR LF).
  for (std::string text : {"open sesame", "open sesame\n", "open sesame\r\nmore\n"}) {
    fs::path pw = Write("pw.txt", jet_test::Bytes(text.begin(), text.end()));
    Outcome from_file = Exec({"info", db.string(), "--password-file", pw.string()});
    EXPECT_EQ(from_file.code, 0) << from_file.err << " for " << text;
  }
  fs::path wrong = Write("wrong.txt", jet_test::Bytes{'o', 'p', 'e', 'n', '\n'});
  EXPECT_EQ(Exec({"dump", db.string(), "--password-file", wrong.string()}).code, 1);
  // A file that cannot be read, or two ways at once: usage errors.
  Outcome missing = Exec({"dump", db.string(), "--password-file", (dir_ / "none").string()});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("cannot read the password file"), std::string::npos) << missing.err;
  EXPECT_TRUE(missing.out.empty());
  EXPECT_EQ(Exec({"dump", db.string(), "--password", "a", "--password-file", wrong.string()}).code,
            2);
  // No terminal, no password: the error, not a prompt.
  Outcome none = Exec({"info", db.string()});
  EXPECT_EQ(none.code, 1);
  EXPECT_EQ(none.err.find("Password for"), std::string::npos) << none.err;
}

// Runs quorlen-cli on a pseudo-terminal, answers the password prompt with
// `answer`, and returns everything the terminal showed and the exit code.
Outcome RunOnTerminal(const std::vector<std::string>& args, const std::string& answer) {
  Outcome r;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return r;
  if (pid == 0) {
    unsetenv("QUORLEN_PASSWORD");
    std::vector<char*> argv;
    std::string program = QUORLEN_CLI;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  size_t answered = 0;  // prompts answered
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[4096];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has ended
    r.out.append(buf, static_cast<size_t>(n));
    // Every prompt gets the answer (a wrong one is asked again).
    size_t prompts = 0;
    for (size_t at = r.out.find("Password for"); at != std::string::npos;
         at = r.out.find("Password for", at + 1)) {
      ++prompts;
    }
    if (answered < prompts) {
      std::string line = answer + "\n";
      if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
      ++answered;
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST_F(Cli, PasswordIsAskedForOnATerminalWithoutEcho) {
  jet_test::SmallDbOptions options;
  options.password = "open sesame";
  fs::path db = Write("locked.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4, options));
  Outcome right = RunOnTerminal({"info", db.string()}, "open sesame");
  EXPECT_EQ(right.code, 0) << right.out;
  EXPECT_NE(right.out.find("Password for " + db.string() + ": "), std::string::npos) << right.out;
  EXPECT_NE(right.out.find("password:    yes"), std::string::npos) << right.out;
  EXPECT_EQ(right.out.find("sesame"), std::string::npos) << "the password was echoed";
  Outcome wrong = RunOnTerminal({"check", db.string()}, "nope");
  EXPECT_EQ(wrong.code, 1) << wrong.out;
  EXPECT_NE(wrong.out.find("error 3031: "), std::string::npos) << wrong.out;
  EXPECT_EQ(wrong.out.find("nope"), std::string::npos) << "the password was echoed";
  // A wrong answer is asked again, three times in all.
  size_t asked = 0;
  for (size_t at = wrong.out.find("Password for"); at != std::string::npos;
       at = wrong.out.find("Password for", at + 1)) {
    ++asked;
  }
  EXPECT_EQ(asked, 3u) << wrong.out;
  EXPECT_NE(wrong.out.find("Wrong password. Password for"), std::string::npos) << wrong.out;
  // compact and repair ask the same way, and write nothing on a wrong answer.
  const std::string copy = (dir_ / "copy.mdb").string();
  Outcome compact_wrong = RunOnTerminal({"compact", db.string(), copy}, "nope");
  EXPECT_EQ(compact_wrong.code, 1) << compact_wrong.out;
  EXPECT_NE(compact_wrong.out.find("Wrong password. Password for"), std::string::npos)
      << compact_wrong.out;
  EXPECT_FALSE(fs::exists(copy));
  Outcome compact_right = RunOnTerminal({"compact", db.string(), copy}, "open sesame");
  EXPECT_EQ(compact_right.code, 0) << compact_right.out;
  EXPECT_TRUE(fs::exists(copy));
  // A file without a password is opened without asking.
  fs::path open = Write("open.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4));
  Outcome plain = RunOnTerminal({"info", open.string()}, "unused");
  EXPECT_EQ(plain.code, 0) << plain.out;
  EXPECT_EQ(plain.out.find("Password for"), std::string::npos) << plain.out;
}

TEST_F(Cli, CheckJsonNamesTheFileAndItsFormatVersion) {
  // A stale row count (MSysQueries: 82 stored, 90 live) is a leftover:
  // listed, exit 0.
  fs::path sample = fs::path(QUORLEN_CORPUS_DIR) / "jet4" / "queryTestV2000.mdb";
  if (!fs::exists(sample)) GTEST_SKIP() << "corpus not found: " << sample;
  fs::path db = dir_ / "copy.mdb";
  fs::copy_file(sample, db);
  Outcome text = Exec({"check", db.string()});
  EXPECT_EQ(text.code, 0) << text.out << text.err;
  EXPECT_NE(text.out.find("row-count-mismatch (leftover): "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\n1 problem (0 damage, 1 leftover)\n"), std::string::npos) << text.out;
  // --strict: leftovers fail too, as a compacted copy must have none.
  Outcome strict = Exec({"check", "--strict", db.string()});
  EXPECT_EQ(strict.code, 3) << strict.out << strict.err;
  EXPECT_EQ(strict.out, text.out);
  Outcome json = Exec({"check", "--json", db.string()});
  EXPECT_EQ(json.code, 0) << json.err;
  auto doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["format_version"], 1);
  EXPECT_EQ(doc["file"], db.string());
  EXPECT_EQ(doc["damage_total"], 0);
  EXPECT_EQ(doc["leftover_total"], 1);
  ASSERT_EQ(doc["problems"].size(), 1u);
  EXPECT_EQ(doc["problems"][0]["code"], "row-count-mismatch");
  EXPECT_EQ(doc["problems"][0]["severity"], "leftover");

  // Damage: exit 3, counted as such.
  const auto size = fs::file_size(db);
  fs::resize_file(db, size - 100);
  Outcome cut = Exec({"check", "--json", db.string()});
  EXPECT_EQ(cut.code, 3);
  doc = nlohmann::json::parse(cut.out);
  EXPECT_GE(doc["damage_total"].get<int>(), 1);
  EXPECT_EQ(doc["problems"][0]["code"], "file-size");
  EXPECT_EQ(doc["problems"][0]["severity"], "damage");

  // A file that cannot be checked: the error on standard error and, for a
  // script reading standard output, as a JSON object.
  fs::path missing = dir_ / "missing.mdb";
  Outcome error = Exec({"check", "--json", missing.string()});
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.err.rfind("error 3024: ", 0), 0u) << error.err;
  doc = nlohmann::json::parse(error.out);
  EXPECT_EQ(doc["format_version"], 1);
  EXPECT_EQ(doc["file"], missing.string());
  EXPECT_EQ(doc["error"]["number"], 3024);
  EXPECT_FALSE(doc["error"]["description"].get<std::string>().empty());
  // Without --json, nothing on standard output.
  EXPECT_TRUE(Exec({"check", missing.string()}).out.empty());
}

TEST_F(Cli, DamagedFileAndFullDisk) {
  jet_test::SmallDbOptions options;
  options.tamper = [](jet_test::FileBuilder& f) { jet_test::Put32(f.page(6) + 4, 77); };
  fs::path db = Write("damaged.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4, options));
  Outcome damaged = Exec({"dump", db.string()});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_EQ(damaged.err.rfind("error 3049: ", 0), 0u) << damaged.err;
  EXPECT_NE(damaged.err.find("table T"), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("page 6"), std::string::npos) << damaged.err;
  // The readable tables are still written, the broken one marked.
  auto partial = nlohmann::json::parse(damaged.out, nullptr, false);
  ASSERT_FALSE(partial.is_discarded()) << damaged.out;
  ASSERT_EQ(partial["tables"].size(), 2u);
  EXPECT_EQ(partial["tables"][0]["row_count"], 3);
  EXPECT_EQ(partial["tables"][1]["error"].get<std::string>().rfind("error 3049: table T: ", 0), 0u);
  // info shows what it can read, marks the table, and still fails.
  Outcome info = Exec({"info", db.string()});
  EXPECT_EQ(info.code, 1);
  EXPECT_NE(info.out.find("MSysObjects"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("unreadable"), std::string::npos) << info.out;
  EXPECT_EQ(info.err.rfind("error 3049: " + db.string() + ": table T: ", 0), 0u) << info.err;

  if (fs::exists("/dev/full")) {
    fs::path good = Write("good.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4));
    Outcome full = Exec({"dump", good.string()}, "/dev/full");
    EXPECT_EQ(full.code, 1);
    EXPECT_EQ(full.err.rfind("error 3043: ", 0), 0u) << full.err;
  }
}

TEST_F(Cli, CorpusFiles) {
  fs::path corpus(QUORLEN_CORPUS_DIR);
  fs::path jet3 = corpus / "jet3" / "testV1997.mdb";
  fs::path ace = corpus / "ace" / "testV2010.accdb";
  if (!fs::exists(jet3) || !fs::exists(ace)) GTEST_SKIP() << "corpus not found at " << corpus;
  // Work on a copy: the corpus is read-only and stays untouched.
  fs::path copy = dir_ / "copy.mdb";
  fs::copy_file(jet3, copy);
  Outcome dump = Exec({"dump", copy.string()});
  ASSERT_EQ(dump.code, 0) << dump.err;
  auto json = nlohmann::json::parse(dump.out);
  EXPECT_GE(json["tables"].size(), 5u);
  fs::path linked =
      corpus / "real" / "jet4" / "winofsql+subject-1126-sql-having__3683a0ee_Database1.mdb";
  if (fs::exists(linked)) {
    Outcome info = Exec({"info", linked.string()});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("linked tables: 12"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("-> ODBC DSN=MySQL; table"), std::string::npos) << info.out;
    // Linked tables are not tables of the dump.
    auto local = nlohmann::json::parse(Exec({"dump", linked.string()}).out);
    for (const auto& t : local["tables"]) EXPECT_NE(t["name"], "public_社員マスタ");
  }
  // ACE files are read and compacted into a copy of the same format, which
  // the checker finds no damage in.
  Outcome ace_info = Exec({"info", ace.string()});
  EXPECT_EQ(ace_info.code, 0) << ace_info.err;
  EXPECT_NE(ace_info.out.find("format:      ace14 (Access 2010)"), std::string::npos)
      << ace_info.out;
  fs::path ace_copy = dir_ / "copy.accdb";
  Outcome compacted = Exec({"compact", ace.string(), ace_copy.string()});
  EXPECT_EQ(compacted.code, 0) << compacted.err;
  Outcome copy_info = Exec({"info", ace_copy.string()});
  EXPECT_NE(copy_info.out.find("format:      ace14 (Access 2010)"), std::string::npos)
      << copy_info.out;
  Outcome copy_check = Exec({"check", ace_copy.string()});
  EXPECT_EQ(copy_check.code, 0) << copy_check.out << copy_check.err;
  EXPECT_TRUE(copy_check.out.find("(0 damage") != std::string::npos ||
              copy_check.out.find("0 problems") != std::string::npos)
      << copy_check.out;
  fs::remove(ace_copy);
  // An encrypted one needs its password, and its copy is encrypted the same
  // way: it opens with that password only.
  fs::path encrypted = corpus / "ace" / "db2007-enc.accdb";
  if (fs::exists(encrypted)) {
    Outcome refused = Exec({"compact", encrypted.string(), ace_copy.string()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err.rfind("error 3031: ", 0), 0u) << refused.err;
    EXPECT_FALSE(fs::exists(ace_copy));
    Outcome locked =
        Exec({"compact", "--password", "Test123", encrypted.string(), ace_copy.string()});
    EXPECT_EQ(locked.code, 0) << locked.err;
    Outcome shut = Exec({"check", ace_copy.string()});
    EXPECT_NE(shut.code, 0);
    EXPECT_NE(shut.err.find("3031"), std::string::npos) << shut.err;
    Outcome opened = Exec({"check", "--password", "Test123", ace_copy.string()});
    EXPECT_EQ(opened.code, 0) << opened.out << opened.err;
    EXPECT_TRUE(opened.out.find("(0 damage") != std::string::npos ||
                opened.out.find("0 problems") != std::string::npos)
        << opened.out;
    EXPECT_EQ(Slurp(ace_copy).substr(0x299, 0x100), Slurp(encrypted).substr(0x299, 0x100));
    fs::remove(ace_copy);
  }
  // Repair takes ACE too, into a new file and in place: the copy keeps the
  // format, and nothing being lost, no report is written. An encrypted file
  // repairs with its password only, into a copy coded the same way.
  fs::copy_file(ace, ace_copy);
  fs::permissions(ace_copy, fs::perms::owner_write, fs::perm_options::add);
  const std::string before = Slurp(ace_copy);
  fs::path out = dir_ / "out.accdb";
  Outcome repaired = Exec({"repair", ace_copy.string(), out.string()});
  EXPECT_EQ(repaired.code, 0) << repaired.err;
  EXPECT_EQ(Slurp(ace_copy), before);
  EXPECT_NE(Exec({"info", out.string()}).out.find("format:      ace14 (Access 2010)"),
            std::string::npos);
  Outcome in_place = Exec({"repair", ace_copy.string()});
  EXPECT_EQ(in_place.code, 0) << in_place.err;
  EXPECT_EQ(Slurp(ace_copy), Slurp(out));
  fs::remove(out);
  if (fs::exists(encrypted)) {
    Outcome refused = Exec({"repair", encrypted.string(), out.string()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err.rfind("error 3031: ", 0), 0u) << refused.err;
    EXPECT_FALSE(fs::exists(out));
    Outcome locked = Exec({"repair", "--password", "Test123", encrypted.string(), out.string()});
    EXPECT_EQ(locked.code, 0) << locked.err;
    Outcome opened = Exec({"check", "--strict", "--password", "Test123", out.string()});
    EXPECT_EQ(opened.code, 0) << opened.out << opened.err;
    EXPECT_EQ(Slurp(out).substr(0, 0x600), Slurp(encrypted).substr(0, 0x600));
    EXPECT_NE(Exec({"check", out.string()}).code, 0);
  }
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().string().find("repair-report"), std::string::npos) << entry.path();
  }
}

TEST_F(Cli, RepairLeavesOutWhatDoesNotValidate) {
  using jet_test::FileBuilder;
  const auto v = engine::JetVersion::kJet3;
  // Row 4 of T loses its column count.
  jet_test::SmallDbOptions options;
  options.tamper = [](FileBuilder& f) {
    const auto& L = f.layout();
    uint8_t* p = f.page(6);
    uint32_t entry = p[L.data_header_size + 8] | (p[L.data_header_size + 9] << 8);
    p[entry & 0x1FFF] = 0;
  };
  fs::path damaged = Write("damaged.mdb", jet_test::BuildSmallDb(v, options));
  std::string before = Slurp(damaged);
  fs::path repaired = dir_ / "repaired.mdb";
  Outcome r = Exec({"repair", damaged.string(), repaired.string()});
  ASSERT_EQ(r.code, 4) << r.err;      // repaired, with a row that could not be carried over
  EXPECT_EQ(Slurp(damaged), before);  // the source is only read
  auto db = engine::Database::Open(repaired.string());
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  auto def = (*db)->ReadTableDef((*db)->FindTable("T")->table_page());
  ASSERT_TRUE(def.ok());
  int rows = 0;
  ASSERT_TRUE((*db)
                  ->ScanRows(*def,
                             [&](const engine::RowRef&) {
                               ++rows;
                               return true;
                             })
                  .ok());
  EXPECT_EQ(rows, 2);
  // An existing destination is never overwritten.
  Outcome taken = Exec({"repair", damaged.string(), repaired.string()});
  EXPECT_EQ(taken.code, 1);
  EXPECT_NE(taken.err.find("error 3204"), std::string::npos) << taken.err;
}

}  // namespace

TEST_F(Cli, CompactWritesACopyAndASummaryAndRefusesWhatItCannotDo) {
  for (engine::JetVersion v : {engine::JetVersion::kJet3, engine::JetVersion::kJet4}) {
    SCOPED_TRACE(v == engine::JetVersion::kJet3 ? "jet3" : "jet4");
    jet_test::SmallDbOptions options;
    options.password = "pw";
    fs::path source = Write("source.mdb", jet_test::BuildSmallDb(v, options));
    fs::path copy = dir_ / "copy.mdb";
    fs::remove(copy);

    Outcome ok = Exec({"compact", source.string(), copy.string(), "--password", "pw"});
    EXPECT_EQ(ok.code, 0) << ok.err;
    EXPECT_EQ(ok.err, "") << "no progress bar when standard error is not a terminal";
    // One line: pages before and after, tables, rows, indexes, keys reused, time.
    EXPECT_EQ(std::count(ok.out.begin(), ok.out.end(), '\n'), 1) << ok.out;
    EXPECT_NE(ok.out.find("9 pages ->"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("2 tables, 6 rows"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("keys reused"), std::string::npos) << ok.out;
    ASSERT_TRUE(fs::exists(copy));
    Outcome dumped = Exec({"dump", copy.string(), "--password", "pw"});
    EXPECT_EQ(dumped.code, 0) << dumped.err;

    const std::string before = Slurp(copy);
    Outcome exists = Exec({"compact", source.string(), copy.string(), "--password", "pw"});
    EXPECT_EQ(exists.code, 1);
    EXPECT_EQ(exists.err.rfind("error 3204: ", 0), 0u) << exists.err;
    EXPECT_EQ(exists.out, "");
    EXPECT_EQ(Slurp(copy), before) << "an existing destination is left alone";

    fs::path other = dir_ / "other.mdb";
    Outcome wrong = Exec({"compact", source.string(), other.string(), "--password", "nope"});
    EXPECT_EQ(wrong.code, 1);
    EXPECT_EQ(wrong.err.rfind("error 3031: ", 0), 0u) << wrong.err;
    EXPECT_FALSE(fs::exists(other));
  }
  // One path means in place: a file that is not there is an engine error.
  Outcome in_place = Exec({"compact", (dir_ / "only-one.mdb").string()});
  EXPECT_EQ(in_place.code, 1);
  EXPECT_EQ(in_place.err.rfind("error 3024: ", 0), 0u) << in_place.err;
  EXPECT_EQ(Exec({"compact", "a.mdb", "b.mdb", "c.mdb"}).code, 2);
  EXPECT_EQ(Exec({"compact"}).code, 2);
  Outcome missing = Exec({"compact", (dir_ / "nothing.mdb").string(), (dir_ / "x.mdb").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err.rfind("error 3024: ", 0), 0u) << missing.err;
  EXPECT_FALSE(fs::exists(dir_ / "x.mdb"));
}

// The progress line never takes the terminal's last column, and follows the
// whole job: tables are its units, a table's rows and indexes fill one unit.
TEST(ProgressBar, FitsTheTerminalAndShowsTheWholeJob) {
  cli::ProgressBar bar(false, "compacting x");
  EXPECT_TRUE(bar.Update({"reading", "", 0, 0}));
  EXPECT_EQ(bar.fraction(), 0.0);
  EXPECT_TRUE(bar.Update({"tables", "Orders", 1, 4}));
  EXPECT_DOUBLE_EQ(bar.fraction(), 0.25);
  EXPECT_TRUE(bar.Update({"rows", "Orders", 50, 100}));
  EXPECT_DOUBLE_EQ(bar.fraction(), 0.35);
  EXPECT_TRUE(bar.Update({"indexes", "Orders", 1, 1}));
  EXPECT_DOUBLE_EQ(bar.fraction(), 0.5);
  // A later table's rows never move the bar back.
  EXPECT_TRUE(bar.Update({"rows", "Items", 0, 100}));
  EXPECT_DOUBLE_EQ(bar.fraction(), 0.5);
  EXPECT_TRUE(bar.Update({"tables", std::string(200, 'x'), 2, 4}));
  for (int columns : {20, 40, 80, 132}) {
    const std::string line = bar.Line(columns);
    EXPECT_LE(cli::DisplayWidth(line), columns - 1) << line;
    EXPECT_NE(line.find("50%"), std::string::npos) << line;
  }
  EXPECT_NE(bar.Line(80).find("[###############..............."), std::string::npos)
      << bar.Line(80);
  // Wide characters are cut by the columns they take.
  EXPECT_TRUE(bar.Update({"tables", "\xE7\x99\xBA\xE9\x80\x81\xE7\x99\xBA\xE9\x80\x81", 2, 4}));
  EXPECT_LE(cli::DisplayWidth(bar.Line(30)), 29) << bar.Line(30);
  cli::ProgressBar::stop = 1;
  EXPECT_FALSE(bar.Update({"tables", "", 3, 4}));
  cli::ProgressBar::stop = 0;
}
