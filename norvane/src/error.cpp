#include <norvane/error.h>

#include <cerrno>

#include "platform.h"

namespace norvane {

Error Error::from_errno(int code) {
  return Error(platform::error_text(code) + " (os error " + std::to_string(code) + ")", code);
}

const char* os_error_kind(int code) {
  switch (code) {
    case ENOENT:
      return "NotFound";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EEXIST:
      return "AlreadyExists";
    case EINTR:
      return "Interrupted";
    case EINVAL:
      return "InvalidInput";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case ENOSPC:
      return "StorageFull";
    case EROFS:
      return "ReadOnlyFilesystem";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case EFBIG:
      return "FileTooLarge";
    case EBUSY:
      return "ResourceBusy";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EPIPE:
      return "BrokenPipe";
    case EAGAIN:
      return "WouldBlock";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case ECONNRESET:
      return "ConnectionReset";
    case ETIMEDOUT:
      return "TimedOut";
    case EXDEV:
      return "CrossesDevices";
    case ELOOP:
      return "FilesystemLoop";
    default:
      return "Uncategorized";
  }
}

namespace {
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}
}  // namespace

std::string debug_form(const Error& error) {
  if (error.os_code != 0) {
    return "Os { code: " + std::to_string(error.os_code) +
           ", kind: " + os_error_kind(error.os_code) +
           ", message: " + quoted(platform::error_text(error.os_code)) + " }";
  }
  return "Custom { kind: Other, error: " + quoted(error.message) + " }";
}

}  // namespace norvane
