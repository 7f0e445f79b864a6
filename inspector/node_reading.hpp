// Reading an element as selectolax reports it: an attribute of its `attributes` dict, and its
// whole text with white space stripped at both ends, as Python str objects.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "../pyapi/ref.hpp"
#include "lexbor_access.hpp"

namespace vornel::inspector {

// attributes.get(name) for each of `names`, in one pass: the value of the last attribute of that
// name, as the dict keeps it. A name that Lexbor knows is compared by its id, any other by its text.
template <std::size_t N>
std::array<attribute_value, N> find_attributes(const lexbor_access& lexbor, lexbor::node* element,
                                               const std::array<attribute_name, N>& names)
{
    const lexbor_ids& ids = lexbor.ids;
    std::array<attribute_value, N> found{};
    for (lexbor::attribute* attribute = lexbor.first_attribute(element); attribute != nullptr;
         attribute = lexbor.next_attribute(attribute)) {
        const lexbor::id id = lexbor_ids::written_name(attribute);
        if (id < lexbor_ids::known_attributes) {
            for (std::size_t i = 0; i < N; ++i)
                if (id == ids.attributes[static_cast<std::size_t>(names[i])])
                    found[i] = lexbor.attribute_value_of(attribute);
            continue;
        }
        const std::string_view name = lexbor.attribute_name(attribute);
        for (std::size_t i = 0; i < N; ++i)
            if (name == attribute_names[static_cast<std::size_t>(names[i])])
                found[i] = lexbor.attribute_value_of(attribute);
    }
    return found;
}

inline attribute_value find_attribute(const lexbor_access& lexbor, lexbor::node* element, attribute_name name)
{
    return find_attributes<1>(lexbor, element, {name})[0];
}

// The value as a str, None for an attribute without a value, `missing` for an absent one.
py::Ref attribute_object(const attribute_value& value, py::Borrowed missing);

// UTF-8 decoded as selectolax decodes it: invalid bytes become U+FFFD.
py::Ref decoded(std::string_view text);

// decoded(text).upper(); `upper` is the interned method name, called for text that is not ASCII.
py::Ref upper_case(std::string_view text, py::Borrowed upper);

// element.text() with str.strip() applied; `buffer` is scratch space, reused between calls.
py::Ref stripped_text(lexbor::node* element, lexbor::id text_tag, std::string& buffer);

// The UTF-8 text with the characters that str.strip() removes taken off both ends.
std::string_view strip_white_space(std::string_view text);

} // namespace vornel::inspector
