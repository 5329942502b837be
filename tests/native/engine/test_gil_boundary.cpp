// The boundary between Python and the engine: the one mapping of native
// failures to Python errors, native locks taken by threads that hold the GIL,
// and local owners of Python references.
#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine_support.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/core/stack_room.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/pyref.hpp"
#include "index/python_error.hpp"

namespace tarnwick::testing {
namespace {

struct Mapping {
    std::string name;
    std::function<void()> fail;
    PyObject* (*expected)();
};

class ErrorMapping : public ::testing::TestWithParam<Mapping> {};

TEST_P(ErrorMapping, EachFailureBecomesItsPythonError) {
    const Mapping& m = GetParam();
    GilAcquire gil;
    // Raised with the GIL held, and from engine work without it.
    EXPECT_EQ(guarded([&]() -> PyObject* {
                  m.fail();
                  return Py_NewRef(Py_None);
              }),
              nullptr);
    ASSERT_TRUE(PyErr_Occurred());
    EXPECT_TRUE(PyErr_ExceptionMatches(m.expected()));
    PyErr_Clear();
    EXPECT_FALSE(run_without_gil(m.fail));
    ASSERT_TRUE(PyErr_Occurred());
    EXPECT_TRUE(PyErr_ExceptionMatches(m.expected()));
    PyErr_Clear();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ErrorMapping,
    ::testing::Values(Mapping{"BadBound", [] { throw QueryNotImplemented(); }, [] { return PyExc_NotImplementedError; }},
                      Mapping{"NoMemory", [] { throw std::bad_alloc(); }, [] { return PyExc_MemoryError; }},
                      Mapping{"Locked", [] { throw ObjectLockedError(); }, [] { return PyExc_RuntimeError; }},
                      Mapping{"TooDeep", [] { throw StackExhausted(); }, [] { return PyExc_RecursionError; }},
                      Mapping{"Raised",
                              [] {
                                  GilAcquire gil;
                                  PyErr_SetString(PyExc_KeyError, "raised by __hash__");
                                  throw PythonError::fetch();
                              },
                              [] { return PyExc_KeyError; }},
                      Mapping{"Invariant", [] { throw std::out_of_range("slot"); }, [] { return PyExc_SystemError; }},
                      Mapping{"Foreign", [] { throw 7; }, [] { return PyExc_SystemError; }}),
    [](const ::testing::TestParamInfo<Mapping>& info) { return info.param.name; });

TEST(ErrorMappingStatus, AStatusFailsWithMinusOne) {
    GilAcquire gil;
    EXPECT_EQ(guarded([]() -> int { throw std::bad_alloc(); }), -1);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    EXPECT_TRUE(run_without_gil([] {}));
    EXPECT_FALSE(PyErr_Occurred());
}

// One thread holds a native lock and then needs the GIL; the other holds the
// GIL and then needs the lock. The second waits with the GIL released, or the
// two wait for each other forever (run_threads turns that into a failure).
template <class Lock, class Guard>
void lock_against_gil() {
    Lock lock;
    std::atomic<bool> lock_held{false};
    std::atomic<bool> gil_held{false};
    run_threads(
        2,
        [&](size_t i) {
            if (i == 0) {
                lock.lock();
                lock_held = true;
                while (!gil_held) std::this_thread::yield();
                {
                    // Granted only once the other thread gives the GIL up,
                    // which it can do only while it waits for the lock.
                    GilAcquire gil;
                }
                lock.unlock();
            } else {
                while (!lock_held) std::this_thread::yield();
                GilAcquire gil;
                gil_held = true;
                Guard guard(lock);
            }
        },
        std::chrono::seconds(60));
}

TEST(GilSafeGuard, ExclusiveWaitsWithTheGilReleased) { lock_against_gil<RwLock, GilSafeGuard<RwLock>>(); }
TEST(GilSafeGuard, SharedWaitsWithTheGilReleased) { lock_against_gil<RwLock, GilSafeReadGuard<RwLock>>(); }
TEST(GilSafeGuard, MutexWaitsWithTheGilReleased) { lock_against_gil<Mutex, GilSafeGuard<Mutex>>(); }

TEST(GilSafeGuard, TakesTheLockPlainlyWithoutTheGil) {
    RwLock lock;
    {
        GilSafeGuard<RwLock> guard(lock);
        EXPECT_FALSE(lock.try_lock_shared());
    }
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(OwnedRef, ReleasesItsReferenceWhenReplacedOrGone) {
    GilAcquire gil;
    PyObject* first = PyList_New(0);
    PyObject* second = PyList_New(0);
    ASSERT_TRUE(first && second);
    Py_INCREF(first);
    Py_INCREF(second);
    {
        OwnedRef owner = OwnedRef::steal(first);
        OwnedRef other = std::move(owner);
        EXPECT_FALSE(owner);
        EXPECT_EQ(Py_REFCNT(first), 2);
        other = OwnedRef::steal(second);  // drops `first`
        EXPECT_EQ(Py_REFCNT(first), 1);
        EXPECT_EQ(Py_REFCNT(second), 2);
        PyObject* handed = other.release();
        EXPECT_EQ(handed, second);
        Py_DECREF(handed);
    }
    EXPECT_EQ(Py_REFCNT(second), 1);
    Py_DECREF(first);
    Py_DECREF(second);
}

}  // namespace
}  // namespace tarnwick::testing
