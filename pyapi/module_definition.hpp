// The definition of an extension module whose state is one C++ object: multi-phase
// initialisation, the state built whole by exec and destroyed whole by free, GC support.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <utility>

#include "references.hpp"

namespace vornel::py {

// State(module) initialises the module (it may fill the namespace) and throws python_error on
// failure; State::for_each_reference(visit) hands every Ref it owns to visit. A State that has
// State::complete(module) gets it called once the state is in place, so that it may run the
// module's own functions (which reach the state through the module).
//
//   PyModuleDef example_module = module_definition<example_state>::make("example");
//   PyMODINIT_FUNC PyInit_example() { return PyModuleDef_Init(&example_module); }
template <class State>
class module_definition {
public:
    // The PyModuleDef of a module called `name` (a literal: the definition keeps the pointer).
    static PyModuleDef make(const char* name)
    {
        return {PyModuleDef_HEAD_INIT, name, nullptr, sizeof(storage), nullptr, slots, traverse, clear, free};
    }

    // The state of a module of this definition; SystemError when its exec did not complete.
    static const State& state_of(Borrowed module)
    {
        const State* state = built_state(module);
        if (state == nullptr) {
            PyErr_SetString(PyExc_SystemError, "vornel: the module's initialisation did not complete");
            throw python_error{};
        }
        return *state;
    }

private:
    // The module's state memory, which the interpreter zero-fills before exec: `built` stays
    // false until the State is constructed in it, and is false again once it is destroyed, so
    // that traverse, clear and free never touch a State that does not exist (exec not run yet,
    // or failed).
    struct storage {
        alignas(State) std::byte bytes[sizeof(State)];
        bool built;
    };
    static_assert(alignof(State) <= alignof(std::max_align_t), "module state memory comes from PyMem_Malloc");

    static State* built_state(PyObject* module)
    {
        auto* memory = static_cast<storage*>(PyModule_GetState(module));
        if (memory == nullptr || !memory->built) return nullptr;
        return std::launder(reinterpret_cast<State*>(memory->bytes));
    }

    static int exec(PyObject* module) noexcept
    {
        return status_boundary([&] {
            auto* memory = static_cast<storage*>(PyModule_GetState(module));
            new (memory->bytes) State(module);
            memory->built = true;
            if constexpr (requires { std::declval<State&>().complete(module); })
                std::launder(reinterpret_cast<State*>(memory->bytes))->complete(module);
        });
    }

    static int traverse(PyObject* module, visitproc visit, void* arg) noexcept
    {
        State* state = built_state(module);
        return state != nullptr ? visit_references(*state, visit, arg) : 0;
    }

    static int clear(PyObject* module) noexcept
    {
        if (State* state = built_state(module)) clear_references(*state);
        return 0;
    }

    static void free(void* module) noexcept
    {
        State* state = built_state(static_cast<PyObject*>(module));
        if (state == nullptr) return;
        static_cast<storage*>(PyModule_GetState(static_cast<PyObject*>(module)))->built = false;
        state->~State();
    }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr},
    };
};

} // namespace vornel::py
