// VornInspector._get_tables_detailed: every table with the texts of its header cells.
#include "methods.hpp"
#include "nodes.hpp"

namespace vornel::inspector {

using namespace py;

Ref get_tables_detailed(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    Ref tables = own(PyList_New(0));
    Ref elements = select(state, document_of(state, args[0]).get(), state.select_table.get());
    Py_ssize_t number = 0;
    for_each(elements.get(), [&](Borrowed table) {
        Ref columns = own(PyList_New(0));
        Ref header_cells = select(state, table, state.select_th.get());
        for_each(header_cells.get(), [&](Borrowed cell) {
            Ref text = element_text(state, cell);
            if (is_true(text.get())) require(PyList_Append(columns.get(), text.get()));
        });
        if (PyList_GET_SIZE(columns.get()) == 0) columns = new_list({state.no_headers.get()});

        Ref record = new_dict({{state.id.get(), new_int(++number).get()}, {state.columns.get(), columns.get()}});
        require(PyList_Append(tables.get(), record.get()));
    });
    return tables;
}

} // namespace vornel::inspector
