// urllib.parse's urljoin, and the netloc that urlparse finds in its result, for plain http and
// https URLs; plain C++, without Python.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vornel::inspector {

// urljoin(base, reference), and where urlparse(url).netloc lies in it.
struct joined_url {
    std::string url;
    std::size_t netloc_offset = 0;
    std::size_t netloc_length = 0;
    bool is_reference = false; // urljoin hands back the reference itself (a reference of another scheme)

    std::string_view netloc() const { return std::string_view(url).substr(netloc_offset, netloc_length); }
};

// Joins references to one base exactly as urllib.parse does with its default scheme lists, for
// plain URLs: non-empty ASCII without control characters, a leading blank, brackets or `;`
// parameters (what urlsplit strips, removes or treats specially). The base must also be an
// http or https URL with a network location. Outside that class it answers nothing.
class plain_url_joiner {
public:
    static std::optional<plain_url_joiner> for_base(std::string_view base);

    std::optional<joined_url> join(std::string_view reference) const;

    std::string_view base_netloc() const { return netloc_; }

private:
    plain_url_joiner() = default;

    std::string scheme_; // "http" or "https", as urljoin writes it: lower case
    std::string netloc_, path_, query_;
};

// The same for one reference: plain_url_joiner::for_base(base)->join(reference).
std::optional<joined_url> join_plain_url(std::string_view base, std::string_view reference);

} // namespace vornel::inspector
