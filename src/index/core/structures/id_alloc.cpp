#include "index/core/structures/id_alloc.hpp"

#include <algorithm>
#include <functional>
#include <mutex>
#include <new>

namespace tarnwick {

namespace {

constexpr uint64_t FIRST_BLOCK = 64;
// A bitmap container covers 65,536 ids: a stream that uses that many fills
// whole containers.
constexpr uint64_t LARGEST_BLOCK = 65536;
// Ids stay below this; the highest 32-bit value is never issued.
constexpr uint64_t ID_LIMIT = 0xFFFFFFFFu;
// How many streams a kind may land in, from the one its address picks.
constexpr size_t PROBES = 4;
// How many released ids make a stream lend them to others.
constexpr size_t BORROW_AT = 4096;
constexpr size_t BORROW_KEEPS = 1024;
constexpr size_t KIND_STREAMS = ID_STREAMS - 1;

struct Stream {
    const void* kind = nullptr;
    bool claimed = false;
    uint64_t last_use = 0;
    uint32_t next = 0;  // the unissued part of the stream's block: [next, end)
    uint32_t end = 0;
    uint64_t block = FIRST_BLOCK;  // the size of the stream's next block
    std::vector<uint32_t> free;   // used as a stack
};

struct Ids {
    std::mutex mutex;
    uint64_t counter = 1;  // 0 is never issued: it is free for use as "no object"
    uint64_t uses = 0;
    Stream streams[ID_STREAMS];  // guarded by mutex, as are the two above
};

// Never destroyed: objects released late in interpreter shutdown, after
// static destructors may have run, still return their ids here.
Ids& IDS() {
    static Ids* ids = new Ids;
    return *ids;
}

// Moves the released ids of another stream that holds many (a class whose
// objects went in bulk) to s, to be issued lowest first, rather than grow
// every per-id table with a fresh block. The donor keeps the ids it released
// last, for its own class's next objects.
void borrow(Ids& ids, Stream& s) {
    for (Stream& donor : ids.streams) {
        if (&donor == &s || donor.free.size() < BORROW_AT) continue;
        const auto kept = donor.free.end() - BORROW_KEEPS;
        s.free.assign(donor.free.begin(), kept);
        donor.free.erase(donor.free.begin(), kept);
        std::sort(s.free.begin(), s.free.end(), std::greater<>());
        return;
    }
}

uint32_t take(Ids& ids, Stream& s) {
    if (s.free.empty() && s.next == s.end) borrow(ids, s);
    if (!s.free.empty()) {
        const uint32_t id = s.free.back();
        s.free.pop_back();
        return id;
    }
    if (s.next == s.end) {
        if (ids.counter >= ID_LIMIT) throw std::bad_alloc();
        // The block ends on a multiple of its size, so the next stream's
        // block starts on one.
        const uint64_t start = ids.counter;
        const uint64_t end = std::min(ID_LIMIT, (start + s.block + s.block - 1) / s.block * s.block);
        ids.counter = end;
        s.next = static_cast<uint32_t>(start);
        s.end = static_cast<uint32_t>(end);
        s.block = std::min(s.block * 2, LARGEST_BLOCK);
    }
    return s.next++;
}

IdStream stream_of(Ids& ids, const void* kind) {
    const auto bits = reinterpret_cast<uintptr_t>(kind);
    const size_t home = ((bits >> 4) ^ (bits >> 12)) % KIND_STREAMS;
    size_t pick = home;
    for (size_t i = 0; i < PROBES; ++i) {
        const size_t at = (home + i) % KIND_STREAMS;
        Stream& s = ids.streams[1 + at];
        if (s.claimed && s.kind == kind) return static_cast<IdStream>(1 + at);
        Stream& best = ids.streams[1 + pick];
        if (!s.claimed ? best.claimed : (best.claimed && s.last_use < best.last_use)) pick = at;
    }
    // The kind takes over the stream with its unissued ids and its released
    // ids; its blocks start small again.
    Stream& s = ids.streams[1 + pick];
    s.kind = kind;
    s.claimed = true;
    s.block = FIRST_BLOCK;
    return static_cast<IdStream>(1 + pick);
}

}  // namespace

DrawnId allocate_object_id(const void* kind) {
    Ids& ids = IDS();
    std::lock_guard<std::mutex> lock(ids.mutex);
    const IdStream stream = stream_of(ids, kind);
    Stream& s = ids.streams[stream];
    s.last_use = ++ids.uses;
    return DrawnId{take(ids, s), stream};
}

uint32_t allocate_id(IdStream stream) {
    Ids& ids = IDS();
    std::lock_guard<std::mutex> lock(ids.mutex);
    return take(ids, ids.streams[stream]);
}

void allocate_ids(IdStream stream, uint32_t* out, size_t count) {
    Ids& ids = IDS();
    std::lock_guard<std::mutex> lock(ids.mutex);
    Stream& s = ids.streams[stream];
    // Room to give every id back without allocating.
    s.free.reserve(s.free.size() + count);
    size_t i = 0;
    try {
        for (; i < count; ++i) out[i] = take(ids, s);
    } catch (...) {
        // All or nothing: the ids already taken go back.
        while (i > 0) s.free.push_back(out[--i]);
        throw;
    }
}

void free_id(uint32_t id, IdStream stream) {
    Ids& ids = IDS();
    std::lock_guard<std::mutex> lock(ids.mutex);
    ids.streams[stream].free.push_back(id);
}

size_t free_id_count() {
    Ids& ids = IDS();
    std::lock_guard<std::mutex> lock(ids.mutex);
    size_t n = 0;
    for (const Stream& s : ids.streams) n += s.free.size();
    return n;
}

std::vector<uint32_t> free_ids() {
    Ids& ids = IDS();
    std::lock_guard<std::mutex> lock(ids.mutex);
    std::vector<uint32_t> all;
    for (const Stream& s : ids.streams) all.insert(all.end(), s.free.begin(), s.free.end());
    return all;
}

}  // namespace tarnwick
