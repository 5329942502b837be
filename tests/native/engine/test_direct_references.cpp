// The one-word handle in each of its forms (empty, everlasting, direct,
// shared box), and the direct references of attribute values: a number or
// text keeps its object without a box, copies carry the primitive alone, and
// the reference is released at once, or parked and released by the drain,
// whichever thread drops it and whatever it holds meanwhile. A release done
// twice or never shows as a wrong count here, or under the sanitizers.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine_support.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/slot_pool.hpp"
#include "index/core/structures/sync.hpp"
#include "index/pyref.hpp"
#include "index/value.hpp"

namespace tarnwick::testing {
namespace {

// What an item slot, an attribute's value and a handle cost: a value or a slot
// that grows back multiplies over every attribute and every member.
TEST(OneWordLayout, HandlesValuesAndItemSlotsKeepTheirSizes) {
    EXPECT_EQ(sizeof(PyHandle), sizeof(void*));
    EXPECT_EQ(sizeof(IterableValue), 16u);
    EXPECT_EQ(sizeof(CastValue), 24u);
    EXPECT_EQ(sizeof(PyValue), 32u);
    EXPECT_EQ(sizeof(ItemSlot), 24u);
}

PyObject* eval_expression(const char* expression) {
    OwnedRef globals = OwnedRef::steal(PyDict_New());
    OwnedRef datetime = OwnedRef::steal(PyImport_ImportModule("datetime"));
    PyObject* obj = nullptr;
    if (globals && datetime && PyDict_SetItemString(globals.get(), "datetime", datetime.get()) == 0)
        obj = PyRun_String(expression, Py_eval_input, globals.get(), globals.get());
    if (!obj) {
        PyErr_Print();
        std::abort();
    }
    return obj;
}

void drain_direct() {
    GilAcquire gil;
    drain_pending_decrefs();
}

enum class Form { Everlasting, Direct, Shared };

struct AttributeCase {
    const char* name;
    const char* expression;
    Form form;
};

// Made anew at each evaluation, so that the test's reference and the value's
// are the only ones (but for the interpreter's own cached objects).
const AttributeCase ATTRIBUTE_CASES[] = {
    {"small_int", "7", Form::Everlasting},
    {"bool", "True", Form::Everlasting},
    {"int", "int('123456789')", Form::Direct},
    {"negative_int", "-int('98765432101')", Form::Direct},
    {"float", "float('2.75')", Form::Direct},
    {"inline_str", "'city' + str(7)", Form::Direct},
    {"heap_str", "'a text too long to live inside the value ' + str(7)", Form::Direct},
    {"surrogate_str", "'x\\ud800' + str(1)", Form::Direct},
    {"big_int", "2 ** 80 + 1", Form::Shared},
    {"list", "['a', 'b']", Form::Shared},
    {"date", "datetime.date(2001, 2, 3)", Form::Shared},
    {"opaque", "object()", Form::Shared},
};

class AttributeForms : public ::testing::TestWithParam<AttributeCase> {};

TEST_P(AttributeForms, TheValueKeepsItsObjectInTheFormOfItsKind) {
    const AttributeCase& c = GetParam();
    GilAcquire gil;
    OwnedRef obj = OwnedRef::steal(eval_expression(c.expression));
    // The first conversion of the process sets up its type tables (which
    // takes references to cached objects); what making the object parked
    // goes now.
    (void)PyValue::from_py(obj.get());
    drain_pending_decrefs();
    const Py_ssize_t before = Py_REFCNT(obj.get());
    const int64_t slots_before = SlotPool::in_use();
    {
        const PyValue v = PyValue::for_attribute(obj.get());
        EXPECT_EQ(v.obj.get(), obj.get());
        EXPECT_EQ(v.obj.is_direct(), c.form == Form::Direct);
        // A read finds the object in the word itself unless it is shared.
        EXPECT_EQ(v.obj.object_in_word(), c.form == Form::Shared ? nullptr : obj.get());
        EXPECT_EQ(v.obj.shared_id() != nullptr, c.form == Form::Shared);
        // Only a held reference is visited by the collector.
        EXPECT_EQ(static_cast<bool>(v.obj), c.form != Form::Everlasting);
        EXPECT_EQ(Py_REFCNT(obj.get()), before + (c.form == Form::Everlasting ? 0 : 1));
        drain_pending_decrefs();  // what converting parked (a surrogate's bytes, a big int's text)
        EXPECT_EQ(SlotPool::in_use(), slots_before + (c.form == Form::Shared ? 1 : 0));
        // The converted value of any other path agrees with it.
        EXPECT_TRUE(v == PyValue::from_py(obj.get()));
        EXPECT_EQ(v.hash(), PyValue::from_py(obj.get()).hash());

        // A copy takes no reference and no box; a direct one has no object
        // but still gives back an equal one.
        const PyValue copy = v;
        EXPECT_EQ(Py_REFCNT(obj.get()), before + (c.form == Form::Everlasting ? 0 : 1));
        drain_pending_decrefs();  // what converting parked (a surrogate's bytes, a big int's text)
        EXPECT_EQ(SlotPool::in_use(), slots_before + (c.form == Form::Shared ? 1 : 0));
        EXPECT_TRUE(copy == v);
        EXPECT_EQ(copy.hash(), v.hash());
        EXPECT_EQ(copy.obj.get(), c.form == Form::Direct ? nullptr : obj.get());
        {
            OwnedRef back = OwnedRef::steal(copy.to_python());
            ASSERT_TRUE(back);
            EXPECT_EQ(PyObject_RichCompareBool(back.get(), obj.get(), Py_EQ), 1);
            EXPECT_TRUE(Py_IS_TYPE(back.get(), Py_TYPE(obj.get())));

            // A copy made with the GIL that must keep the object keeps it,
            // in the same form.
            const PyValue own = v.with_own_reference();
            EXPECT_EQ(own.obj.get(), obj.get());
            EXPECT_EQ(own.obj.is_direct(), c.form == Form::Direct);
            OwnedRef same = OwnedRef::steal(own.to_python());
            EXPECT_EQ(same.get(), obj.get());
        }
        drain_pending_decrefs();  // an object made anew by to_python
    }
    // Released at once: the GIL is held and no native lock.
    EXPECT_EQ(pending_decref_count(), 0u);
    EXPECT_EQ(Py_REFCNT(obj.get()), before);
    EXPECT_EQ(SlotPool::in_use(), slots_before);
}

INSTANTIATE_TEST_SUITE_P(EveryForm, AttributeForms, ::testing::ValuesIn(ATTRIBUTE_CASES),
                         [](const ::testing::TestParamInfo<AttributeCase>& info) { return std::string(info.param.name); });

// Where a direct reference is dropped: with the GIL and no lock (released on
// the spot), with a native lock held, or on a thread without the GIL (parked
// in a box of its own, released by the next drain).
enum class DropSite { Plain, UnderLock, OtherThread };

class DirectDrops : public ::testing::TestWithParam<DropSite> {};

TEST_P(DirectDrops, ParkedOrReleasedTheCountComesBackOnce) {
    const DropSite site = GetParam();
    drain_direct();
    constexpr int n = 500;
    std::vector<OwnedRef> objects;
    std::vector<Py_ssize_t> counts;
    std::vector<PyValue> values;
    int64_t slots_before = 0;
    {
        GilAcquire gil;
        slots_before = SlotPool::in_use();
        for (int i = 0; i < n; ++i) {
            objects.push_back(OwnedRef::steal(i % 2 ? PyFloat_FromDouble(0.5 + i) : PyUnicode_FromFormat("v%d", i)));
            counts.push_back(Py_REFCNT(objects.back().get()));
            values.push_back(PyValue::for_attribute(objects.back().get()));
            ASSERT_TRUE(values.back().obj.is_direct());
        }
        // Copies dropped anywhere touch nothing.
        std::vector<PyValue> copies = values;
        std::thread([&] { copies.clear(); }).join();
        EXPECT_EQ(pending_decref_count(), 0u);
    }
    const bool parks = site != DropSite::Plain;
    switch (site) {
        case DropSite::Plain: {
            GilAcquire gil;
            values.clear();
            break;
        }
        case DropSite::UnderLock: {
            GilAcquire gil;
            Mutex lock;
            MutexGuard held(lock);
            values.clear();
            EXPECT_EQ(pending_decref_count(), size_t(n));
            // The drain waits for a thread that holds no native lock.
            drain_pending_decrefs();
            EXPECT_EQ(pending_decref_count(), size_t(n));
            break;
        }
        case DropSite::OtherThread: std::thread([&] { values.clear(); }).join(); break;
    }
    {
        GilAcquire gil;
        EXPECT_EQ(pending_decref_count(), parks ? size_t(n) : 0u);
        for (int i = 0; i < n; ++i) EXPECT_EQ(Py_REFCNT(objects[i].get()), counts[i] + (parks ? 1 : 0));
        drain_pending_decrefs();
        EXPECT_EQ(pending_decref_count(), 0u);
        for (int i = 0; i < n; ++i) EXPECT_EQ(Py_REFCNT(objects[i].get()), counts[i]);
        // The boxes taken for parking went back.
        EXPECT_EQ(SlotPool::in_use(), slots_before);
        objects.clear();
        drain_pending_decrefs();
    }
}

INSTANTIATE_TEST_SUITE_P(Sites, DirectDrops, ::testing::Values(DropSite::Plain, DropSite::UnderLock, DropSite::OtherThread),
                         [](const ::testing::TestParamInfo<DropSite>& info) {
                             switch (info.param) {
                                 case DropSite::Plain: return std::string("plain");
                                 case DropSite::UnderLock: return std::string("under_lock");
                                 case DropSite::OtherThread: return std::string("other_thread");
                             }
                             return std::string();
                         });

// The last reference of a direct value, dropped with the GIL: an exact float
// or str is freed on the spot (its freeing runs no Python code), with nothing
// parked; the sanitizer sees the object freed exactly once.
TEST(DirectLastReference, FreedOnTheSpotWithTheGil) {
    drain_direct();
    GilAcquire gil;
    for (const char* expression : {"float('1.25')", "'last' + str(3)", "int('4444444444')"}) {
        PyObject* obj = eval_expression(expression);
        ASSERT_EQ(Py_REFCNT(obj), 1);
        PyValue v = PyValue::for_attribute(obj);
        Py_DECREF(obj);  // the value holds the only reference now
        drain_pending_decrefs();  // what making the object parked
        v = int_value(1);
        EXPECT_EQ(pending_decref_count(), 0u) << expression;
    }
}

// Many threads drop direct values at once without the GIL, each parking into
// boxes of its own thread's pool.
class DirectDropThreads : public ::testing::TestWithParam<int> {};

TEST_P(DirectDropThreads, EveryParkedReferenceIsReleasedOnce) {
    const int threads = GetParam();
    constexpr size_t per_thread = 2000;
    drain_direct();
    std::vector<OwnedRef> objects;
    std::vector<Py_ssize_t> counts;
    std::vector<std::vector<PyValue>> values(threads);
    {
        GilAcquire gil;
        for (int t = 0; t < threads; ++t) {
            for (size_t i = 0; i < per_thread; ++i) {
                objects.push_back(OwnedRef::steal(PyFloat_FromDouble(double(t) * 1e6 + double(i) + 0.5)));
                counts.push_back(Py_REFCNT(objects.back().get()));
                values[t].push_back(PyValue::for_attribute(objects.back().get()));
            }
        }
    }
    run_threads(size_t(threads), [&](size_t t) {
        // Copies first, as the engine makes them, then the originals.
        std::vector<PyValue> copies = values[t];
        for (const PyValue& c : copies) EXPECT_EQ(c.obj.get(), nullptr);
        copies.clear();
        values[t].clear();
    });
    GilAcquire gil;
    EXPECT_EQ(pending_decref_count(), size_t(threads) * per_thread);
    drain_pending_decrefs();
    EXPECT_EQ(pending_decref_count(), 0u);
    for (size_t i = 0; i < objects.size(); ++i) EXPECT_EQ(Py_REFCNT(objects[i].get()), counts[i]) << i;
    objects.clear();
    drain_pending_decrefs();
}

INSTANTIATE_TEST_SUITE_P(Threads, DirectDropThreads, ::testing::Values(1, 2, 4));

// A scalar attribute read through the map gives the very object assigned;
// the engine's copy of the value (read under the map's lock, as indexing
// does) gives back an equal one.
TEST(DirectAttributeMap, ReadsGiveTheAssignedObjectAndCopiesAnEqualOne) {
    drain_direct();
    GilAcquire gil;
    TestObject object = python_object();
    const uint32_t attribute = attribute_id("direct_reference_probe");
    OwnedRef text = OwnedRef::steal(eval_expression("'held by ' + 'the map only'"));
    set_plain(object, attribute, PyValue::for_attribute(text.get()));
    std::optional<PyValue> copied;
    {
        MutexGuard g(object.record->attribute_map().lock());
        const PyValue* stored = object.record->attribute_map().get().get(attribute);
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(stored->obj.object_in_word(), text.get());
        copied = *stored;
    }
    OwnedRef read = OwnedRef::steal(PyObject_GetAttrString(object.python.get(), "direct_reference_probe"));
    EXPECT_EQ(read.get(), text.get());
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->obj.get(), nullptr);
    OwnedRef back = OwnedRef::steal(copied->to_python());
    EXPECT_EQ(PyObject_RichCompareBool(back.get(), text.get(), Py_EQ), 1);
}

}  // namespace
}  // namespace tarnwick::testing
