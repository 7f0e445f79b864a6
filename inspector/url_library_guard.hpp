// Whether urllib.parse is still what it was at import, in everything that urljoin and urlparse
// consult when they are called, and whether what was found at import is urllib.parse's own.
#pragma once

#include <atomic>
#include <vector>

#include "../pyapi/ref.hpp"

namespace vornel::inspector {

// The native link resolution gives what urllib.parse's own urljoin and urlparse give; this
// guard tells whether the module's functions still would. It watches every name that their
// code reads from urllib.parse or from the built-ins, following the module's own functions that
// the code reaches (so classes such as ParseResult and helpers such as _noop are watched too),
// the code and defaults of those functions, the classes they reach (their attributes, bases and
// constructors), and the caches of the cached ones (urlsplit). The names come from the code
// objects at import, not from a list.
//
// What it finds at import must be urllib.parse's own: functions defined in its file with its
// globals, classes defined there, built-ins of the interpreter, and plain data. Anything else
// (urllib.parse changed before vornel was imported) leaves the Python functions in charge.
class url_library_guard {
public:
    explicit url_library_guard(py::Borrowed urllib_parse);

    // True while nothing watched has changed since import, and when at import urllib.parse was
    // its own and treated http and https as relative schemes with a network location, as the
    // native resolution does. Empties the watched caches when they may hold answers given while
    // something was changed (so that urllib.parse answers as it now is).
    bool unchanged_since_import() const;

    // After calls of urllib.parse's own functions made right after unchanged_since_import()
    // answered true: their answers are sound, so the caches' new misses are taken as seen.
    void note_own_calls() const;

    // Whether `function` is urllib.parse's urljoin (urlparse) as found at import.
    bool is_urljoin(py::Borrowed function) const { return urljoin_ && function == urljoin_.get(); }
    bool is_urlparse(py::Borrowed function) const { return urlparse_ && function == urlparse_.get(); }

    template <class Visit>
    void for_each_reference(Visit&& visit)
    {
        for (py::Ref* ref : {&namespace_, &builtins_, &builtins_module_, &file_, &urljoin_, &urlparse_,
                             &lru_cache_type_, &cache_info_, &cache_clear_})
            visit(*ref);
        for (watched_name& entry : module_names_) {
            visit(entry.name);
            visit(entry.value);
        }
        for (watched_name& entry : builtin_names_) {
            visit(entry.name);
            visit(entry.value);
        }
        for (watched_function& entry : functions_)
            for (py::Ref* ref :
                 {&entry.function, &entry.code, &entry.defaults, &entry.keyword_defaults, &entry.globals})
                visit(*ref);
        for (watched_class& entry : classes_)
            for (py::Ref* ref : {&entry.type, &entry.attributes, &entry.mro}) visit(*ref);
        for (watched_cache& entry : caches_) visit(entry.function);
    }

private:
    struct watched_name {
        py::Ref name;
        py::Ref value;          // the object bound at import, or a snapshot of plain data
        bool compared_by_value; // plain data: compared by value, not identity
    };
    struct watched_function {
        py::Ref function, code, defaults, keyword_defaults;
        py::Ref globals; // a copy of globals other than urllib.parse's (namedtuple's constructors)
    };
    // A class that can be changed: the interpreter gives it a new version tag on every change,
    // so an equal tag means unchanged; after a change its attributes and bases are compared.
    struct watched_class {
        py::Ref type;
        py::Ref attributes;           // a copy of the class's __dict__ at import
        py::Ref mro;                  // its method resolution order at import
        mutable unsigned int version; // the tag under which the class was last found unchanged
    };
    // A functools.lru_cache of urllib.parse. An answer given while something watched was
    // changed stays in the cache after the change is undone; a miss that the guard did not see
    // may be such an answer, and so may any answer after a change was seen: the cache is
    // emptied then.
    struct watched_cache {
        py::Ref function;
        mutable long long hits, misses; // as last seen; misses -1: not seen yet
    };

    void follow(py::Borrowed value, py::Borrowed names_seen);
    void follow_function(py::Borrowed function, py::Borrowed names_seen);
    void watch_name(py::Borrowed name);
    void watch_classes(py::Borrowed type, py::Borrowed names_seen);
    void watch_constructor(py::Borrowed attributes, py::Borrowed names_seen);
    bool is_own_function(py::Borrowed value) const;
    bool class_unchanged(const watched_class& entry) const;
    bool watched_unchanged() const; // every watched name, function and class as at import
    void renew_stale_caches() const;

    // A check found something changed; the next one that finds all unchanged empties the caches.
    alignas(std::atomic_ref<bool>::required_alignment) mutable bool change_seen_ = false;
    bool usable_ = false;
    bool baseline_is_own_ = true;                    // nothing found at import that is not urllib.parse's own
    py::Ref namespace_, builtins_, builtins_module_; // the dicts of urllib.parse and of the built-ins
    py::Ref file_;                                   // urllib.parse's __file__
    py::Ref urljoin_, urlparse_;
    py::Ref lru_cache_type_;                  // functools._lru_cache_wrapper
    py::Ref cache_info_, cache_clear_;        // method names of a cache
    std::vector<watched_name> module_names_;  // bound in urllib.parse
    std::vector<watched_name> builtin_names_; // found in the built-ins: must not be shadowed
    std::vector<watched_function> functions_;
    std::vector<watched_class> classes_; // the watched classes and their bases
    std::vector<watched_cache> caches_;
};

} // namespace vornel::inspector
