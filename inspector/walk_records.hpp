// The extractors' results made from a walk of the page instead of selector queries: the same
// values, in the same order. Each extractor's file holds both ways.
#pragma once

#include "page_walk.hpp"
#include "state.hpp"

namespace vornel::inspector {

Ref metadata_from_walk(const lexbor_access& lexbor, const page_nodes& page);
// Forms and links read the instance's `url` (and `domain`) as their query versions do.
Ref forms_from_walk(Borrowed module, const module_state& state, Borrowed self, const lexbor_access& lexbor,
                    const page_nodes& page);
Ref links_from_walk(Borrowed module, const module_state& state, Borrowed self, const lexbor_access& lexbor,
                    const page_nodes& page);
Ref headings_from_walk(const module_state& state, const lexbor_access& lexbor, const page_nodes& page);
Ref tables_from_walk(const module_state& state, const lexbor_access& lexbor, const page_nodes& page);

} // namespace vornel::inspector
