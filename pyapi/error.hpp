// The single way errors travel through our C++ code, and the boundary back to Python.
#pragma once

#include <Python.h>

#include <new>

namespace vornel::py {

// Thrown when a Python exception is already set; carries nothing else.
struct python_error {};

// Throws when a C API call that reports failure with -1 failed.
inline int require(int status)
{
    if (status < 0) throw python_error{};
    return status;
}

inline Py_ssize_t require_size(Py_ssize_t size)
{
    if (size < 0) throw python_error{};
    return size;
}

// Turns the C++ exception being handled (it is called inside a catch block) into a set Python
// exception. Every entry point that the interpreter calls runs its work through one of the two
// boundaries below, which call it for whatever escaped their body.
inline void set_python_error_from_current_exception() noexcept
{
    try {
        throw;
    } catch (const python_error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "vornel: error reported without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vornel: unexpected C++ exception");
    }
}

// For entry points that return a new reference or NULL.
template <class Body>
PyObject* object_boundary(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// For entry points that return 0 or -1.
template <class Body>
int status_boundary(Body&& body) noexcept
{
    try {
        body();
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

} // namespace vornel::py
