#include "index/core/structures/hybrid_set.hpp"

#include <stdexcept>

namespace tarnwick {

namespace {

constexpr size_t kEmpty = 0, kSmall = 1, kMedium = 2, kLarge = 3;

void add_run(Bitmap& b, const CenteredArray& a) { b.add_many(a.begin(), a.len()); }

CenteredArray retained(const CenteredArray& a, const Bitmap& keep) {
    CenteredArray out;
    for (uint32_t id : a.run())
        if (keep.contains(id)) out.insert(id);
    return out;
}

}  // namespace

HybridSet HybridSet::with_id(uint32_t id) {
    HybridSet s;
    s.rep_.emplace<kSmall>().insert(id);
    return s;
}

HybridSet HybridSet::medium_of(std::span<const uint32_t> ids) {
    auto array = std::make_unique<CenteredArray>();
    for (uint32_t id : ids) {
        if (!array->contains(id) && array->full())
            throw std::logic_error("a Medium HybridSet holds at most four ids");
        array->insert(id);
    }
    HybridSet s;
    s.rep_.emplace<kMedium>(std::move(array));
    return s;
}

HybridSet HybridSet::large_of(Bitmap bitmap) {
    HybridSet s;
    s.rep_.emplace<kLarge>(std::move(bitmap));
    return s;
}

HybridSet::HybridSet(const HybridSet& o) {
    switch (o.rep_.index()) {
        case kSmall:
            rep_.emplace<kSmall>(std::get<kSmall>(o.rep_));
            break;
        case kMedium:
            rep_.emplace<kMedium>(std::make_unique<CenteredArray>(*std::get<kMedium>(o.rep_)));
            break;
        case kLarge:
            rep_.emplace<kLarge>(std::get<kLarge>(o.rep_).clone());
            break;
        default:
            break;
    }
}

HybridSet& HybridSet::operator=(const HybridSet& o) {
    if (this != &o) {
        HybridSet copy(o);
        rep_ = std::move(copy.rep_);
    }
    return *this;
}

HybridSet::HybridSet(HybridSet&& o) noexcept : rep_(std::move(o.rep_)) { o.rep_.emplace<kEmpty>(); }

HybridSet& HybridSet::operator=(HybridSet&& o) noexcept {
    if (this != &o) {
        rep_ = std::move(o.rep_);
        o.rep_.emplace<kEmpty>();
    }
    return *this;
}

const CenteredArray* HybridSet::array() const noexcept {
    if (auto* small = std::get_if<kSmall>(&rep_)) return small;
    if (auto* medium = std::get_if<kMedium>(&rep_)) return medium->get();
    return nullptr;
}

CenteredArray* HybridSet::mutable_array() noexcept {
    return const_cast<CenteredArray*>(static_cast<const HybridSet*>(this)->array());
}

Bitmap& HybridSet::convert_to_large() {
    Bitmap b;
    add_run(b, *array());
    // Emplacing destroys the old alternative, freeing a Medium allocation.
    return rep_.emplace<kLarge>(std::move(b));
}

void HybridSet::add(uint32_t id) {
    switch (rep_.index()) {
        case kEmpty:
            rep_.emplace<kSmall>().insert(id);
            return;
        case kSmall: {
            // A Small set converts as soon as it holds three ids, even when
            // the new id is a duplicate.
            CenteredArray& a = std::get<kSmall>(rep_);
            if (a.len() + 1 < CenteredArray::capacity)
                a.insert(id);
            else
                convert_to_large().add(id);
            return;
        }
        case kMedium: {
            CenteredArray& a = *std::get<kMedium>(rep_);
            if (a.len() < CenteredArray::capacity)
                a.insert(id);
            else
                convert_to_large().add(id);
            return;
        }
        default:
            std::get<kLarge>(rep_).add(id);
    }
}

void HybridSet::remove(uint32_t id) {
    // Stored sets are never Empty (a value enters its map with one id and the
    // set is kept even when it runs dry), so an Empty set here can only mean
    // a set that holds nothing; removing from it has nothing to do.
    if (CenteredArray* a = mutable_array())
        a->remove(id);
    else if (Bitmap* b = std::get_if<kLarge>(&rep_))
        b->remove(id);
}

void HybridSet::retain(const Bitmap& keep) {
    switch (rep_.index()) {
        case kSmall:
            std::get<kSmall>(rep_) = retained(std::get<kSmall>(rep_), keep);
            return;
        case kMedium:
            rep_.emplace<kMedium>(std::make_unique<CenteredArray>(retained(*std::get<kMedium>(rep_), keep)));
            return;
        case kLarge:
            std::get<kLarge>(rep_) &= keep;
            return;
        default:
            return;
    }
}

void HybridSet::union_into(Bitmap& out) const {
    if (const CenteredArray* a = array())
        add_run(out, *a);
    else if (const Bitmap* b = bitmap())
        out |= *b;
}

void HybridSet::merge(const HybridSet& other) {
    // A set united with itself is itself.
    if (this == &other || other.rep_.index() == kEmpty) return;

    switch (rep_.index()) {
        case kEmpty:
            *this = other;
            return;
        case kSmall:
        case kMedium: {
            const CenteredArray& mine = *array();
            if (const CenteredArray* theirs = other.array()) {
                if (mine.len() + theirs->len() <= CenteredArray::capacity) {
                    CenteredArray u = mine;
                    u.union_with(*theirs);
                    // Small stays inline only when both sides were Small.
                    if (rep_.index() == kSmall && other.rep_.index() == kSmall)
                        std::get<kSmall>(rep_) = u;
                    else
                        rep_.emplace<kMedium>(std::make_unique<CenteredArray>(u));
                } else {
                    Bitmap b;
                    add_run(b, mine);
                    add_run(b, *theirs);
                    rep_.emplace<kLarge>(std::move(b));
                }
            } else {
                Bitmap b = other.bitmap()->clone();
                add_run(b, mine);
                rep_.emplace<kLarge>(std::move(b));
            }
            return;
        }
        default:
            other.union_into(std::get<kLarge>(rep_));
    }
}

bool HybridSet::contains(uint32_t id) const noexcept {
    if (const CenteredArray* a = array()) return a->contains(id);
    if (const Bitmap* b = bitmap()) return b->contains(id);
    return false;
}

bool HybridSet::empty() const noexcept {
    if (const CenteredArray* a = array()) return a->empty();
    if (const Bitmap* b = bitmap()) return b->empty();
    return true;
}

uint64_t HybridSet::size() const noexcept {
    if (const CenteredArray* a = array()) return a->len();
    if (const Bitmap* b = bitmap()) return b->cardinality();
    return 0;
}

Bitmap HybridSet::to_bitmap() const {
    Bitmap out;
    union_into(out);
    return out;
}

std::vector<uint32_t> HybridSet::to_vector() const {
    if (const Bitmap* b = bitmap()) return b->to_vector();
    std::vector<uint32_t> out;
    if (const CenteredArray* a = array()) out.assign(a->begin(), a->end());
    return out;
}

}  // namespace tarnwick
