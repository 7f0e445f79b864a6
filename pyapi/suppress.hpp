// Running a block the way `try: ... except SomeError: pass` does.
#pragma once

#include <Python.h>

#include <utility>

#include "error.hpp"

namespace vornel::py {

// Runs body(); returns true when it completed, false when it raised an instance of `type` (or
// of a subclass), which is then cleared. Anything else propagates unchanged.
template <class Body>
bool completes_unless(PyObject* type, Body&& body)
{
    try {
        body();
        return true;
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(type)) throw;
        PyErr_Clear();
        return false;
    }
}

// As `except Exception: pass`: KeyboardInterrupt, SystemExit and GeneratorExit propagate.
template <class Body>
bool completes_unless_exception(Body&& body)
{
    return completes_unless(PyExc_Exception, std::forward<Body>(body));
}

} // namespace vornel::py
