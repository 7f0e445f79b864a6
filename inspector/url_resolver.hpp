// Resolving a page's links and form actions against its URL: natively where that gives exactly
// what the module's urljoin and urlparse give, with those functions everywhere else.
#pragma once

#include <optional>

#include "plain_url_join.hpp"
#include "state.hpp"

namespace vornel::inspector {

// urljoin(base, reference) and the netloc of urlparse() of the result.
struct resolved_url {
    Ref url;
    Ref netloc;
};

// The module's urljoin (and urlparse, for links) are looked up in the module namespace when the
// first reference needs them. The work is done natively while they are urllib.parse's own,
// urllib.parse is unchanged, and both URLs are plain (see plain_url_joiner).
class url_resolver {
public:
    // Resolves link targets with resolve(): urljoin and urlparse.
    static url_resolver for_links(Borrowed module, const module_state& state, Borrowed page_url);
    // Resolves form actions with join(): urljoin only.
    static url_resolver for_form_actions(Borrowed module, const module_state& state, Borrowed page_url);

    url_resolver(url_resolver&&) = default;
    // Tells the guard of the calls of urllib.parse's functions made while it held.
    ~url_resolver();

    // For links. Nothing when the URL functions reject the reference as malformed (ValueError).
    std::optional<resolved_url> resolve(Borrowed reference);
    // The reference as written when urljoin rejects it as malformed (ValueError).
    Ref join(Borrowed reference);

private:
    enum class purpose { links, form_actions };

    url_resolver(Borrowed module, const module_state& state, Borrowed page_url, purpose use);
    void look_up_functions();
    std::optional<resolved_url> native_join(Borrowed reference) const;

    const module_state& state_;
    Ref module_, base_;
    purpose purpose_;
    bool looked_up_ = false;
    // urllib.parse's own functions, unchanged when looked up: their answers do not make its
    // caches stale, so the guard takes their cache misses as seen (own_calls_: there were some).
    bool library_unchanged_ = false, own_calls_ = false;
    Ref urljoin_, urlparse_;                 // urlparse_ only for links
    std::optional<plain_url_joiner> joiner_; // set when the native path applies
    Ref base_netloc_;                        // the base's netloc as a str, shared by the links that keep it
};

} // namespace vornel::inspector
