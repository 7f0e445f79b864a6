// The check at import that decides whether the native walk may read selectolax's documents:
// a selectolax release and a Lexbor version whose layouts it was written for, Lexbor's functions
// in selectolax's module, a parser object laid out as declared, and, on a test page, exactly
// the summary that selector queries give. Anything else leaves every summary to the queries.
#include <array>
#include <charconv>
#include <string_view>

#include "../pyapi/calls.hpp"
#include "../pyapi/suppress.hpp"
#include "inspector_type.hpp"
#include "walk_access.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// Every kind of element, attribute and text that the summary reads, with the uneven cases:
// white space of several kinds, attributes without a value, nested forms and tables, foreign
// (SVG) elements, a template's content, JSON-LD blocks in both letter cases, malformed links.
constexpr char probe_page[] = R"(<!doctype html><html><head>
<title>
 Probe&nbsp;<b>page</b>&#x3000;&#x2003;</title>
<meta name=description content=" probe "><meta property=og:title content=Probe><meta name="" property=p content>
<meta name=description content=again><meta charset=utf-8><meta http-equiv=refresh content=5>
<script type="Application/LD+JSON">{}</script><script type=application/ld+json>[]</script><script>var x</script>
<style>p {}</style></head><body>
<svg><title>In SVG</title><a href="/svg-link">s</a><script type="Application/LD+JSON">{}</script>
<script type="application/ld+json">{}</script><style>q {}</style></svg>
<h1> One <em>two</em>&#x85;</h1><h2></h2><h3>&#xA0;</h3><h4>Four</h4>
<form action method><div><input name=q type placeholder required><input></div><select name=s></select>
<textarea name=t placeholder="">x</textarea><input name="" type=hidden></form>
<form method=pOst action="/send?x=1#f"><table><tr><th>In form</th><td><input name=deep type=CHECKBOX></td></tr></table></form>
<form action="http://[bad" method="get"><button name=b>b</button></form>
<a href="/in">in</a><a href="https://other.example/o">out</a><a href="#top">t</a><a href="javascript:x">j</a>
<a href="mailto:a@b.c">m</a><a href=" #x">x</a><a href="/in">again</a><a href="http://[oops">bad</a><a href>e</a>
<a href="//www.example.com:8080/p">port</a><a>none</a><template><a href="/template">t</a><h1>T</h1></template>
<table><tr><th>A</th><th> </th><th>C <b>c</b></th><td><table><tr><th>Inner</th></tr></table></td></tr></table>
<table><tr><td>1</td></tr></table><ul><li><ol><li>x</ol></ul><ol></ol>
<img src=a.png><img><img src><img src=""><img src=" "><p>decomposed</p><!-- comment -->
</body></html>)";

constexpr char probe_url[] = "https://www.example.com/dir/page.html";

// selectolax 1.0.2 and later 1.0 releases: the parser layout and the reading of nodes that the
// walk copies.
bool supported_selectolax(Borrowed version)
{
    if (!PyUnicode_Check(version)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(version, &size);
    if (text == nullptr) throw python_error{};
    const std::string_view value(text, static_cast<std::size_t>(size));
    if (!value.starts_with("1.0.")) return false;
    int patch = 0;
    const auto [end, error] = std::from_chars(value.data() + 4, value.data() + value.size(), patch);
    return error == std::errc{} && end == value.data() + value.size() && patch >= 2;
}

// Whether the module's attribute `name` is the int `expected`.
bool has_number(Borrowed module, const char* name, long expected)
{
    Ref value = get_attr(module, own(PyUnicode_FromString(name)).get());
    if (!PyLong_CheckExact(value.get())) return false;
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value.get(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw python_error{};
    return overflow == 0 && number == expected;
}

// Lexbor 3.1, whose node, attribute and text layouts lexbor_layout.hpp mirrors.
bool supported_lexbor(Borrowed lexbor_module)
{
    return has_number(lexbor_module, "LEXBOR_VERSION_MAJOR", 3) && has_number(lexbor_module, "LEXBOR_VERSION_MINOR", 1);
}

// The parser's declared fields, checked against what the parser reports of itself.
bool parser_laid_out_as_declared(Borrowed probe, selectolax_parser* parser)
{
    Ref raw_html = get_attr(probe, own(PyUnicode_FromString("raw_html")).get());
    lexbor::document* document = parser->document;
    return parser->raw_html == raw_html.get() && PyBytes_CheckExact(raw_html.get()) && parser->is_fragment == 0 &&
           parser->fragment_wrapper == nullptr && document != nullptr && document->node.type == lexbor::document_node;
}

struct tag_name {
    lexbor::id lexbor_ids::*id;
    std::string_view name;
    element_kind kind;
};

constexpr std::array<tag_name, 19> tag_names = {{
    {&lexbor_ids::html, "html", element_kind::other},
    {&lexbor_ids::title, "title", element_kind::title},
    {&lexbor_ids::meta, "meta", element_kind::meta},
    {&lexbor_ids::form, "form", element_kind::form},
    {&lexbor_ids::input, "input", element_kind::field},
    {&lexbor_ids::select, "select", element_kind::field},
    {&lexbor_ids::textarea, "textarea", element_kind::field},
    {&lexbor_ids::a, "a", element_kind::anchor},
    {&lexbor_ids::img, "img", element_kind::image},
    {&lexbor_ids::table, "table", element_kind::table},
    {&lexbor_ids::th, "th", element_kind::header_cell},
    {&lexbor_ids::ul, "ul", element_kind::list},
    {&lexbor_ids::ol, "ol", element_kind::list},
    {&lexbor_ids::h1, "h1", element_kind::heading},
    {&lexbor_ids::h2, "h2", element_kind::heading},
    {&lexbor_ids::h3, "h3", element_kind::heading},
    {&lexbor_ids::script, "script", element_kind::script},
    {&lexbor_ids::style, "style", element_kind::style},
    {&lexbor_ids::text, "", element_kind::other}, // learnt from the first text node instead
}};

// Records the ids of the element's attributes whose names the summary reads; false when one name
// has two ids.
bool learn_attribute_ids(const lexbor_access& lexbor, lexbor::node* element, lexbor_ids& ids,
                         std::array<bool, attribute_names.size()>& found)
{
    for (lexbor::attribute* attribute = lexbor.first_attribute(element); attribute != nullptr;
         attribute = lexbor.next_attribute(attribute)) {
        const std::string_view name = lexbor.attribute_name(attribute);
        for (std::size_t i = 0; i < attribute_names.size(); ++i) {
            if (name != attribute_names[i]) continue;
            const lexbor::id written = lexbor_ids::written_name(attribute);
            const lexbor::id id = written < lexbor_ids::known_attributes ? written : lexbor_ids::unknown;
            if (found[i] && ids.attributes[i] != id) return false;
            found[i] = true;
            ids.attributes[i] = id;
            if (name == "type" && element->local_name == ids.script) ids.type_attribute = attribute->node.local_name;
        }
    }
    return true;
}

// Learns the ids from the elements of the parsed probe page; false when one is missing or two
// tags share an id.
bool learn_ids(lexbor_access& lexbor, lexbor::document* document)
{
    lexbor_ids ids{};
    ids.html_document = document->type;
    std::array<bool, tag_names.size()> found{};
    std::array<bool, attribute_names.size()> attributes_found{};
    bool text_found = false;

    lexbor::node* current = document->node.first_child;
    while (current != nullptr) {
        if (current->type == lexbor::element_node && current->owner_document == document) {
            const std::string_view name = lexbor.element_name(current);
            for (std::size_t i = 0; i + 1 < tag_names.size(); ++i)
                if (!found[i] && name == tag_names[i].name) {
                    found[i] = true;
                    ids.*tag_names[i].id = current->local_name;
                    if (name == "html") ids.html_namespace = current->ns;
                }
            if (!learn_attribute_ids(lexbor, current, ids, attributes_found)) return false;
        } else if (current->type == 3 && !text_found) { // a text node
            ids.text = current->local_name;
            text_found = true;
        }
        // Document order, as far as the tree goes.
        if (current->first_child != nullptr) {
            current = current->first_child;
            continue;
        }
        while (current != nullptr && current->next == nullptr) current = current->parent;
        if (current != nullptr) current = current->next;
    }
    found.back() = text_found;
    for (std::size_t i = 0; i < tag_names.size(); ++i) {
        const lexbor::id id = ids.*tag_names[i].id;
        if (!found[i] || id == 0 || id >= lexbor_ids::known_tags) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (id == ids.*tag_names[j].id) return false;
        ids.kinds[id] = tag_names[i].kind;
    }
    for (bool attribute_found : attributes_found)
        if (!attribute_found) return false;
    if (ids.type_attribute == 0) return false;
    lexbor.ids = ids;
    return true;
}

// Reads the declared change counter back: decompose() raises it by one.
bool counts_changes(Borrowed probe, selectolax_parser* parser)
{
    const unsigned long before = parser->mutation_count;
    Ref paragraph =
        call_method(probe, own(PyUnicode_FromString("css_first")).get(), own(PyUnicode_FromString("p")).get());
    if (paragraph.get() == Py_None) return false;
    call_method(paragraph, own(PyUnicode_FromString("decompose")).get());
    return parser->mutation_count == before + 1;
}

// The probe page's summary, its parser's serialised tree and whether the walk served it.
struct probe_result {
    Ref summary, html;
    bool walked;
};

probe_result summarize_probe(const module_state& state)
{
    Ref page = own(PyUnicode_FromString(probe_page));
    Ref url = own(PyUnicode_FromString(probe_url));
    PyObject* arguments[] = {page.get(), url.get()};
    Ref inspector = own(PyObject_Vectorcall(state.inspector_type.get(), arguments, 2, nullptr));
    probe_result result;
    result.summary = call_method(inspector, own(PyUnicode_FromString("get_summary")).get());
    Ref parser = get_attr(inspector, state.parser);
    result.html = get_attr(parser, own(PyUnicode_FromString("html")).get());
    result.walked = built_parser(state, inspector).parser.get() == parser.get();
    return result;
}

bool equal(const Ref& first, const Ref& second)
{
    return require(PyObject_RichCompareBool(first.get(), second.get(), Py_EQ)) == 1;
}

} // namespace

void module_state::complete(Borrowed)
{
    // A failed check only leaves the walk off; KeyboardInterrupt and the like still propagate.
    const bool checked = completes_unless_exception([&] {
        Ref selectolax = own(PyImport_ImportModule("selectolax"));
        Ref lexbor_module = own(PyImport_ImportModule("selectolax.lexbor"));
        if (!supported_selectolax(get_attr(selectolax, own(PyUnicode_FromString("__version__")).get()).get()) ||
            !supported_lexbor(lexbor_module))
            return;
        auto* type = reinterpret_cast<PyTypeObject*>(parser_type.get());
        if (!PyType_Check(parser_type.get()) || type->tp_basicsize != sizeof(selectolax_parser) ||
            type->tp_itemsize != 0)
            return;
        Ref file =
            own(PyUnicode_EncodeFSDefault(get_attr(lexbor_module, own(PyUnicode_FromString("__file__")).get()).get()));
        std::optional<lexbor_access> access = lexbor_access::open(PyBytes_AS_STRING(file.get()));
        if (!access) return;

        Ref probe = call(parser_type, own(PyUnicode_FromString(probe_page)).get());
        if (Py_TYPE(probe.get()) != type) return;
        auto* parser = reinterpret_cast<selectolax_parser*>(probe.get());
        if (!parser_laid_out_as_declared(probe, parser) || !learn_ids(*access, parser->document) ||
            !counts_changes(probe, parser))
            return;

        // The same page summarised by the queries, then by the walk.
        const probe_result queried = summarize_probe(*this);
        lexbor.emplace(std::move(*access));
        const probe_result walked = summarize_probe(*this);
        if (queried.walked || !walked.walked || !equal(queried.summary, walked.summary) ||
            !equal(queried.html, walked.html))
            lexbor.reset();
    });
    if (!checked) lexbor.reset();
}

} // namespace vornel::inspector
