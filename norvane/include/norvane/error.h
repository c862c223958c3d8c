// The one error value of the library: a one-line message, and the operating-system
// error number when the failure came from the OS. Lower layers hand an Error up
// unchanged or replace it with a message of their own; only the front end reports it.
#pragma once

#include <string>

namespace norvane {

struct Error {
  std::string message;
  int os_code = 0;  // errno it came from; 0 if not from the OS

  Error() = default;
  explicit Error(std::string msg, int code = 0) : message(std::move(msg)), os_code(code) {}

  // "<strerror text> (os error <code>)", keeping the code.
  static Error from_errno(int code);
};

// The debug form of an error, as the retry warnings show it: for an OS error
// `Os { code: 2, kind: NotFound, message: "No such file or directory" }`, otherwise
// `Custom { kind: Other, error: "<message>" }`.
std::string debug_form(const Error& error);

// The name of the error kind for an errno value ("NotFound", "PermissionDenied", ...).
const char* os_error_kind(int code);

}  // namespace norvane
