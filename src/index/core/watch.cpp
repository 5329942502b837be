#include "index/core/watch.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "index/core/query/attr_path.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

std::vector<uint32_t> attributes_of(const QueryExpr& query) {
    std::vector<uint32_t> out;
    for_each_test_path(std::span<const QueryExpr>(&query, 1), [&](std::string_view path) {
        for (;;) {
            const AttrParts parts = attr_parts(path);
            out.push_back(INTERNER().intern(parts.head));
            if (!parts.rest) break;
            path = *parts.rest;
        }
    });
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

struct ThreadNotices {
    std::vector<WatchNotice> queued;
    uint32_t depth = 0;
};

ThreadNotices& this_thread() noexcept {
    thread_local ThreadNotices notices;
    return notices;
}

}  // namespace

Watch::Watch(QueryExpr q, PyHandle cb) : query(std::move(q)), attributes(attributes_of(query)), callback(std::move(cb)) {}

bool Watch::mentions(uint32_t attribute) const noexcept {
    return std::binary_search(attributes.begin(), attributes.end(), attribute);
}

void WatchRegistry::add(std::shared_ptr<Watch> watch) {
    GilSafeGuard<Mutex> g(lock_);
    for (uint32_t attribute : watch->attributes) attributes_.add(attribute);
    list_.push_back(std::move(watch));
    publish_residues();
    open_.fetch_add(1);
}

bool WatchRegistry::remove(const Watch* watch) {
    GilSafeGuard<Mutex> g(lock_);
    auto it = std::find_if(list_.begin(), list_.end(), [&](const auto& w) { return w.get() == watch; });
    if (it == list_.end()) return false;
    list_.erase(it);
    Bitmap attributes;
    for (const auto& w : list_)
        for (uint32_t attribute : w->attributes) attributes.add(attribute);
    attributes_ = std::move(attributes);
    publish_residues();
    open_.fetch_sub(1);
    return true;
}

void WatchRegistry::publish_residues() {
    uint64_t residues = 0;
    attributes_.for_each([&residues](uint32_t attribute) { residues |= uint64_t(1) << (attribute % 64); });
    residues_.store(residues);
}

bool WatchRegistry::mentions(uint32_t attribute) const {
    if (!(residues_.load() >> (attribute % 64) & 1)) return false;
    GilSafeGuard<Mutex> g(lock_);
    return attributes_.contains(attribute);
}

std::vector<std::shared_ptr<Watch>> WatchRegistry::watching(std::optional<uint32_t> attribute) const {
    std::vector<std::shared_ptr<Watch>> out;
    GilSafeGuard<Mutex> g(lock_);
    if (!attribute) return list_;
    if (!attributes_.contains(*attribute)) return out;
    for (const auto& w : list_)
        if (w->mentions(*attribute)) out.push_back(w);
    return out;
}

void queue_watch_notice(std::shared_ptr<Watch> watch, PyHandle object, bool matched) {
    ThreadNotices& t = this_thread();
    t.queued.push_back(WatchNotice{std::move(watch), std::move(object), matched, t.depth + 1});
}

bool watch_notices_pending() noexcept { return !this_thread().queued.empty(); }

std::vector<WatchNotice> take_watch_notices() noexcept { return std::exchange(this_thread().queued, {}); }

uint32_t watch_delivery_depth() noexcept { return this_thread().depth; }

void set_watch_delivery_depth(uint32_t depth) noexcept { this_thread().depth = depth; }

}  // namespace tarnwick
