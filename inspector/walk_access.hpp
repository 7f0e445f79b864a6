// When the walk may stand in for the selector queries, and the walk of one instance's document.
#pragma once

#include <optional>

#include "page_walk.hpp"
#include "state.hpp"

namespace vornel::inspector {

// `document` as selectolax's parser object, when it is exactly selectolax's LexborHTMLParser and
// the import check found the walk able to read it; else null.
selectolax_parser* walkable_parser(const module_state& state, Borrowed document);

// The nodes of an instance's document. The walk is taken when first asked for, and again when
// the instance's `parser` is another object or selectolax has changed its tree since.
class instance_walk {
public:
    instance_walk(const module_state& state, Borrowed self) : state_(state), self_(self) {}

    // The nodes of `document`, the instance's `parser` as just read, when it is the parser that the
    // instance's constructor built for the walk; else null, and the caller queries `document`.
    const page_nodes* nodes(Borrowed document);

    const lexbor_access& lexbor() const { return *state_.lexbor; }

private:
    const module_state& state_;
    Borrowed self_;
    Ref walked_; // the parser of nodes_
    unsigned long changes_ = 0;
    std::optional<page_nodes> nodes_;
};

} // namespace vornel::inspector
