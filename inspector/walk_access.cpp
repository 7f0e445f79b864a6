// The walk stands in for the queries only on the parser that the instance's constructor built,
// so that a `parser` set by other code is read through its own methods.
#include "walk_access.hpp"

#include "inspector_type.hpp"

namespace vornel::inspector {

selectolax_parser* walkable_parser(const module_state& state, Borrowed document)
{
    if (!state.lexbor || reinterpret_cast<PyObject*>(Py_TYPE(document)) != state.parser_type.get()) return nullptr;
    auto* parser = reinterpret_cast<selectolax_parser*>(document);
    return parser->document != nullptr ? parser : nullptr;
}

const page_nodes* instance_walk::nodes(Borrowed document)
{
    selectolax_parser* parser = walkable_parser(state_, document);
    if (parser == nullptr || built_parser(state_, self_).get() != document) return nullptr;
    if (!nodes_ || walked_.get() != document || changes_ != parser->mutation_count) {
        nodes_ = walk_page(*state_.lexbor, parser->document);
        walked_ = Ref::borrow(document);
        changes_ = parser->mutation_count;
    }
    return &*nodes_;
}

} // namespace vornel::inspector
