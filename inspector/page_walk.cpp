// The walk over a parsed page. It reproduces what selectolax's css() finds: the search starts at
// the document's root element (which is itself a candidate), visits elements in document order
// and looks inside nothing else (a template's content is not part of the tree); a type selector
// compares the tag id alone, whatever the element's namespace; an element inside a form or a
// table is found by that form's (table's) query and by those of the forms (tables) around it.
#include "page_walk.hpp"

#include <cstring>

namespace vornel::inspector {

namespace {

using lexbor::node;

// The element that document-wide queries start at: <html>, else the document's first child.
node* document_root(const lexbor_ids& ids, lexbor::document* document)
{
    node* first = document->node.first_child;
    if (document->type == ids.html_document)
        for (node* child = first; child != nullptr; child = child->next)
            if (child->local_name == ids.html) return child;
    return first;
}

// Calls enter(element) for every element below and including `root`, in document order, and
// leave(element) once its subtree has been visited.
template <class Enter, class Leave>
void walk_elements(node* root, Enter&& enter, Leave&& leave)
{
    node* current = root;
    while (current != nullptr) {
        if (current->type == lexbor::element_node) {
            enter(current);
            if (current->first_child != nullptr) {
                current = current->first_child;
                continue;
            }
            leave(current);
        }
        while (current != root && current->next == nullptr) {
            current = current->parent;
            leave(current);
        }
        if (current == root) return;
        current = current->next;
    }
}

constexpr char json_ld_type[] = "application/ld+json";
constexpr std::size_t json_ld_type_length = sizeof(json_ld_type) - 1;

// script[type="application/ld+json"]: the first attribute whose local name is `type`, compared
// without regard to ASCII case on an HTML element of an HTML document, exactly elsewhere.
bool is_json_ld(const lexbor_access& lexbor, node* script)
{
    for (lexbor::attribute* attribute = lexbor.first_attribute(script); attribute != nullptr;
         attribute = lexbor.next_attribute(attribute)) {
        if (lexbor_access::attribute_id(attribute) != lexbor.ids.type_attribute) continue;
        const attribute_value value = lexbor.attribute_value_of(attribute);
        if (value.data == nullptr || value.length != json_ld_type_length) return false;
        const auto* expected = reinterpret_cast<const unsigned char*>(json_ld_type);
        const bool html =
            script->ns == lexbor.ids.html_namespace && script->owner_document->type == lexbor.ids.html_document;
        return html ? lexbor.equal_ignoring_case(value.data, expected, json_ld_type_length)
                    : std::memcmp(value.data, expected, json_ld_type_length) == 0;
    }
    return false;
}

// The forms (tables) whose subtree the walk is in, innermost last.
class open_elements {
public:
    void enter(node* element, std::size_t index) { open_.push_back({element, index}); }
    void leave(node* element)
    {
        if (!open_.empty() && open_.back().element == element) open_.pop_back();
    }
    template <class Visit>
    void for_each(Visit&& visit) const
    {
        for (const entry& open : open_) visit(open.index);
    }

private:
    struct entry {
        node* element;
        std::size_t index;
    };
    std::vector<entry> open_;
};

} // namespace

page_nodes walk_page(const lexbor_access& lexbor, lexbor::document* document)
{
    const lexbor_ids& ids = lexbor.ids;
    page_nodes page;
    open_elements forms, tables;
    node* root = document_root(ids, document);

    auto enter = [&](node* element) {
        switch (ids.kind_of(element->local_name)) {
        case element_kind::other:
            break;
        case element_kind::anchor:
            page.anchors.push_back(element);
            break;
        case element_kind::image:
            page.images.push_back(element);
            break;
        case element_kind::meta:
            page.metas.push_back(element);
            break;
        case element_kind::heading:
            page.headings.push_back(element);
            break;
        case element_kind::list:
            ++page.lists;
            break;
        case element_kind::field:
            forms.for_each([&](std::size_t form) { page.forms[form].fields.push_back(element); });
            break;
        case element_kind::header_cell:
            tables.for_each([&](std::size_t table) { page.table_headers[table].push_back(element); });
            break;
        case element_kind::form:
            forms.enter(element, page.forms.size());
            page.forms.push_back({element, {}});
            break;
        case element_kind::table:
            tables.enter(element, page.table_headers.size());
            page.table_headers.emplace_back();
            break;
        case element_kind::title:
            if (page.title == nullptr) page.title = element;
            break;
        case element_kind::script:
            if (is_json_ld(lexbor, element)) ++page.json_ld;
            [[fallthrough]];
        case element_kind::style:
            page.scripts_and_styles.push_back(element);
            for (node* child = element->first_child; child != nullptr; child = child->next)
                if (child->type == lexbor::element_node) page.scripts_hold_elements = true;
            break;
        }
    };
    auto leave = [&](node* element) {
        forms.leave(element);
        tables.leave(element);
    };
    if (root != nullptr) walk_elements(root, enter, leave);
    return page;
}

void remove_deep(const lexbor_access& lexbor, node* root)
{
    // Children first, each unlinked on its own, then the element itself.
    node* current = root;
    while (current != nullptr) {
        if (current->first_child != nullptr) {
            current = current->first_child;
            continue;
        }
        while (current != root && current->next == nullptr) {
            node* parent = current->parent;
            lexbor.remove(current);
            current = parent;
        }
        if (current == root) {
            lexbor.remove(current);
            return;
        }
        node* next = current->next;
        lexbor.remove(current);
        current = next;
    }
}

} // namespace vornel::inspector
