// Resolving a page's links against its URL, natively where that is exactly what urllib.parse does.
#pragma once

#include <optional>
#include <string_view>

#include "state.hpp"

namespace vornel::inspector {

// What urllib.parse looked like at import, for telling later whether it still does.
Ref snapshot_url_library(Borrowed urllib_parse);

// urljoin(base, reference) and the netloc of urlparse() of the result.
struct resolved_url {
    Ref url;
    Ref netloc;
};

// Resolves references against one base URL with the module's urljoin and urlparse. While those
// are still urllib.parse's own, urllib.parse is unchanged and both URLs are in the plain class
// this code understands (ASCII http/https URLs with a host and no brackets, parameters, control
// characters or leading blanks), the work is done natively with urllib.parse's exact results.
class url_resolver {
public:
    // Looks up urljoin, and urlparse too when netlocs are wanted, in the module namespace.
    url_resolver(module_state& state, Borrowed module, Borrowed base, bool with_netloc);

    // Nothing when the URL functions reject the reference as malformed (ValueError); needs with_netloc.
    std::optional<resolved_url> resolve(Borrowed reference) const;
    // The reference as written when urljoin rejects it as malformed (ValueError).
    Ref join(Borrowed reference) const;

private:
    struct parts {
        std::string_view scheme, netloc, path, query, fragment;
        bool has_scheme = false;
    };

    bool native_join(Borrowed reference, resolved_url& result) const;

    module_state& state_;
    Borrowed base_;
    Ref urljoin_, urlparse_;
    std::string_view scheme_; // "http" or "https" when the native path applies, else empty
    parts base_parts_;
    Ref base_netloc_; // the base's netloc as a str, shared by every relative reference
};

} // namespace vornel::inspector
