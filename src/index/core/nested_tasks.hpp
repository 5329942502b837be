// Work on nested engines, deferred until the thread holds no object's locks.
//
// When a holder's attribute is an Indexable, the holder's engine links the
// pair (holder, child) in the nested engine at once, while the holder is
// locked; but indexing the child's own attributes needs the child's locks, and
// a thread holds the locks of one object at a time. So the child's part is
// queued on the thread and run when the public operation that caused it has
// released the holder: at the end of add_object, add_object_many and
// attribute assignment. A task locks the child, re-checks the links as they
// are by then, and may queue further tasks for deeper engines. The additions
// queued for one engine run together, as one batch (a batch of holders
// queues one entry with all the children it links): the children are locked
// in ascending id order, as add_object_many locks its objects.
#pragma once

#include <memory>
#include <vector>

#include "index/value.hpp"

namespace tarnwick {

class IndexAPI;

// The child has gained a holder in `engine`: make it a member there if it is
// not one yet.
void defer_nested_add(std::shared_ptr<IndexAPI> engine, StoredIndexable child);
// The same for many children at once (a bulk writer's), as one entry.
void defer_nested_adds(std::shared_ptr<IndexAPI> engine, std::vector<StoredIndexable> children);

// The child has lost its last holder in `engine`: take it out of the engine
// unless it has gained a holder again by the time the task runs.
void defer_nested_remove(std::shared_ptr<IndexAPI> engine, StoredIndexable child);

// Runs the queued additions whose child this thread holds locked already
// (an addition locked it with its holders, lock_with_nested) or can lock
// without waiting, and the additions they queue in turn; the others stay
// queued for run_nested_tasks. Called by an addition, with the holders'
// engine lists held, so that every nested engine below them has their
// nested objects' values before the holders become members. Does nothing
// inside a run of the queue (Python code run by indexing that adds objects).
void run_held_nested_additions();

// Runs this thread's queued tasks, and the tasks they queue, until none is
// left. Releases the GIL while it works if the caller holds it. Does nothing
// while this thread holds a native lock (the tasks then wait for the next
// call), so it is safe to call from any point that may be nested in another.
void run_nested_tasks();

}  // namespace tarnwick
