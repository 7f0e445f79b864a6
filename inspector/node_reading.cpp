// Attributes and texts of Lexbor elements, read the way selectolax reads them.
#include "node_reading.hpp"

namespace vornel::inspector {

namespace {

bool is_ascii_space(unsigned char byte) { return (byte >= 0x09 && byte <= 0x0D) || (byte >= 0x1C && byte <= 0x20); }

// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000 in UTF-8.
bool is_three_byte_space(unsigned char first, unsigned char second, unsigned char third)
{
    if (first == 0xE2 && second == 0x80)
        return (third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF;
    return (first == 0xE1 && second == 0x9A && third == 0x80) || (first == 0xE2 && second == 0x81 && third == 0x9F) ||
           (first == 0xE3 && second == 0x80 && third == 0x80);
}

// U+0085 and U+00A0 in UTF-8.
bool is_two_byte_space(unsigned char first, unsigned char second)
{
    return first == 0xC2 && (second == 0x85 || second == 0xA0);
}

unsigned char byte_at(std::string_view text, std::size_t index) { return static_cast<unsigned char>(text[index]); }

// The length of the white space character that `text` starts with, or 0. A sequence that
// starts with a lead byte is read on its own by the decoder, whatever comes before it, so
// matching whole sequences at either end is matching characters of the decoded text.
std::size_t leading_space(std::string_view text)
{
    if (text.empty()) return 0;
    if (is_ascii_space(byte_at(text, 0))) return 1;
    if (text.size() >= 2 && is_two_byte_space(byte_at(text, 0), byte_at(text, 1))) return 2;
    if (text.size() >= 3 && is_three_byte_space(byte_at(text, 0), byte_at(text, 1), byte_at(text, 2))) return 3;
    return 0;
}

std::size_t trailing_space(std::string_view text)
{
    const std::size_t size = text.size();
    if (size == 0) return 0;
    if (is_ascii_space(byte_at(text, size - 1))) return 1;
    if (size >= 2 && is_two_byte_space(byte_at(text, size - 2), byte_at(text, size - 1))) return 2;
    if (size >= 3 && is_three_byte_space(byte_at(text, size - 3), byte_at(text, size - 2), byte_at(text, size - 1)))
        return 3;
    return 0;
}

} // namespace

py::Ref attribute_object(const attribute_value& value, py::Borrowed missing)
{
    if (!value.found) return py::Ref::borrow(missing);
    if (value.data == nullptr) return py::Ref::borrow(Py_None);
    return decoded(value.text());
}

py::Ref decoded(std::string_view text)
{
    return py::own(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

py::Ref upper_case(std::string_view text, py::Borrowed upper)
{
    for (char byte : text)
        if (static_cast<unsigned char>(byte) >= 0x80)
            return py::own(PyObject_CallMethodNoArgs(decoded(text).get(), upper));
    py::Ref result = py::own(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    for (char byte : text) *out++ = (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - 'a' + 'A') : byte;
    return result;
}

std::string_view strip_white_space(std::string_view text)
{
    while (std::size_t length = leading_space(text)) text.remove_prefix(length);
    while (std::size_t length = trailing_space(text)) text.remove_suffix(length);
    return text;
}

py::Ref stripped_text(lexbor::node* element, lexbor::id text_tag, std::string& buffer)
{
    // The text nodes below the element, in document order, as Lexbor's simple walk visits them.
    buffer.clear();
    lexbor::node* current = element->first_child;
    while (current != nullptr) {
        if (current->local_name == text_tag) {
            const auto& data = reinterpret_cast<const lexbor::character_data*>(current)->data;
            if (data.data != nullptr) buffer.append(reinterpret_cast<const char*>(data.data), data.length);
        }
        if (current->first_child != nullptr) {
            current = current->first_child;
            continue;
        }
        while (current != element && current->next == nullptr) current = current->parent;
        if (current == element) break;
        current = current->next;
    }
    return decoded(strip_white_space(buffer));
}

} // namespace vornel::inspector
