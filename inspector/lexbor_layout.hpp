// The memory layouts that the native walk reads: the Lexbor 3.1 nodes, attributes and texts, and
// the fields of selectolax 1.0's LexborHTMLParser object, as selectolax's lexbor.pxd declares them.
// Nothing here is linked against: the functions come from selectolax's own module at run time
// (lexbor_access.hpp), and the import check (walk_check.cpp) confirms every layout on a live parser.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vornel::inspector::lexbor {

using id = std::uintptr_t; // tag, attribute and namespace ids

struct text_buffer { // lexbor_str_t
    unsigned char* data;
    std::size_t length;
};

struct document;

struct node { // lxb_dom_node_t
    void* events;
    id local_name; // the tag id; the attribute id for an attribute node
    id prefix;
    id ns;
    document* owner_document;
    node* next;
    node* prev;
    node* parent;
    node* first_child;
    node* last_child;
    void* user;
    int type; // lxb_dom_node_type_t
};

// The node types that the walk tells apart.
inline constexpr int element_node = 1;
inline constexpr int document_node = 9;

struct document { // the start of lxb_dom_document_t (and so of lxb_html_document_t)
    lexbor::node node;
    int compat_mode;
    int type; // lxb_dom_document_dtype_t: HTML or XML
};

struct character_data { // lxb_dom_character_data_t: a text node's bytes
    lexbor::node node;
    text_buffer data;
};

// The start of lxb_dom_attr_t; its value and neighbours are read through Lexbor's functions.
struct attribute {
    lexbor::node node; // node.local_name: the id of the attribute's local name
    id upper_name;
    id qualified_name; // the id of the name as written, when it differs from the local name; else 0
};

} // namespace vornel::inspector::lexbor

namespace vornel::inspector {

// selectolax.lexbor.LexborHTMLParser: a Cython extension type whose instance holds, after the
// object header and the pointer to its table of C methods, the fields in declaration order.
struct selectolax_parser {
    PyObject_HEAD
    void* c_methods;
    lexbor::document* document; // lxb_html_document_t*, whose first member is the DOM document
    lexbor::node* fragment_wrapper;
    int is_fragment;
    std::uintptr_t fragment_tag_id;
    std::uintptr_t fragment_namespace_id;
    PyObject* raw_html;
    PyObject* selector;
    unsigned long mutation_count; // raised by every change that selectolax makes to the tree
    PyObject* cached_script_texts;
    PyObject* cached_script_srcs;
};

} // namespace vornel::inspector
