// Garbage-collector support for a module whose state is one struct of Refs.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace vornel::py {

// traverse, clear and free for PyModuleDef, for a State with for_each_reference(visit(Ref&)).
template <class State>
struct module_state_support {
    // Before exec has run the state is all zeros: a state of null Refs.
    static State* of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

    static int traverse(PyObject* module, visitproc visit, void* arg) noexcept
    {
        State* state = of(module);
        int status = 0;
        if (state != nullptr)
            state->for_each_reference([&](Ref& ref) {
                if (status == 0 && ref) status = visit(ref.get(), arg);
            });
        return status;
    }

    static int clear(PyObject* module) noexcept
    {
        if (State* state = of(module)) state->for_each_reference([](Ref& ref) { ref.reset(); });
        return 0;
    }

    static void free(void* module) noexcept { clear(static_cast<PyObject*>(module)); }
};

} // namespace vornel::py
