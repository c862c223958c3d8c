// Downloads one URL into one file through the library, as the download command does:
//   download_driver URL FILE
// Prints the number of progress calls and the last percentage to standard error;
// exits with 1 and the error message when the transfer fails.
#include <cstdint>
#include <cstdio>

#include <norvane/download.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
    return 2;
  }
  int calls = 0;
  int16_t last = 0;
  const auto result = norvane::download_url_to_file(argv[1], argv[2], [&](int16_t percent) {
    ++calls;
    last = percent;
  });
  if (!result) {
    std::fprintf(stderr, "download failed: %s\n", result.error().message.c_str());
    return 1;
  }
  std::fprintf(stderr, "progress calls: %d, last: %d\n", calls, last);
  return 0;
}
