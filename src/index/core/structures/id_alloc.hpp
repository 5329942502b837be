// Process-wide allocator of object ids.
//
// Ids start at 1 (0 is never issued) and released ids are handed out again,
// most recently released first, so ids stay dense and the engines' per-id
// vectors and bitmaps stay small. Safe on any thread, with or without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Reuses the most recently freed id; only when none is free does the counter
// advance.
uint32_t allocate_id();

// Returns an id for reuse. Each id must be freed exactly once; nothing checks.
void free_id(uint32_t id);

// Number of ids waiting for reuse.
size_t free_id_count();

}  // namespace tarnwick
