// Shared pieces of the engine thread tests: values built without Python
// objects, objects built natively, a stand-in for attribute assignment, reads
// of a value index as the match operators make them, and a thread runner that
// turns a deadlock into a failure.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/indexable_record.hpp"
#include "index/value.hpp"

namespace tarnwick::testing {

// Scalar values carry no Python object, so threads may copy and drop them
// freely.
PyValue int_value(int64_t v);
PyValue float_value(double v);
PyValue str_value(std::string_view text);
PyValue bool_value(bool v);
PyValue temporal_value(TemporalKind kind, int64_t days);
// A container value without a Python container: enough for the map, which
// takes its items separately and removes by owner.
PyValue native_list_value();

uint32_t attribute_id(std::string_view name);

// An object as the engine sees it, with or without a Python counterpart.
struct TestObject {
    RecordPtr record;
    PyHandle python;  // empty for native-only objects

    uint32_t id() const { return record->id; }
    StoredItem item() const { return StoredItem{python, record}; }
    // Its value as an attribute of another object. Needs `python`; takes the GIL.
    PyValue as_value() const;
};

TestObject native_object();
// A Python Indexable; takes the GIL.
TestObject python_object();

// Sets an attribute the way assignment on an Indexable does: under the
// object's engine list, every live engine forgets the old value and indexes
// the new one, then the map is written with the GIL held. Names starting
// with "_" reach only the engines that indexed their value. Runs the queued
// nested work afterwards.
void assign(const TestObject& object, uint32_t attribute, const PyValue& value);
// Writes the map only, as for an object no engine knows yet. The map takes
// the value itself (a copy of a direct reference would hold no object).
void set_plain(const TestObject& object, uint32_t attribute, PyValue value);

// The ids matching `value` exactly in `map`, element ids replaced by their
// owners, read as the equality operator of queries reads them.
Bitmap match(const QueryMap& map, const PyValue& value);
// The same against an attribute of an engine; empty when it has no map.
Bitmap match(const IndexAPI& engine, uint32_t attribute, const PyValue& value);
// The installed map of an attribute, or null.
QueryMap* map_of(const IndexAPI& engine, uint32_t attribute);

Bitmap bitmap_of(const std::vector<uint32_t>& ids);

// Runs body(0..n-1) on n threads released together. A run that does not
// finish within the limit is a deadlock: the process reports it and aborts,
// since stuck threads cannot be joined.
void run_threads(size_t n, const std::function<void(size_t)>& body,
                 std::chrono::seconds limit = std::chrono::seconds(300));

// Releases Python references that engine threads parked, and collects
// objects left in reference cycles. Takes the GIL.
void settle_python();

// Base of the engine tests. Python references parked by engine threads and
// cycles among test objects are released after the test's locals are gone.
class EngineTest : public ::testing::Test {
protected:
    void TearDown() override { settle_python(); }
};

}  // namespace tarnwick::testing
