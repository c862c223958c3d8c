#include "commands.h"

namespace ntolvex {
norvane::Result<void> run_download(const DownloadArgs&) {
  return norvane::fail("download is not available yet");
}
}  // namespace ntolvex
