// Per-module state of vornel.inspector: its types and the names and selectors it uses.
#pragma once

#include "../pyapi/ref.hpp"

namespace vornel::inspector {

using py::Borrowed;
using py::Ref;

struct module_state {
    Ref function_type;
    Ref inspector_type;

    // Module globals, looked up at each use.
    Ref urljoin, urlparse, LexborHTMLParser;
    // Attribute and method names.
    Ref parser, url, domain, netloc, css, css_first, decompose, attributes, get, text, tag, upper, strip;
    Ref name, property, content;
    // Selectors.
    Ref select_json_ld, select_script_style, select_meta;

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
    {&module_state::name, "name"},
    {&module_state::property, "property"},
    {&module_state::content, "content"},
    {&module_state::select_json_ld, "script[type=\"application/ld+json\"]"},
    {&module_state::select_script_style, "script, style"},
    {&module_state::select_meta, "meta"},
};

template <class Visit>
void module_state::for_each_reference(Visit&& visit)
{
    visit(function_type);
    visit(inspector_type);
    for (const interned_text& entry : interned_texts) visit(this->*entry.member);
}

module_state& state_of(Borrowed module);

} // namespace vornel::inspector
