// The engine tests run inside an embedded interpreter: placeholders of item
// tables and nested objects are Python objects. The main thread gives up the
// GIL before the tests start, as an extension's caller does before engine
// work, and every test thread takes it only where the engine itself would.
#include <gtest/gtest.h>

#include "index/core/stored_item.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/pyref.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Objects straight from malloc: the sanitizers then see every Python
    // allocation, and a leak check can follow pointers held inside objects.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&preconfig))) return 2;
    Py_InitializeEx(0);
    tarnwick::touch_placeholders();
    if (!tarnwick::indexable_type()) {
        PyErr_Print();
        return 2;
    }
    PyThreadState* main_state = PyEval_SaveThread();
    const int result = RUN_ALL_TESTS();
    PyEval_RestoreThread(main_state);
    tarnwick::drain_pending_decrefs();
    return result;
}
