// Looking Lexbor's functions up in selectolax's loaded module with the dynamic loader.
#include "lexbor_access.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#define VORNEL_HAS_DLSYM 1
#endif

namespace vornel::inspector {

namespace {

#ifdef VORNEL_HAS_DLSYM
// Stores the symbol's address in `function`; false when the library has no such symbol.
template <class Function>
bool find_symbol(void* library, const char* name, Function& function)
{
    void* address = dlsym(library, name);
    function = reinterpret_cast<Function>(address);
    return address != nullptr;
}
#endif

} // namespace

std::optional<lexbor_access> lexbor_access::open([[maybe_unused]] const char* module_file)
{
#ifdef VORNEL_HAS_DLSYM
    // RTLD_NOLOAD: only the copy that Python has already loaded will do, never a second one.
    void* library = dlopen(module_file, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (library == nullptr) return std::nullopt;
    lexbor_access access;
    access.library_ = library; // closed by the destructor from here on
    if (find_symbol(library, "lxb_dom_element_first_attribute_noi", access.first_attribute_) &&
        find_symbol(library, "lxb_dom_element_next_attribute_noi", access.next_attribute_) &&
        find_symbol(library, "lxb_dom_attr_qualified_name", access.attribute_name_) &&
        find_symbol(library, "lxb_dom_attr_value_noi", access.attribute_value_) &&
        find_symbol(library, "lxb_dom_element_qualified_name", access.element_name_) &&
        find_symbol(library, "lexbor_str_data_ncasecmp", access.equal_ignoring_case_) &&
        find_symbol(library, "lxb_dom_node_remove", access.remove_))
        return access;
#endif
    return std::nullopt;
}

lexbor_access::lexbor_access(lexbor_access&& other) noexcept
    : ids(other.ids), library_(other.library_), first_attribute_(other.first_attribute_),
      next_attribute_(other.next_attribute_), attribute_name_(other.attribute_name_),
      attribute_value_(other.attribute_value_), element_name_(other.element_name_),
      equal_ignoring_case_(other.equal_ignoring_case_), remove_(other.remove_)
{
    other.library_ = nullptr;
}

lexbor_access::~lexbor_access()
{
#ifdef VORNEL_HAS_DLSYM
    if (library_ != nullptr) dlclose(library_);
#endif
}

std::string_view lexbor_access::attribute_name(const lexbor::attribute* attribute) const
{
    std::size_t length = 0;
    const unsigned char* name = attribute_name_(attribute, &length);
    return {reinterpret_cast<const char*>(name), name != nullptr ? length : 0};
}

attribute_value lexbor_access::attribute_value_of(lexbor::attribute* attribute) const
{
    attribute_value value;
    value.found = true;
    value.data = attribute_value_(attribute, &value.length);
    return value;
}

std::string_view lexbor_access::element_name(const lexbor::node* element) const
{
    std::size_t length = 0;
    const unsigned char* name = element_name_(element, &length);
    return {reinterpret_cast<const char*>(name), name != nullptr ? length : 0};
}

} // namespace vornel::inspector
