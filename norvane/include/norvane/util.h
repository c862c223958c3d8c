// Helpers shared by every module: the retried operation, the home-directory rule,
// the debug form of values for log lines, and paths and bytes as UTF-8 text.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <norvane/log.h>
#include <norvane/result.h>

namespace norvane {

// Waits between attempts of retry_operation; tests pass one that only records.
using Sleeper = std::function<void(std::chrono::milliseconds)>;
void sleep_for(std::chrono::milliseconds duration);

namespace detail {
// Logs the warning for a failed attempt: the wait before the next one and the debug
// form of the error (warn level, "norvane::util").
void log_retry(long wait_ms, const Error& error);
}  // namespace detail

// Runs `op` (returning a Result) up to four times. After a failed first, second and
// third attempt it logs a warning and waits 333, 666 and 1000 ms; the fourth
// attempt's result is returned as it comes. `op` must be safe to call again after it
// fails.
template <class Op>
auto retry_operation(Op&& op, const Sleeper& sleep = sleep_for) -> decltype(op()) {
  constexpr long kWaits[] = {333, 666, 1000};
  for (long wait : kWaits) {
    auto result = op();
    if (result) return result;
    detail::log_retry(wait, result.error());
    sleep(std::chrono::milliseconds(wait));
  }
  return op();
}

// The home directory: HOME when it is set, unchanged even when empty; otherwise the
// password-database entry of the real user id; otherwise none.
std::optional<std::filesystem::path> home_directory();

// Debug form of a text: double quotes, with backslash escapes for quotation marks,
// backslashes and control characters ("a\"b\n").
std::string debug_string(std::string_view text);
// The text with its control characters (C0, DEL and the C1 range U+0080 to U+009F)
// written as the escapes of the debug form, and nothing else changed: for messages and
// log records that carry text from a feed, a server or a file name, so that such text
// can neither break a record's line nor reach a terminal as a control sequence.
std::string escape_control_characters(std::string_view text);
// None, or Some( + the debug form of the text + ).
std::string debug_optional(const std::optional<std::string>& text);
// "true" or "false".
std::string_view debug_bool(bool value);

// True when the texts are equal byte for byte, with A-Z counted equal to a-z (no other
// folding).
bool ascii_iequal(std::string_view a, std::string_view b);

// The value of a non-empty run of ASCII decimal digits (leading zeros allowed), or none
// when the text holds anything else or the value does not fit in 64 bits.
std::optional<uint64_t> parse_decimal_u64(std::string_view digits);

// Writes all of `bytes` to the file descriptor, going on after short writes and
// interruptions. Fails with the OS error.
Result<void> write_all(int fd, std::string_view bytes);

// The whole content of the regular file at `path` (or behind a link to one), as bytes.
// The file is opened without blocking and examined before anything is read, so a
// fifo, a device or a huge sparse file can neither hold the run up nor exhaust its
// memory: a directory fails with EISDIR, anything else but a regular file with
// "'{path}' is not a regular file", a
// file of more than `max_size` bytes with "'{path}' is larger than {max_size} bytes".
// OS failures carry the system's text.
Result<std::string> read_file(const std::filesystem::path& path, uint64_t max_size);

// read_file(), and text that is not valid UTF-8 fails with "stream did not contain
// valid UTF-8".
Result<std::string> read_utf8_file(const std::filesystem::path& path, uint64_t max_size);

// True when the bytes are valid UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes);
// The bytes with every maximal invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// lossy_utf8 for text that arrives in pieces: the pieces' repaired texts joined, then
// finish(), are lossy_utf8 of the pieces joined. A sequence cut by the end of a piece
// is held back until the next piece completes or refutes it.
class Utf8Repair {
 public:
  // The repaired text of `bytes` after what came before: a view of `bytes` itself when
  // it needs no repair and ends on a whole sequence, otherwise of `scratch`, which is
  // overwritten. Valid until the next call.
  std::string_view feed(std::string_view bytes, std::string& scratch);
  // What is still held back, repaired: the end of the text.
  std::string_view finish(std::string& scratch);

 private:
  std::string held_;  // at most 3 bytes: the start of a sequence cut by a piece's end
};
// A path as text, invalid UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

// A whole number of seconds as messages give it: "1 second", "{n} seconds".
std::string seconds_text(std::chrono::seconds period);

}  // namespace norvane
