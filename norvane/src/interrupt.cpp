#include <norvane/interrupt.h>

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "interrupt_files.h"

namespace norvane {

namespace {

constexpr int kSlots = 8;
constexpr size_t kPathBytes = 4096;

// A slot's state: free, being written or read by normal code, or holding a path that
// the handler may use.
enum : int { kFree = 0, kBusy = 1, kReady = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathBytes] = {};
};

Slot slots[kSlots];

}  // namespace

void add_interrupted_file(const std::filesystem::path& path) noexcept {
  const std::string& text = path.native();
  if (text.size() >= kPathBytes) return;
  for (Slot& slot : slots) {
    int expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kBusy)) continue;
    std::memcpy(slot.path, text.c_str(), text.size() + 1);
    slot.state.store(kReady);
    return;
  }
}

void drop_interrupted_file(const std::filesystem::path& path) noexcept {
  const std::string& text = path.native();
  for (Slot& slot : slots) {
    int expected = kReady;
    if (!slot.state.compare_exchange_strong(expected, kBusy)) continue;
    if (std::strcmp(slot.path, text.c_str()) == 0) {
      slot.state.store(kFree);
      return;
    }
    slot.state.store(kReady);
  }
}

void remove_interrupted_files() noexcept {
  for (Slot& slot : slots)
    if (slot.state.load() == kReady) ::unlink(slot.path);
}

}  // namespace norvane
