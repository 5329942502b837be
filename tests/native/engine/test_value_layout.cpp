// Every kind of stored value through the packed layout: conversion, copies,
// moves, assignment across kinds, relocation in a growing vector, equality
// and hashing. Under the sanitizers a payload that is built twice, never
// built or read through the wrong alternative fails here, not only the size
// checks of value.hpp.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "engine_support.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/pyref.hpp"
#include "index/core/query/query_map.hpp"
#include "index/value.hpp"

namespace tarnwick::testing {
namespace {

struct ValueCase {
    const char* name;
    // A Python expression (datetime is in scope), or null for a new Indexable.
    const char* expression;
    ValueKind kind;
    // Whether converting an equal object made anew gives an equal value
    // (false where equality is identity).
    bool equal_when_remade;
};

const ValueCase CASES[] = {
    {"int", "-7", ValueKind::Int, true},
    {"large_int", "2 ** 62 + 5", ValueKind::Int, true},
    {"float", "2.5", ValueKind::Float, true},
    {"inline_str", "'city07'", ValueKind::Str, true},
    {"heap_str", "'a text too long to live inside the value itself'", ValueKind::Str, true},
    {"surrogate_str", "'x\\ud800y'", ValueKind::Str, true},
    {"empty_str", "''", ValueKind::Str, true},
    {"bool", "False", ValueKind::Bool, true},
    {"list", "['tag01', 'tag02']", ValueKind::Iterable, false},
    {"dict", "{'k': 1}", ValueKind::Iterable, false},
    {"tuple", "(1, [2])", ValueKind::Iterable, false},
    {"set", "{4, 5}", ValueKind::Iterable, false},
    {"indexable", nullptr, ValueKind::Ind, false},
    {"big_int", "-(2 ** 100) - 3", ValueKind::Unknown, true},
    {"opaque", "object()", ValueKind::Unknown, false},
    {"date", "datetime.date(2001, 2, 3)", ValueKind::Temporal, true},
    {"aware_datetime",
     "datetime.datetime(2001, 2, 3, 4, 5, 6, 7, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))",
     ValueKind::Temporal, true},
    {"timedelta", "datetime.timedelta(days=-3, microseconds=11)", ValueKind::Temporal, true},
};

// A new object for a case. GIL held.
PyObject* make_object(const ValueCase& c) {
    PyObject* obj = nullptr;
    if (!c.expression) {
        obj = indexable_wrap(indexable_type(), IndexableRecord::make_default());
    } else {
        OwnedRef globals = OwnedRef::steal(PyDict_New());
        OwnedRef datetime = OwnedRef::steal(PyImport_ImportModule("datetime"));
        if (globals && datetime && PyDict_SetItemString(globals.get(), "datetime", datetime.get()) == 0)
            obj = PyRun_String(c.expression, Py_eval_input, globals.get(), globals.get());
    }
    if (!obj) {
        PyErr_Print();
        std::abort();
    }
    return obj;
}

// The payload read through the accessor of the value's own kind.
void expect_same_payload(const PyValue& a, const PyValue& b) {
    ASSERT_EQ(a.kind(), b.kind());
    const CastValue& l = a.primitive;
    const CastValue& r = b.primitive;
    switch (a.kind()) {
        case ValueKind::Int: EXPECT_EQ(l.as_int(), r.as_int()); break;
        case ValueKind::Float: EXPECT_EQ(std::bit_cast<uint64_t>(l.as_float()), std::bit_cast<uint64_t>(r.as_float())); break;
        case ValueKind::Str: EXPECT_EQ(l.as_str().view(), r.as_str().view()); break;
        case ValueKind::Bool: EXPECT_EQ(l.as_bool(), r.as_bool()); break;
        case ValueKind::Iterable:
            EXPECT_EQ(l.as_iterable().kind, r.as_iterable().kind);
            EXPECT_EQ(l.as_iterable().container.get(), r.as_iterable().container.get());
            break;
        case ValueKind::Ind: EXPECT_EQ(l.as_ind().record, r.as_ind().record); break;
        case ValueKind::Unknown:
            EXPECT_EQ(l.as_unknown().has_big_int(), r.as_unknown().has_big_int());
            EXPECT_EQ(l.as_unknown().big_int(), r.as_unknown().big_int());
            break;
        case ValueKind::Temporal: EXPECT_EQ(l.as_temporal(), r.as_temporal()); break;
    }
}

// Same value, same object, same payload.
void expect_identical(const PyValue& copy, const PyValue& original) {
    EXPECT_TRUE(copy == original);
    EXPECT_EQ(copy.hash(), original.hash());
    EXPECT_EQ(copy.obj.get(), original.obj.get());
    expect_same_payload(copy, original);
}

class ValueLayout : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueLayout, ConvertsToItsKindWithItsOwnPayload) {
    const ValueCase& c = GetParam();
    GilAcquire gil;
    OwnedRef obj = OwnedRef::steal(make_object(c));
    const PyValue v = PyValue::from_py(obj.get());
    ASSERT_EQ(v.kind(), c.kind);
    EXPECT_EQ(v.obj.get(), obj.get());
    switch (c.kind) {
        case ValueKind::Iterable: EXPECT_EQ(v.primitive.as_iterable().container.get(), obj.get()); break;
        case ValueKind::Ind: {
            EXPECT_EQ(v.primitive.as_ind().record, indexable_record(obj.get()));
            EXPECT_EQ(v.primitive.as_ind().id(), indexable_record(obj.get())->id);
            const StoredIndexable alone = v.nested();
            EXPECT_EQ(alone.python_handle.get(), obj.get());
            EXPECT_EQ(alone.owned_handle, v.primitive.as_ind().record);
            EXPECT_EQ(alone.id(), v.primitive.as_ind().id());
            // The debug text names the object through the value's own handle.
            EXPECT_NE(v.debug().find("StoredIndexable"), std::string::npos);
            break;
        }
        case ValueKind::Unknown: {
            const bool big = std::string(c.name) == "big_int";
            EXPECT_EQ(v.primitive.as_unknown().has_big_int(), big);
            if (big) EXPECT_EQ(v.primitive.as_unknown().big_int(), "-0x10000000000000000000000003");
            break;
        }
        default: break;
    }
    // Back to Python: the equal object (the very one where equality is identity).
    OwnedRef back = OwnedRef::steal(v.to_python());
    ASSERT_TRUE(back);
    if (c.equal_when_remade) EXPECT_EQ(PyObject_RichCompareBool(back.get(), obj.get(), Py_EQ), 1);
    else EXPECT_EQ(back.get(), obj.get());
}

TEST_P(ValueLayout, CopiesMovesAndAssignmentsKeepTheValue) {
    const ValueCase& c = GetParam();
    GilAcquire gil;
    OwnedRef obj = OwnedRef::steal(make_object(c));
    const PyValue original = PyValue::from_py(obj.get());

    PyValue copy(original);
    expect_identical(copy, original);
    PyValue moved(std::move(copy));
    expect_identical(moved, original);

    // Assignment over a value of every other layout: the old alternative is
    // destroyed and the new one built in its place.
    for (const PyValue& other : {int_value(1), str_value("an other text that lives on the heap"), native_list_value(),
                                 temporal_value(TemporalKind::Date, 3)}) {
        PyValue target = other;
        target = original;
        expect_identical(target, original);
        PyValue into = other;
        PyValue source = original;
        into = std::move(source);
        expect_identical(into, original);
    }
    // And the other way round: the value's own alternative is the one destroyed.
    PyValue overwritten = original;
    overwritten = str_value("replaced");
    EXPECT_EQ(overwritten.str(), "replaced");
    expect_identical(moved, original);

    PyValue own = original.with_own_reference();
    expect_identical(own, original);
    if (own.primitive.is_iterable()) EXPECT_EQ(own.primitive.as_iterable().container.get(), obj.get());
}

TEST_P(ValueLayout, EqualityAndHashFollowTheKind) {
    const ValueCase& c = GetParam();
    GilAcquire gil;
    OwnedRef first = OwnedRef::steal(make_object(c));
    OwnedRef second = OwnedRef::steal(make_object(c));
    const PyValue a = PyValue::from_py(first.get());
    const PyValue b = PyValue::from_py(second.get());
    EXPECT_EQ(a == b, c.equal_when_remade);
    if (c.equal_when_remade) EXPECT_EQ(a.hash(), b.hash());
    // Hashing is deterministic: converting the same object again agrees.
    EXPECT_EQ(PyValue::from_py(first.get()).hash(), a.hash());
    EXPECT_TRUE(PyValue::from_py(first.get()) == a);
}

// Two objects made by Python expressions, the equality of their values, and
// whether their hashes agree.
struct PairCase {
    const char* name;
    const char* left;
    const char* right;
    bool equal;
    bool same_hash;
};

// An opaque value keeps its Python hash, which is all that separates it from
// another one at first: these pairs hit every branch of that test.
const PairCase PAIRS[] = {
    // Python hashes ints modulo 2**61 - 1: equal hashes, different numbers.
    {"big_ints_with_one_hash", "2 ** 100", "2 ** 100 + (2 ** 61 - 1)", false, true},
    {"equal_big_ints", "2 ** 100 + 1", "2 ** 100 + 1", true, true},
    {"big_ints_apart", "2 ** 100", "2 ** 101", false, false},
    {"opaque_with_one_hash", "type('H', (), {'__hash__': lambda self: 5})()",
     "type('H', (), {'__hash__': lambda self: 5})()", false, true},
    {"opaque_hashes_apart", "type('H', (), {'__hash__': lambda self: 5})()",
     "type('H', (), {'__hash__': lambda self: 6})()", false, false},
    // Kinds never meet, whatever Python says of the objects.
    {"int_and_float", "1", "1.0", false, false},
    {"int_and_bool", "1", "True", false, false},
    {"big_int_and_float", "2 ** 100", "2.0 ** 100", false, false},
    {"signed_zeros", "0.0", "-0.0", false, false},
    {"nan_and_itself", "float('nan')", "float('nan')", false, true},
    {"long_texts", "'x' * 40", "'x' * 39 + 'y'", false, false},
};

PyObject* evaluate(const char* expression) {
    OwnedRef globals = OwnedRef::steal(PyDict_New());
    PyObject* obj = globals ? PyRun_String(expression, Py_eval_input, globals.get(), globals.get()) : nullptr;
    if (!obj) {
        PyErr_Print();
        std::abort();
    }
    return obj;
}

class ValuePairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(ValuePairs, EqualityAndHashOfTwoObjects) {
    const PairCase& c = GetParam();
    GilAcquire gil;
    OwnedRef left = OwnedRef::steal(evaluate(c.left));
    OwnedRef right = OwnedRef::steal(evaluate(c.right));
    const PyValue a = PyValue::from_py(left.get());
    const PyValue b = PyValue::from_py(right.get());
    EXPECT_EQ(a == b, c.equal);
    EXPECT_EQ(b == a, c.equal);
    EXPECT_EQ(a.hash() == b.hash(), c.same_hash);
    // The exact-value maps key by the same hash and the same equality.
    const ExactKey ka(a);
    const ExactKey kb(b);
    EXPECT_EQ(ka.stored_hash(), a.hash());
    EXPECT_EQ(ka == kb, c.equal);
    // An opaque value's hash is the Python hash of its object (of the equal
    // int for a big int), sign-extended.
    for (const auto& [value, object] : {std::pair{&a, left.get()}, std::pair{&b, right.get()}}) {
        if (!value->primitive.is_unknown()) continue;
        EXPECT_EQ(value->hash(), static_cast<uint64_t>(static_cast<int64_t>(PyObject_Hash(object))));
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, ValuePairs, ::testing::ValuesIn(PAIRS),
                         [](const ::testing::TestParamInfo<PairCase>& info) { return std::string(info.param.name); });

// A copy of a big int shares its text; the last copy to go frees it (the
// sanitizer's leak check and use-after-free detection watch this).
TEST(ValueLayoutUnknown, BigIntTextOutlivesEveryCopyButTheLast) {
    GilAcquire gil;
    OwnedRef big = OwnedRef::steal(evaluate("-(2 ** 80)"));
    std::vector<PyValue> copies;
    {
        const PyValue v = PyValue::from_py(big.get());
        for (int i = 0; i < 5; ++i) copies.push_back(v);
    }
    while (copies.size() > 1) {
        copies.erase(copies.begin());
        EXPECT_EQ(copies.front().primitive.as_unknown().big_int(), "-0x100000000000000000000");
    }
    copies.clear();
    drain_pending_decrefs();
}

INSTANTIATE_TEST_SUITE_P(EveryKind, ValueLayout, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

// No two cases hold equal values, so any equality across them is a payload
// read through the wrong alternative. The values then move around a vector
// that grows one at a time (relocating every kind many times) and a rotation
// that swaps values of different kinds.
TEST(ValueLayoutMix, DistinctValuesStayDistinctThroughRelocation) {
    GilAcquire gil;
    std::vector<OwnedRef> objects;
    std::vector<PyValue> originals;
    for (const ValueCase& c : CASES) {
        objects.push_back(OwnedRef::steal(make_object(c)));
        originals.push_back(PyValue::from_py(objects.back().get()));
    }
    const size_t n = originals.size();
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) EXPECT_EQ(originals[i] == originals[j], i == j) << CASES[i].name << " vs " << CASES[j].name;

    std::vector<PyValue> grown;
    for (size_t round = 0; round < 8; ++round)
        for (const PyValue& v : originals) grown.push_back(v);
    for (size_t i = 0; i < grown.size(); ++i) expect_identical(grown[i], originals[i % n]);

    std::vector<PyValue> rotated = originals;
    for (size_t i = 0; i + 1 < n; ++i) std::swap(rotated[i], rotated[i + 1]);
    for (size_t i = 0; i < n; ++i) expect_identical(rotated[i], originals[(i + 1) % n]);
    grown.clear();
    originals.clear();
    objects.clear();
    drain_pending_decrefs();
}

}  // namespace
}  // namespace tarnwick::testing
