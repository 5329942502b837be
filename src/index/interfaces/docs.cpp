#include "index/interfaces/docs.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <string_view>

namespace tarnwick {
namespace {

struct StubDoc {
    const char* name;
    const char* text;
};

// Generated from the stub at build time: {"Index.collect", "..."}, ...
constexpr StubDoc STUB_DOCS[] = {
#include "tarnwick_docs.inc"
};

// The text signature a docstring starts with ("collect($self)\n--\n\n"), if any.
std::string_view signature_of(const char* doc) {
    if (!doc) return {};
    std::string_view text(doc);
    constexpr std::string_view end_marker = "\n--\n\n";
    size_t end = text.find(end_marker);
    return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + end_marker.size());
}

// A docstring that must outlive every function and class made with it: kept
// for the life of the process. Under the GIL.
const char* keep(std::string text) {
    static auto* kept = new std::deque<std::string>();
    return kept->emplace_back(std::move(text)).c_str();
}

const char* with_signature(const char* old_doc, const char* doc) {
    std::string text(signature_of(old_doc));
    text += doc;
    return keep(std::move(text));
}

}  // namespace

const char* stub_doc(const char* name) noexcept {
    for (const StubDoc& entry : STUB_DOCS) {
        if (std::strcmp(entry.name, name) == 0) return entry.text;
    }
    return nullptr;
}

void document_method(const char* owner, PyMethodDef& def) {
    std::string name = owner ? std::string(owner) + "." + def.ml_name : std::string(def.ml_name);
    if (const char* doc = stub_doc(name.c_str())) def.ml_doc = with_signature(def.ml_doc, doc);
}

void document_class(PyType_Spec& spec) {
    const char* name = spec.name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    for (PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
        if (slot->slot == Py_tp_doc) {
            if (const char* doc = stub_doc(name)) slot->pfunc = const_cast<char*>(with_signature(static_cast<const char*>(slot->pfunc), doc));
        } else if (slot->slot == Py_tp_methods) {
            for (auto* def = static_cast<PyMethodDef*>(slot->pfunc); def->ml_name; ++def) document_method(name, *def);
        }
    }
}

}  // namespace tarnwick
