#include "index/core/query/container_items.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "index/core/gc_mirror.hpp"

namespace tarnwick {
namespace {

// Whether an item of this value's kind needs no object of its own: a number,
// a str or a bool is indexed, removed, compared and given back to Python
// (as the builtin it equals) from its primitive alone. Such an item keeps no
// reference, which spares it a reference box and the object a count.
bool rebuilt_from_primitive(const PyValue& value) noexcept {
    switch (value.kind()) {
        case ValueKind::Int:
        case ValueKind::Float:
        case ValueKind::Str:
        case ValueKind::Bool: return true;
        default: return false;
    }
}

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
                if (rebuilt_from_primitive(value)) value.obj.reset();
                else if (mirror_) mirror_->adopt(value.obj);
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

// Walks the same containers as Flattener, but only looks at the items'
// types. Each container entered is held (a set's snapshot allocates, and a
// collection run by that allocation can run finalizers that change the
// containers); an item is only read while nothing can run.
class IndexableFinder {
public:
    explicit IndexableFinder(std::vector<RecordPtr>& out) : out_(out) {}

    void walk(const PyHandle& root, ContainerKind kind) {
        enter(root, kind);
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            PyObject* item = borrowed_item(f);
            if (!item) {
                stack_.pop_back();
                continue;
            }
            if (is_indexable(item)) {
                // Empty while the instance is being deallocated.
                const RecordPtr& record = indexable_record(item);
                if (record) out_.push_back(record);
                continue;
            }
            const PyTypeObject* type = Py_TYPE(item);
            if (type == &PyList_Type) enter(PyHandle::borrow(item), ContainerKind::List);
            else if (type == &PyTuple_Type) enter(PyHandle::borrow(item), ContainerKind::Tuple);
            else if (type == &PySet_Type) enter(PyHandle::borrow(item), ContainerKind::Set);
        }
        PyErr_Clear();
    }

private:
    struct Frame {
        PyHandle container;
        ContainerKind kind;
        PyHandle snapshot;
        Py_ssize_t next = 0;
    };

    void enter(const PyHandle& container, ContainerKind kind) {
        PyObject* obj = container.get();
        if (kind == ContainerKind::Dict || !obj) return;
        // Each container once: the items are the same wherever it appears,
        // and a container that holds itself ends here.
        if (!entered_.insert(obj).second) return;
        kept_.push_back(container);
        Frame frame{container, kind, PyHandle(), 0};
        if (kind == ContainerKind::Set) {
            frame.snapshot = PyHandle::steal(PySequence_Tuple(obj));
            if (!frame.snapshot) {
                PyErr_Clear();
                return;
            }
        }
        stack_.push_back(std::move(frame));
    }

    static PyObject* borrowed_item(Frame& f) {
        PyObject* seq = f.kind == ContainerKind::Set ? f.snapshot.get() : f.container.get();
        const Py_ssize_t i = f.next++;
        if (f.kind == ContainerKind::List) return i < PyList_GET_SIZE(seq) ? PyList_GET_ITEM(seq, i) : nullptr;
        return i < PyTuple_GET_SIZE(seq) ? PyTuple_GET_ITEM(seq, i) : nullptr;
    }

    std::vector<RecordPtr>& out_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject*> entered_;
    // Every container entered, held to the end, so that no address in
    // entered_ is reused by another container meanwhile.
    std::vector<PyHandle> kept_;
};

}  // namespace

void indexables_in(const IterableValue& container, std::vector<RecordPtr>& out) {
    if (!container.container) return;
    IndexableFinder(out).walk(container.container, container.kind);
}

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
