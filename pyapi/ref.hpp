// Owning and borrowed references to Python objects.
//
// Rules of use:
//  - A C API call that returns a new reference is wrapped at once, with own() (throws when the
//    call failed) or Ref::steal() (when NULL is a valid answer). Both take a PyObject* only:
//    stealing from a Ref or a Borrowed, which would free an object twice, does not compile.
//  - Ref::borrow() takes a reference of our own to an object we were lent.
//  - A Ref never turns into a PyObject* by itself, so it cannot reach Py_DECREF, a C API call that
//    steals a reference (PyList_SET_ITEM, PyModule_Add) or a variadic call unnoticed: the C API
//    gets ref.get(), or ref.release() where it takes the reference over.
//  - Borrowed is the parameter type of our functions for an object they use while they run, or a
//    local name for an object that something else keeps alive through the scope; never a member,
//    an element of a container or a return value. It is made from a PyObject* or from a Ref that
//    has a name (an lvalue), which outlives the call, so such a Ref is passed as it is, without
//    .get(). It turns into a PyObject* for the C API, but not through `...`: variadic calls
//    (PyErr_Format, PyUnicode_FromFormat, PyTuple_Pack) and the macros that cast to a struct
//    (PyList_GET_ITEM, PyTuple_GET_ITEM) get borrowed.get().
//  - A temporary Ref does not convert to Borrowed. It dies at the end of its full expression, and
//    a Borrowed made from it could be kept past that (`Borrowed b = get_attr(o, name);` would point
//    at a freed object). A temporary's object is handed on with an explicit .get() inside the
//    call that uses it, where it stays alive, or the Ref gets a name first.
#pragma once

#include <Python.h>

#include <utility>

#include "error.hpp"

namespace vornel::py {

class Ref;

// An object lent for the duration of a call; see the rules above.
class Borrowed {
public:
    Borrowed(PyObject* object) noexcept : object_(object) {}
    Borrowed(const Ref& owner) noexcept;
    Borrowed(Ref&&) = delete;
    Borrowed(const Ref&&) = delete;

    operator PyObject*() const noexcept { return object_; }
    // For the C API's macros that cast to a struct, and for variadic calls.
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};

// The one owner of a strong reference; move-only.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref steal(Borrowed) = delete;
    static Ref borrow(Borrowed object) noexcept
    {
        Py_XINCREF(object.get());
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

inline Borrowed::Borrowed(const Ref& owner) noexcept : object_(owner.get()) {}

// Takes the new reference a C API call returned; throws when the call failed.
inline Ref own(PyObject* result)
{
    if (result == nullptr) throw python_error{};
    return Ref::steal(result);
}
Ref own(Borrowed) = delete;

} // namespace vornel::py
