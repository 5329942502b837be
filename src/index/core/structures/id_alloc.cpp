#include "index/core/structures/id_alloc.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace tarnwick {

namespace {

// 0 is never issued: it is free for use as "no object".
std::atomic<uint32_t> GLOBAL_ID_COUNTER{1};

struct FreeIds {
    std::mutex mutex;
    std::vector<uint32_t> ids;  // guarded by mutex; used as a stack
};

// Never destroyed: objects released late in interpreter shutdown, after
// static destructors may have run, still return their ids here.
FreeIds& FREE_IDS() {
    static FreeIds* free_ids = new FreeIds;
    return *free_ids;
}

}  // namespace

uint32_t allocate_id() {
    FreeIds& f = FREE_IDS();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.ids.empty()) {
        uint32_t id = f.ids.back();
        f.ids.pop_back();
        return id;
    }
    return GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
}

void free_id(uint32_t id) {
    FreeIds& f = FREE_IDS();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.ids.push_back(id);
}

size_t free_id_count() {
    FreeIds& f = FREE_IDS();
    std::lock_guard<std::mutex> lock(f.mutex);
    return f.ids.size();
}

}  // namespace tarnwick
