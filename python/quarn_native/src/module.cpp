/* quarn._native: the native half of the companion package quarn. The Python modules of the package
   document and wrap every function; this module only converts, calls the core and shares memory.

   It roughly corresponds to::

      class Column: ...                                   # quarn.Column (column.hpp)
      ATOM_FIELDS: tuple[tuple[str, str], ...]            # (name, "text" | "int" | "real")
      CONTACT_CLASSES: tuple[str, ...]                    # contact class names by code
      BOND_TYPES: tuple[str, ...]                         # bond type names by code
      VERSION: str                                        # the project version
      def header(structure): ...                          # (entry_id, title, space_group, cell)
      def atom_column(structure, name): ...               # Column | (codes Column, categories)
      def atom_absent(structure, name): ...               # bool Column
      def component(column, k): ...                       # column k of an n x 3 Column, as a view
      def contacts(structure, cutoff, max_results): ...   # (first, second, distance, classification)
      def explicit_bonds(structure): ...                  # (first, second)
      def bond_graph(structure, include_geometric, tolerance): ...  # (indptr, indices, bond_type)
      def graph_edges(indptr, indices, bond_type): ...    # (first, second, bond_type), each bond once
      def distance_matrix(structure, atom_indices): ...   # (atom_indices, distances)
      def nearest_atoms(structure, origins, max_distance, max_results): ...  # (offsets, indices, distances)
      def load(path_bytes): ...                           # (Structure, None) | (None, failure fields)

      def select(structure, atoms): ...                   # derived Structure (select.hpp)
      def model(structure, model_num): ...
      def altloc(structure, alt_id): ...
      def euclidean(structure): ...
      def parent_indices(structure): ...                  # int64 Column
      def source_cell(structure): ...                     # the parsed structure's cell or None

   Importing it imports quarn_parser and refuses (ImportError) a quarn_parser of another build.
*/

#include <Python.h>

#include <string_view>

#include "atom_columns.hpp"
#include "column.hpp"
#include "load.hpp"
#include "py_ref.hpp"
#include "quarn/bond_graph.hpp"
#include "quarn/contacts.hpp"
#include "quarn/inflater.hpp"
#include "queries.hpp"
#include "select.hpp"
#include "structure_arg.hpp"
#include "unlocked.hpp"

namespace quarn::py {
namespace {

PyObject* optional_str(const std::optional<std::string>& value) noexcept {
  if (!value) Py_RETURN_NONE;
  return text(*value);
}

PyObject* header(PyObject*, PyObject* structure) noexcept {
  const Structure* s = structure_arg("header", structure);
  if (s == nullptr) return nullptr;
  Ref cell;
  if (s->cell) {
    const UnitCell& c = *s->cell;
    cell = Ref(Py_BuildValue("((ddd)(ddd))", c.a, c.b, c.c, c.alpha, c.beta, c.gamma));
  } else {
    cell = Ref::borrow(Py_None);
  }
  Ref entry_id(optional_str(s->entry_id)), title(optional_str(s->title)), space_group(optional_str(s->space_group));
  if (!cell || !entry_id || !title || !space_group) return nullptr;
  return PyTuple_Pack(4, entry_id.get(), title.get(), space_group.get(), cell.get());
}

// (structure, name) of atom_column and atom_absent; `utf8` keeps the bytes under `name`.
bool structure_and_name(const char* callable, PyObject* args, const Structure** s, Ref* utf8,
                        std::string_view* name) {
  PyObject* structure = nullptr;
  PyObject* key = nullptr;
  if (!PyArg_UnpackTuple(args, callable, 2, 2, &structure, &key)) return false;
  *s = structure_arg(callable, structure);
  if (*s == nullptr) return false;
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'name': must be str", callable);
    return false;
  }
  *utf8 = Ref(PyUnicode_AsUTF8String(key));
  char* bytes = nullptr;
  Py_ssize_t length = 0;
  if (!*utf8 || PyBytes_AsStringAndSize(utf8->get(), &bytes, &length) != 0) return false;
  *name = std::string_view(bytes, static_cast<std::size_t>(length));
  return true;
}

PyObject* atom_column_of(PyObject*, PyObject* args) noexcept {
  const Structure* s = nullptr;
  Ref utf8;
  std::string_view name;
  return structure_and_name("atom_column", args, &s, &utf8, &name) ? atom_column(*s, name) : nullptr;
}

PyObject* atom_absent_of(PyObject*, PyObject* args) noexcept {
  const Structure* s = nullptr;
  Ref utf8;
  std::string_view name;
  return structure_and_name("atom_absent", args, &s, &utf8, &name) ? atom_absent(*s, name) : nullptr;
}

PyObject* component(PyObject*, PyObject* args) noexcept {
  PyObject* column = nullptr;
  int k = 0;
  if (!PyArg_ParseTuple(args, "Oi:component", &column, &k)) return nullptr;
  const ColumnData* c = column_data(column);
  if (c == nullptr) return nullptr;
  if (c->ndim != 2 || k < 0 || k >= c->shape[1]) {
    PyErr_SetString(PyExc_ValueError, "component() needs a 2-D column and one of its column numbers");
    return nullptr;
  }
  ColumnData view = *c;  // shares the owner
  view.ndim = 1;
  view.data += k * c->strides[1];
  return new_column(std::move(view));
}

// The names of codes 0, 1, ... of an enumeration, from the core's own texts.
template <class Enum, std::size_t N>
PyObject* vocabulary(std::string_view (*text_of)(Enum) noexcept) noexcept {
  Ref tuple(PyTuple_New(N));
  if (!tuple) return nullptr;
  for (std::size_t k = 0; k < N; ++k) {
    PyObject* item = text(text_of(static_cast<Enum>(k)));
    if (item == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), item) != 0) return nullptr;
  }
  return tuple.release();
}

template <class F>
constexpr PyCFunction as_function(F f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef functions[] = {
    {"header", as_function(header), METH_O, nullptr},
    {"atom_column", as_function(atom_column_of), METH_VARARGS, nullptr},
    {"atom_absent", as_function(atom_absent_of), METH_VARARGS, nullptr},
    {"component", as_function(component), METH_VARARGS, nullptr},
    {"contacts", as_function(contacts_arrays), METH_VARARGS, nullptr},
    {"explicit_bonds", as_function(explicit_bond_arrays), METH_VARARGS, nullptr},
    {"bond_graph", as_function(bond_graph_arrays), METH_VARARGS, nullptr},
    {"graph_edges", as_function(graph_edge_arrays), METH_VARARGS, nullptr},
    {"distance_matrix", as_function(distance_matrix_arrays), METH_VARARGS, nullptr},
    {"nearest_atoms", as_function(nearest_atoms_arrays), METH_VARARGS, nullptr},
    {"select", as_function(select_atoms), METH_VARARGS, nullptr},
    {"model", as_function(select_model), METH_VARARGS, nullptr},
    {"altloc", as_function(select_altloc), METH_VARARGS, nullptr},
    {"euclidean", as_function(select_euclidean), METH_VARARGS, nullptr},
    {"parent_indices", as_function(parent_index_column), METH_VARARGS, nullptr},
    {"source_cell", as_function(source_cell), METH_VARARGS, nullptr},
    {"load", as_function(load_file), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarn._native", "The native half of quarn; use the package quarn instead.", -1,
    functions, nullptr, nullptr, nullptr, nullptr,
};

bool add(PyObject* module, const char* name, PyObject* value) noexcept {
  if (value == nullptr) return false;
  if (PyModule_AddObject(module, name, value) != 0) {
    Py_DECREF(value);
    return false;
  }
  return true;
}

PyObject* create_module() noexcept {
  // This module builds its own copy of the binding's result lists, collector pause included.
  if (!connect_to_quarn_parser() || !prepare_collector_pause() || !find_main_thread()) return nullptr;
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyObject* m = module.get();
  PyObject* column = column_type();
  Py_XINCREF(column);
  if (!add(m, "Column", column) || !add(m, "ATOM_FIELDS", atom_fields()) ||
      !add(m, "CONTACT_CLASSES", vocabulary<ContactClass, 4>(contact_class_text)) ||
      !add(m, "BOND_TYPES", vocabulary<BondType, 9>(bond_type_text)) ||
      !add(m, "VERSION", PyUnicode_FromString(QUARN_PROJECT_VERSION)) ||
      !add(m, "INFLATER", text(inflater_name()))) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quarn::py

PyMODINIT_FUNC PyInit__native(void) { return quarn::py::create_module(); }
