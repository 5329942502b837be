#include "index/interfaces/fork_handlers.hpp"

#include <utility>

#include "index/core/structures/sync.hpp"

namespace tarnwick {
namespace {

// Whether the last before-fork handler closed the gate. Read and written by
// the forking thread only, under the GIL.
bool gate_closed_for_fork = false;

void wait_releasing_gil(void (*wait)(void*), void* ctx) {
    if (Py_IsInitialized() && PyGILState_Check()) {
        PyThreadState* state = PyEval_SaveThread();
        wait(ctx);
        PyEval_RestoreThread(state);
    } else {
        wait(ctx);
    }
}

PyObject* before_fork(PyObject*, PyObject*) {
    // A thread already inside the gate forks from Python code that engine
    // work called (a __hash__ or __del__ while indexing): waiting for the gate
    // would wait for itself. That fork gets no guarantee.
    if (gate_holds != 0) Py_RETURN_NONE;
    // The threads inside may need the GIL to get out.
    Py_BEGIN_ALLOW_THREADS
    FORK_GATE.close();
    Py_END_ALLOW_THREADS
    gate_closed_for_fork = true;
    Py_RETURN_NONE;
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
    if (std::exchange(gate_closed_for_fork, false)) FORK_GATE.open();
    Py_RETURN_NONE;
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    // The gate's waiters were threads of the parent; here it is simply open.
    gate_closed_for_fork = false;
    FORK_GATE.reset_in_child();
    Py_RETURN_NONE;
}

PyMethodDef handlers[] = {
    {"_before_fork", before_fork, METH_NOARGS, nullptr},
    {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS, nullptr},
    {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr},
};

}  // namespace

int register_fork_handlers() {
    ForkGate::blocking_hook.store(&wait_releasing_gil);
    PyHandle os = PyHandle::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    PyHandle register_at_fork = PyHandle::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) return -1;
    PyHandle before = PyHandle::steal(PyCFunction_New(&handlers[0], nullptr));
    PyHandle parent = PyHandle::steal(PyCFunction_New(&handlers[1], nullptr));
    PyHandle child = PyHandle::steal(PyCFunction_New(&handlers[2], nullptr));
    if (!before || !parent || !child) return -1;
    PyHandle args = PyHandle::steal(PyTuple_New(0));
    PyHandle kwargs = PyHandle::steal(Py_BuildValue("{sOsOsO}", "before", before.get(), "after_in_parent",
                                                    parent.get(), "after_in_child", child.get()));
    if (!args || !kwargs) return -1;
    PyHandle done = PyHandle::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
    return done ? 0 : -1;
}

}  // namespace tarnwick
