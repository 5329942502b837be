// Watches of an engine (declared in index.hpp): opening one, testing changed
// objects against the open ones, and the holders of changed nested objects
// against the watches of the engines above.
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/id_match.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_map.hpp"

namespace tarnwick {
namespace {

// Decides, under the watch's lock, which of `ids` entered or left its live
// set, and queues the notices in that order.
void recheck_one(const IndexAPI& engine, const std::shared_ptr<Watch>& watch, const Bitmap& ids,
                 const IndexAPI::HandleOf& handle_of) {
    MutexGuard g(watch->live.lock());
    if (watch->closed()) return;
    Bitmap now;
    try {
        now = engine.matched_among(ids, watch->query);
    } catch (const QueryNotImplemented&) {
        // A between test with a bound of no ordered kind, on a map made after
        // the watch: no object satisfies it.
    }
    Bitmap& live = watch->live.get();
    const Bitmap was = live & ids;
    const Bitmap flipped = (was - now) | (now - was);
    flipped.for_each([&](uint32_t id) {
        PyHandle object = handle_of ? handle_of(id) : engine.member_handle(id);
        if (!object) return;
        const bool matched = now.contains(id);
        queue_watch_notice(watch, std::move(object), matched);
        if (matched) live.add(id);
        else live.remove(id);
    });
}

}  // namespace

std::shared_ptr<Watch> IndexAPI::open_watch(QueryExpr query, PyHandle callback) {
    auto watch = std::make_shared<Watch>(std::move(query), std::move(callback));
    // Registered first: a change made from here on is tested against the
    // watch by the thread that made it, after the evaluation below if it
    // waits for the lock, and any change made before is in the evaluation.
    watches.add(watch);
    try {
        MutexGuard g(watch->live.lock());
        watch->live.get() = reduced_query(watch->query).ids;
    } catch (...) {
        watches.remove(watch.get());
        throw;
    }
    return watch;
}

void IndexAPI::close_watch(Watch& watch) {
    watch.mark_closed();
    watches.remove(&watch);
}

Bitmap IndexAPI::matched_among(const Bitmap& candidates, const QueryExpr& query) const {
    ReadGuard maps(query_maps->lock());
    Bitmap within;
    {
        ReadGuard g(member_ids->lock());
        within = member_ids->get() & candidates;
    }
    if (within.empty()) return within;
    QueryReadHold values(query_maps->get(), std::span(&query, 1));
    return match_among(query_maps->get(), within, query);
}

namespace {

bool registry_watches(const WatchRegistry& watches, std::optional<uint32_t> attribute) {
    return watches.any() && (!attribute || watches.mentions(*attribute));
}

}  // namespace

bool IndexAPI::watched(std::optional<uint32_t> attribute) const {
    // Every step of a watched dotted path counts as mentioned, so an engine
    // above whose watches do not mention the attribute has nothing to test.
    if (registry_watches(watches, attribute)) return true;
    if (!made_nested_) return false;
    for (std::shared_ptr<IndexAPI> up = parent.lock(); up; up = up->parent.lock())
        if (registry_watches(up->watches, attribute)) return true;
    return false;
}

void IndexAPI::recheck_watches(const Bitmap& ids, std::optional<uint32_t> attribute, const HandleOf& handle_of,
                               std::optional<uint32_t> below) {
    if (ids.empty()) return;
    if (watches.any()) {
        for (const std::shared_ptr<Watch>& watch : watches.watching(attribute))
            if (!below || watch->mentions(*below)) recheck_one(*this, watch, ids, handle_of);
    }
    if (!made_nested_) return;
    const std::optional<uint32_t> changed = below ? below : attribute;
    std::shared_ptr<IndexAPI> up = parent.lock();
    if (!up || !up->watched(changed)) return;
    // The attribute of the engine above whose map owns this engine, and the
    // holders there of the objects changed here.
    std::optional<uint32_t> through;
    Bitmap holders;
    {
        ReadGuard maps(up->query_maps->lock());
        const QueryMapTable& table = up->query_maps->get();
        for (uint32_t a = 0; a < table.size(); ++a) {
            if (table[a] && table[a]->nested.get() == this) {
                through = a;
                holders = get_parent_from_ids(ids);
                table[a]->unmask_ids(holders);
                break;
            }
        }
    }
    if (through) up->recheck_watches(holders, through, {}, changed);
}

Bitmap IndexAPI::watched_departures() const {
    Bitmap out;
    if (!watches.any()) return out;
    for (const std::shared_ptr<Watch>& watch : watches.watching(std::nullopt)) {
        GilSafeGuard<Mutex> g(watch->live.lock());
        out |= watch->live.get();
    }
    if (!out.empty()) out -= members();
    return out;
}

FilteredView IndexAPI::view_of_ids(Bitmap ids) const {
    return view_of(std::move(ids), std::numeric_limits<uint64_t>::max());
}

PyHandle IndexAPI::member_handle(uint32_t id) const {
    ReadGuard g(items->lock());
    const ItemTable& table = items->get();
    if (id >= table.size() || !table[id].occupied()) return PyHandle();
    return table[id].python_handle;
}

}  // namespace tarnwick
