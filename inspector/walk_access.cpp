// The walk stands in for the queries only on the parser that the instance's constructor built,
// so that a `parser` set by other code is read through its own methods.
#include "walk_access.hpp"

#include <new>

#include "inspector_type.hpp"

namespace vornel::inspector {

namespace {

struct kept_walk {
    unsigned long changes;
    page_nodes page;
};

constexpr char kept_walk_name[] = "vornel.inspector.kept_walk";

void delete_kept_walk(PyObject* capsule) noexcept
{
    delete static_cast<kept_walk*>(PyCapsule_GetPointer(capsule, kept_walk_name));
}

} // namespace

selectolax_parser* walkable_parser(const module_state& state, Borrowed document)
{
    if (!state.lexbor || reinterpret_cast<PyObject*>(Py_TYPE(document)) != state.parser_type.get()) return nullptr;
    auto* parser = reinterpret_cast<selectolax_parser*>(document.get());
    return parser->document != nullptr ? parser : nullptr;
}

Ref keep_walk(page_nodes page, unsigned long changes)
{
    auto* kept = new kept_walk{changes, std::move(page)};
    PyObject* capsule = PyCapsule_New(kept, kept_walk_name, delete_kept_walk);
    if (capsule == nullptr) delete kept;
    return py::own(capsule);
}

const page_nodes* instance_walk::nodes(Borrowed document)
{
    selectolax_parser* parser = walkable_parser(state_, document);
    if (parser == nullptr) return nullptr;
    const unsigned long changes = parser->mutation_count;
    if (current_ != nullptr && walked_.get() == document && changes_ == changes) return current_;

    built_walk built = built_parser(state_, self_);
    if (built.parser.get() != document) return nullptr;
    const auto* kept =
        built.walk ? static_cast<kept_walk*>(PyCapsule_GetPointer(built.walk.get(), kept_walk_name)) : nullptr;
    if (kept != nullptr && kept->changes == changes) {
        kept_ = std::move(built.walk);
        current_ = &kept->page;
    } else {
        if (built.walk && kept == nullptr) throw py::python_error{};
        taken_ = walk_page(*state_.lexbor, parser->document);
        current_ = &*taken_;
    }
    walked_ = Ref::borrow(document);
    changes_ = changes;
    return current_;
}

} // namespace vornel::inspector
