// Owning and borrowed references to Python objects.
//
// Rules of use:
//  - A C API call that returns a new reference is wrapped at once, with own() (throws
//    when the call failed) or Ref::steal() (when NULL is a valid answer).
//  - Ref::borrow() takes a reference of our own to an object we were lent.
//  - A parameter typed Borrowed is lent for the duration of the call and never stored.
#pragma once

#include <Python.h>

#include <utility>

#include "error.hpp"

namespace vornel::py {

// A reference lent to us by the caller; never stored beyond the call.
using Borrowed = PyObject*;

// The one owner of a strong reference; move-only.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
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

// Takes the new reference a C API call returned; throws when the call failed.
inline Ref own(PyObject* result)
{
    if (result == nullptr) throw python_error{};
    return Ref::steal(result);
}

} // namespace vornel::py
