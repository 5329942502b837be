#include "index/core/query/container_items.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "index/core/gc_mirror.hpp"

namespace tarnwick {
namespace {

// Iterative, so that nesting depth is bounded by memory, not by the native
// stack: a list nested a hundred thousand levels deep is an ordinary value.
class Flattener {
public:
    Flattener(ContainerItems& out, GcMirror* mirror) : out_(out), mirror_(mirror) {}

    void walk(const PyHandle& root, ContainerKind kind) {
        enter(root, kind);
        while (!stack_.empty()) {
            PyObject* item = next_item(stack_.back());
            if (!item) {
                leave();
                continue;
            }
            // Held by a handle: a conversion may end in PythonError.
            const PyHandle held = PyHandle::steal(item);
            PyValue value = PyValue::from_py(item);
            if (!value.primitive.is_iterable()) {
                if (mirror_) mirror_->adopt(value.obj);
                out_.emplace_back(std::move(value));
                continue;
            }
            out_.emplace_back(std::nullopt);
            const IterableValue& inner = value.primitive.as_iterable();
            enter(inner.container, inner.kind);
        }
    }

private:
    // A container being walked. It holds its own reference: converting an
    // item can run code that takes the container out of its parent.
    struct Frame {
        PyHandle container;
        ContainerKind kind;
        PyHandle snapshot;  // of a set: converting an item may change the set
        Py_ssize_t next = 0;
        Py_ssize_t initial = 0;
    };

    void enter(const PyHandle& container, ContainerKind kind) {
        PyObject* obj = container.get();
        if (kind == ContainerKind::Dict || !obj || on_path(obj)) return;
        Frame frame{container, kind, PyHandle(), 0, 0};
        switch (kind) {
            case ContainerKind::List:
                frame.initial = PyList_Size(obj);
                break;
            case ContainerKind::Tuple:
                frame.initial = PyTuple_Size(obj);
                break;
            case ContainerKind::Set:
                frame.snapshot = PyHandle::steal(PySequence_Tuple(obj));
                frame.initial = frame.snapshot ? PyTuple_Size(frame.snapshot.get()) : 0;
                break;
            case ContainerKind::Dict:
                break;
        }
        stack_.push_back(std::move(frame));
        if (stack_.size() > SHALLOW) {
            try {
                deep_path_.insert(obj);
            } catch (...) {
                stack_.pop_back();
                throw;
            }
        }
    }

    void leave() {
        if (stack_.size() > SHALLOW) deep_path_.erase(stack_.back().container.get());
        stack_.pop_back();
        // Item conversion reports nothing; neither does a failed snapshot.
        PyErr_Clear();
    }

    // A new reference to the frame's next item; null once there is none.
    static PyObject* next_item(Frame& f) {
        if (f.next >= f.initial) return nullptr;
        const Py_ssize_t i = f.next++;
        switch (f.kind) {
            case ContainerKind::List:
                // Converting an earlier item may have shrunk the list.
                if (i >= PyList_Size(f.container.get())) return nullptr;
                return Py_XNewRef(PyList_GetItem(f.container.get(), i));
            case ContainerKind::Tuple:
                return Py_XNewRef(PyTuple_GetItem(f.container.get(), i));
            case ContainerKind::Set:
                return Py_XNewRef(PyTuple_GetItem(f.snapshot.get(), i));
            case ContainerKind::Dict:
                break;
        }
        return nullptr;
    }

    // Whether obj is being walked already (a container that contains itself).
    // Most values nest a few levels: those are found by a scan, deeper ones
    // in a set.
    bool on_path(PyObject* obj) const {
        const size_t scanned = std::min(stack_.size(), SHALLOW);
        for (size_t i = 0; i < scanned; ++i)
            if (stack_[i].container.get() == obj) return true;
        return stack_.size() > SHALLOW && deep_path_.count(obj) != 0;
    }

    static constexpr size_t SHALLOW = 16;

    ContainerItems& out_;
    GcMirror* mirror_;
    std::vector<Frame> stack_;  // containers being walked, outermost first
    std::unordered_set<PyObject*> deep_path_;  // those of stack_ past SHALLOW
};

}  // namespace

ContainerItems convert_container_items(const IterableValue& container, GcMirror* mirror) {
    ContainerItems out;
    if (!container.container) return out;
    Flattener(out, mirror).walk(container.container, container.kind);
    return out;
}

ContainerItems container_items_of(const PyValue& value, GcMirror* mirror) {
    if (!value.primitive.is_iterable()) return {};
    const IterableValue& container = value.primitive.as_iterable();
    if (container.kind == ContainerKind::Dict) return {};
    GilAcquire gil;
    return convert_container_items(container, mirror);
}

}  // namespace tarnwick
