// VornInspector._get_heading_hierarchy: the first fifteen headings of levels 1 to 3.
#include "methods.hpp"
#include "nodes.hpp"

namespace vornel::inspector {

using namespace py;

namespace {
constexpr Py_ssize_t max_headings = 15;
}

Ref get_heading_hierarchy(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    Ref headings = own(PyList_New(0));
    Ref elements = select(state, document_of(state, args[0]).get(), state.select_headings.get());
    // Every heading is recorded, also those past the fifteenth, so that an error in any of them
    // reaches the caller; only the first fifteen records are returned.
    for_each(elements.get(), [&](Borrowed element) {
        Ref record = new_dict({
            {state.tag.get(), call_method(get_attr(element, state.tag.get()).get(), state.upper.get()).get()},
            {state.text.get(), element_text(state, element).get()},
        });
        require(PyList_Append(headings.get(), record.get()));
    });
    return own(PyList_GetSlice(headings.get(), 0, max_headings));
}

} // namespace vornel::inspector
