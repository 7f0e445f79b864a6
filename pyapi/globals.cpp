// Module-global lookup at the moment of use, so callers may rebind module attributes.
#include "globals.hpp"

#include "compat.hpp"

namespace vornel::py {

Ref lookup_global(Borrowed module, Borrowed name)
{
    PyObject* value;
    if (require(dict_get_ref(PyModule_GetDict(module), name, &value)) == 1) return Ref::steal(value);

    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr && require(dict_get_ref(builtins, name, &value)) == 1) return Ref::steal(value);

    Ref message = own(PyUnicode_FromFormat("name '%U' is not defined", name.get()));
    Ref error = own(PyObject_CallOneArg(PyExc_NameError, message.get()));
    require(PyObject_SetAttrString(error.get(), "name", name));
    PyErr_SetObject(PyExc_NameError, error.get());
    throw python_error{};
}

} // namespace vornel::py
