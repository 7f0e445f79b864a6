// Finding what urljoin and urlparse consult, at import, and checking it on use.
#include "url_library_guard.hpp"

#include <atomic>

#include "../pyapi/calls.hpp"
#include "../pyapi/compat.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// The value bound to `name` in `dict`, or an empty Ref.
Ref dict_value(Borrowed dict, Borrowed name)
{
    PyObject* value;
    require(dict_get_ref(dict, name, &value));
    return Ref::steal(value);
}

// The function that a decorator such as functools.lru_cache wraps, or the object itself.
Ref unwrapped(Borrowed value)
{
    Ref current = Ref::borrow(value);
    for (int depth = 0; depth < 8 && !PyFunction_Check(current.get()); ++depth) {
        PyObject* inner;
        if (require(get_optional_attr(current.get(), "__wrapped__", &inner)) == 0) break;
        current = Ref::steal(inner);
    }
    return current;
}

// A copy of a container that can be changed in place; an empty Ref for any other object.
Ref snapshot_of_container(Borrowed value)
{
    if (PyList_CheckExact(value)) return own(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
    if (PyDict_CheckExact(value)) return own(PyDict_Copy(value));
    if (PySet_CheckExact(value)) return own(PySet_New(value));
    return Ref();
}

// A copy of a class's own attributes.
Ref attributes_of(Borrowed type)
{
    Ref proxy = own(PyObject_GetAttrString(type, "__dict__"));
    Ref copy = own(PyDict_New());
    require(PyDict_Update(copy.get(), proxy.get()));
    return copy;
}

// Whether two dicts hold the same keys bound to the very same objects.
bool same_bindings(Borrowed now, Borrowed before)
{
    if (PyDict_GET_SIZE(now) != PyDict_GET_SIZE(before)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(now, &position, &key, &value))
        if (dict_value(before, key).get() != value) return false;
    return true;
}

bool contains_text(Borrowed container, const char* text)
{
    Ref item = own(PyUnicode_FromString(text));
    return contains(container, item.get());
}

} // namespace

url_library_guard::url_library_guard(Borrowed urllib_parse)
    : namespace_(Ref::borrow(PyModule_GetDict(urllib_parse)))
{
    Ref builtins_module = own(PyImport_ImportModule("builtins"));
    builtins_ = Ref::borrow(PyModule_GetDict(builtins_module.get()));
    urljoin_ = dict_value(namespace_.get(), own(PyUnicode_InternFromString("urljoin")).get());
    urlparse_ = dict_value(namespace_.get(), own(PyUnicode_InternFromString("urlparse")).get());
    if (!urljoin_ || !urlparse_) return; // not the urllib.parse that the native resolution knows

    Ref names_seen = own(PyDict_New()); // every name met, in the order met
    for (const char* root : {"urljoin", "urlparse"})
        require(PyDict_SetItemString(names_seen.get(), root, Py_None));
    follow(urljoin_.get(), names_seen.get());
    follow(urlparse_.get(), names_seen.get());
    for_each(names_seen.get(), [&](Borrowed name) { watch_name(name); });
    for (std::size_t i = 0, count = module_names_.size(); i < count; ++i)
        if (PyType_Check(module_names_[i].value.get())) watch_classes(module_names_[i].value.get());

    // The native resolution knows http and https only as relative, network-location schemes.
    for (const char* list : {"uses_relative", "uses_netloc"}) {
        Ref schemes = dict_value(namespace_.get(), own(PyUnicode_FromString(list)).get());
        if (!schemes || !contains_text(schemes.get(), "http") || !contains_text(schemes.get(), "https")) return;
    }
    usable_ = true;
}

// Watches the names that the code of `value` reads, and follows them, when `value` is (or wraps)
// a function of urllib.parse itself.
void url_library_guard::follow(Borrowed value, Borrowed names_seen)
{
    Ref function = unwrapped(value);
    if (!PyFunction_Check(function.get()) || PyFunction_GET_GLOBALS(function.get()) != namespace_.get()) return;
    for (const watched_function& known : functions_)
        if (known.function.get() == function.get()) return;
    PyObject* code = PyFunction_GET_CODE(function.get());
    functions_.push_back({Ref::borrow(function.get()), Ref::borrow(code),
                          Ref::borrow(PyFunction_GET_DEFAULTS(function.get())),
                          Ref::borrow(PyFunction_GET_KW_DEFAULTS(function.get()))});

    // The code's names, and those of the functions and comprehensions defined inside it.
    std::vector<Ref> codes;
    codes.push_back(Ref::borrow(code));
    while (!codes.empty()) {
        Ref current = std::move(codes.back());
        codes.pop_back();
        Ref constants = own(PyObject_GetAttrString(current.get(), "co_consts"));
        for_each(constants.get(), [&](Borrowed constant) {
            if (PyCode_Check(constant)) codes.push_back(Ref::borrow(constant));
        });
        Ref names = own(PyObject_GetAttrString(current.get(), "co_names"));
        for_each(names.get(), [&](Borrowed name) {
            if (require(PyDict_Contains(names_seen, name))) return;
            require(PyDict_SetItem(names_seen, name, Py_None));
            if (Ref bound = dict_value(namespace_.get(), name)) follow(bound.get(), names_seen);
        });
    }
}

// A name bound in urllib.parse is watched there; a name that only the built-ins have must stay
// unshadowed; any other name of the code is an attribute name and needs no watching.
void url_library_guard::watch_name(Borrowed name)
{
    if (Ref value = dict_value(namespace_.get(), name)) {
        Ref copy = snapshot_of_container(value.get());
        const bool by_value = static_cast<bool>(copy);
        module_names_.push_back({Ref::borrow(name), by_value ? std::move(copy) : std::move(value), by_value});
    } else if (Ref builtin = dict_value(builtins_.get(), name)) {
        builtin_names_.push_back({Ref::borrow(name), std::move(builtin), false});
    }
}

// Watches `type` and each class of its method resolution order that can be changed; built-in
// classes such as tuple and object cannot.
void url_library_guard::watch_classes(Borrowed type)
{
    for_each(reinterpret_cast<PyTypeObject*>(type)->tp_mro, [&](Borrowed base) {
        auto* base_type = reinterpret_cast<PyTypeObject*>(base);
        if (PyType_HasFeature(base_type, Py_TPFLAGS_IMMUTABLETYPE)) return;
        for (const watched_class& known : classes_)
            if (known.type.get() == base) return;
        classes_.push_back({Ref::borrow(base), attributes_of(base), assign_version_tag(base_type)});
    });
}

// The version tag settles the common case without a look at the attributes. A tag of 0 means
// none is assigned (the class was just changed, or tags ran out): the attributes decide.
bool url_library_guard::class_unchanged(const watched_class& entry) const
{
    auto* type = reinterpret_cast<PyTypeObject*>(entry.type.get());
    std::atomic_ref<unsigned int> known(entry.version);
    const unsigned int version = known.load(std::memory_order_relaxed);
    if (version != 0 && std::atomic_ref(type->tp_version_tag).load(std::memory_order_relaxed) == version) return true;
    if (!same_bindings(attributes_of(entry.type.get()).get(), entry.attributes.get())) return false;
    known.store(assign_version_tag(type), std::memory_order_relaxed); // changed and changed back
    return true;
}

bool url_library_guard::holds() const
{
    if (!usable_) return false;
    for (const watched_name& entry : module_names_) {
        Ref current = dict_value(namespace_.get(), entry.name.get());
        if (current.get() == entry.value.get()) continue;
        if (!current || !entry.compared_by_value) return false;
        if (require(PyObject_RichCompareBool(current.get(), entry.value.get(), Py_EQ)) == 0) return false;
    }
    for (const watched_name& entry : builtin_names_) {
        if (dict_value(namespace_.get(), entry.name.get())) return false;
        if (dict_value(builtins_.get(), entry.name.get()).get() != entry.value.get()) return false;
    }
    for (const watched_function& entry : functions_) {
        PyObject* function = entry.function.get();
        if (PyFunction_GET_CODE(function) != entry.code.get() || PyFunction_GET_DEFAULTS(function) != entry.defaults.get() ||
            PyFunction_GET_KW_DEFAULTS(function) != entry.keyword_defaults.get())
            return false;
    }
    for (const watched_class& entry : classes_)
        if (!class_unchanged(entry)) return false;
    return true;
}

} // namespace vornel::inspector
