// Process-wide allocator of object and element ids.
//
// Ids start at 1 (0 is never issued) and are handed out again once released,
// so ids stay dense and the engines' per-id tables and bitmaps stay small.
//
// Ids come from streams. Each stream takes ids from the shared counter in
// blocks that grow with its use (64 ids, doubling up to 65,536, each block
// ending on a multiple of its size) and reuses its own released ids, most
// recently released first, before it draws on the counter again (or on the
// released ids of a stream that holds thousands). The items
// of container values have a stream of their own, and the objects of one
// class share a stream: objects are usually made next to the objects they
// hold (a person and its address), and indexes usually hold one class, so
// without streams every member bitmap would be diluted by the ids of nested
// objects and items, and every bitmap operation and item-table read would
// cover twice the ids. Within a stream, ids follow creation order until they
// are reused; across streams they do not.
//
// Safe on any thread, with or without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

using IdStream = uint8_t;

// The stream of the items of container values.
inline constexpr IdStream ELEMENT_IDS = 0;

// The number of streams, the element stream included.
inline constexpr size_t ID_STREAMS = 65;

// An id with the stream it must go back to.
struct DrawnId {
    uint32_t id;
    IdStream stream;
};

// An id for an object of the class `kind` (any stable address naming it;
// null is a kind like any other). Kinds get a stream each while there are
// streams to spare; past that, the kind used longest ago gives up its stream
// (its objects keep returning their ids to it).
DrawnId allocate_object_id(const void* kind);

// An id from one stream.
uint32_t allocate_id(IdStream stream);

// `count` ids from one stream at once, in ascending order when they come
// from the stream's block.
void allocate_ids(IdStream stream, uint32_t* out, size_t count);

// Returns an id to the stream it came from. Each id must be freed exactly
// once; nothing checks.
void free_id(uint32_t id, IdStream stream);

// Number of ids waiting for reuse, in all streams.
size_t free_id_count();

// Every id waiting for reuse, in all streams (for checks).
std::vector<uint32_t> free_ids();

}  // namespace tarnwick
