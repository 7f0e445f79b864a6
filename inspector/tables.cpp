// VornInspector._get_tables_detailed: every table with the texts of its header cells.
#include <string>

#include "methods.hpp"
#include "node_reading.hpp"
#include "nodes.hpp"
#include "walk_access.hpp"
#include "walk_records.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

Ref table_record(const module_state& state, Py_ssize_t number, Ref columns)
{
    if (PyList_GET_SIZE(columns.get()) == 0) columns = new_list({state.no_headers});
    return new_dict({{state.id, new_int(number).get()}, {state.columns, columns}});
}

Ref tables_from_queries(const module_state& state, Borrowed document)
{
    Ref tables = own(PyList_New(0));
    Ref elements = select(state, document, state.select_table);
    Py_ssize_t number = 0;
    for_each(elements, [&](Borrowed table) {
        Ref columns = own(PyList_New(0));
        Ref header_cells = select(state, table, state.select_th);
        for_each(header_cells, [&](Borrowed cell) {
            Ref text = element_text(state, cell);
            if (is_true(text)) require(PyList_Append(columns.get(), text.get()));
        });
        require(PyList_Append(tables.get(), table_record(state, ++number, std::move(columns)).get()));
    });
    return tables;
}

} // namespace

Ref tables_from_walk(const module_state& state, const lexbor_access& lexbor, const page_nodes& page)
{
    Ref tables = own(PyList_New(0));
    std::string buffer;
    Py_ssize_t number = 0;
    for (const node_list& header_cells : page.table_headers) {
        Ref columns = own(PyList_New(0));
        for (lexbor::node* cell : header_cells) {
            Ref text = stripped_text(cell, lexbor.ids.text, buffer);
            if (PyUnicode_GET_LENGTH(text.get()) != 0) require(PyList_Append(columns.get(), text.get()));
        }
        require(PyList_Append(tables.get(), table_record(state, ++number, std::move(columns)).get()));
    }
    return tables;
}

Ref get_tables_detailed(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    instance_walk walk(state, args[0]);
    Ref document = document_of(state, args[0]);
    if (const page_nodes* page = walk.nodes(document)) return tables_from_walk(state, walk.lexbor(), *page);
    return tables_from_queries(state, document);
}

} // namespace vornel::inspector
