// Running a block the way `try: ... except Exception: pass` does.
#pragma once

#include <Python.h>

#include "error.hpp"

namespace vornel::py {

// Runs body(); returns true when it completed, false when it raised an instance of Exception
// (or of a subclass), which is then cleared. Anything else (KeyboardInterrupt, SystemExit,
// GeneratorExit, C++ exceptions) propagates unchanged.
template <class Body>
bool completes_unless_exception(Body&& body)
{
    try {
        body();
        return true;
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return false;
    }
}

} // namespace vornel::py
