// Room left on the native stack, for the walks over query trees that recurse
// once per level: a tree the factories accept can still be too deep for a
// thread started with a small stack (threading.stack_size), and running out
// of stack is a crash, not an error.
#pragma once

#include <stdexcept>

namespace tarnwick {

// Raised where a walk would leave less than a safe margin of this thread's
// stack; becomes RecursionError in Python.
class StackExhausted : public std::runtime_error {
public:
    StackExhausted() : std::runtime_error("query tree too deep for this thread's stack") {}
};

// Throws StackExhausted when the calling frame is too close to the end of
// this thread's stack.
void check_stack_room();

}  // namespace tarnwick
