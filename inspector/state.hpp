// Per-module state of vornel.inspector: its types and the names and selectors it uses.
#pragma once

#include "../pyapi/ref.hpp"

namespace vornel::inspector {

using py::Borrowed;
using py::Ref;

struct module_state {
    Ref function_type;
    Ref inspector_type;

    // urllib.parse, and what it looked like at import (None when links are always resolved by it).
    Ref urllib_parse, url_library_snapshot;

    // Module globals, looked up at each use.
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
    Ref empty, no_title, get_method, no_headers;
    Ref skipped_link_prefixes; // tuple of the href prefixes that are not links to pages
    // Selectors.
    Ref select_json_ld, select_script_style, select_meta, select_title, select_img, select_table, select_lists,
        select_a, select_headings, select_form, select_fields, select_th;

    // Every Ref above, for traverse and clear.
    template <class Visit>
    void for_each_reference(Visit&& visit);
};

// The interned strings of module_state and their texts.
struct interned_text {
    Ref module_state::*member;
    const char* text;
};

inline constexpr interned_text interned_texts[] = {
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
    {&module_state::empty, ""},
    {&module_state::no_title, "No Title"},
    {&module_state::get_method, "GET"},
    {&module_state::no_headers, "Generic/No Headers"},
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
    for (const interned_text& entry : interned_texts) visit(this->*entry.member);
    visit(skipped_link_prefixes);
    visit(urllib_parse);
    visit(url_library_snapshot);
}

module_state& state_of(Borrowed module);

} // namespace vornel::inspector
