// Tables of the str members of a module state and their texts, made once when the state is built.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ref.hpp"

namespace vornel::py {

template <class State>
struct member_text {
    Ref State::*member;
    const char* text; // UTF-8
};

// Names of attributes, methods, keywords and globals are interned: a lookup then finds them by
// identity, and they share the interpreter's copy of the same name.
template <class State, std::size_t N>
void intern_names(State& state, const member_text<State> (&names)[N])
{
    for (const member_text<State>& entry : names) state.*entry.member = own(PyUnicode_InternFromString(entry.text));
}

// Other texts (messages, command words, selectors, fixed values) are plain str objects.
template <class State, std::size_t N>
void make_texts(State& state, const member_text<State> (&texts)[N])
{
    for (const member_text<State>& entry : texts) state.*entry.member = own(PyUnicode_FromString(entry.text));
}

// visit(ref) for the member of each entry of the table.
template <class State, std::size_t N, class Visit>
void for_each_member(State& state, const member_text<State> (&table)[N], Visit& visit)
{
    for (const member_text<State>& entry : table) visit(state.*entry.member);
}

} // namespace vornel::py
