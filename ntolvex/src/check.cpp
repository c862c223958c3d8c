#include "commands.h"

namespace ntolvex {
norvane::Result<void> run_check(const CheckArgs&) { return norvane::fail("check is not available yet"); }
}  // namespace ntolvex
