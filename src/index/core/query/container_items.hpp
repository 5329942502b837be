// The items of a list, tuple or set value, converted for indexing.
//
// Every item of a container value is indexed under an element id of its own
// that maps back to the object holding the value. Items of a container nested
// inside the value are flattened into the same sequence, right after the entry
// of their container (which carries no value of its own), so that items at
// every depth belong to the outermost object: a match deep inside nested lists
// still names the object, and removing the value finds all of them.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "index/indexable_record.hpp"
#include "index/value.hpp"

namespace tarnwick {

class GcMirror;

// In indexing order; an empty optional stands for a nested container.
using ContainerItems = std::vector<std::optional<PyValue>>;

// The items of `container`. A list is read by index while the index is below
// both its starting and its current length; a set is read from a snapshot
// taken first; a dict has no items. A container that contains itself (at any
// depth) is walked once. Needs the GIL and must run without any engine lock
// held: converting an item can run Python code. The references of the items
// are recorded in `mirror` (the tree they are made for), if given.
ContainerItems convert_container_items(const IterableValue& container, GcMirror* mirror);

// The items of `value` if it is a container, nothing otherwise. Takes the GIL
// for the conversion only.
ContainerItems container_items_of(const PyValue& value, GcMirror* mirror);

// Appends to `out` the records of the Indexables among the items of
// `container`, at every depth, as the conversion above would meet them
// (an object may be listed more than once). Needs the GIL. Converts nothing
// and calls no method of an item, so it can run while engine lists are
// held: an addition takes these objects' locks with its holders'.
void indexables_in(const IterableValue& container, std::vector<RecordPtr>& out);

}  // namespace tarnwick
