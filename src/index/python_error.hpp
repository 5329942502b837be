// A Python exception on its way out through native code.
//
// Most Python errors raised by code the engine calls (an item's __hash__) are
// absorbed where they happen. The ones that must not be (an interrupt, an
// exit, exhausted memory) are taken out of the thread's error state where they
// are raised and thrown as PythonError, so that every rollback on the way out
// runs as for any other failure; the entry point puts the exception back once
// it holds the GIL and no lock.
#pragma once

#include "index/pyref.hpp"

#include <exception>

namespace tarnwick {

class PythonError : public std::exception {
public:
    // Takes over the pending Python error. GIL held, an error pending.
    static PythonError fetch();
    // Makes it the pending error again. GIL held.
    void restore() const;
    const char* what() const noexcept override { return "Python exception"; }

private:
    PythonError() = default;
    // The references go with the last copy of the exception, with or
    // without the GIL (PyHandle defers the release). Since 3.12 the value
    // carries its type and traceback.
    PyHandle type_;
    PyHandle value_;
    PyHandle traceback_;
};

// Whether the pending error may be absorbed by a fallback: an ordinary
// Exception other than MemoryError. GIL held, an error pending.
bool pending_error_is_ordinary() noexcept;

}  // namespace tarnwick
