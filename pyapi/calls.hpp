// Short, throwing forms of the C API calls that module code makes most.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "compat.hpp"
#include "ref.hpp"

namespace vornel::py {

inline Ref get_attr(Borrowed obj, Borrowed name) { return own(PyObject_GetAttr(obj, name)); }

inline void set_attr(Borrowed obj, Borrowed name, Borrowed value) { require(PyObject_SetAttr(obj, name, value)); }

inline void set_item(Borrowed dict, Borrowed key, Borrowed value) { require(PyDict_SetItem(dict, key, value)); }

inline Ref call(Borrowed callable, Borrowed arg) { return own(PyObject_CallOneArg(callable, arg)); }

inline Ref call(Borrowed callable, Borrowed first, Borrowed second)
{
    PyObject* args[] = {first, second};
    return own(PyObject_Vectorcall(callable, args, 2, nullptr));
}

// callable(*positional, **dict(zip(kwnames, values))); kwnames is a tuple of str, made once.
template <std::size_t P, std::size_t K>
Ref call_with_keywords(Borrowed callable, const Borrowed (&positional)[P], Borrowed kwnames,
                       const Borrowed (&values)[K])
{
    std::array<PyObject*, P + K> args;
    for (std::size_t i = 0; i < P; ++i) args[i] = positional[i];
    for (std::size_t i = 0; i < K; ++i) args[P + i] = values[i];
    return own(PyObject_Vectorcall(callable, args.data(), P, kwnames));
}

inline Ref call_method(Borrowed obj, Borrowed name) { return own(PyObject_CallMethodNoArgs(obj, name)); }

inline Ref call_method(Borrowed obj, Borrowed name, Borrowed arg)
{
    return own(PyObject_CallMethodOneArg(obj, name, arg));
}

inline Ref call_method(Borrowed obj, Borrowed name, Borrowed first, Borrowed second)
{
    PyObject* args[] = {obj, first, second};
    return own(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A new list of the given items, in order.
inline Ref new_list(std::initializer_list<Borrowed> items)
{
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (Borrowed item : items) PyList_SET_ITEM(list.get(), index++, Py_NewRef(item));
    return list;
}

// A new dict of the given key/value pairs, in order: {key: value, ...}.
inline Ref new_dict(std::initializer_list<std::pair<Borrowed, Borrowed>> items)
{
    Ref dict = own(PyDict_New());
    for (const auto& [key, value] : items) set_item(dict, key, value);
    return dict;
}

// len(obj)
inline Py_ssize_t length(Borrowed obj) { return require_size(PyObject_Length(obj)); }

// A new int.
inline Ref new_int(Py_ssize_t value) { return own(PyLong_FromSsize_t(value)); }

// The value of an int; OverflowError beyond the range of long long.
inline long long to_long_long(Borrowed number)
{
    const long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) throw python_error{};
    return value;
}

// Python's truth test; the common answers for str and None need no call.
inline bool is_true(Borrowed obj)
{
    if (PyUnicode_CheckExact(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
    if (obj == Py_None) return false;
    return require(PyObject_IsTrue(obj)) != 0;
}

// mapping.get(key), with None for a missing key; a plain dict is read without a call.
inline Ref mapping_get(Borrowed mapping, Borrowed key, Borrowed get_name)
{
    if (PyDict_CheckExact(mapping)) {
        PyObject* value;
        if (require(dict_get_ref(mapping, key, &value)) == 0) return Ref::borrow(Py_None);
        return Ref::steal(value);
    }
    return call_method(mapping, get_name, key);
}

// mapping.get(key, fallback); the fallback only for a missing key.
inline Ref mapping_get(Borrowed mapping, Borrowed key, Borrowed fallback, Borrowed get_name)
{
    if (PyDict_CheckExact(mapping)) {
        PyObject* value;
        if (require(dict_get_ref(mapping, key, &value)) == 0) return Ref::borrow(fallback);
        return Ref::steal(value);
    }
    return call_method(mapping, get_name, key, fallback);
}

// key in container
inline bool contains(Borrowed container, Borrowed key) { return require(PySequence_Contains(container, key)) != 0; }

// Calls visit(item) for each item of an iterable; items stay alive while visited.
template <class Visit>
void for_each(Borrowed iterable, Visit&& visit)
{
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable.get(), i));
            visit(item);
        }
        return;
    }
    Ref iterator = own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) visit(item);
    if (PyErr_Occurred()) throw python_error{};
}

} // namespace vornel::py
