// One pass over a parsed page that finds every element the summary reads, in the order and with
// the matching rules of the selector queries it replaces (see page_walk.cpp).
#pragma once

#include <Python.h>

#include <vector>

#include "lexbor_access.hpp"

namespace vornel::inspector {

using node_list = std::vector<lexbor::node*>;

struct form_nodes {
    lexbor::node* form;
    node_list fields; // its input, select and textarea elements, at any depth
};

// What the summary reads, each list in document order.
struct page_nodes {
    lexbor::node* title = nullptr; // the first title element
    node_list metas, anchors, images, headings;
    std::vector<form_nodes> forms;
    std::vector<node_list> table_headers; // per table, its th elements at any depth
    Py_ssize_t lists = 0;                 // ul and ol elements

    // What the constructor reads: the script and style elements, which of them are JSON-LD
    // blocks, and whether one holds an element (which the lists above may then hold too).
    node_list scripts_and_styles;
    Py_ssize_t json_ld = 0;
    bool scripts_hold_elements = false;
};

page_nodes walk_page(const lexbor_access& lexbor, lexbor::document* document);

// Takes an element and everything inside it out of the tree, node by node, as selectolax's
// decompose() does.
void remove_deep(const lexbor_access& lexbor, lexbor::node* root);

} // namespace vornel::inspector
