// A native urljoin for plain http/https URLs, step for step the algorithm of urllib.parse.
#include "url_resolver.hpp"

#include <string>
#include <vector>

#include "../pyapi/calls.hpp"
#include "../pyapi/globals.hpp"
#include "../pyapi/suppress.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// The names of urllib.parse whose identity (functions) or value (lists, strings) the native
// resolver depends on.
constexpr const char* url_library_names[] = {
    "urljoin", "urlparse", "urlsplit", "urlunparse", "urlunsplit", "_coerce_args", "_splitnetloc",
    "_splitparams", "_checknetloc", "uses_relative", "uses_netloc", "uses_params", "scheme_chars",
    "_WHATWG_C0_CONTROL_OR_SPACE", "_UNSAFE_URL_BYTES_TO_REMOVE",
};

bool snapshot_still_holds(module_state& state)
{
    if (!state.url_library_snapshot) return false;
    PyObject* current_dict = PyModule_GetDict(state.urllib_parse.get());
    Py_ssize_t position = 0;
    PyObject *name, *original;
    while (PyDict_Next(state.url_library_snapshot.get(), &position, &name, &original)) {
        PyObject* current;
        if (require(dict_get_ref(current_dict, name, &current)) == 0) return false;
        Ref current_ref = Ref::steal(current);
        if (current == original) continue;
        if (!PyList_CheckExact(original) || require(PyObject_RichCompareBool(current, original, Py_EQ)) == 0)
            return false;
    }
    return true;
}

std::string_view ascii_view(Borrowed text)
{
    return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

// Exact ASCII str without the characters that urlsplit strips, removes or treats specially.
bool is_plain(Borrowed text)
{
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
    std::string_view view = ascii_view(text);
    if (!view.empty() && view.front() == ' ') return false;
    for (char c : view)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '[' || c == ']' || c == ';') return false;
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

Ref ascii_string(std::string_view text)
{
    Ref result = own(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::copy(text.begin(), text.end(), static_cast<char*>(PyUnicode_DATA(result.get())));
    return result;
}

// urlsplit for a plain URL; the scheme comes back as written (the caller compares it without case).
template <class Parts>
Parts split(std::string_view url)
{
    Parts parts;
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
std::string unsplit(std::string_view scheme, std::string_view netloc, std::string_view path, std::string_view query,
                    std::string_view fragment)
{
    std::string url;
    url.reserve(scheme.size() + netloc.size() + path.size() + query.size() + fragment.size() + 6);
    url.append(scheme).append("://").append(netloc);
    if (!path.empty() && path.front() != '/') url += '/';
    url.append(path);
    if (!query.empty()) url.append("?").append(query);
    if (!fragment.empty()) url.append("#").append(fragment);
    return url;
}

} // namespace

Ref snapshot_url_library(Borrowed urllib_parse)
{
    Ref snapshot = own(PyDict_New());
    for (const char* name : url_library_names) {
        PyObject* value;
        if (require(get_optional_attr(urllib_parse, name, &value)) == 0) return Ref();
        Ref owned = Ref::steal(value);
        if (PyList_CheckExact(value)) owned = own(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
        require(PyDict_SetItemString(snapshot.get(), name, owned.get()));
    }
    // The native resolver knows http and https only as relative, network-location schemes.
    for (const char* list : {"uses_relative", "uses_netloc"}) {
        PyObject* schemes = PyDict_GetItemString(snapshot.get(), list);
        for (const char* scheme : {"http", "https"}) {
            Ref name = own(PyUnicode_FromString(scheme));
            if (require(PySequence_Contains(schemes, name.get())) == 0) return Ref();
        }
    }
    return snapshot;
}

url_resolver::url_resolver(module_state& state, Borrowed module, Borrowed base, bool with_netloc)
    : state_(state), base_(base), urljoin_(lookup_global(module, state.urljoin.get())),
      urlparse_(with_netloc ? lookup_global(module, state.urlparse.get()) : Ref())
{
    if (!is_plain(base) || !snapshot_still_holds(state)) return;
    PyObject* snapshot = state.url_library_snapshot.get();
    if (urljoin_.get() != PyDict_GetItemString(snapshot, "urljoin")) return;
    if (with_netloc && urlparse_.get() != PyDict_GetItemString(snapshot, "urlparse")) return;
    base_parts_ = split<parts>(ascii_view(base));
    if (base_parts_.netloc.empty()) return;
    if (equals_ignoring_case(base_parts_.scheme, "http")) scheme_ = "http";
    if (equals_ignoring_case(base_parts_.scheme, "https")) scheme_ = "https";
    if (!scheme_.empty()) base_netloc_ = ascii_string(base_parts_.netloc);
}

bool url_resolver::native_join(Borrowed reference, resolved_url& result) const
{
    if (scheme_.empty() || !is_plain(reference) || PyUnicode_GET_LENGTH(reference) == 0) return false;
    const parts ref = split<parts>(ascii_view(reference));
    if (ref.has_scheme && !equals_ignoring_case(ref.scheme, scheme_)) {
        // Another scheme: urljoin returns the reference as it is.
        result.url = Ref::borrow(reference);
        result.netloc = ascii_string(ref.netloc);
        return true;
    }
    std::string url;
    std::string_view netloc = ref.netloc;
    if (!netloc.empty()) {
        url = unsplit(scheme_, netloc, ref.path, ref.query, ref.fragment);
    } else if (netloc = base_parts_.netloc; ref.path.empty()) {
        url = unsplit(scheme_, netloc, base_parts_.path, ref.query.empty() ? base_parts_.query : ref.query,
                      ref.fragment);
    } else {
        url = unsplit(scheme_, netloc, merge_paths(base_parts_.path, ref.path), ref.query, ref.fragment);
    }
    result.url = ascii_string(url);
    result.netloc = ref.netloc.empty() ? Ref::borrow(base_netloc_.get()) : ascii_string(netloc);
    return true;
}

std::optional<resolved_url> url_resolver::resolve(Borrowed reference) const
{
    resolved_url result;
    if (native_join(reference, result)) return result;
    // ValueError is the URL functions' word for a malformed URL.
    const bool well_formed = completes_unless(PyExc_ValueError, [&] {
        result.url = call(urljoin_.get(), base_, reference);
        result.netloc = get_attr(call(urlparse_.get(), result.url.get()).get(), state_.netloc.get());
    });
    if (!well_formed) return std::nullopt;
    return result;
}

Ref url_resolver::join(Borrowed reference) const
{
    resolved_url result;
    if (native_join(reference, result)) return std::move(result.url);
    if (!completes_unless(PyExc_ValueError, [&] { result.url = call(urljoin_.get(), base_, reference); }))
        return Ref::borrow(reference);
    return std::move(result.url);
}

} // namespace vornel::inspector
