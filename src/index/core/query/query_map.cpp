#include "index/core/query/query_map.hpp"

#include <algorithm>
#include <new>
#include <type_traits>
#include <utility>

#include "index/core/structures/id_alloc.hpp"
#include "index/core/index.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/query/bulk_query_map_adder.hpp"

namespace tarnwick {
namespace {

SharedItemTable items_of(const std::weak_ptr<IndexAPI>& owner) {
    if (auto engine = owner.lock()) return engine->items;
    return std::make_shared<RwLocked<ItemTable>>();
}

// A chain of nested objects (a linked list of Indexables, say) makes a chain
// of nested engines as deep as the list is long. Releasing them recursively
// would take stack in proportion; instead a release that happens while another
// is running on this thread is queued and done by the outermost one.
thread_local std::vector<std::shared_ptr<IndexAPI>> engines_to_release;
thread_local bool releasing_engines = false;

void release_engine(std::shared_ptr<IndexAPI> engine) noexcept {
    if (releasing_engines) {
        engines_to_release.push_back(std::move(engine));
        return;
    }
    releasing_engines = true;
    engine.reset();
    while (!engines_to_release.empty()) {
        std::shared_ptr<IndexAPI> next = std::move(engines_to_release.back());
        engines_to_release.pop_back();
        next.reset();
    }
    releasing_engines = false;
}

}  // namespace

std::optional<OrderKey> order_key_of(const CastValue& value) noexcept {
    if (value.is_int()) return order_key_int(value.as_int());
    if (value.is_float()) return order_key_float(value.as_float());
    return std::nullopt;
}

static_assert(TemporalBitmaps::kinds == TEMPORAL_KIND_COUNT);

OrderKey temporal_order_key(const TemporalValue& value) noexcept {
    return order_key_days_micros(value.days, value.micros);
}

void BoolBitmaps::flush() {
    sets[0].flush();
    sets[1].flush();
}

// ---- OwnedElements ----------------------------------------------------------

static_assert(std::is_nothrow_move_constructible_v<PyValue>, "entries move when a block grows");

void OwnedElements::reserve(size_t n) {
    if (n <= capacity()) return;
    if (n > UINT32_MAX) throw std::bad_alloc();
    void* raw = ::operator new(sizeof(Block) + n * sizeof(OwnedElement));
    Block* grown = new (raw) Block{0, static_cast<uint32_t>(n)};
    for (OwnedElement& e : *this) {
        new (grown->entries() + grown->size) OwnedElement(std::move(e));
        ++grown->size;
    }
    release();
    block_ = grown;
}

void OwnedElements::push_back(uint32_t element, std::optional<PyValue> value) {
    if (size() == capacity()) reserve(std::max<size_t>(2, 2 * size()));
    const bool valued = value.has_value();
    new (block_->entries() + block_->size) OwnedElement{element, valued, valued ? std::move(*value) : PyValue()};
    ++block_->size;
}

void OwnedElements::release() noexcept {
    Block* block = std::exchange(block_, nullptr);
    if (!block) return;
    for (uint32_t i = 0; i < block->size; ++i) block->entries()[i].~OwnedElement();
    block->~Block();
    ::operator delete(block);
}

// ---- ElementOwners --------------------------------------------------------

void ElementOwners::record(uint32_t element, uint32_t owner, std::optional<PyValue> value) {
    alloc_point();
    OwnedElements& entries = by_owner_[owner];
    if (entries.size() == entries.capacity()) entries.reserve(std::max<size_t>(2, 2 * entries.size()));
    owner_of_.set(element, owner);
    entries.push_back(element, std::move(value));
}

void ElementOwners::record_many(const std::vector<uint32_t>& elements, uint32_t owner, const ContainerItems& items) {
    if (elements.empty()) return;
    alloc_point();
    OwnedElements& entries = by_owner_[owner];
    entries.reserve(entries.size() + elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        owner_of_.set(elements[i], owner);
        entries.push_back(elements[i], items[i]);
    }
}

void ElementOwners::owners_of(const std::vector<uint32_t>& elements, std::vector<uint32_t>& owners) const {
    owner_of_.get_many(elements.data(), elements.size(), [&owners](uint32_t, uint32_t owner) { owners.push_back(owner); });
}

void ElementOwners::append_detached(uint32_t owner, OwnedElements& entries, std::vector<ElementEntry>& out) {
    // Called once per owner into one list: room grows geometrically, never
    // to the exact size (that would copy the whole list for every owner).
    const size_t needed = out.size() + entries.size();
    if (needed > out.capacity()) out.reserve(std::max(needed, out.capacity() * 2));
    for (OwnedElement& e : entries)
        out.push_back(ElementEntry{e.element, owner, e.valued ? std::optional<PyValue>(std::move(e.value)) : std::nullopt});
}

std::vector<ElementEntry> ElementOwners::detach(uint32_t owner) {
    OwnedElements* entries = by_owner_.find(owner);
    if (!entries) return {};
    std::vector<ElementEntry> out;
    append_detached(owner, *entries, out);
    by_owner_.erase(owner);
    return out;
}

std::vector<ElementEntry> ElementOwners::detach_where(const std::function<bool(uint32_t)>& taken) {
    std::vector<uint32_t> owners;
    by_owner_.for_each([&](uint32_t owner, const OwnedElements&) {
        if (taken(owner)) owners.push_back(owner);
    });
    std::vector<ElementEntry> out;
    for (uint32_t owner : owners) {
        append_detached(owner, *by_owner_.find(owner), out);
        by_owner_.erase(owner);
    }
    return out;
}

std::vector<ElementEntry> ElementOwners::detach_owners(const Bitmap& owners) {
    return detach_where([&](uint32_t owner) { return owners.contains(owner); });
}

Bitmap ElementOwners::valued_elements_of(const Bitmap& owners) const {
    Bitmap out;
    by_owner_.for_each([&](uint32_t owner, const OwnedElements& entries) {
        if (!owners.contains(owner)) return;
        for (const OwnedElement& e : entries)
            if (e.valued) out.add(e.element);
    });
    return out;
}

Bitmap ElementOwners::elements_of(const Bitmap& owners) const {
    Bitmap out;
    owners.for_each([&](uint32_t owner) {
        if (const OwnedElements* entries = by_owner_.find(owner))
            for (const OwnedElement& e : *entries) out.add(e.element);
    });
    return out;
}

std::optional<PyValue> ElementOwners::value_of(uint32_t element) const {
    const std::optional<uint32_t> owner = owner_of_.get(element);
    if (!owner) return std::nullopt;
    const OwnedElements* entries = by_owner_.find(*owner);
    if (!entries) return std::nullopt;
    for (const OwnedElement& e : *entries)
        if (e.element == element) return e.item();
    return std::nullopt;
}

void ElementOwners::forget(uint32_t element) { owner_of_.erase(element); }

// ---- QueryMap --------------------------------------------------------------

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner_engine)
    : owner(std::move(owner_engine)),
      nested(IndexAPI::create(owner)),
      items(items_of(owner)),
      gc_mirror(nested->gc_mirror) {}

QueryMap::~QueryMap() {
    // Element ids come from the process-wide allocator; ids never returned
    // would make every later object id, and every item table, larger.
    element_owners.get().for_each_element([](uint32_t element) { free_id(element, ELEMENT_IDS); });
    release_engine(std::move(nested));
}

void QueryMap::insert_str(std::string_view bytes, uint32_t id) {
    WriteGuard g(strings.lock());
    strings.get().insert(bytes, id);
}

void QueryMap::insert_num_ordered(const OrderKey& key, uint32_t id) {
    WriteGuard g(numbers.lock());
    numbers.get().insert(key, id);
}

void QueryMap::insert_bool(bool value, uint32_t id) {
    WriteGuard g(bools.lock());
    bools.get().of(value).bitmap().add(id);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
    alloc_point();
    ExactKey key(value);
    auto shard = exact_values.get_shard(key);
    auto it = shard->find(key);
    if (it != shard->end()) {
        it->second.add(id);
    } else {
        shard->emplace(std::move(key), HybridSet::with_id(id));
    }
}

void QueryMap::insert_temporal(const TemporalValue& value, uint32_t id) {
    const OrderKey key = temporal_order_key(value);
    WriteGuard g(temporals.lock());
    temporals.get().get_or_create(static_cast<size_t>(value.kind)).insert(key, id);
}

bool QueryMap::may_link(const PyValue& child, uint32_t holder) {
    const IndexableLink& link = child.primitive.as_ind();
    if (!link.record) return false;
    const uint32_t child_id = link.id();
    // A map whose engine is gone is reached only through views; it keeps what
    // it has but nests nothing new.
    std::shared_ptr<IndexAPI> engine = owner.lock();
    if (!engine) return false;
    if (child_id == holder) {
        WriteGuard g(self_holders.lock());
        self_holders.get().add(holder);
        return false;
    }
    return !engine->is_holder_or_ancestor(holder, child_id);
}

bool QueryMap::insert_indexable(const PyValue& child, uint32_t holder) {
    if (!may_link(child, holder)) return false;
    if (nested->register_path(holder, child.primitive.as_ind().id())) defer_nested_add(nested, child.nested());
    return true;
}

void QueryMap::note_linked(uint32_t holder) {
    WriteGuard g(linked_holders.lock());
    linked_holders.get().add(holder);
}

Bitmap QueryMap::linked_holders_of(const PyValue& child) const {
    const IndexableLink& link = child.primitive.as_ind();
    if (!link.record) return Bitmap();
    {
        ReadGuard g(linked_holders.lock());
        if (linked_holders.get().empty()) return Bitmap();
    }
    Bitmap holders = nested->holders_of(link.id());
    if (holders.empty()) return holders;
    ReadGuard g(linked_holders.lock());
    holders &= linked_holders.get();
    return holders;
}

void QueryMap::remove_nested_value(const PyValue& child, uint32_t holder) {
    bool linked = false;
    {
        WriteGuard g(linked_holders.lock());
        Bitmap& set = linked_holders.get();
        linked = set.contains(holder);
        if (linked) set.remove(holder);
    }
    if (!linked) remove_exact(child, holder);
    unlink_indexable(child, holder);
}

void QueryMap::record_elements(const std::vector<uint32_t>& elements, uint32_t owner_id, const ContainerItems& items) {
    {
        WriteGuard g(element_owners.lock());
        element_owners.get().record_many(elements, owner_id, items);
    }
    WriteGuard g(element_ids.lock());
    element_ids.get().add_many(elements);
}

void QueryMap::insert_items(ContainerItems container_items, uint32_t owner_id) {
    insert_items_by_kind(*this, std::move(container_items), owner_id);
}

void QueryMap::insert_value(const PyValue& value, ContainerItems container_items, uint32_t id) {
    insert_by_kind(*this, value, std::move(container_items), id);
}

void QueryMap::replace_value(const PyValue* old, const PyValue* value, ContainerItems container_items, uint32_t id) {
    WriteGuard g(replacing);
    // A number replacing a number changes only the key slices where the two
    // keys differ (for nearby values, a handful of the 76).
    if (old && value) {
        const std::optional<OrderKey> from = order_key_of(old->primitive), to = order_key_of(value->primitive);
        if (from && to) {
            WriteGuard n(numbers.lock());
            numbers.get().replace(*from, *to, id);
            return;
        }
    }
    if (old) remove_id(*old, id);
    if (value) insert_value(*value, std::move(container_items), id);
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
    const CastValue& p = value.primitive;
    switch (p.kind()) {
        case ValueKind::Int:
        case ValueKind::Float:
            remove_num_ordered(*order_key_of(p), id);
            break;
        case ValueKind::Str: {
            WriteGuard g(strings.lock());
            strings.get().remove(p.as_str().view(), id);
            break;
        }
        case ValueKind::Bool: {
            WriteGuard g(bools.lock());
            BoolBitmaps::Element& set = bools.get().of(p.as_bool());
            set.flush();
            set.bitmap().remove(id);
            break;
        }
        case ValueKind::Iterable:
            remove_elements_of(id);
            break;
        case ValueKind::Ind:
            remove_nested_value(value, id);
            break;
        case ValueKind::Unknown:
            remove_exact(value, id);
            break;
        case ValueKind::Temporal:
            remove_temporal(p.as_temporal(), id);
            break;
    }
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
    ExactKey key(value);
    auto shard = exact_values.get_shard(key);
    auto it = shard->find(key);
    if (it == shard->end()) return;
    it->second.remove(id);
    // An entry nobody holds would keep its value (and the Python object)
    // alive for as long as the engine lives.
    if (it->second.empty()) {
        gc_mirror->release_later(it->first.value.obj);
        shard->erase(it);
    }
}

void QueryMap::remove_num_ordered(const OrderKey& key, uint32_t id) {
    WriteGuard g(numbers.lock());
    numbers.get().remove(key, id);
}

void QueryMap::remove_temporal(const TemporalValue& value, uint32_t id) {
    const OrderKey key = temporal_order_key(value);
    WriteGuard g(temporals.lock());
    // Never made when an insertion failed before it: nothing to take out.
    if (NumericalBitmap* index = temporals.get().find_mutable(static_cast<size_t>(value.kind))) index->remove(key, id);
}

void QueryMap::unlink_indexable(const PyValue& child, uint32_t holder) {
    const IndexableLink& link = child.primitive.as_ind();
    if (!link.record) return;
    const uint32_t child_id = link.id();
    if (child_id == holder) {
        WriteGuard g(self_holders.lock());
        self_holders.get().remove(holder);
        return;
    }
    if (nested->unregister_path(holder, child_id)) defer_nested_remove(nested, child.nested());
}

Bitmap QueryMap::self_holders_in(const Bitmap& within) const {
    ReadGuard g(self_holders.lock());
    if (self_holders.get().empty()) return Bitmap();
    return self_holders.get() & within;
}

void QueryMap::remove_elements_of(uint32_t owner_id) {
    std::vector<ElementEntry> entries;
    {
        WriteGuard g(element_owners.lock());
        entries = element_owners.get().detach(owner_id);
    }
    remove_detached(entries);
}

void QueryMap::remove_elements_of_owners(const Bitmap& owners) {
    std::vector<ElementEntry> entries;
    {
        WriteGuard g(element_owners.lock());
        if (element_owners.get().owner_count() == 0) return;
        entries = element_owners.get().detach_owners(owners);
    }
    remove_detached(entries);
}

void QueryMap::remove_item(const ElementEntry& entry) {
    if (!entry.value) return;
    const PyValue& value = *entry.value;
    if (value.primitive.is_ind()) {
        remove_exact(value, entry.element);
        unlink_indexable(value, entry.owner);
    } else {
        remove_id(value, entry.element);
    }
}

void QueryMap::remove_detached(const std::vector<ElementEntry>& entries) {
    if (entries.empty()) return;
    // Items leave their sub-indexes while their element ids still map to the
    // owner, so no query can see an element id it cannot unmask.
    for (const ElementEntry& e : entries) remove_item(e);
    {
        WriteGuard owners_guard(element_owners.lock());
        WriteGuard ids_guard(element_ids.lock());
        for (const ElementEntry& e : entries) {
            element_owners.get().forget(e.element);
            element_ids.get().remove(e.element);
        }
    }
    for (const ElementEntry& e : entries) {
        free_id(e.element, ELEMENT_IDS);
        if (e.value) gc_mirror->release_later(e.value->obj);
    }
}

void QueryMap::unmask_ids(Bitmap& result, Bitmap* replaced) const {
    Bitmap masked;
    {
        ReadGuard g(element_ids.lock());
        if (!element_ids.get().intersects(result)) return;
        masked = element_ids.get() & result;
    }
    if (replaced) *replaced = masked.clone();
    result -= masked;
    const std::vector<uint32_t> elements = masked.to_vector();
    std::vector<uint32_t> owners;
    owners.reserve(elements.size());
    {
        ReadGuard g(element_owners.lock());
        element_owners.get().owners_of(elements, owners);
    }
    Bitmap found;
    found.add_many(owners);
    result |= found;
}

}  // namespace tarnwick
