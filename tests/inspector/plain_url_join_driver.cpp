// Runs the native URL joiner on the cases that tests/test_plain_url_join.py sends: one case a
// line, "BASE REFERENCE" in hexadecimal; answers "URL NETLOC IS_REFERENCE" in hexadecimal (the
// flag 0 or 1), or "-" when the joiner declines the case.
#include <iostream>
#include <string>

#include "plain_url_join.hpp"

namespace {

std::string from_hex(const std::string& hex)
{
    std::string text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

std::string to_hex(std::string_view text)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

} // namespace

int main()
{
    std::string base, reference;
    while (std::cin >> base >> reference) {
        // An empty text is written as "_", since a blank line would not be read as a field.
        const auto joined = vornel::inspector::join_plain_url(from_hex(base == "_" ? "" : base),
                                                              from_hex(reference == "_" ? "" : reference));
        if (!joined) {
            std::cout << "-\n";
            continue;
        }
        std::cout << to_hex(joined->url) << ' ' << (joined->netloc().empty() ? "_" : to_hex(joined->netloc())) << ' '
                  << joined->is_reference << '\n';
    }
    return 0;
}
