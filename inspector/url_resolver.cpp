// The module's urljoin and urlparse, or the native joiner where it gives the same answers.
#include "url_resolver.hpp"

#include <algorithm>
#include <cassert>
#include <string_view>

#include "../pyapi/calls.hpp"
#include "../pyapi/globals.hpp"
#include "../pyapi/suppress.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// The characters of an exact ASCII str, or nothing for any other object.
std::optional<std::string_view> ascii_text(Borrowed text)
{
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
}

Ref ascii_string(std::string_view text)
{
    Ref result = own(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::copy(text.begin(), text.end(), static_cast<char*>(PyUnicode_DATA(result.get())));
    return result;
}

} // namespace

url_resolver url_resolver::for_links(Borrowed module, const module_state& state, Borrowed page_url)
{
    return url_resolver(module, state, page_url, purpose::links);
}

url_resolver url_resolver::for_form_actions(Borrowed module, const module_state& state, Borrowed page_url)
{
    return url_resolver(module, state, page_url, purpose::form_actions);
}

url_resolver::url_resolver(Borrowed module, const module_state& state, Borrowed page_url, purpose use)
    : state_(state), module_(Ref::borrow(module)), base_(Ref::borrow(page_url)), purpose_(use)
{
}

url_resolver::~url_resolver()
{
    // Once the extractor is done: nothing but urllib.parse's own functions ran between
    // unchanged_since_import() and here. Not while an exception is on its way; a failure here
    // only costs a cache.
    if (!own_calls_ || PyErr_Occurred() != nullptr) return;
    try {
        state_.url_library.note_own_calls();
    } catch (...) {
        PyErr_Clear();
    }
}

void url_resolver::look_up_functions()
{
    looked_up_ = true;
    urljoin_ = lookup_global(module_, state_.urljoin);
    if (purpose_ == purpose::links) urlparse_ = lookup_global(module_, state_.urlparse);

    const url_library_guard& library = state_.url_library;
    if (!library.is_urljoin(urljoin_)) return;
    if (purpose_ == purpose::links && !library.is_urlparse(urlparse_)) return;
    library_unchanged_ = library.unchanged_since_import();
    const std::optional<std::string_view> base = ascii_text(base_);
    if (!base || !library_unchanged_) return;
    joiner_ = plain_url_joiner::for_base(*base);
    if (joiner_ && purpose_ == purpose::links) base_netloc_ = ascii_string(joiner_->base_netloc());
}

std::optional<resolved_url> url_resolver::native_join(Borrowed reference) const
{
    if (!joiner_) return std::nullopt;
    const std::optional<std::string_view> text = ascii_text(reference);
    if (!text) return std::nullopt;
    const std::optional<joined_url> joined = joiner_->join(*text);
    if (!joined) return std::nullopt;

    resolved_url result;
    result.url = joined->is_reference ? Ref::borrow(reference) : ascii_string(joined->url);
    if (purpose_ == purpose::links)
        result.netloc =
            joined->netloc() == joiner_->base_netloc() ? Ref::borrow(base_netloc_) : ascii_string(joined->netloc());
    return result;
}

std::optional<resolved_url> url_resolver::resolve(Borrowed reference)
{
    assert(purpose_ == purpose::links);
    if (!looked_up_) look_up_functions();
    if (std::optional<resolved_url> native = native_join(reference)) return native;
    // ValueError is the URL functions' word for a malformed URL.
    resolved_url result;
    const bool well_formed = completes_unless(PyExc_ValueError, [&] {
        result.url = call(urljoin_, base_, reference);
        result.netloc = get_attr(call(urlparse_, result.url).get(), state_.netloc);
    });
    own_calls_ = library_unchanged_;
    if (!well_formed) return std::nullopt;
    return result;
}

Ref url_resolver::join(Borrowed reference)
{
    if (!looked_up_) look_up_functions();
    if (std::optional<resolved_url> native = native_join(reference)) return std::move(native->url);
    Ref url;
    const bool well_formed = completes_unless(PyExc_ValueError, [&] { url = call(urljoin_, base_, reference); });
    own_calls_ = library_unchanged_;
    if (!well_formed) return Ref::borrow(reference);
    return url;
}

} // namespace vornel::inspector
