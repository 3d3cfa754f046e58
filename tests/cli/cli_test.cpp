// quorlen-cli as a user runs it: exit codes 0 / 1 / 2, errors on standard
// error as "error NNNN: description", results on standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "small_db.h"

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

  // Runs quorlen-cli with shell-quoted arguments; `tail` is appended raw.
  Outcome Exec(const std::vector<std::string>& args, const std::string& tail = "") {
    std::string cmd = QUORLEN_CLI;
    for (const auto& a : args) {
      std::string q = "'";
      for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
      cmd += " " + q + "'";
    }
    fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    cmd += " >" + (tail.empty() ? out.string() : tail) + " 2>" + err.string();
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
  EXPECT_NE(version.out.find("1.00"), std::string::npos);
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

TEST_F(Cli, DamagedFileAndFullDisk) {
  jet_test::SmallDbOptions options;
  options.tamper = [](jet_test::FileBuilder& f) { jet_test::Put32(f.page(6) + 4, 77); };
  fs::path db = Write("damaged.mdb", jet_test::BuildSmallDb(engine::JetVersion::kJet4, options));
  Outcome damaged = Exec({"dump", db.string()});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_EQ(damaged.err.rfind("error 3049: ", 0), 0u) << damaged.err;
  EXPECT_NE(damaged.err.find("table T"), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("page 6"), std::string::npos) << damaged.err;
  // info shows what it can read, marks the table, and still fails.
  Outcome info = Exec({"info", db.string()});
  EXPECT_EQ(info.code, 1);
  EXPECT_NE(info.out.find("MSysObjects"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("unreadable"), std::string::npos) << info.out;
  EXPECT_EQ(info.err.rfind("error 3049: table T: ", 0), 0u) << info.err;

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
  Outcome refused = Exec({"info", ace.string()});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err.rfind("error 3343: ", 0), 0u) << refused.err;
  EXPECT_TRUE(refused.out.empty());
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
  EXPECT_EQ(Exec({"compact", (dir_ / "only-one.mdb").string()}).code, 2);
  Outcome missing = Exec({"compact", (dir_ / "nothing.mdb").string(), (dir_ / "x.mdb").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err.rfind("error 3024: ", 0), 0u) << missing.err;
  EXPECT_FALSE(fs::exists(dir_ / "x.mdb"));
}
