#include "index/core/structures/sharded_hashmap.hpp"

#include "index/core/structures/fx_hash.hpp"

namespace tarnwick {

uint32_t shard_hash(uint64_t stored_hash) noexcept { return fx_hash_u64(stored_hash); }

}  // namespace tarnwick
