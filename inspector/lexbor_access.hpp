// Lexbor's functions in selectolax's own build, found at run time in the module file of
// selectolax.lexbor (no link-time dependency), and the ids of the tags and attributes that the
// summary reads, as that build numbers them.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "lexbor_layout.hpp"

namespace vornel::inspector {

// The attributes that the summary reads.
enum class attribute_name : unsigned char {
    href,
    src,
    name,
    property,
    content,
    action,
    method,
    type,
    placeholder,
    required
};
inline constexpr std::array<std::string_view, 10> attribute_names = {
    "href", "src", "name", "property", "content", "action", "method", "type", "placeholder", "required"};

// What the walk does with an element, by its tag.
enum class element_kind : unsigned char {
    other,
    anchor,
    image,
    meta,
    heading,
    list,
    field,
    header_cell,
    form,
    table,
    title,
    script,
    style
};

// Ids learnt from a parsed page at import (walk_check.cpp), not compiled in.
struct lexbor_ids {
    lexbor::id text;
    lexbor::id html, title, meta, form, input, select, textarea, a, img, table, th, ul, ol, h1, h2, h3, script, style;
    lexbor::id type_attribute;
    lexbor::id html_namespace;
    int html_document; // the dom document type of an HTML document

    // Lexbor numbers the tags it knows from 0 up; the summary reads only such tags.
    static constexpr lexbor::id known_tags = 256;
    std::array<element_kind, known_tags> kinds{};

    element_kind kind_of(lexbor::id tag) const { return tag < known_tags ? kinds[tag] : element_kind::other; }

    // Lexbor numbers the attribute names it knows from 0 up, each name once, and gives any other name
    // the address of its entry in the document: an id below this bound is one of its own.
    static constexpr lexbor::id known_attributes = 0x10000;
    static constexpr lexbor::id unknown = ~lexbor::id{0};
    // Per attribute_name, its id when Lexbor knows the name, else `unknown`.
    std::array<lexbor::id, attribute_names.size()> attributes{};

    // The id of the attribute's name as written (what selectolax reports as its key).
    static lexbor::id written_name(const lexbor::attribute* attribute)
    {
        return attribute->qualified_name != 0 ? attribute->qualified_name : attribute->node.local_name;
    }
};

// An attribute's value as Lexbor keeps it.
struct attribute_value {
    bool found = false;
    const unsigned char* data = nullptr; // null for an attribute without a value
    std::size_t length = 0;

    // Python's truth of the value that selectolax reports: a non-empty str.
    bool is_true() const { return data != nullptr && length != 0; }
    std::string_view text() const { return {reinterpret_cast<const char*>(data), length}; }
};

class lexbor_access {
public:
    // Nothing when the platform cannot look symbols up or one of them is missing.
    static std::optional<lexbor_access> open(const char* module_file);

    lexbor_access(lexbor_access&& other) noexcept;
    lexbor_access& operator=(lexbor_access&&) = delete;
    ~lexbor_access();

    lexbor::attribute* first_attribute(lexbor::node* element) const { return first_attribute_(element); }
    lexbor::attribute* next_attribute(lexbor::attribute* attribute) const { return next_attribute_(attribute); }
    // The name as written (with its prefix): the key of selectolax's `attributes` dict.
    std::string_view attribute_name(const lexbor::attribute* attribute) const;
    attribute_value attribute_value_of(lexbor::attribute* attribute) const;
    // The id of the attribute's local name, which attribute selectors compare.
    static lexbor::id attribute_id(const lexbor::attribute* attribute) { return attribute->node.local_name; }
    // The element's qualified name, which selectolax reports as its `tag`.
    std::string_view element_name(const lexbor::node* element) const;
    // ASCII case-insensitive comparison of `size` bytes, as Lexbor's selectors make it.
    bool equal_ignoring_case(const unsigned char* first, const unsigned char* second, std::size_t size) const
    {
        return equal_ignoring_case_(first, second, size);
    }
    // Unlinks a node from its parent and siblings.
    void remove(lexbor::node* node) const { remove_(node); }

    lexbor_ids ids{};

private:
    lexbor_access() = default;

    void* library_ = nullptr; // the handle that keeps the module file's symbols ours
    lexbor::attribute* (*first_attribute_)(lexbor::node*) = nullptr;
    lexbor::attribute* (*next_attribute_)(lexbor::attribute*) = nullptr;
    const unsigned char* (*attribute_name_)(const lexbor::attribute*, std::size_t*) = nullptr;
    const unsigned char* (*attribute_value_)(lexbor::attribute*, std::size_t*) = nullptr;
    const unsigned char* (*element_name_)(const lexbor::node*, std::size_t*) = nullptr;
    bool (*equal_ignoring_case_)(const unsigned char*, const unsigned char*, std::size_t) = nullptr;
    void (*remove_)(lexbor::node*) = nullptr;
};

} // namespace vornel::inspector
