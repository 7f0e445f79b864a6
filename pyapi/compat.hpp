// The few C API calls that differ between CPython 3.11, 3.12 and 3.13.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#if PY_VERSION_HEX < 0x030D0000
// Critical sections guard objects where threads run without a GIL, from 3.13 on.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace vornel::py {

// dict.get(key) without a default: 1 and a new reference when found, 0 when not, -1 on error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// getattr(obj, name) that treats a missing attribute as no error: 1 found, 0 missing, -1 error.
inline int get_optional_attr(PyObject* obj, const char* name, PyObject** result)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttrString(obj, name, result);
#else
    *result = PyObject_GetAttrString(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// Gives the class a version tag, if it has none, and returns it (0 when none could be given).
// The interpreter replaces the tag whenever the class or one of its bases is changed.
inline unsigned int assign_version_tag(PyTypeObject* type)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(type);
#else
    // A lookup through the type's method cache assigns the tag.
    if (PyObject* name = PyUnicode_InternFromString("__name__")) {
        static_cast<void>(_PyType_Lookup(type, name));
        Py_DECREF(name);
    } else {
        PyErr_Clear();
    }
#endif
    return type->tp_version_tag;
}

} // namespace vornel::py
