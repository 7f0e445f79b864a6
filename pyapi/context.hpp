// The `with` statement: entering and leaving a context manager around a block of C++ code.
#pragma once

#include <Python.h>

#include "raised_exception.hpp"
#include "ref.hpp"

namespace vornel::py {

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
        body(value);
    } catch (const python_error&) {
        Ref raised = fetch_raised_exception();
        if (!raised) throw;
        Ref traceback = Ref::steal(PyException_GetTraceback(raised.get()));
        PyObject* args[] = {manager, reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get(),
                            traceback ? traceback.get() : Py_None};
        Ref answer = Ref::steal(PyObject_Vectorcall(exit.get(), args, 4, nullptr));
        const int suppressed = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (suppressed < 0) {
            chain_to_current(std::move(raised));
            throw;
        }
        if (suppressed == 0) {
            restore_raised_exception(std::move(raised));
            throw;
        }
        return;
    }
    PyObject* args[] = {manager, Py_None, Py_None, Py_None};
    own(PyObject_Vectorcall(exit.get(), args, 4, nullptr));
}

} // namespace vornel::py
