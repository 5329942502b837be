// Watch: the Python class of a live query (Index.watch), and the delivery of
// its notices.
//
// Changes queue notices on the thread that made them (core/watch.hpp); every
// entry point that changes an engine ends with deliver_watch_notices, which
// calls the callbacks with the GIL held and no native lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

class IndexAPI;

// Index.watch(query, callback=None) of `index`, whose engine is `engine`.
PyObject* watch_open(PyObject* index, const std::shared_ptr<IndexAPI>& engine, PyObject* args, PyObject* kwargs);
// Closes the watch (a Watch instance): its engine forgets it, and it lets go
// of its index and callback. Idempotent. GIL held.
void watch_close(PyObject* watch);
int watch_traverse_refs(PyObject* watch, visitproc visit, void* arg);

// After an assignment of `attribute` to the object `obj` (id `id`) applied
// by `engines`, tests it against their watches. GIL held; released only if
// some engine is watched. False with the Python error set on failure.
bool notice_assignment(const std::vector<std::shared_ptr<IndexAPI>>& engines, uint32_t id, uint32_t attribute,
                       PyObject* obj);
// The same after the objects `objects` (pairs of id and object, ascending by
// id) joined `engine` or left it: each against every watch. GIL held.
bool notice_members(IndexAPI& engine, const std::vector<std::pair<uint32_t, PyHandle>>& objects);

// Calls the callbacks of the notices this thread queued, in order, unless it
// is already running one (their changes notify after it returns). A callback
// that raises is reported to sys.unraisablehook. 0; or -1 with RecursionError
// set when the notices queued by a callback would start a chain deeper than
// MAX_WATCH_DEPTH (those notices are dropped). GIL held, no native lock held;
// a pending exception is kept.
int deliver_watch_notices();

}  // namespace tarnwick
