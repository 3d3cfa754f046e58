// The safe replacement of a database file: a failure at every step leaves the
// original as it was and nothing of ours behind; locks held by other
// processes give 3356; a crash leaves the original and does not disturb the
// next run. The copy and verify operations are stand-ins, so these tests need
// no real compaction.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "maintenance/db_engine.h"
#include "maintenance/file_lock.h"
#include "maintenance/loss_summary.h"
#include "maintenance/repair_report.h"
#include "maintenance/safe_replace.h"

namespace maintenance {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

int Temporaries(const std::string& folder) {
  int count = 0;
  for (const std::string& name : Entries(folder)) {
    if (name.rfind(kTemporaryPrefix, 0) == 0) ++count;
  }
  return count;
}

// Copy stand-in: writes "NEW:" and the source's bytes, created exclusively
// as the engine does. `fail_after` bytes into the write it can give up with
// an error, or kill the process (a crash).
struct FakeCopy {
  std::string marker = "NEW:";
  int fail_with = 0;   // engine number to fail with after writing half
  bool crash = false;  // SIGKILL after writing half
  std::string* seen_source = nullptr;

  engine::Status operator()(const CopyRequest& request) const {
    if (seen_source) *seen_source = request.source;
    const std::string data = marker + ReadAll(request.source);
    const int fd = open(request.destination.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return engine::Error(engine::ErrorCode::kIoError, "cannot create the copy");
    const std::size_t half = data.size() / 2;
    if (write(fd, data.data(), half) != static_cast<ssize_t>(half)) {
      close(fd);
      return engine::Error(engine::ErrorCode::kIoError, "short write");
    }
    if (crash) raise(SIGKILL);
    if (fail_with != 0) {
      close(fd);
      return engine::Error(fail_with, "failed half way");
    }
    const ssize_t rest = static_cast<ssize_t>(data.size() - half);
    const bool ok = write(fd, data.data() + half, data.size() - half) == rest;
    close(fd);
    if (!ok) return engine::Error(engine::ErrorCode::kIoError, "short write");
    return engine::Status::Ok();
  }
};

engine::Status VerifyMarker(const std::string& path, const std::string&) {
  const std::string data = ReadAll(path);
  if (data.rfind("NEW:", 0) == 0 || data.rfind("FIXED:", 0) == 0) return engine::Status::Ok();
  return engine::Error(engine::ErrorCode::kDamaged, "the copy is not what was written");
}

class SafeReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlen-maint-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    db_ = dir_ + "/Orders.mdb";
    original_ = std::string(40000, 'x') + "the user's data";
    WriteAll(db_, original_);
    ASSERT_EQ(chmod(db_.c_str(), 0640), 0);
  }
  void TearDown() override {
    chmod(dir_.c_str(), 0755);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  ReplaceRequest Request(FakeCopy copy = {}) const {
    ReplaceRequest r;
    r.copy = copy;
    r.verify = VerifyMarker;
    return r;
  }

  void ExpectOriginalIntact() const {
    EXPECT_EQ(ReadAll(db_), original_);
    struct stat st {};
    ASSERT_EQ(stat(db_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Temporaries(dir_), 0) << "a temporary folder was left behind";
  }

  std::string dir_;
  std::string db_;
  std::string original_;
};

TEST_F(SafeReplaceTest, ReplacesTheFileKeepingItsModeAndLeavesNothingBehind) {
  auto outcome = ReplaceInPlace(db_, Request());
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_EQ(ReadAll(db_), "NEW:" + original_);
  struct stat st {};
  ASSERT_EQ(stat(db_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(outcome->bytes_before, original_.size());
  EXPECT_EQ(outcome->bytes_after, original_.size() + 4);
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Orders.mdb"});
}

TEST_F(SafeReplaceTest, AFailureAtAnyStepLeavesTheOriginalAndRemovesTheTemporary) {
  const Step steps[] = {Step::kLock, Step::kCreateTemporary, Step::kCopy,  Step::kPermissions,
                        Step::kSync, Step::kVerify,          Step::kRename};
  for (Step failing : steps) {
    SCOPED_TRACE(static_cast<int>(failing));
    ReplaceRequest r = Request();
    r.fault = [failing](Step s) { return s == failing ? EIO : 0; };
    auto outcome = ReplaceInPlace(db_, r);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().number(), 3043);
    ExpectOriginalIntact();
  }
  for (int number : {3026, 3043, 3001}) {  // disk full, write error, cancelled
    SCOPED_TRACE(number);
    FakeCopy copy;
    copy.fail_with = number;
    auto outcome = ReplaceInPlace(db_, Request(copy));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().number(), number);
    ExpectOriginalIntact();
  }
}

TEST_F(SafeReplaceTest, AStopAskedForAfterTheCopyStillKeepsTheOriginal) {
  ReplaceRequest r = Request();
  std::vector<std::string> phases;
  r.progress = [&](const engine::Progress& p) {
    phases.push_back(p.phase);
    return false;
  };
  auto outcome = ReplaceInPlace(db_, r);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().number(), 3001);
  EXPECT_EQ(phases, std::vector<std::string>{"replacing"});
  ExpectOriginalIntact();
}

TEST_F(SafeReplaceTest, ACopyThatFailsVerificationNeverReplacesTheOriginal) {
  FakeCopy copy;
  copy.marker = "JUNK";
  auto outcome = ReplaceInPlace(db_, Request(copy));
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().number(), 3049);
  ExpectOriginalIntact();

  ReplaceRequest absent = Request();
  absent.copy = [](const CopyRequest&) {
    return engine::Status::Ok();
  };  // claims success, wrote nothing
  outcome = ReplaceInPlace(db_, absent);
  ASSERT_FALSE(outcome.ok());
  ExpectOriginalIntact();
}

TEST_F(SafeReplaceTest, AFolderFlushFailureAfterTheRenameIsReportedNotHidden) {
  ReplaceRequest r = Request();
  r.fault = [](Step s) { return s == Step::kSyncFolder ? EIO : 0; };
  auto outcome = ReplaceInPlace(db_, r);
  ASSERT_FALSE(outcome.ok());
  EXPECT_NE(outcome.error().description().find("now holds the new copy"), std::string::npos);
  EXPECT_EQ(ReadAll(db_), "NEW:" + original_);
  EXPECT_EQ(Temporaries(dir_), 0);
}

TEST_F(SafeReplaceTest, MissingEmptyAndFolderPathsAreRefusedWithTheirNumbers) {
  EXPECT_EQ(ReplaceInPlace("", Request()).error().number(), 3024);
  EXPECT_EQ(ReplaceInPlace(dir_ + "/none.mdb", Request()).error().number(), 3024);
  EXPECT_EQ(ReplaceInPlace("   ", Request()).error().number(), 3024);
  EXPECT_EQ(ReplaceInPlace(dir_, Request()).error().number(), 3044);
  EXPECT_EQ(ReplaceInPlace(db_ + "/x", Request()).error().number(), 3044);
  ExpectOriginalIntact();
}

TEST_F(SafeReplaceTest, ALinkIsFollowedAndStaysALink) {
  const std::string link = dir_ + "/link.mdb";
  ASSERT_EQ(symlink("Orders.mdb", link.c_str()), 0);
  std::string source;
  FakeCopy copy;
  copy.seen_source = &source;
  auto outcome = ReplaceInPlace(link, Request(copy));
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadAll(db_), "NEW:" + original_);
  EXPECT_EQ(outcome->path, db_);
}

TEST_F(SafeReplaceTest, AFileNamedTestMdbIsNoSpecialCase) {
  const std::string bystander = dir_ + "/Test.MDB";
  WriteAll(bystander, "someone else's database");
  ASSERT_TRUE(ReplaceInPlace(db_, Request()).ok());
  EXPECT_EQ(ReadAll(bystander), "someone else's database");
  ASSERT_TRUE(ReplaceInPlace(bystander, Request()).ok());
  EXPECT_EQ(ReadAll(bystander), "NEW:someone else's database");
}

TEST_F(SafeReplaceTest, OwnerAndGroupCarryOverWhenWeMayGiveThemAway) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give a file to another owner";
  ASSERT_EQ(chown(db_.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(db_.c_str(), 0640), 0);
  ASSERT_TRUE(ReplaceInPlace(db_, Request()).ok());
  struct stat st {};
  ASSERT_EQ(stat(db_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A child process that takes a lock and holds it until the parent is done.
class LockHolder {
 public:
  // `how`: "fcntl" (a byte range far beyond the end, as Windows programs lock
  // under Wine), "flock", or "open-write" (open for writing, no lock).
  LockHolder(const std::string& path, const std::string& how) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      const int fd = open(path.c_str(), O_RDWR);
      bool ok = fd >= 0;
      if (ok && how == "fcntl") {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0x10000000;
        fl.l_len = 1;
        ok = fcntl(fd, F_SETLK, &fl) == 0;
      } else if (ok && how == "flock") {
        ok = flock(fd, LOCK_EX) == 0;
      }
      char c = ok ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      if (read(release[0], &c, 1) < 0) _exit(2);
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char c = 'n';
    ok_ = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
  }
  ~LockHolder() {
    close(release_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  bool ok() const { return ok_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool ok_ = false;
};

TEST_F(SafeReplaceTest, ADatabaseHeldByAnotherProcessGives3356AndStaysIntact) {
  for (const char* how : {"fcntl", "flock", "open-write"}) {
    SCOPED_TRACE(how);
    {
      LockHolder holder(db_, how);
      ASSERT_TRUE(holder.ok());
      auto outcome = ReplaceInPlace(db_, Request());
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().number(), 3356);
      ExpectOriginalIntact();
    }
    EXPECT_TRUE(ReplaceInPlace(db_, Request()).ok()) << "the lock should be gone with its holder";
    WriteAll(db_, original_);
  }
}

TEST_F(SafeReplaceTest, AHeldLockFileGives3356AndAStaleOneDoesNot) {
  for (const char* name : {"/Orders.ldb", "/Orders.LDB"}) {
    SCOPED_TRACE(name);
    const std::string ldb = dir_ + name;
    WriteAll(ldb, std::string(64, '\0'));
    {
      LockHolder holder(ldb, "fcntl");
      ASSERT_TRUE(holder.ok());
      auto outcome = ReplaceInPlace(db_, Request());
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().number(), 3356);
      EXPECT_NE(outcome.error().description().find(ldb), std::string::npos);
    }
    {
      LockHolder holder(ldb, "open-write");  // open in another program, no lock
      ASSERT_TRUE(holder.ok());
      EXPECT_EQ(ReplaceInPlace(db_, Request()).error().number(), 3356);
    }
    ExpectOriginalIntact();
    // Left behind by a program that has ended: no reason to refuse.
    auto outcome = ReplaceInPlace(db_, Request());
    ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
    unlink(ldb.c_str());
    WriteAll(db_, original_);
  }
}

TEST_F(SafeReplaceTest, TwoOperationsOnOneDatabaseExcludeEachOther) {
  auto first = FileLock::Acquire(db_);
  ASSERT_TRUE(first.ok());
  auto second = FileLock::Acquire(db_);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().number(), 3356);
  // The lock held by an operation in progress is also what another run sees.
  ReplaceRequest r = Request();
  bool inner_refused = false;
  r.copy = [&](const CopyRequest& request) {
    inner_refused = ReplaceInPlace(db_, Request()).error().number() == 3356;
    return FakeCopy{}(request);
  };
  first = FileLock();
  ASSERT_TRUE(ReplaceInPlace(db_, r).ok());
  EXPECT_TRUE(inner_refused);
}

TEST(LockFileName, ReplacesTheExtensionOrAddsOne) {
  EXPECT_EQ(LockFileName("/a/Orders.mdb", false), "/a/Orders.ldb");
  EXPECT_EQ(LockFileName("/a/ORDERS.MDB", true), "/a/ORDERS.LDB");
  EXPECT_EQ(LockFileName("/a.b/orders", false), "/a.b/orders.ldb");
  EXPECT_EQ(LockFileName("/a/.hidden", false), "/a/.hidden.ldb");
}

// Runs `body` in a child process; returns the child's exit status.
template <class F>
int InChild(F body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(SafeReplaceTest, AReadOnlyFolderIsReportedAndTheFileKept) {
  ASSERT_EQ(chmod(db_.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  // Root ignores permission bits: do it as nobody.
  const int status = InChild([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
    auto outcome = ReplaceInPlace(db_, Request());
    return outcome.ok() ? 0 : outcome.error().number() % 256;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3051 % 256);
  EXPECT_EQ(ReadAll(db_), original_);
  EXPECT_EQ(Temporaries(dir_), 0);
}

TEST_F(SafeReplaceTest, AFullDiskIsReportedAndTheFileKept) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  const std::string small = dir_ + "/small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  const std::string db = small + "/Full.mdb";
  const std::string data(40000, 'd');
  WriteAll(db, data);
  // A real copy of the real bytes; the second one does not fit.
  ReplaceRequest r;
  r.copy = [](const CopyRequest& request) -> engine::Status {
    const int fd = open(request.destination.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const std::string bytes = "NEW:" + ReadAll(request.source);
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    const int err = errno;
    close(fd);
    if (n != static_cast<ssize_t>(bytes.size())) {
      return engine::Error(engine::ErrorCode::kDiskFull, std::string("write: ") + strerror(err));
    }
    return engine::Status::Ok();
  };
  r.verify = VerifyMarker;
  auto outcome = ReplaceInPlace(db, r);
  const std::string after = ReadAll(db);
  const int left = Temporaries(small);
  umount(small.c_str());
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().number(), 3026);
  EXPECT_EQ(after, data);
  EXPECT_EQ(left, 0);
}

TEST_F(SafeReplaceTest, ACrashLeavesTheOriginalAndTheNextRunCleansUp) {
  const int status = InChild([&] {
    FakeCopy copy;
    copy.crash = true;
    ReplaceInPlace(db_, Request(copy));
    return 0;
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ReadAll(db_), original_);
  EXPECT_EQ(Temporaries(dir_), 1) << "the killed run leaves its folder";
  auto outcome = ReplaceInPlace(db_, Request());
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_EQ(ReadAll(db_), "NEW:" + original_);
  EXPECT_EQ(Temporaries(dir_), 0);
}

TEST_F(SafeReplaceTest, LeftoversOfOtherRunsGoOnlyWhenStaleAndUnlocked) {
  auto make = [&](const std::string& name, bool old) {
    const std::string path = dir_ + "/" + kTemporaryPrefix + name;
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    WriteAll(path + "/Other.mdb", "partial");
    if (old) {
      const struct timespec times[2] = {{1000, 0}, {1000, 0}};
      EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    return path;
  };
  make("1-2-stale", true);
  const std::string fresh = make("1-3-fresh", false);
  const std::string busy = make("1-4-busy", true);
  const int fd = open(busy.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // a living run of another database
  ASSERT_TRUE(ReplaceInPlace(db_, Request()).ok());
  close(fd);
  std::vector<std::string> left = Entries(dir_);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::string>{std::string(kTemporaryPrefix) + "1-3-fresh",
                                      std::string(kTemporaryPrefix) + "1-4-busy", "Orders.mdb"}));
  EXPECT_EQ(ReadAll(fresh + "/Other.mdb"), "partial");
}

TEST_F(SafeReplaceTest, NewFilesAreWrittenWholeOrNotAtAll) {
  const std::string out = dir_ + "/Out.mdb";
  ReplaceRequest r = Request();
  r.fault = [](Step s) { return s == Step::kVerify ? EIO : 0; };
  EXPECT_FALSE(WriteNewFile(db_, out, r).ok());
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Orders.mdb"});

  auto outcome = WriteNewFile(db_, out, Request());
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_EQ(ReadAll(out), "NEW:" + original_);
  ExpectOriginalIntact();

  WriteAll(out, "keep me");
  outcome = WriteNewFile(db_, out, Request());
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().number(), 3204);
  EXPECT_EQ(ReadAll(out), "keep me");
  EXPECT_EQ(WriteNewFile(db_, db_, Request()).error().number(), 3204);
  EXPECT_EQ(WriteNewFile(db_, dir_ + "/", Request()).error().number(), 3044);
  EXPECT_EQ(WriteNewFile(db_, dir_ + "/no/such/x.mdb", Request()).error().number(), 3024);
  ExpectOriginalIntact();
}

TEST_F(SafeReplaceTest, RepairAndCompactUseTheirOwnOperations) {
  FakeCopy repair;
  repair.marker = "FIXED:";
  DBEngine engine(Operations{FakeCopy{}, LosslessRepair(repair), VerifyMarker});
  ASSERT_TRUE(engine.RepairDatabase(db_).ok());
  EXPECT_EQ(ReadAll(db_), "FIXED:" + original_);
  ASSERT_TRUE(engine.CompactDatabase(db_).ok());
  EXPECT_EQ(ReadAll(db_), "NEW:FIXED:" + original_);
  const std::string out = dir_ + "/Repaired.mdb";
  ASSERT_TRUE(engine.RepairDatabase(db_, out).ok());
  EXPECT_EQ(ReadAll(out), "FIXED:NEW:FIXED:" + original_);
}

// A stand-in repair: writes like FakeCopy and reports `rows` lost rows.
RepairOperation LossyRepair(uint64_t rows, int* calls = nullptr) {
  return [rows, calls](const CopyRequest& request) -> engine::Result<engine::RepairResult> {
    if (calls) ++*calls;
    FakeCopy copy;
    copy.marker = "FIXED:";
    if (engine::Status st = copy(request); !st.ok()) return st.error();
    engine::RepairResult result;
    result.counts.rows_lost = rows;
    for (uint64_t i = 0; i < rows; ++i) {
      engine::LossRecord loss;
      loss.table_name = "Orders";
      loss.reason = "a row that does not fit its table";
      loss.raw = {0xA5, 0x5A};
      result.losses.push_back(loss);
    }
    return result;
  };
}

std::vector<std::string> Matching(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (const std::string& name : Entries(folder)) {
    if (std::regex_match(name, re)) found.push_back(name);
  }
  return found;
}

nlohmann::json ReadJson(const std::string& path) {
  return nlohmann::json::parse(ReadAll(path));
}

TEST_F(SafeReplaceTest, ARepairWithLossesKeepsTheDamagedOriginalAndNamesItInTheReport) {
  DBEngine engine(Operations{FakeCopy{}, LossyRepair(2), VerifyMarker});
  auto outcome = engine.RepairDatabase(db_);
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_EQ(ReadAll(db_), "FIXED:" + original_);
  EXPECT_TRUE(outcome->lost_anything);
  EXPECT_EQ(outcome->rows_lost, 2u);

  const auto kept = Matching(dir_, R"(Orders\.damaged-\d{8}-\d{6}\.mdb)");
  const auto reports = Matching(dir_, R"(Orders\.repair-report-\d{8}-\d{6}\.json)");
  ASSERT_EQ(kept.size(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(outcome->kept_original, dir_ + "/" + kept[0]);
  EXPECT_EQ(outcome->report, dir_ + "/" + reports[0]);
  EXPECT_EQ(ReadAll(outcome->kept_original), original_);
  struct stat st {};
  ASSERT_EQ(stat(outcome->kept_original.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const nlohmann::json report = ReadJson(outcome->report);
  EXPECT_EQ(report["kept_original"], outcome->kept_original);
  EXPECT_EQ(report["destination"], db_);
  EXPECT_EQ(report["rows_lost"], 2);
  ASSERT_EQ(report["losses"].size(), 2u);
  EXPECT_EQ(report["losses"][0]["raw"], "pVo=");
  EXPECT_EQ(Temporaries(dir_), 0);
  EXPECT_EQ(Entries(dir_).size(), 3u);

  // A second repair with losses in the same second never touches the first
  // kept original or report.
  auto again = engine.RepairDatabase(db_);
  ASSERT_TRUE(again.ok()) << again.error().ToString();
  EXPECT_NE(again->kept_original, outcome->kept_original);
  EXPECT_NE(again->report, outcome->report);
  EXPECT_EQ(ReadAll(outcome->kept_original), original_);
  EXPECT_EQ(ReadAll(again->kept_original), "FIXED:" + original_);
  EXPECT_EQ(ReadJson(outcome->report)["kept_original"], outcome->kept_original);
}

TEST_F(SafeReplaceTest, AnAccdbRepairKeepsItsOriginalAndReportUnderItsOwnExtension) {
  const std::string accdb = dir_ + "/Orders.accdb";
  ASSERT_EQ(rename(db_.c_str(), accdb.c_str()), 0);
  DBEngine engine(Operations{FakeCopy{}, LossyRepair(1), VerifyMarker});
  auto outcome = engine.RepairDatabase(accdb);
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_EQ(ReadAll(accdb), "FIXED:" + original_);
  const auto kept = Matching(dir_, R"(Orders\.damaged-\d{8}-\d{6}\.accdb)");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadAll(dir_ + "/" + kept[0]), original_);
  EXPECT_EQ(Matching(dir_, R"(Orders\.repair-report-\d{8}-\d{6}\.json)").size(), 1u);
  EXPECT_EQ(Temporaries(dir_), 0);
}

TEST_F(SafeReplaceTest, ARepairWithoutLossesLeavesNothingBeside) {
  DBEngine engine(Operations{FakeCopy{}, LossyRepair(0), VerifyMarker});
  auto outcome = engine.RepairDatabase(db_);
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_FALSE(outcome->lost_anything);
  EXPECT_TRUE(outcome->kept_original.empty());
  EXPECT_TRUE(outcome->report.empty());
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Orders.mdb"});

  // Asked for, the report is written all the same, with nothing kept.
  JobOptions options;
  options.report = dir_ + "/asked.json";
  outcome = engine.RepairDatabase(db_, options);
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  EXPECT_EQ(outcome->report, options.report);
  const nlohmann::json report = ReadJson(options.report);
  EXPECT_TRUE(report["kept_original"].is_null());
  EXPECT_TRUE(report["losses"].empty());
  EXPECT_EQ(Entries(dir_).size(), 2u);
}

TEST_F(SafeReplaceTest, ARepairThatFailsLateTakesBackTheKeptOriginalAndTheReport) {
  for (Step failing : {Step::kVerify, Step::kRename}) {
    SCOPED_TRACE(static_cast<int>(failing));
    DBEngine engine(Operations{FakeCopy{}, LossyRepair(1), VerifyMarker});
    engine.SetFaultForTesting([failing](Step s) { return s == failing ? EIO : 0; });
    auto outcome = engine.RepairDatabase(db_);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().number(), 3043);
    ExpectOriginalIntact();
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Orders.mdb"});
  }
  // Into a new file: no destination, no report.
  DBEngine engine(Operations{FakeCopy{}, LossyRepair(1), VerifyMarker});
  engine.SetFaultForTesting([](Step s) { return s == Step::kRename ? EIO : 0; });
  ASSERT_FALSE(engine.RepairDatabase(db_, dir_ + "/New.mdb").ok());
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Orders.mdb"});
}

TEST_F(SafeReplaceTest, AReportNameThatIsTakenStopsTheRepairBeforeItStarts) {
  int calls = 0;
  DBEngine engine(Operations{FakeCopy{}, LossyRepair(1, &calls), VerifyMarker});
  const std::string taken = dir_ + "/taken.json";
  WriteAll(taken, "mine");
  JobOptions options;
  options.report = taken;
  auto outcome = engine.RepairDatabase(db_, options);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().number(), 3204);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(ReadAll(taken), "mine");
  ExpectOriginalIntact();
}

TEST_F(SafeReplaceTest, ARepairIntoANewFileKeepsNothingAndReportsBesideTheCopy) {
  DBEngine engine(Operations{FakeCopy{}, LossyRepair(1), VerifyMarker});
  mkdir((dir_ + "/out").c_str(), 0755);
  auto outcome = engine.RepairDatabase(db_, dir_ + "/out/Fixed.mdb");
  ASSERT_TRUE(outcome.ok()) << outcome.error().ToString();
  ExpectOriginalIntact();
  EXPECT_TRUE(outcome->kept_original.empty());
  EXPECT_EQ(Matching(dir_ + "/out", R"(Fixed\.repair-report-\d{8}-\d{6}\.json)").size(), 1u);
  const nlohmann::json report = ReadJson(outcome->report);
  EXPECT_EQ(report["source"], db_);
  EXPECT_EQ(report["destination"], dir_ + "/out/Fixed.mdb");
  EXPECT_TRUE(report["kept_original"].is_null());
}

TEST_F(SafeReplaceTest, TheKeptOriginalNeverTakesAnExistingName) {
  const std::time_t when = 1700000000;
  const std::string first = StampedName(db_, ".damaged", when);
  EXPECT_TRUE(std::regex_match(first, std::regex(".*/Orders\\.damaged-\\d{8}-\\d{6}\\.mdb")))
      << first;
  WriteAll(first, "mine");
  auto second = KeepOriginal(db_, when);
  ASSERT_TRUE(second.ok()) << second.error().ToString();
  EXPECT_EQ(second.value(), first.substr(0, first.size() - 4) + "-2.mdb");
  auto third = KeepOriginal(db_, when);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(third.value(), first.substr(0, first.size() - 4) + "-3.mdb");
  EXPECT_EQ(ReadAll(first), "mine");
  EXPECT_EQ(ReadAll(second.value()), original_);
  // A name without an extension, and a folder with a dot in it.
  mkdir((dir_ + "/a.b").c_str(), 0755);
  WriteAll(dir_ + "/a.b/plain", "p");
  auto plain = KeepOriginal(dir_ + "/a.b/plain", when);
  ASSERT_TRUE(plain.ok());
  EXPECT_TRUE(std::regex_match(plain.value(), std::regex(".*/a\\.b/plain\\.damaged-\\d{8}-\\d{6}")))
      << plain.value();
}

// Each table a repair's losses touch is named once, under the right heading,
// and Access's own tables in words a user knows.
TEST(LossSummary, NamesEveryTableLostOrPartlyLost) {
  auto loss = [](engine::LossKind kind, const std::string& table) {
    engine::LossRecord r;
    r.kind = kind;
    r.table_name = table;
    return r;
  };
  using K = engine::LossKind;
  const TablesHit hit =
      TablesHitBy({loss(K::kPage, "MSysRelationships"), loss(K::kTable, "MSysRelationships"),
                   loss(K::kRow, "Orders"), loss(K::kNullKey, "Order Details"),
                   loss(K::kValue, "Orders"), loss(K::kTableName, "Recovered table 7"),
                   loss(K::kHeader, ""), loss(K::kRelationship, "Items")});
  EXPECT_EQ(hit.lost, std::vector<std::string>{"MSysRelationships"});
  EXPECT_EQ(hit.partly_lost, (std::vector<std::string>{"Orders", "Order Details"}));
  EXPECT_EQ(hit.renamed, std::vector<std::string>{"Recovered table 7"});

  RepairOutcome o;
  o.lost_anything = true;
  o.rows_lost = 2;
  o.pages_lost = 1;
  o.tables_lost = 1;
  o.lost_tables = hit.lost;
  o.tables_with_losses = {"Orders", "MSysQueries", "MSysWhatever"};
  const auto lines = LossSummaryLines(o);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].text,
            "2 rows and 0 values could not be carried over; 1 page and 1 table could not be "
            "read, in the tables Orders, MSysQueries (the definitions of the queries) and "
            "MSysWhatever (a table Access keeps for itself).");
  EXPECT_EQ(lines[1].text,
            "The table MSysRelationships (the relationships between tables) could not be read; "
            "none of its rows are in the copy.");
  o.lost_tables = {"A", "B"};
  EXPECT_EQ(LossSummaryLines(o)[1].text,
            "The tables A and B could not be read; none of their rows are in the copy.");
}

}  // namespace
}  // namespace maintenance
