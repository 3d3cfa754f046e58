#include "os_error.h"

#include <cerrno>
#include <cstring>

namespace maintenance {

engine::Error OsError(int err, const std::string& what) {
  engine::ErrorCode code = engine::ErrorCode::kIoError;
  switch (err) {
    case ENOENT:
      code = engine::ErrorCode::kFileNotFound;
      break;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EISDIR:
    case EINVAL:
      code = engine::ErrorCode::kInvalidPath;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      code = engine::ErrorCode::kNoPermission;
      break;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      code = engine::ErrorCode::kDiskFull;
      break;
    default:
      break;
  }
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not be in `buffer`.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return engine::Error(code, what + ": " + text);
}

}  // namespace maintenance
