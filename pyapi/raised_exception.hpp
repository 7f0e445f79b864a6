// The exception being raised, held by a Ref while our code runs, and put back from it.
#pragma once

#include <Python.h>

#include <utility>

#include "ref.hpp"

namespace vornel::py {

// Takes the raised exception out of the thread state; an empty Ref when none is raised.
inline Ref fetch_raised_exception() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Makes `exception` the raised exception again (nothing is raised when it is empty).
inline void restore_raised_exception(Ref exception) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    if (!exception) return PyErr_Clear();
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// Makes `earlier` the __context__ of the exception raised now, as raising inside an except
// block does; when nothing is raised now, `earlier` is raised again instead.
inline void chain_to_current(Ref earlier) noexcept
{
    Ref current = fetch_raised_exception();
    if (!current) return restore_raised_exception(std::move(earlier));
    if (current.get() != earlier.get()) PyException_SetContext(current.get(), earlier.release());
    restore_raised_exception(std::move(current));
}

// Sets the raised exception aside for the scope of the guard, so that clean-up code can call into
// Python, and puts it back at the end: raised again when the clean-up raised nothing, else as
// the __context__ of what the clean-up raised.
class saved_exception {
public:
    saved_exception() noexcept : saved_(fetch_raised_exception()) {}
    ~saved_exception() { chain_to_current(std::move(saved_)); }
    saved_exception(const saved_exception&) = delete;
    saved_exception& operator=(const saved_exception&) = delete;

private:
    Ref saved_;
};

} // namespace vornel::py
