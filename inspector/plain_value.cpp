// Plain values: exact built-in data, compared without calling the objects' own methods.
#include "plain_value.hpp"

#include <cstring>

#include "../pyapi/compat.hpp"

namespace vornel::inspector {

using py::Borrowed;
using py::Ref;

namespace {

bool is_plain_scalar(Borrowed value)
{
    return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyUnicode_CheckExact(value) || PyBytes_CheckExact(value);
}

bool is_plain_container(Borrowed value)
{
    return PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value) ||
           PySet_CheckExact(value) || PyFrozenSet_CheckExact(value);
}

// Scalars of the same exact type; their comparison cannot run code of ours or of a caller.
bool same_scalar(Borrowed now, Borrowed before)
{
    if (PyUnicode_CheckExact(now)) return PyUnicode_Compare(now, before) == 0;
    if (PyBytes_CheckExact(now))
        return PyBytes_GET_SIZE(now) == PyBytes_GET_SIZE(before) &&
               std::memcmp(PyBytes_AS_STRING(now), PyBytes_AS_STRING(before),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(now))) == 0;
    return py::require(PyObject_RichCompareBool(now, before, Py_EQ)) == 1; // int, float
}

bool same_sequence(Borrowed now, Borrowed before)
{
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(now);
    if (size != PySequence_Fast_GET_SIZE(before)) return false;
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!same_plain_value(PySequence_Fast_GET_ITEM(now.get(), i), PySequence_Fast_GET_ITEM(before.get(), i)))
            return false;
    return true;
}

// Pair by pair, in order: a dict that was rebuilt in another order counts as changed.
bool same_dict(Borrowed now, Borrowed before)
{
    if (PyDict_GET_SIZE(now.get()) != PyDict_GET_SIZE(before.get())) return false;
    Py_ssize_t position_now = 0, position_before = 0;
    PyObject *key_now, *value_now, *key_before, *value_before;
    while (PyDict_Next(now, &position_now, &key_now, &value_now)) {
        if (!PyDict_Next(before, &position_before, &key_before, &value_before)) return false;
        if (!same_plain_value(key_now, key_before) || !same_plain_value(value_now, value_before)) return false;
    }
    return true;
}

// Each member must be a plain scalar, so that looking it up in `before` runs no code of its own.
bool same_set(Borrowed now, Borrowed before)
{
    if (PySet_GET_SIZE(now.get()) != PySet_GET_SIZE(before.get())) return false;
    Ref iterator = py::own(PyObject_GetIter(now));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
        if (!is_plain_scalar(item) || py::require(PySet_Contains(before, item.get())) == 0) return false;
    if (PyErr_Occurred()) throw py::python_error{};
    return true;
}

} // namespace

bool is_plain_value(Borrowed value)
{
    if (is_plain_scalar(value)) return true;
    if (!is_plain_container(value)) return false;
    if (PyDict_CheckExact(value)) {
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &position, &key, &item))
            if (!is_plain_scalar(key) || !is_plain_scalar(item)) return false;
        return true;
    }
    Ref items = py::own(PySequence_List(value));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
        if (!is_plain_scalar(PyList_GET_ITEM(items.get(), i))) return false;
    return true;
}

Ref plain_snapshot(Borrowed value)
{
    if (PyList_CheckExact(value)) return py::own(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
    if (PyDict_CheckExact(value)) return py::own(PyDict_Copy(value));
    if (PySet_CheckExact(value)) return py::own(PySet_New(value));
    return Ref::borrow(value);
}

bool same_plain_value(Borrowed now, Borrowed before)
{
    if (now == before) return true;
    if (Py_TYPE(now) != Py_TYPE(before)) return false;
    if (is_plain_scalar(now)) return same_scalar(now, before);
    if (PyList_CheckExact(now) || PyTuple_CheckExact(now)) return same_sequence(now, before);
    if (PyDict_CheckExact(now)) return same_dict(now, before);
    if (PySet_CheckExact(now) || PyFrozenSet_CheckExact(now)) return same_set(now, before);
    return false;
}

} // namespace vornel::inspector
