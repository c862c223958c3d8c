// The logging facade of the library: five levels, a target naming the emitting
// module, the call site and a message, handed to one process-wide sink. Callers test
// the threshold before building a message (the NV_LOG macros do), so a record below
// it costs one atomic load. Until a sink is installed the threshold admits nothing
// and every record is dropped. The front end installs the file sink.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

namespace norvane::log {

// From most to least severe. Off is only a threshold: it admits nothing.
enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// The name written in the log file: "ERROR", "WARN", "INFO", "DEBUG", "TRACE".
std::string_view level_name(Level level);

struct Record {
  Level level;
  std::string_view target;     // "ntolvex", "norvane::manager", ...
  const char* file = nullptr;  // source file of the call; null when unknown
  unsigned line = 0;           // source line; 0 when unknown
  std::string_view message;    // without a line feed
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes one record. Called with records that passed the threshold. Must not throw.
  virtual void write(const Record& record) = 0;
};

namespace detail {
extern std::atomic<int> g_threshold;
}

// True when records of this level pass the current threshold.
inline bool enabled(Level level) {
  return static_cast<int>(level) <= detail::g_threshold.load(std::memory_order_relaxed);
}

// Installs the process's only sink and sets the threshold. Replaces a sink installed
// before (tests do that); passing null with Level::Off drops every record again.
void install(std::unique_ptr<Sink> sink, Level threshold);

// Hands a record to the sink when its level passes the threshold.
void emit(Level level, std::string_view target, const char* file, unsigned line,
          std::string_view message);

}  // namespace norvane::log

// The message expression is evaluated only when the level passes the threshold.
#define NV_LOG(level, target, message)                                    \
  do {                                                                    \
    if (::norvane::log::enabled(level))                                   \
      ::norvane::log::emit(level, target, __FILE__, __LINE__, (message)); \
  } while (0)
#define NV_ERROR(target, message) NV_LOG(::norvane::log::Level::Error, target, message)
#define NV_WARN(target, message) NV_LOG(::norvane::log::Level::Warn, target, message)
#define NV_INFO(target, message) NV_LOG(::norvane::log::Level::Info, target, message)
#define NV_DEBUG(target, message) NV_LOG(::norvane::log::Level::Debug, target, message)
#define NV_TRACE(target, message) NV_LOG(::norvane::log::Level::Trace, target, message)
