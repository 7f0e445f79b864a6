// When the walk may stand in for the selector queries, and the walk of one instance's document.
#pragma once

#include <optional>

#include "page_walk.hpp"
#include "state.hpp"

namespace vornel::inspector {

// `document` as selectolax's parser object, when it is exactly selectolax's LexborHTMLParser and
// the import check found the walk able to read it; else null.
selectolax_parser* walkable_parser(const module_state& state, Borrowed document);

// The constructor's walk, kept with the instance for its summaries: good while the parser's
// count of changes is `changes`, the count after the constructor's own removals.
Ref keep_walk(page_nodes page, unsigned long changes);

// The nodes of an instance's document: those that the constructor kept while the tree is as the
// constructor left it, else a walk taken when first asked for, and again when the instance's
// `parser` is another object or selectolax has changed its tree since.
class instance_walk {
public:
    instance_walk(const module_state& state, Borrowed self) : state_(state), self_(self) {}

    // The nodes of `document`, the instance's `parser` as just read, when it is the parser that the
    // instance's constructor built for the walk; else null, and the caller queries `document`.
    const page_nodes* nodes(Borrowed document);

    const lexbor_access& lexbor() const { return *state_.lexbor; }

private:
    const module_state& state_;
    PyObject* self_; // lent by the method that made this walk, which outlives it
    Ref walked_;     // the parser of current_
    unsigned long changes_ = 0;
    const page_nodes* current_ = nullptr;
    Ref kept_;                        // the capsule of the constructor's walk, when current_ is in it
    std::optional<page_nodes> taken_; // a walk of our own, when current_ is that
};

} // namespace vornel::inspector
