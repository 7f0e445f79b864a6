// Argument binding: positional, then keywords in call order, then missing ones, then types.
#include "binding.hpp"

#include "raised_exception.hpp"

namespace vornel::py {
namespace {

[[noreturn]] void raise_positional_count(const function_spec& spec, Py_ssize_t given)
{
    const auto expected = static_cast<Py_ssize_t>(spec.parameter_count);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, "exactly",
                 expected, expected == 1 ? "" : "s", given);
    throw python_error{};
}

// Index of the parameter called `keyword`, or -1; identity first, as keywords are usually interned.
Py_ssize_t find_parameter(PyObject* const* names, std::size_t count, PyObject* keyword)
{
    for (std::size_t i = 0; i < count; ++i)
        if (names[i] == keyword) return static_cast<Py_ssize_t>(i);
    if (!PyUnicode_Check(keyword)) return -1;
    for (std::size_t i = 0; i < count; ++i)
        if (PyUnicode_Compare(names[i], keyword) == 0) return static_cast<Py_ssize_t>(i);
    return -1;
}

[[noreturn]] void raise_incorrect_type(const parameter& param, PyObject* value)
{
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 "str", Py_TYPE(value)->tp_name);
    if (!PyUnicode_Check(value)) throw python_error{};

    // A str subclass looks right at first sight; tell the caller why it is refused.
    Ref error = fetch_raised_exception();
    Ref note = own(PyUnicode_FromString("subclasses of str are not accepted here; pass a plain str, "
                                        "for example str(value)"));
    static_cast<void>(own(PyObject_CallMethod(error.get(), "add_note", "O", note.get())));
    restore_raised_exception(std::move(error));
    throw python_error{};
}

} // namespace

void bind_arguments(const function_spec& spec, PyObject* const* parameter_names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound)
{
    const auto count = static_cast<Py_ssize_t>(spec.parameter_count);
    if (nargs > count) raise_positional_count(spec, nargs);

    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t index = find_parameter(parameter_names, spec.parameter_count, keyword);
            if (index < 0 && !PyUnicode_Check(keyword)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                throw python_error{};
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
                throw python_error{};
            }
            if (bound[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, keyword);
                throw python_error{};
            }
            bound[index] = args[nargs + k];
        }
    }

    for (Py_ssize_t i = 0; i < count; ++i)
        if (bound[i] == nullptr) raise_positional_count(spec, i);

    for (Py_ssize_t i = 0; i < count; ++i) {
        const parameter& param = spec.parameters[i];
        if (param.check == accepts::exact_str && !PyUnicode_CheckExact(bound[i])) raise_incorrect_type(param, bound[i]);
    }
}

} // namespace vornel::py
