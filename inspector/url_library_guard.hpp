// Whether urllib.parse is still what it was at import, in everything that urljoin and urlparse
// consult when they are called.
#pragma once

#include <vector>

#include "../pyapi/ref.hpp"

namespace vornel::inspector {

// The native link resolution gives what urljoin and urlparse gave at import; this guard tells
// whether they still would. It watches every name that their code reads from urllib.parse or
// from the built-ins, following the module's own functions that the code reaches (so classes
// such as ParseResult and helpers such as _noop are watched too), the code and defaults of those
// functions, and the attributes of the classes they reach (ParseResult.netloc, say). The names
// come from the code objects at import, not from a list.
class url_library_guard {
public:
    explicit url_library_guard(py::Borrowed urllib_parse);

    // True while nothing watched has changed, and when at import urllib.parse treated http and
    // https as relative schemes with a network location, as the native resolution does.
    bool holds() const;

    // Whether `function` is urllib.parse's urljoin (urlparse) as found at import.
    bool is_urljoin(py::Borrowed function) const { return urljoin_ && function == urljoin_.get(); }
    bool is_urlparse(py::Borrowed function) const { return urlparse_ && function == urlparse_.get(); }

    template <class Visit>
    void for_each_reference(Visit&& visit)
    {
        for (py::Ref* ref : {&namespace_, &builtins_, &urljoin_, &urlparse_}) visit(*ref);
        for (watched_name& entry : module_names_) {
            visit(entry.name);
            visit(entry.value);
        }
        for (watched_name& entry : builtin_names_) {
            visit(entry.name);
            visit(entry.value);
        }
        for (watched_function& entry : functions_)
            for (py::Ref* ref : {&entry.function, &entry.code, &entry.defaults, &entry.keyword_defaults}) visit(*ref);
        for (watched_class& entry : classes_) {
            visit(entry.type);
            visit(entry.attributes);
        }
    }

private:
    struct watched_name {
        py::Ref name;
        py::Ref value;        // the object bound at import, or a copy of a mutable container
        bool compared_by_value; // a container may be changed in place: compared by ==, not identity
    };
    struct watched_function {
        py::Ref function, code, defaults, keyword_defaults;
    };
    // A class that can be changed: the interpreter gives it a new version tag on every change,
    // so an equal tag means unchanged; after a change its attributes are compared with these.
    struct watched_class {
        py::Ref type;
        py::Ref attributes;           // a copy of the class's __dict__ at import
        mutable unsigned int version; // the tag under which the attributes were last found equal
    };

    void watch_name(py::Borrowed name);
    void follow(py::Borrowed value, py::Borrowed names_seen);
    void watch_classes(py::Borrowed type);
    bool class_unchanged(const watched_class& entry) const;

    bool usable_ = false;
    py::Ref namespace_, builtins_; // the dicts of urllib.parse and of the built-ins
    py::Ref urljoin_, urlparse_;
    std::vector<watched_name> module_names_;  // bound in urllib.parse
    std::vector<watched_name> builtin_names_; // found in the built-ins: must not be shadowed
    std::vector<watched_function> functions_;
    std::vector<watched_class> classes_; // the watched classes and their bases
};

} // namespace vornel::inspector
