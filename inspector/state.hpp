// Per-module state of vornel.inspector: its types, the guard over urllib.parse, and the names,
// keys, selectors and fixed values that its methods use.
#pragma once

#include <optional>

#include "../pyapi/module_definition.hpp"
#include "../pyapi/state_texts.hpp"
#include "lexbor_access.hpp"
#include "url_library_guard.hpp"

namespace vornel::inspector {

using py::Borrowed;
using py::Ref;

struct module_state {
    // Imports urllib.parse and selectolax.lexbor, binds the module's names and creates VornInspector.
    explicit module_state(Borrowed module);
    // Checks whether the native walk can read selectolax's documents (walk_check.cpp).
    void complete(Borrowed module);

    Ref function_type;
    Ref inspector_type;
    // The class's own extractors, told apart from a subclass's overrides by identity.
    Ref meta_function, forms_function, links_function, headings_function, tables_function;

    // Set when the walk may read the documents of parser_type, selectolax's LexborHTMLParser as
    // bound at import; otherwise every summary is made of selector queries.
    std::optional<lexbor_access> lexbor;
    Ref parser_type;

    // Whether urllib.parse is still as it was at import, which the native link resolution needs.
    url_library_guard url_library;

    // Names of module globals, looked up at each use.
    Ref urljoin, urlparse, LexborHTMLParser;
    // Attribute and method names.
    Ref parser, url, domain, netloc, css, css_first, decompose, attributes, get, text, tag, upper, strip, startswith;
    Ref get_meta, get_forms, get_links, get_heading_hierarchy, get_tables_detailed;
    // Element attribute names.
    Ref name, property, content, src, href, action, method, type, placeholder, required;
    // Keys of the summary and its records.
    Ref title, metadata, forms, links, media, structure, images, count, tables, json_ld, lists, headings,
        detailed_tables, internal, external, inputs, id, columns;

    // Fixed values.
    Ref empty, no_title, default_method, no_headers, h1_tag, h2_tag, h3_tag;
    Ref skipped_link_prefixes; // tuple of the href prefixes that are not links to pages
    // Selectors.
    Ref select_json_ld, select_script_style, select_meta, select_title, select_img, select_table, select_lists,
        select_a, select_headings, select_form, select_fields, select_th;

    // Every Ref above, for the garbage collector.
    template <class Visit>
    void for_each_reference(Visit&& visit);
};

using state_text = py::member_text<module_state>;

inline constexpr state_text interned_names[] = {
    {&module_state::urljoin, "urljoin"},
    {&module_state::urlparse, "urlparse"},
    {&module_state::LexborHTMLParser, "LexborHTMLParser"},
    {&module_state::parser, "parser"},
    {&module_state::url, "url"},
    {&module_state::domain, "domain"},
    {&module_state::netloc, "netloc"},
    {&module_state::css, "css"},
    {&module_state::css_first, "css_first"},
    {&module_state::decompose, "decompose"},
    {&module_state::attributes, "attributes"},
    {&module_state::get, "get"},
    {&module_state::text, "text"},
    {&module_state::tag, "tag"},
    {&module_state::upper, "upper"},
    {&module_state::strip, "strip"},
    {&module_state::startswith, "startswith"},
    {&module_state::get_meta, "_get_meta"},
    {&module_state::get_forms, "_get_forms"},
    {&module_state::get_links, "_get_links"},
    {&module_state::get_heading_hierarchy, "_get_heading_hierarchy"},
    {&module_state::get_tables_detailed, "_get_tables_detailed"},
    {&module_state::name, "name"},
    {&module_state::property, "property"},
    {&module_state::content, "content"},
    {&module_state::src, "src"},
    {&module_state::href, "href"},
    {&module_state::action, "action"},
    {&module_state::method, "method"},
    {&module_state::type, "type"},
    {&module_state::placeholder, "placeholder"},
    {&module_state::required, "required"},
    {&module_state::title, "title"},
    {&module_state::metadata, "metadata"},
    {&module_state::forms, "forms"},
    {&module_state::links, "links"},
    {&module_state::media, "media"},
    {&module_state::structure, "structure"},
    {&module_state::images, "images"},
    {&module_state::count, "count"},
    {&module_state::tables, "tables"},
    {&module_state::json_ld, "json_ld"},
    {&module_state::lists, "lists"},
    {&module_state::headings, "headings"},
    {&module_state::detailed_tables, "detailed_tables"},
    {&module_state::internal, "internal"},
    {&module_state::external, "external"},
    {&module_state::inputs, "inputs"},
    {&module_state::id, "id"},
    {&module_state::columns, "columns"},
};

inline constexpr state_text plain_texts[] = {
    {&module_state::empty, ""},
    {&module_state::no_title, "No Title"},
    {&module_state::default_method, "GET"},
    {&module_state::no_headers, "Generic/No Headers"},
    {&module_state::h1_tag, "H1"},
    {&module_state::h2_tag, "H2"},
    {&module_state::h3_tag, "H3"},
    {&module_state::select_json_ld, "script[type=\"application/ld+json\"]"},
    {&module_state::select_script_style, "script, style"},
    {&module_state::select_meta, "meta"},
    {&module_state::select_title, "title"},
    {&module_state::select_img, "img"},
    {&module_state::select_table, "table"},
    {&module_state::select_lists, "ul, ol"},
    {&module_state::select_a, "a"},
    {&module_state::select_headings, "h1, h2, h3"},
    {&module_state::select_form, "form"},
    {&module_state::select_fields, "input, select, textarea"},
    {&module_state::select_th, "th"},
};

template <class Visit>
void module_state::for_each_reference(Visit&& visit)
{
    visit(function_type);
    visit(inspector_type);
    for (Ref* ref :
         {&meta_function, &forms_function, &links_function, &headings_function, &tables_function, &parser_type})
        visit(*ref);
    url_library.for_each_reference(visit);
    py::for_each_member(*this, interned_names, visit);
    py::for_each_member(*this, plain_texts, visit);
    visit(skipped_link_prefixes);
}

// The state of a vornel.inspector module; methods only read it.
inline const module_state& state_of(Borrowed module) { return py::module_definition<module_state>::state_of(module); }

} // namespace vornel::inspector
