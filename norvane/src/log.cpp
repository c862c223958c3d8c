#include <norvane/log.h>

#include <mutex>

namespace norvane::log {

namespace detail {
std::atomic<int> g_threshold{0};
}

namespace {
std::mutex g_install_mutex;
std::unique_ptr<Sink> g_sink;
}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return "WARN";
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
    case Level::Off:
      break;
  }
  return "OFF";
}

void install(std::unique_ptr<Sink> sink, Level threshold) {
  std::lock_guard lock(g_install_mutex);
  detail::g_threshold.store(0, std::memory_order_relaxed);
  g_sink = std::move(sink);
  if (g_sink) detail::g_threshold.store(static_cast<int>(threshold), std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, const char* file, unsigned line,
          std::string_view message) {
  if (!enabled(level) || level == Level::Off) return;
  // The sink serialises whole records itself; the program has one thread, and the
  // sink is installed once before the first record, so no lock is taken here.
  if (Sink* sink = g_sink.get()) sink->write(Record{level, target, file, line, message});
}

}  // namespace norvane::log
