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
#include <sstream>
#include <string>
#include <vector>

#include "maintenance/db_engine.h"
#include "maintenance/file_lock.h"
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
  DBEngine engine(Operations{FakeCopy{}, repair, VerifyMarker});
  ASSERT_TRUE(engine.RepairDatabase(db_).ok());
  EXPECT_EQ(ReadAll(db_), "FIXED:" + original_);
  ASSERT_TRUE(engine.CompactDatabase(db_).ok());
  EXPECT_EQ(ReadAll(db_), "NEW:FIXED:" + original_);
  const std::string out = dir_ + "/Repaired.mdb";
  ASSERT_TRUE(engine.RepairDatabase(db_, out).ok());
  EXPECT_EQ(ReadAll(out), "FIXED:NEW:FIXED:" + original_);
}

}  // namespace
}  // namespace maintenance
