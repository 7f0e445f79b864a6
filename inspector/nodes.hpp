// The document and node operations that the extractors share.
#pragma once

#include "../pyapi/calls.hpp"
#include "state.hpp"

namespace vornel::inspector {

// The instance's parsed document, read from the instance at each use.
inline Ref document_of(const module_state& state, Borrowed self) { return py::get_attr(self, state.parser); }

// Every element below `where` that matches `selector`.
inline Ref select(const module_state& state, Borrowed where, Borrowed selector)
{
    return py::call_method(where, state.css, selector);
}

// The element's attributes, a dict from name to value (None for an attribute without a value).
inline Ref attributes_of(const module_state& state, Borrowed element)
{
    return py::get_attr(element, state.attributes);
}

// attributes.get(name): None for a missing attribute.
inline Ref attribute(const module_state& state, Borrowed attributes, const Ref& name)
{
    return py::mapping_get(attributes, name, state.get);
}

// attributes.get(name, fallback): the fallback only for a missing attribute.
inline Ref attribute_or(const module_state& state, Borrowed attributes, const Ref& name, const Ref& fallback)
{
    return py::mapping_get(attributes, name, fallback, state.get);
}

// The element's whole text with white space removed at both ends only. The engine's own
// text(strip=True) strips each text node and glues the pieces, so "Hello <em>World</em>"
// would read "HelloWorld"; taking the deep text and stripping it once keeps inner spaces.
inline Ref element_text(const module_state& state, Borrowed element)
{
    Ref text = py::call_method(element, state.text);
    return py::call_method(text, state.strip);
}

} // namespace vornel::inspector
