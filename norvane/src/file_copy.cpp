#include "file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fd.h"

namespace norvane {

namespace {

constexpr const char* kNotAFile =
    "the source path is neither a regular file nor a symlink to a regular file";

}  // namespace

Result<void> copy_file_into(const std::filesystem::path& from, int out,
                            const platform::CopyProgress& copied) {
  // The kind is looked at before opening: opening a fifo for reading would wait for a
  // writer, and a device could be read forever.
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return unexpected(Error::from_errno(errno));
  if (!S_ISREG(st.st_mode)) return fail(kNotAFile);
  // Non-blocking, in case the path was replaced by a fifo meanwhile; the kind is then
  // checked again on what was opened.
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!in) return unexpected(Error::from_errno(errno));
  if (::fstat(in.get(), &st) != 0) return unexpected(Error::from_errno(errno));
  if (!S_ISREG(st.st_mode)) return fail(kNotAFile);
  NV_TRY(platform::copy_content(in.get(), out, static_cast<uint64_t>(st.st_size), copied));
  if (::fchmod(out, st.st_mode & 07777) != 0) return unexpected(Error::from_errno(errno));
  timespec times[2];
  platform::file_times(st, times);
  if (::futimens(out, times) != 0) return unexpected(Error::from_errno(errno));
  return {};
}

}  // namespace norvane
