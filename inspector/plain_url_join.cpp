// urljoin for plain http/https URLs, step for step the algorithm of urllib.parse.
#include "plain_url_join.hpp"

#include <algorithm>
#include <vector>

namespace vornel::inspector {
namespace {

bool is_plain(std::string_view text)
{
    if (text.empty() || text.front() == ' ') return false;
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x20 || code >= 0x7f || c == '[' || c == ']' || c == ';') return false;
    }
    return true;
}

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_scheme_char(char c) { return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; }

bool equals_ignoring_case(std::string_view a, std::string_view lower)
{
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((is_alpha(a[i]) ? static_cast<char>(a[i] | 0x20) : a[i]) != lower[i]) return false;
    return true;
}

// The pieces of urlsplit, as views into the URL split; the scheme as written.
struct url_parts {
    std::string_view scheme, netloc, path, query, fragment;
    bool has_scheme = false;
};

url_parts split(std::string_view url)
{
    url_parts parts;
    const std::size_t colon = url.find(':');
    if (colon != std::string_view::npos && colon > 0 && is_alpha(url[0])) {
        bool valid = true;
        for (char c : url.substr(0, colon)) valid = valid && is_scheme_char(c);
        if (valid) {
            parts.scheme = url.substr(0, colon);
            parts.has_scheme = true;
            url.remove_prefix(colon + 1);
        }
    }
    if (url.substr(0, 2) == "//") {
        const std::size_t end = std::min(url.find_first_of("/?#", 2), url.size());
        parts.netloc = url.substr(2, end - 2);
        url.remove_prefix(end);
    }
    if (const std::size_t hash = url.find('#'); hash != std::string_view::npos) {
        parts.fragment = url.substr(hash + 1);
        url = url.substr(0, hash);
    }
    if (const std::size_t question = url.find('?'); question != std::string_view::npos) {
        parts.query = url.substr(question + 1);
        url = url.substr(0, question);
    }
    parts.path = url;
    return parts;
}

std::vector<std::string_view> split_path(std::string_view path)
{
    std::vector<std::string_view> segments;
    for (std::size_t start = 0;;) {
        const std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            segments.push_back(path.substr(start));
            return segments;
        }
        segments.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

// The path of a relative reference merged with the base path, dot segments removed.
std::string merge_paths(std::string_view base_path, std::string_view path)
{
    // An absolute path without dot segments comes back as it is.
    if (path.substr(0, 1) == "/" && path.find("/.") == std::string_view::npos) return std::string(path);
    std::vector<std::string_view> segments = split_path(path);
    if (path.substr(0, 1) != "/") {
        std::vector<std::string_view> merged = split_path(base_path);
        if (!merged.back().empty()) merged.pop_back(); // the base's last segment names a file, not a folder
        merged.insert(merged.end(), segments.begin(), segments.end());
        // Empty segments between the first and the last would give doubled slashes.
        segments.clear();
        for (std::size_t i = 0; i < merged.size(); ++i)
            if (i == 0 || i + 1 == merged.size() || !merged[i].empty()) segments.push_back(merged[i]);
    }

    std::vector<std::string_view> resolved;
    for (std::string_view segment : segments) {
        if (segment == "..") {
            if (!resolved.empty()) resolved.pop_back();
        } else if (segment != ".") {
            resolved.push_back(segment);
        }
    }
    if (segments.back() == "." || segments.back() == "..") resolved.push_back({});

    std::string joined;
    for (std::size_t i = 0; i < resolved.size(); ++i) {
        if (i != 0) joined += '/';
        joined += resolved[i];
    }
    return joined.empty() ? std::string("/") : joined;
}

// urlunsplit for a URL with a network location.
joined_url unsplit(std::string_view scheme, std::string_view netloc, std::string_view path, std::string_view query,
                   std::string_view fragment)
{
    joined_url joined;
    std::string& url = joined.url;
    url.reserve(scheme.size() + netloc.size() + path.size() + query.size() + fragment.size() + 6);
    url.append(scheme).append("://");
    joined.netloc_offset = url.size();
    joined.netloc_length = netloc.size();
    url.append(netloc);
    if (!path.empty() && path.front() != '/') url += '/';
    url.append(path);
    if (!query.empty()) url.append("?").append(query);
    if (!fragment.empty()) url.append("#").append(fragment);
    return joined;
}

} // namespace

std::optional<plain_url_joiner> plain_url_joiner::for_base(std::string_view base)
{
    if (!is_plain(base)) return std::nullopt;
    const url_parts parts = split(base);
    if (parts.netloc.empty()) return std::nullopt;
    plain_url_joiner joiner;
    if (equals_ignoring_case(parts.scheme, "http")) joiner.scheme_ = "http";
    else if (equals_ignoring_case(parts.scheme, "https")) joiner.scheme_ = "https";
    else return std::nullopt;
    joiner.netloc_ = parts.netloc;
    joiner.path_ = parts.path;
    joiner.query_ = parts.query;
    return joiner;
}

std::optional<joined_url> plain_url_joiner::join(std::string_view reference) const
{
    if (!is_plain(reference)) return std::nullopt;
    const url_parts ref = split(reference);
    if (ref.has_scheme && !equals_ignoring_case(ref.scheme, scheme_)) {
        // Another scheme: urljoin returns the reference as it is.
        joined_url joined;
        joined.url = reference;
        if (!ref.netloc.empty()) joined.netloc_offset = static_cast<std::size_t>(ref.netloc.data() - reference.data());
        joined.netloc_length = ref.netloc.size();
        joined.is_reference = true;
        return joined;
    }
    if (!ref.netloc.empty()) return unsplit(scheme_, ref.netloc, ref.path, ref.query, ref.fragment);
    if (ref.path.empty()) return unsplit(scheme_, netloc_, path_, ref.query.empty() ? query_ : ref.query, ref.fragment);
    return unsplit(scheme_, netloc_, merge_paths(path_, ref.path), ref.query, ref.fragment);
}

std::optional<joined_url> join_plain_url(std::string_view base, std::string_view reference)
{
    const std::optional<plain_url_joiner> joiner = plain_url_joiner::for_base(base);
    if (!joiner) return std::nullopt;
    return joiner->join(reference);
}

} // namespace vornel::inspector
