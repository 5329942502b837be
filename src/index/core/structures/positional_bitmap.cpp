#include "index/core/structures/positional_bitmap.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

uint8_t byte_at(std::string_view s, size_t i) noexcept { return static_cast<uint8_t>(s[i]); }

// Average ids per 2^16-id chunk of the span a bitmap covers.
uint64_t ids_per_chunk(const Bitmap& b) {
    const uint64_t chunks = (uint64_t(b.maximum()) >> 16) - (uint64_t(b.minimum()) >> 16) + 1;
    return b.cardinality() / chunks;
}

// a ∩ b, for a no larger than b. Two sparse sets of a few thousand ids per
// chunk intersect by a merge of sorted arrays, which branches on every
// element; against b's complement (dense) each id of a is a single bit test.
Bitmap intersect_pair(const Bitmap& a, const Bitmap& b) {
    constexpr uint64_t merge_heavy = 512, dense = 4096;
    const uint64_t per_a = ids_per_chunk(a), per_b = ids_per_chunk(b);
    if (a.empty() || per_a < merge_heavy || per_a >= dense || per_b >= dense) return a & b;
    return a - b.flipped(a.minimum(), uint64_t(a.maximum()) + 1);
}

// A set of candidates as a flat array of bits over its span, for the scans
// that meet it once per start position: each meeting is then one bit test
// per id of the position's smallest set, where roaring would merge the
// candidates' sorted arrays with that set's again at every position.
class FlatIds {
public:
    explicit FlatIds(const Bitmap& ids)
        : base_(ids.minimum() & ~uint32_t(63)), words_(((ids.maximum() - base_) >> 6) + 1, 0) {
        ids.for_each([this](uint32_t id) { words_[(id - base_) >> 6] |= uint64_t(1) << (id & 63); });
    }
    bool has(uint32_t id) const noexcept {
        if (id < base_) return false;
        const uint32_t word = (id - base_) >> 6;
        return word < words_.size() && (words_[word] >> (id & 63) & 1);
    }
    // Worth making for `ids`: enough of them, within a span small enough,
    // that the array costs less to clear than the merges it saves; sparse
    // enough that roaring holds them as sorted arrays (dense candidates
    // already meet a set with one bit test per id, and a few are best met by
    // galloping).
    static bool worth_it(const Bitmap& ids) {
        constexpr uint64_t at_least = 256, dense = 4096, span_per_id = 1024;
        const uint64_t n = ids.cardinality();
        return n >= at_least && uint64_t(ids.maximum() - ids.minimum()) <= n * span_per_id &&
               ids_per_chunk(ids) < dense;
    }

private:
    uint32_t base_;
    std::vector<uint64_t> words_;
};

// Adds the ids of `flat` common to every set (none empty) to out, walking the
// smallest set. Its ids are read out into `scratch` first: a plain loop over
// them, rather than a call per id, is what keeps the walk near the cost of
// its bit tests.
void add_flat_intersection(std::vector<const HybridSet*>& sets, Bitmap& out, const FlatIds& flat,
                           std::vector<uint32_t>& scratch) {
    const HybridSet* smallest = *std::min_element(
        sets.begin(), sets.end(), [](const HybridSet* a, const HybridSet* b) { return a->size() < b->size(); });
    if (const Bitmap* b = smallest->bitmap()) {
        scratch.resize(b->cardinality());
        roaring_bitmap_to_uint32_array(b->raw(), scratch.data());
    } else {
        scratch.clear();
        smallest->for_each([&](uint32_t id) { scratch.push_back(id); });
    }
    size_t kept = 0;
    for (const uint32_t id : scratch) {
        scratch[kept] = id;
        kept += flat.has(id);
    }
    std::vector<uint32_t> hits;
    for (size_t i = 0; i < kept; ++i) {
        const uint32_t id = scratch[i];
        bool all = true;
        for (const HybridSet* s : sets) all = all && (s == smallest || s->contains(id));
        if (all) hits.push_back(id);
    }
    out.add_many(hits);
}

// Adds the ids common to every set (none empty) to out. The sets are taken
// smallest first: in a string the common bytes (a shared prefix, the start
// mark) hold nearly every id, and one rare byte bounds the result.
void add_intersection(std::vector<const HybridSet*>& sets, Bitmap& out, const Bitmap* within) {
    std::vector<std::pair<uint64_t, const HybridSet*>> by_size;
    by_size.reserve(sets.size());
    for (const HybridSet* s : sets) by_size.emplace_back(s->size(), s);
    std::stable_sort(by_size.begin(), by_size.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < sets.size(); ++i) sets[i] = by_size[i].second;
    // Candidates fewer than the smallest set go first; otherwise they are
    // not worth an intersection (the caller keeps only them anyway).
    const bool within_first = within && within->cardinality() < by_size[0].first;
    const bool arrays = std::any_of(sets.begin(), sets.end(), [](const HybridSet* s) { return !s->bitmap(); });
    // A set held as an array bounds the result to its few ids: testing those
    // costs less than building and intersecting bitmaps. (A bitmap can hold
    // fewer ids than an array: sets never change form as they shrink.) Fewer
    // candidates still are tested themselves.
    if (within_first && arrays) {
        std::vector<uint32_t> hits;
        within->for_each([&](uint32_t id) {
            for (const HybridSet* s : sets)
                if (!s->contains(id)) return;
            hits.push_back(id);
        });
        out.add_many(hits);
        return;
    }
    for (size_t a = 0; a < sets.size(); ++a) {
        if (sets[a]->bitmap()) continue;
        std::vector<uint32_t> hits;
        sets[a]->for_each([&](uint32_t id) {
            for (size_t i = 0; i < sets.size(); ++i)
                if (i != a && !sets[i]->contains(id)) return;
            if (!within || within->contains(id)) hits.push_back(id);
        });
        out.add_many(hits);
        return;
    }
    Bitmap r;
    size_t next;
    if (within_first) {
        r = *within & *sets[0]->bitmap();
        next = 1;
    } else if (within && (sets.size() == 1 || within->cardinality() < sets[1]->size())) {
        // Candidates between the smallest set and the next: meeting them
        // second keeps every later step, and the union into out, as small as
        // the candidates allow, where the two sets alone could leave
        // thousands of ids that out would take in only to lose them.
        r = intersect_pair(*sets[0]->bitmap(), *within);
        next = 1;
    } else if (sets.size() == 1) {
        r = sets[0]->bitmap()->clone();
        next = 1;
    } else {
        r = intersect_pair(*sets[0]->bitmap(), *sets[1]->bitmap());
        next = 2;
    }
    for (size_t i = next; i < sets.size() && !r.empty(); ++i) r &= *sets[i]->bitmap();
    out |= r;
}

}  // namespace

void PositionalBitmap::expand_map(size_t n) {
    if (n == 0 || fits(n)) return;
    // The smallest even size at which the start of an n-byte string is >= 0
    // without clamping.
    grow_to(2 * (n / 2) + 2);
}

void PositionalBitmap::grow_to(size_t target) {
    const size_t size = positions_.size();
    if (target <= size) return;
    const size_t k = (target - size) / 2;
    positions_.resize(target);
    // The new records at the back: k of them go to the front, so every
    // existing position moves k to the right, and its pending ids with it.
    std::rotate(positions_.begin(), positions_.end() - static_cast<std::ptrdiff_t>(k), positions_.end());
    for (Pending& p : pending_) p.position += k;
}

template <class Add>
void PositionalBitmap::place(std::string_view bytes, uint32_t id, Add add) {
    const size_t n = bytes.size();
    if (n == 0) {
        empty_strings_.bitmap().add(id);
        return;
    }
    expand_map(n);
    const size_t s = start_position(n);
    add(s, CharacterMap::start_key);
    for (size_t i = 0; i < n; ++i) add(s + i, byte_at(bytes, i));
    add(s + n - 1, CharacterMap::end_key);
}

void PositionalBitmap::insert(std::string_view bytes, uint32_t id) {
    whole_.insert(bytes, id);
    place(bytes, id, [&](size_t position, uint16_t key) { positions_[position].add(key, id); });
}

void PositionalBitmap::push_pending(size_t position, uint16_t key, uint32_t id) {
    pending_.push_back(Pending{position, id, key});
}

void PositionalBitmap::insert_buffered(std::string_view bytes, uint32_t id) {
    whole_.insert_buffered(bytes, id);
    place(bytes, id, [&](size_t position, uint16_t key) { push_pending(position, key, id); });
    if (pending_.size() >= pending_limit) flush();
}

void PositionalBitmap::flush() {
    empty_strings_.flush();
    whole_.flush();
    if (pending_.empty()) return;
    // Counting sort, first by position, then by key within each position:
    // linear in the pending ids, and every (position, key) then receives
    // its ids in one run.
    std::vector<size_t> first(positions_.size() + 1, 0);
    for (const Pending& p : pending_) ++first[p.position + 1];
    for (size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
    std::vector<Pending> by_position(pending_.size());
    {
        std::vector<size_t> next(first.begin(), first.end() - 1);
        for (const Pending& p : pending_) by_position[next[p.position]++] = p;
    }
    pending_.clear();

    std::vector<uint32_t> ids;
    for (size_t pos = 0; pos < positions_.size(); ++pos) {
        const size_t begin = first[pos], end = first[pos + 1];
        if (begin == end) continue;
        std::array<size_t, CharacterMap::key_count + 1> key_first{};
        for (size_t i = begin; i < end; ++i) ++key_first[by_position[i].key + 1];
        for (size_t k = 1; k < key_first.size(); ++k) key_first[k] += key_first[k - 1];
        ids.resize(end - begin);
        auto next = key_first;
        for (size_t i = begin; i < end; ++i) ids[next[by_position[i].key]++] = by_position[i].id;
        for (size_t k = 0; k < CharacterMap::key_count; ++k) {
            if (key_first[k] == key_first[k + 1]) continue;
            positions_[pos].add_many(static_cast<uint16_t>(k),
                                     std::span<const uint32_t>(ids.data() + key_first[k], key_first[k + 1] - key_first[k]));
        }
    }
    // A large batch should not keep its list's memory for the life of the index.
    if (pending_.capacity() > 4096) pending_ = std::vector<Pending>();
}

void PositionalBitmap::remove(std::string_view bytes, uint32_t id) {
    // A pending copy of the id would otherwise reappear at the next flush.
    flush();
    whole_.remove(bytes, id);
    const size_t n = bytes.size();
    if (n == 0) {
        empty_strings_.bitmap().remove(id);
        return;
    }
    if (!fits(n)) return;  // never placed: insertion would have grown the range
    const size_t s = start_position(n);
    positions_[s].remove(CharacterMap::start_key, id);
    for (size_t i = 0; i < n; ++i) positions_[s + i].remove(byte_at(bytes, i), id);
    positions_[s + n - 1].remove(CharacterMap::end_key, id);
}

void PositionalBitmap::retain(const Bitmap& keep) {
    flush();
    for (CharacterMap& pos : positions_) pos.retain(keep);
    empty_strings_.bitmap() &= keep;
    whole_.retain(keep);
}

void PositionalBitmap::merge_from(const PositionalBitmap& other) {
    if (&other == this) return;
    flush();
    grow_to(other.position_count());
    // Both ranges are centred, so the other's position p is this one's p + shift.
    const size_t shift = (position_count() - other.position_count()) / 2;
    for (size_t p = 0; p < other.position_count(); ++p) positions_[p + shift].merge(other.positions_[p]);
    // The other's owner should have flushed; if not, its pending ids still count.
    for (const Pending& p : other.pending_) positions_[p.position + shift].add(p.key, p.id);
    empty_strings_.bitmap() |= other.empty_strings_.bitmap();
    whole_.merge_from(other.whole_);
}

bool PositionalBitmap::gather_bytes(size_t first, std::string_view bytes, SetList& sets) const {
    for (size_t k = 0; k < bytes.size(); ++k) {
        const HybridSet* s = positions_[first + k].byte(byte_at(bytes, k));
        if (!s) return false;
        sets.push_back(s);
    }
    return true;
}

Bitmap PositionalBitmap::all_strings() const {
    Bitmap out = empty_strings_.bitmap().clone();
    // Every start lies in the left half.
    for (size_t p = 0; p < position_count() / 2; ++p)
        if (const HybridSet* starts = positions_[p].start_mark()) starts->union_into(out);
    return out;
}

namespace {

// The ids of `ids` in the set, without copying a large set.
Bitmap restricted(const HybridSet& set, const Bitmap& ids) {
    if (const Bitmap* large = set.bitmap()) return ids & *large;
    std::vector<uint32_t> hits;
    set.for_each([&](uint32_t id) {
        if (ids.contains(id)) hits.push_back(id);
    });
    Bitmap out;
    out.add_many(hits);
    return out;
}

}  // namespace

namespace {

// Which group of a partition of `ids` each id is in: a table over the ids'
// span when they are not too sparse in it, else a search of the sorted ids.
class GroupOf {
public:
    explicit GroupOf(const Bitmap& ids) {
        if (ids.empty()) return;
        base_ = ids.minimum();
        const uint64_t span = uint64_t(ids.maximum()) - base_ + 1;
        if (span <= dense_ratio * ids.cardinality() + 65536) {
            table_.resize(span);
        } else {
            sorted_ = ids.to_vector();
            table_.resize(sorted_.size());
        }
    }

    uint32_t& operator[](uint32_t id) {
        if (sorted_.empty()) return table_[id - base_];
        return table_[std::lower_bound(sorted_.begin(), sorted_.end(), id) - sorted_.begin()];
    }

private:
    static constexpr uint64_t dense_ratio = 64;
    uint32_t base_ = 0;
    std::vector<uint32_t> sorted_;
    std::vector<uint32_t> table_;
};

Bitmap restricted_pair(const HybridSet& set, const Bitmap& ids) {
    if (const Bitmap* large = set.bitmap())
        return large->cardinality() < ids.cardinality() ? intersect_pair(*large, ids) : intersect_pair(ids, *large);
    return restricted(set, ids);
}

}  // namespace

constexpr size_t few_prefixes = 16;

void PositionalBitmap::for_each_distinct(const Bitmap& within,
                                         const std::function<void(std::string_view, Bitmap&)>& fn) const {
    if (whole_.active()) {
        // Few distinct strings: each already has its own set of ids.
        uint64_t held = 0;
        whole_.for_each([&](const std::string&, const Bitmap& ids) { held += ids.cardinality(); });
        if (within.empty()) return;
        // Roaring meets a set with a much larger or a much smaller `within`
        // by galloping; in between it merges `within` once per string.
        const uint64_t asked_count = within.cardinality();
        if (asked_count * 32 < held || asked_count * 2 > held) {
            whole_.for_each([&](const std::string& bytes, const Bitmap& ids) {
                Bitmap found = ids & within;
                if (!found.empty()) fn(bytes, found);
            });
            return;
        }
        // So `within` is read once into a flat array of bits, and each set's
        // ids are tested there.
        const uint32_t top = within.maximum();
        std::vector<uint64_t> asked(top / 64 + 1, 0);
        within.for_each([&](uint32_t id) { asked[id / 64] |= uint64_t(1) << (id % 64); });
        std::vector<uint32_t> hits;
        whole_.for_each([&](const std::string& bytes, const Bitmap& ids) {
            hits.clear();
            ids.for_each([&](uint32_t id) {
                if (id <= top && (asked[id / 64] >> (id % 64) & 1)) hits.push_back(id);
            });
            if (hits.empty()) return;
            Bitmap found;
            found.add_many(hits.data(), hits.size());
            fn(bytes, found);
        });
        return;
    }
    Bitmap empty = empty_strings_.bitmap() & within;
    if (!empty.empty()) fn(std::string_view(), empty);
    // Position by position, every string still open at once: the ids of one
    // byte at one position are met once for all prefixes, and each id then
    // finds its prefix in a table. Meeting them once per prefix instead
    // would read the whole set of a byte as many times as there are
    // prefixes, whatever the number of ids asked about.
    struct Frame {
        std::string prefix;
        Bitmap ids;
    };
    std::vector<Frame> open;
    // Made when two prefixes are first open at one position.
    std::optional<GroupOf> group;
    const size_t last_start = position_count() / 2;
    for (size_t q = 0; q < position_count(); ++q) {
        // Every start lies in the left half.
        if (q < last_start) {
            if (const HybridSet* starts = positions_[q].start_mark()) {
                Bitmap ids = restricted(*starts, within);
                if (!ids.empty()) open.push_back(Frame{std::string(), std::move(ids)});
            }
        }
        if (open.empty()) {
            if (q >= last_start) break;
            continue;
        }
        const bool one = open.size() == 1;
        // A few prefixes take their ids by intersection; many look each id
        // up in a table, whose reads miss the cache once it is large.
        const bool few = open.size() <= few_prefixes;
        Bitmap several;
        if (!one) {
            if (!few && !group) group.emplace(within);
            std::vector<const Bitmap*> parts;
            for (uint32_t f = 0; f < open.size(); ++f) {
                parts.push_back(&open[f].ids);
                if (!few) open[f].ids.for_each([&](uint32_t id) { (*group)[id] = f; });
            }
            several = Bitmap::union_of(parts);
        }
        const Bitmap& here = one ? open[0].ids : several;
        const CharacterMap& at = positions_[q];
        const HybridSet* end_marks = at.end_mark();
        const Bitmap ends = end_marks ? restricted_pair(*end_marks, here) : Bitmap();
        std::vector<Frame> next;
        // The ids of each open frame under the byte at hand.
        std::vector<std::vector<uint32_t>> split(one ? 0 : open.size());
        std::vector<uint32_t> touched;
        auto go_on = [&](std::string prefix, Bitmap ids) {
            // Strings that end at this byte are complete; the rest go on.
            if (!ends.empty()) {
                Bitmap done = ids & ends;
                if (!done.empty()) {
                    ids -= done;
                    fn(prefix, done);
                }
            }
            if (!ids.empty()) next.push_back(Frame{std::move(prefix), std::move(ids)});
        };
        at.for_each([&](uint16_t key, const HybridSet& set) {
            if (key >= CharacterMap::start_key) return;
            Bitmap hits = restricted_pair(set, here);
            if (hits.empty()) return;
            if (one) {
                go_on(open[0].prefix + static_cast<char>(key), std::move(hits));
                return;
            }
            if (few) {
                for (const Frame& frame : open) {
                    Bitmap part = hits & frame.ids;
                    if (!part.empty()) go_on(frame.prefix + static_cast<char>(key), std::move(part));
                }
                return;
            }
            hits.for_each([&](uint32_t id) {
                const uint32_t f = (*group)[id];
                std::vector<uint32_t>& to = split[f];
                if (to.empty()) touched.push_back(f);
                to.push_back(id);
            });
            for (uint32_t f : touched) {
                Bitmap ids;
                ids.add_many(split[f]);
                split[f].clear();
                go_on(open[f].prefix + static_cast<char>(key), std::move(ids));
            }
            touched.clear();
        });
        open.swap(next);
    }
}

Bitmap PositionalBitmap::match_eq(std::string_view bytes, const Bitmap* within) const {
    if (whole_.active()) {
        const Bitmap* ids = whole_.find(bytes);
        if (!ids) return Bitmap();
        return within ? *ids & *within : ids->clone();
    }
    const size_t n = bytes.size();
    if (n == 0) return empty_strings_.bitmap().clone();
    Bitmap out;
    if (!fits(n)) return out;
    // Start and end marks together fix the length: strings of n and n + 1
    // bytes may start at the same position, but never also end at the same one.
    const size_t s = start_position(n);
    const HybridSet* starts = positions_[s].start_mark();
    const HybridSet* ends = positions_[s + n - 1].end_mark();
    if (!starts || !ends) return out;
    SetList sets{starts, ends};
    if (gather_bytes(s, bytes, sets)) add_intersection(sets, out, within);
    if (within) out &= *within;
    return out;
}

uint64_t PositionalBitmap::eq_estimate(std::string_view bytes) const {
    if (whole_.active()) {
        const Bitmap* ids = whole_.find(bytes);
        return ids ? ids->cardinality() : 0;
    }
    const size_t n = bytes.size();
    if (n == 0) return empty_strings_.bitmap().cardinality();
    if (!fits(n)) return 0;
    const size_t s = start_position(n);
    const HybridSet* starts = positions_[s].start_mark();
    const HybridSet* ends = positions_[s + n - 1].end_mark();
    if (!starts || !ends) return 0;
    SetList sets{starts, ends};
    if (!gather_bytes(s, bytes, sets)) return 0;
    uint64_t bound = std::numeric_limits<uint64_t>::max();
    for (const HybridSet* set : sets) bound = std::min<uint64_t>(bound, set->size());
    return bound;
}

template <class Mark>
Bitmap PositionalBitmap::scan(std::string_view bytes, size_t first, size_t last, std::ptrdiff_t offset, Mark mark,
                              const Bitmap* within) const {
    Bitmap out;
    SetList sets;
    std::optional<FlatIds> flat;
    std::vector<uint32_t> scratch;
    if (within && FlatIds::worth_it(*within)) flat.emplace(*within);
    for (size_t at = first; at < last; ++at) {
        sets.clear();
        if constexpr (!std::is_same_v<Mark, std::nullptr_t>) {
            const HybridSet* marked = mark(positions_[at]);
            if (!marked) continue;
            sets.push_back(marked);
        }
        if (!gather_bytes(static_cast<size_t>(static_cast<std::ptrdiff_t>(at) + offset), bytes, sets)) continue;
        if (flat) add_flat_intersection(sets, out, *flat, scratch);
        else add_intersection(sets, out, within);
    }
    return out;
}

Bitmap PositionalBitmap::match_prefix(std::string_view bytes, const Bitmap* within) const {
    const size_t n = bytes.size();
    if (n == 0) return all_strings();
    // A string no shorter than n could only have been placed if n fits, and it
    // starts no later than an n-byte string would.
    if (!fits(n)) return Bitmap();
    return scan(bytes, 0, start_position(n) + 1, 0, [](const CharacterMap& p) { return p.start_mark(); }, within);
}

Bitmap PositionalBitmap::match_suffix(std::string_view bytes, const Bitmap* within) const {
    const size_t n = bytes.size();
    if (n == 0) return all_strings();
    // Mirror of the prefix scan: a string no shorter than n ends no earlier
    // than an n-byte string would.
    if (!fits(n)) return Bitmap();
    const std::ptrdiff_t back = 1 - static_cast<std::ptrdiff_t>(n);
    return scan(bytes, start_position(n) + n - 1, position_count(), back,
                [](const CharacterMap& p) { return p.end_mark(); }, within);
}

Bitmap PositionalBitmap::match_contains(std::string_view bytes, const Bitmap* within) const {
    const size_t n = bytes.size();
    if (n == 0) return all_strings();
    if (!fits(n)) return Bitmap();  // no stored string is that long
    // Every offset at which an n-byte run fits inside the range.
    return scan(bytes, 0, position_count() + 1 - n, 0, nullptr, within);
}

size_t PositionalBitmap::set_count() const noexcept {
    size_t total = 0;
    for (const CharacterMap& pos : positions_) total += pos.set_count();
    return total;
}

size_t PositionalBitmap::memory_bytes() const noexcept {
    size_t total = sizeof(*this) + positions_.capacity() * sizeof(CharacterMap) +
                   pending_.capacity() * sizeof(Pending) +
                   roaring_bitmap_size_in_bytes(empty_strings_.bitmap().raw());
    for (const CharacterMap& pos : positions_) total += pos.memory_bytes();
    return total;
}

}  // namespace tarnwick
