// Garbage-collector support for C++ objects that own Refs: traverse and clear over every Ref
// that the object's for_each_reference(visit) hands to `visit`.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace vornel::py {

// tp_traverse / m_traverse: visits each Ref that holds an object, stopping at the first non-zero answer.
template <class Owner>
int visit_references(Owner& owner, visitproc visit, void* arg) noexcept
{
    int status = 0;
    owner.for_each_reference([&](const Ref& ref) {
        if (status == 0 && ref) status = visit(ref.get(), arg);
    });
    return status;
}

// tp_clear / m_clear: drops every Ref, which breaks the cycles that run through the owner.
template <class Owner>
void clear_references(Owner& owner) noexcept
{
    owner.for_each_reference([](Ref& ref) { ref.reset(); });
}

} // namespace vornel::py
