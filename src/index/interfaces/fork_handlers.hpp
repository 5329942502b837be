// The engine across os.fork(): the fork waits until no thread is inside the
// fork gate (sync.hpp), so that the child inherits no lock held and no
// structure half written, and both processes go on with the gate open.
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

// Registers the handlers with os.register_at_fork and lets threads that hold
// the GIL wait for a closed gate with the GIL released. Once per process,
// under the GIL. 0, or -1 with an error set.
int register_fork_handlers();

}  // namespace tarnwick
