#include "io/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace engine {

int OpenAnonymousFile(const std::string& dir, const char* prefix) {
#ifdef O_TMPFILE
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string name = dir + "/" + prefix + "-XXXXXX";
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  int made = ::mkostemp(path.data(), O_CLOEXEC);
  if (made >= 0) ::unlink(path.data());
  return made;
}

Error WriteError(int err, const std::string& what) {
  if (err == ENOSPC || err == EDQUOT || err == EFBIG) {
    return Error(ErrorCode::kDiskFull, "the disk is full: cannot write " + what);
  }
  return Error(ErrorCode::kIoError, "cannot write " + what + ": " + std::strerror(err));
}

}  // namespace engine
