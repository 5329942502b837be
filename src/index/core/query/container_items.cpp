#include "index/core/query/container_items.hpp"

#include <algorithm>

#include "index/core/gc_mirror.hpp"

namespace tarnwick {
namespace {

class Flattener {
public:
    Flattener(ContainerItems& out, GcMirror* mirror) : out_(out), mirror_(mirror) {}

    void walk(PyObject* container, ContainerKind kind) {
        if (kind == ContainerKind::Dict) return;
        if (std::find(path_.begin(), path_.end(), container) != path_.end()) return;
        path_.push_back(container);
        switch (kind) {
            case ContainerKind::List: {
                const Py_ssize_t initial = PyList_Size(container);
                for (Py_ssize_t i = 0; i < initial && i < PyList_Size(container); ++i) {
                    // Converting an earlier item may have shrunk the list.
                    PyObject* item = PyList_GetItem(container, i);
                    if (!item) break;
                    // Held by a handle: a conversion may end in PythonError.
                    PyHandle held = PyHandle::borrow(item);
                    visit(item);
                }
                break;
            }
            case ContainerKind::Tuple: {
                const Py_ssize_t n = PyTuple_Size(container);
                for (Py_ssize_t i = 0; i < n; ++i) visit(PyTuple_GetItem(container, i));
                break;
            }
            case ContainerKind::Set: {
                // A snapshot: converting an item may run code that changes the set.
                PyHandle snapshot = PyHandle::steal(PySequence_Tuple(container));
                if (!snapshot) break;
                const Py_ssize_t n = PyTuple_Size(snapshot.get());
                for (Py_ssize_t i = 0; i < n; ++i) visit(PyTuple_GetItem(snapshot.get(), i));
                break;
            }
            case ContainerKind::Dict:
                break;
        }
        path_.pop_back();
        // Item conversion reports nothing; neither does a failed snapshot.
        PyErr_Clear();
    }

private:
    void visit(PyObject* item) {
        PyValue value = PyValue::from_py(item);
        if (!value.primitave.is_iterable()) {
            if (mirror_) mirror_->adopt(value.obj);
            out_.emplace_back(std::move(value));
            return;
        }
        out_.emplace_back(std::nullopt);
        const IterableValue& inner = value.primitave.as_iterable();
        walk(inner.container.get(), inner.kind);
    }

    ContainerItems& out_;
    GcMirror* mirror_;
    std::vector<PyObject*> path_;  // containers being walked, outermost first
};

}  // namespace

ContainerItems convert_container_items(const IterableValue& container, GcMirror* mirror) {
    ContainerItems out;
    if (!container.container) return out;
    Flattener(out, mirror).walk(container.container.get(), container.kind);
    return out;
}

ContainerItems container_items_of(const PyValue& value, GcMirror* mirror) {
    if (!value.primitave.is_iterable()) return {};
    const IterableValue& container = value.primitave.as_iterable();
    if (container.kind == ContainerKind::Dict) return {};
    GilAcquire gil;
    return convert_container_items(container, mirror);
}

}  // namespace tarnwick
