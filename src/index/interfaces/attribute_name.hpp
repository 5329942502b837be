// Interned id of an attribute name given as a Python str.
#pragma once

#include "index/pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tarnwick {

// The name's interned id, interning it if new. Nothing (with the Python error
// set) when the str has no UTF-8 form. Needs the GIL; the caller has checked
// that name is a str.
//
// Attribute reads are as frequent as in plain Python code, so exact strs are
// first looked up by address among recently used names, then in a dict from
// name to id, and only then hashed as UTF-8 text for the interner.
std::optional<uint32_t> attribute_name_id(PyObject* name);

// The same, for the attribute read: true with the id stored in `id`, or false
// with the error set. A 32-bit optional comes back through memory as two
// separate stores read as one word, which stalls the load on every read.
bool attribute_name_id_into(PyObject* name, uint32_t& id);

// Most reads name their attribute with the very same (interned) str object
// every time, so a direct-mapped table keyed by the object's address answers
// nearly all lookups. Each entry holds a reference to its str (always an
// exact str), so an address cannot be reused by another object while it is
// in the table. Guarded by the GIL. Inline for the attribute read, which
// would otherwise pay a call and its register saves per read.
struct RecentName {
    PyObject* name;
    uint32_t id;
};
inline constexpr size_t RECENT_NAMES = 256;
extern RecentName recent_names[RECENT_NAMES];

inline size_t recent_slot(PyObject* name) noexcept {
    auto p = reinterpret_cast<uintptr_t>(name);
    return ((p >> 4) ^ (p >> 12)) & (RECENT_NAMES - 1);
}

// The id of name if it is a recently used name object (any object may be
// asked: an entry matches only its own exact str). False otherwise, with no
// error set: ask attribute_name_id_into then.
inline bool recent_name_id(PyObject* name, uint32_t& id) noexcept {
    const RecentName& entry = recent_names[recent_slot(name)];
    if (entry.name != name) return false;
    id = entry.id;
    return true;
}

}  // namespace tarnwick
