// The `with` statement: entering and leaving a context manager around a block of C++ code.
#pragma once

#include <Python.h>

#include "compat.hpp"
#include "ref.hpp"

namespace vornel::py {

// Makes `raised` the __context__ of the exception now set, as raising inside an except
// block does; `raised` is consumed.
inline void chain_to_current(PyObject* raised) noexcept
{
    PyObject* current = take_raised_exception();
    if (current == nullptr) {
        restore_raised_exception(raised);
        return;
    }
    if (current != raised) PyException_SetContext(current, raised);
    else Py_DECREF(raised);
    restore_raised_exception(current);
}

// Runs body(value) like `with manager as value: body`: __enter__ and __exit__ are taken from
// the manager's type, __exit__ always runs, and an exception of the body is handed to it and
// raised again unless __exit__ returns a true value.
template <class Body>
void with_context(Borrowed manager, Body&& body)
{
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
    Ref enter = own(PyObject_GetAttrString(type, "__enter__"));
    Ref exit = own(PyObject_GetAttrString(type, "__exit__"));
    Ref value = own(PyObject_CallOneArg(enter.get(), manager));
    try {
        body(value.get());
    } catch (const python_error&) {
        Ref raised = own(take_raised_exception());
        Ref traceback = Ref::steal(PyException_GetTraceback(raised.get()));
        PyObject* args[] = {manager, reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get(),
                            traceback ? traceback.get() : Py_None};
        PyObject* suppress = PyObject_Vectorcall(exit.get(), args, 4, nullptr);
        if (suppress == nullptr) {
            chain_to_current(raised.release());
            throw;
        }
        Ref answer = Ref::steal(suppress);
        const int suppressed = PyObject_IsTrue(answer.get());
        if (suppressed < 0) {
            chain_to_current(raised.release());
            throw;
        }
        if (suppressed == 0) {
            restore_raised_exception(raised.release());
            throw;
        }
        return;
    }
    PyObject* args[] = {manager, Py_None, Py_None, Py_None};
    own(PyObject_Vectorcall(exit.get(), args, 4, nullptr));
}

} // namespace vornel::py
