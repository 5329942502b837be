// Watches: queries an engine keeps answered as its objects change.
//
// A watch holds its query, the set of members that satisfy it now (the live
// set) and the callback to tell when an object enters or leaves that set.
// After each change the engine tests only the objects it changed against the
// watches whose queries mention the attribute changed (id_match.hpp), never
// re-running a query. The decision is taken under the watch's lock: the test
// and the flip of the object's bit are one step, so the notices of one object
// alternate (entered, left, entered, ...) whatever the threads, and whoever
// tests last leaves the bit as the object stands.
//
// Notices are queued on the thread that made the change and delivered by the
// Python entry point once the change is complete, with the GIL held and no
// native lock held (interfaces/watch).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "index/core/query/query_expr.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/sync.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

class Watch {
public:
    Watch(QueryExpr query, PyHandle callback);
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    const QueryExpr query;
    // The interned ids of every name in every path of the query, sorted: an
    // assignment to any other attribute cannot change the answer. (Each step
    // of a dotted path counts: an object that holds itself continues the path
    // on its own attributes.)
    const std::vector<uint32_t> attributes;
    bool mentions(uint32_t attribute) const noexcept;

    // Read and written with the GIL held only; null for a watch without a
    // callback and once closed.
    PyHandle callback;

    // Set once, by close; notices queued before are dropped undelivered.
    bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }
    void mark_closed() noexcept { closed_.store(true, std::memory_order_release); }

    // The live set. The lock comes after the engine list of the object being
    // changed and before any lock of the watch's engine (src/README.md); one
    // watch's at a time. Its holders read the value index, so a thread that
    // holds the GIL takes it through GilSafeGuard.
    MutexLocked<Bitmap> live;

private:
    std::atomic<bool> closed_{false};
};

// The open watches of one engine.
class WatchRegistry {
public:
    // Whether any watch is open: the one load an engine without watches pays
    // per change. Sequentially consistent, so that a change applied before a
    // watch was registered is seen by the watch's first evaluation, and one
    // applied after is tested by the thread that made it.
    bool any() const noexcept { return open_.load() != 0; }
    void add(std::shared_ptr<Watch> watch);
    // False when it was not registered (closed already).
    bool remove(const Watch* watch);
    // Whether an open watch's query mentions the attribute.
    bool mentions(uint32_t attribute) const;
    // The open watches whose queries mention `attribute`; all of them without
    // one.
    std::vector<std::shared_ptr<Watch>> watching(std::optional<uint32_t> attribute) const;

private:
    std::atomic<uint32_t> open_{0};
    // Bit (attribute % 64) is set when an open watch mentions an attribute of
    // that residue: most assignments of attributes no watch mentions stop at
    // this load, without the lock.
    std::atomic<uint64_t> residues_{0};
    // A leaf: nothing is taken, and no Python code runs, while it is held.
    mutable Mutex lock_;
    // Under lock_, from attributes_.
    void publish_residues();
    std::vector<std::shared_ptr<Watch>> list_;  // guarded by lock_
    Bitmap attributes_;                         // guarded by lock_: union of the lists' attributes
};

// One entry or exit to report: `object` entered (matched) or left the live
// set of `watch`. `depth` counts the callbacks whose changes led to it.
struct WatchNotice {
    std::shared_ptr<Watch> watch;
    PyHandle object;
    bool matched;
    uint32_t depth;
};

// The longest chain of callbacks whose changes notify in turn.
inline constexpr uint32_t MAX_WATCH_DEPTH = 100;

// The notices queued on this thread and not yet delivered, in the order they
// were decided.
void queue_watch_notice(std::shared_ptr<Watch> watch, PyHandle object, bool matched);
bool watch_notices_pending() noexcept;
std::vector<WatchNotice> take_watch_notices() noexcept;
// The depth of the notice whose callback this thread runs (0 outside any).
uint32_t watch_delivery_depth() noexcept;
void set_watch_delivery_depth(uint32_t depth) noexcept;

}  // namespace tarnwick
