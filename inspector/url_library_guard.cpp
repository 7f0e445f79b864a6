// Finding what urljoin and urlparse consult, at import, and checking it on use.
#include "url_library_guard.hpp"

#include <atomic>
#include <tuple>
#include <utility>

#include "../pyapi/calls.hpp"
#include "../pyapi/compat.hpp"
#include "plain_value.hpp"

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

Ref dict_value(Borrowed dict, const char* name) { return dict_value(dict, own(PyUnicode_FromString(name)).get()); }

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
    if (PyDict_GET_SIZE(now.get()) != PyDict_GET_SIZE(before.get())) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(now, &position, &key, &value))
        if (dict_value(before, key).get() != value) return false;
    return true;
}

// Whether two tuples hold the very same objects.
bool same_items(Borrowed now, Borrowed before)
{
    if (now == before) return true;
    if (PyTuple_GET_SIZE(now) != PyTuple_GET_SIZE(before)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(now); ++i)
        if (PyTuple_GET_ITEM(now.get(), i) != PyTuple_GET_ITEM(before.get(), i)) return false;
    return true;
}

bool is_text(Borrowed value, const char* text)
{
    return value != nullptr && PyUnicode_CheckExact(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

bool contains_text(Borrowed container, const char* text)
{
    Ref item = own(PyUnicode_FromString(text));
    return contains(container, item);
}

// The constructor that collections.namedtuple makes for a class: `_tuple_new(_cls, (fields))`,
// compiled from a string, with tuple.__new__ as its only global and no built-ins.
bool is_namedtuple_constructor(Borrowed function)
{
    Borrowed globals = PyFunction_GET_GLOBALS(function.get());
    Ref names = own(PyObject_GetAttrString(PyFunction_GET_CODE(function.get()), "co_names"));
    Ref file = own(PyObject_GetAttrString(PyFunction_GET_CODE(function.get()), "co_filename"));
    if (!PyTuple_CheckExact(names.get()) || PyTuple_GET_SIZE(names.get()) != 1 ||
        !is_text(PyTuple_GET_ITEM(names.get(), 0), "_tuple_new") || !is_text(file, "<string>"))
        return false;
    Ref tuple_new = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__new__"));
    Ref builtins = dict_value(globals, "__builtins__");
    return dict_value(globals, "_tuple_new").get() == tuple_new.get() && builtins &&
           PyDict_CheckExact(builtins.get()) && PyDict_GET_SIZE(builtins.get()) == 0;
}

} // namespace

url_library_guard::url_library_guard(Borrowed urllib_parse)
{
    builtins_module_ = own(PyImport_ImportModule("builtins"));
    builtins_ = Ref::borrow(PyModule_GetDict(builtins_module_.get()));
    cache_info_ = own(PyUnicode_InternFromString("cache_info"));
    cache_clear_ = own(PyUnicode_InternFromString("cache_clear"));
    if (!PyModule_Check(urllib_parse)) return; // something else was put in sys.modules in its place
    namespace_ = Ref::borrow(PyModule_GetDict(urllib_parse));
    file_ = dict_value(namespace_, "__file__");
    Ref functools = own(PyImport_ImportModule("functools"));
    PyObject* lru_cache_type;
    require(get_optional_attr(functools.get(), "_lru_cache_wrapper", &lru_cache_type));
    lru_cache_type_ = Ref::steal(lru_cache_type);
    if (lru_cache_type_ && !PyType_Check(lru_cache_type_.get())) lru_cache_type_.reset(); // the pure-Python one
    urljoin_ = dict_value(namespace_, "urljoin");
    urlparse_ = dict_value(namespace_, "urlparse");
    if (!urljoin_ || !urlparse_ || !file_ || !PyUnicode_CheckExact(file_.get()))
        return; // not the urllib.parse that the native resolution knows

    Ref names_seen = own(PyDict_New()); // every name met, in the order met
    for (const char* root : {"urljoin", "urlparse"}) require(PyDict_SetItemString(names_seen.get(), root, Py_None));
    follow(urljoin_, names_seen);
    follow(urlparse_, names_seen);
    for_each(names_seen, [&](Borrowed name) { watch_name(name); });
    if (!baseline_is_own_) return;

    // The native resolution knows http and https only as relative, network-location schemes.
    for (const char* list : {"uses_relative", "uses_netloc"}) {
        Ref schemes = dict_value(namespace_, list);
        if (!schemes || !contains_text(schemes, "http") || !contains_text(schemes, "https")) return;
    }
    usable_ = true;
}

// A function of urllib.parse itself: a plain function defined in its file, with its globals and
// the interpreter's built-ins.
bool url_library_guard::is_own_function(Borrowed value) const
{
    if (!PyFunction_Check(value) || PyFunction_GET_GLOBALS(value.get()) != namespace_.get()) return false;
    Ref file = own(PyObject_GetAttrString(PyFunction_GET_CODE(value.get()), "co_filename"));
    Ref builtins = own(PyObject_GetAttrString(value, "__builtins__"));
    return PyUnicode_CheckExact(file.get()) && PyUnicode_Compare(file.get(), file_.get()) == 0 &&
           builtins.get() == builtins_.get();
}

// Follows what urljoin and urlparse reach through a name: functions (cached ones too) and classes.
// Other values are checked when their names are watched.
void url_library_guard::follow(Borrowed value, Borrowed names_seen)
{
    if (PyFunction_Check(value)) {
        follow_function(value, names_seen);
    } else if (lru_cache_type_ && Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(lru_cache_type_.get())) {
        for (const watched_cache& known : caches_)
            if (known.function.get() == value) return;
        caches_.push_back({Ref::borrow(value), -1, -1});
        PyObject* wrapped;
        require(get_optional_attr(value, "__wrapped__", &wrapped));
        Ref function = Ref::steal(wrapped);
        if (function) follow_function(function, names_seen);
        else baseline_is_own_ = false;
    } else if (PyType_Check(value)) {
        watch_classes(value, names_seen);
    }
}

// Watches a function of urllib.parse and the names that its code reads, and follows them.
void url_library_guard::follow_function(Borrowed function, Borrowed names_seen)
{
    if (!is_own_function(function)) {
        baseline_is_own_ = false;
        return;
    }
    for (const watched_function& known : functions_)
        if (known.function.get() == function) return;
    PyObject* code = PyFunction_GET_CODE(function.get());
    functions_.push_back({Ref::borrow(function), Ref::borrow(code),
                          Ref::borrow(PyFunction_GET_DEFAULTS(function.get())),
                          Ref::borrow(PyFunction_GET_KW_DEFAULTS(function.get())), Ref()});

    // The code's names, and those of the functions and comprehensions defined inside it.
    std::vector<Ref> codes;
    codes.push_back(Ref::borrow(code));
    while (!codes.empty()) {
        Ref current = std::move(codes.back());
        codes.pop_back();
        Ref constants = own(PyObject_GetAttrString(current.get(), "co_consts"));
        for_each(constants, [&](Borrowed constant) {
            if (PyCode_Check(constant)) codes.push_back(Ref::borrow(constant));
        });
        Ref names = own(PyObject_GetAttrString(current.get(), "co_names"));
        for_each(names, [&](Borrowed name) {
            if (require(PyDict_Contains(names_seen, name))) return;
            require(PyDict_SetItem(names_seen, name, Py_None));
            if (Ref bound = dict_value(namespace_, name)) follow(bound, names_seen);
        });
    }
}

// A name bound in urllib.parse is watched there; a name that only the built-ins have must stay
// unshadowed; any other name of the code is an attribute name and needs no watching. Data is
// compared by value later, and must be plain; a built-in must be the interpreter's.
void url_library_guard::watch_name(Borrowed name)
{
    if (Ref value = dict_value(namespace_, name)) {
        Borrowed bound = value;
        const bool reached =
            PyFunction_Check(bound) || PyType_Check(bound) || PyModule_CheckExact(bound) ||
            (lru_cache_type_ && Py_TYPE(bound) == reinterpret_cast<PyTypeObject*>(lru_cache_type_.get()));
        if (reached) {
            module_names_.push_back({Ref::borrow(name), std::move(value), false});
        } else {
            if (!is_plain_value(bound)) baseline_is_own_ = false;
            module_names_.push_back({Ref::borrow(name), plain_snapshot(bound), true});
        }
    } else if (Ref builtin = dict_value(builtins_, name)) {
        Borrowed found = builtin;
        const bool interpreters =
            (PyCFunction_CheckExact(found) && PyCFunction_GET_SELF(found) == builtins_module_.get()) ||
            (PyType_Check(found) &&
             PyType_HasFeature(reinterpret_cast<PyTypeObject*>(found.get()), Py_TPFLAGS_IMMUTABLETYPE));
        if (!interpreters) baseline_is_own_ = false;
        builtin_names_.push_back({Ref::borrow(name), std::move(builtin), false});
    }
}

// Watches `type` and each class of its method resolution order that can be changed (built-in
// classes such as tuple and object cannot); each must be a class that urllib.parse defined.
void url_library_guard::watch_classes(Borrowed type, Borrowed names_seen)
{
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(type.get())->tp_mro);
    for_each(mro, [&](Borrowed base) {
        auto* base_type = reinterpret_cast<PyTypeObject*>(base.get());
        if (PyType_HasFeature(base_type, Py_TPFLAGS_IMMUTABLETYPE)) return;
        for (const watched_class& known : classes_)
            if (known.type.get() == base) return;
        Ref attributes = attributes_of(base);
        if (Py_TYPE(base) != &PyType_Type || !is_text(dict_value(attributes, "__module__").get(), "urllib.parse"))
            baseline_is_own_ = false;
        classes_.push_back(
            {Ref::borrow(base), std::move(attributes), Ref::borrow(base_type->tp_mro), assign_version_tag(base_type)});
        watch_constructor(classes_.back().attributes, names_seen);
    });
}

// The class's own __new__, which making a result calls: a function of urllib.parse, or the one
// that collections.namedtuple made, whose globals are watched too.
void url_library_guard::watch_constructor(Borrowed attributes, Borrowed names_seen)
{
    Ref constructor = dict_value(attributes, "__new__");
    if (!constructor) return;
    if (Py_IS_TYPE(constructor.get(), &PyStaticMethod_Type))
        constructor = own(PyObject_GetAttrString(constructor.get(), "__func__"));
    PyObject* function = constructor.get();
    if (PyFunction_Check(function) && PyFunction_GET_GLOBALS(function) == namespace_.get()) {
        follow_function(function, names_seen);
    } else if (PyFunction_Check(function) && is_namedtuple_constructor(function)) {
        functions_.push_back({Ref::borrow(function), Ref::borrow(PyFunction_GET_CODE(function)),
                              Ref::borrow(PyFunction_GET_DEFAULTS(function)),
                              Ref::borrow(PyFunction_GET_KW_DEFAULTS(function)),
                              own(PyDict_Copy(PyFunction_GET_GLOBALS(function)))});
    } else {
        baseline_is_own_ = false;
    }
}

// The version tag settles the common case without a look at the attributes. A tag of 0 means
// none is assigned (the class or a base was just changed, or tags ran out): the attributes and
// the bases decide.
bool url_library_guard::class_unchanged(const watched_class& entry) const
{
    auto* type = reinterpret_cast<PyTypeObject*>(entry.type.get());
    std::atomic_ref<unsigned int> known(entry.version);
    const unsigned int version = known.load(std::memory_order_relaxed);
    if (version != 0 && std::atomic_ref(type->tp_version_tag).load(std::memory_order_relaxed) == version) return true;
    if (!same_items(type->tp_mro, entry.mro)) return false;
    if (!same_bindings(attributes_of(entry.type).get(), entry.attributes)) return false;
    known.store(assign_version_tag(type), std::memory_order_relaxed); // changed and changed back
    return true;
}

namespace {

// (hits, misses) of a functools.lru_cache.
std::pair<long long, long long> cache_counts(Borrowed cached, Borrowed cache_info)
{
    Ref info = call_method(cached, cache_info);
    Ref hits = own(PySequence_GetItem(info.get(), 0));
    Ref misses = own(PySequence_GetItem(info.get(), 1));
    return {to_long_long(hits), to_long_long(misses)};
}

} // namespace

// A cache whose misses moved since the guard last looked was filled at a time it did not see,
// perhaps while something watched was changed; one whose hits went back was emptied and may
// have been filled since. Either is emptied, so that urllib.parse answers as it now is. After a
// change was seen, every cache is emptied whatever its counts say: emptied and filled again
// while the change lasted, a cache can show the very counts the guard saw last.
void url_library_guard::renew_stale_caches() const
{
    const bool after_change = std::atomic_ref(change_seen_).exchange(false, std::memory_order_relaxed);
    for (const watched_cache& entry : caches_) {
        std::atomic_ref<long long> known_hits(entry.hits), known_misses(entry.misses);
        auto [hits, misses] = cache_counts(entry.function, cache_info_);
        if (after_change || misses != known_misses.load(std::memory_order_relaxed) ||
            hits < known_hits.load(std::memory_order_relaxed)) {
            static_cast<void>(call_method(entry.function, cache_clear_));
            std::tie(hits, misses) = cache_counts(entry.function, cache_info_);
        }
        known_hits.store(hits, std::memory_order_relaxed);
        known_misses.store(misses, std::memory_order_relaxed);
    }
}

void url_library_guard::note_own_calls() const
{
    for (const watched_cache& entry : caches_) {
        const auto [hits, misses] = cache_counts(entry.function, cache_info_);
        std::atomic_ref(entry.hits).store(hits, std::memory_order_relaxed);
        std::atomic_ref(entry.misses).store(misses, std::memory_order_relaxed);
    }
}

bool url_library_guard::unchanged_since_import() const
{
    if (!usable_) return false;
    if (!watched_unchanged()) {
        std::atomic_ref(change_seen_).store(true, std::memory_order_relaxed);
        return false;
    }
    renew_stale_caches();
    return true;
}

bool url_library_guard::watched_unchanged() const
{
    for (const watched_name& entry : module_names_) {
        Ref current = dict_value(namespace_, entry.name);
        if (current.get() == entry.value.get()) continue;
        if (!current || !entry.compared_by_value || !same_plain_value(current, entry.value)) return false;
    }
    for (const watched_name& entry : builtin_names_) {
        if (dict_value(namespace_, entry.name)) return false;
        if (dict_value(builtins_, entry.name).get() != entry.value.get()) return false;
    }
    for (const watched_function& entry : functions_) {
        PyObject* function = entry.function.get();
        if (PyFunction_GET_CODE(function) != entry.code.get() ||
            PyFunction_GET_DEFAULTS(function) != entry.defaults.get() ||
            PyFunction_GET_KW_DEFAULTS(function) != entry.keyword_defaults.get())
            return false;
        if (entry.globals && !same_bindings(PyFunction_GET_GLOBALS(function), entry.globals)) return false;
    }
    for (const watched_class& entry : classes_)
        if (!class_unchanged(entry)) return false;
    return true;
}

} // namespace vornel::inspector
