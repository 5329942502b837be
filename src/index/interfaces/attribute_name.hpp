// Interned id of an attribute name given as a Python str.
#pragma once

#include "index/pyref.hpp"

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

}  // namespace tarnwick
