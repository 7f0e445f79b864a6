// VornInspector._get_meta: the page's meta elements as one flat name -> content dict.
#include "../pyapi/calls.hpp"
#include "methods.hpp"

namespace vornel::inspector {

using namespace py;

Ref get_meta(Borrowed module, PyObject* const* args)
{
    module_state& state = state_of(module);
    Ref metadata = own(PyDict_New());
    Ref document = get_attr(args[0], state.parser.get());
    Ref elements = call_method(document.get(), state.css.get(), state.select_meta.get());
    for_each(elements.get(), [&](Borrowed element) {
        Ref attributes = get_attr(element, state.attributes.get());
        Ref key = mapping_get(attributes.get(), state.name.get(), state.get.get());
        if (!is_true(key.get())) key = mapping_get(attributes.get(), state.property.get(), state.get.get());
        Ref content = mapping_get(attributes.get(), state.content.get(), state.get.get());
        if (is_true(key.get()) && is_true(content.get()))
            set_item(metadata.get(), key.get(), content.get());
    });
    return metadata;
}

} // namespace vornel::inspector
