#include "front.h"

namespace ntolvex {
int run(int, char**) { return 0; }
}  // namespace ntolvex
