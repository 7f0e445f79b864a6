// VornInspector._get_meta: the page's meta elements as one flat name -> content dict.
#include "methods.hpp"
#include "nodes.hpp"

namespace vornel::inspector {

using namespace py;

Ref get_meta(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    Ref metadata = own(PyDict_New());
    Ref elements = select(state, document_of(state, args[0]).get(), state.select_meta.get());
    for_each(elements.get(), [&](Borrowed element) {
        Ref attributes = attributes_of(state, element);
        Ref key = attribute(state, attributes.get(), state.name);
        if (!is_true(key.get())) key = attribute(state, attributes.get(), state.property);
        Ref content = attribute(state, attributes.get(), state.content);
        if (is_true(key.get()) && is_true(content.get())) set_item(metadata.get(), key.get(), content.get());
    });
    return metadata;
}

} // namespace vornel::inspector
