// Windows has no fork: nothing is ever inherited.
#include "platform/fork.h"

namespace tarnix {

uint64_t fork_generation() { return 0; }

bool on_fork(void (*)(), void (*)(), void (*)()) { return true; }
bool on_fork_leaf(void (*)(), void (*)(), void (*)()) { return true; }

}  // namespace tarnix
