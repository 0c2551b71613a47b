/* The extension module quarn_parser: the module object, parse() and the registration of the classes.

   This module roughly corresponds to::

      class Structure:                        # made only by parse(); final, no constructor
          atom_count: int                     # read-only attributes, a fresh object per read
          entry_id: str | None
          space_group: str | None
          def unit_cell(self): ...            # ((a, b, c), (alpha, beta, gamma)) or None
          def bounding_box(self): ...         # ((min x, y, z), (max x, y, z)) or None
          def contacts(self, cutoff, max_results=None): ...                 # [Contact]
          def nearest_atoms(self, origin, max_distance, max_results): ...   # [AtomHit]
          def nearest_residues(self, origin, max_distance, max_results): ...# [ResidueHit]
          def dense_distance_matrix(self, atom_indices=None): ...           # DistanceMatrix
          def sparse_adjacency(self, include_geometric, tolerance): ...      # [[BondNeighbor]]
          def explicit_bonds(self): ...                                     # [(int, int)]
          def atom_profile(self, atom_index, include_geometric, tolerance): ...  # AtomProfile

      class AtomHit: index, distance, label_atom_id, label_comp_id, chain_id, seq_id, element, position
      class ResidueHit: comp_id, chain_id, seq_id, distance
      class DistanceMatrix: atom_indices, distances
      class BondNeighbor: index, bond_type
      class Contact: first, second, distance, classification
      class AtomProfile: index, label_atom_id, label_comp_id, chain_id, seq_id, element, occupancy,
                         b_factor, formal_charge, position, electronegativity, hybridization,
                         neighbor_indices, neighbor_bonds

      def parse(path): ...                    # Structure; OSError for a bad path, ValueError when
                                              # the file cannot be read or parsed
      __all__ = ["Structure", "AtomHit", "ResidueHit", "DistanceMatrix", "BondNeighbor", "Contact",
                 "AtomProfile", "parse"]

   Failures other than those raise a dedicated exception derived from BaseException; memory
   exhaustion raises MemoryError. No C++ exception leaves this module.
*/

#include <Python.h>

#include <cstdint>
#include <string>

#include "arguments.hpp"
#include "companion.hpp"
#include "pickling.hpp"
#include "py_ref.hpp"
#include "quarn/reader.hpp"
#include "results.hpp"
#include "structure_type.hpp"

namespace quarn::py {
namespace {

constexpr Signature kParse{"parse", {"path", nullptr, nullptr}, 1, 1};

PyObject* parse(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    Arguments a(kParse);
    if (!a.bind(args, kwargs)) return nullptr;
    Ref path = path_bytes(a[0]);
    if (!path) return nullptr;
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(path.get(), &bytes, &length) != 0) return nullptr;
    auto loaded = load_structure(std::string_view(bytes, static_cast<std::size_t>(length)));
    if (!loaded) {
      Ref shown(text(loaded.error().display()));
      if (shown) PyErr_SetObject(PyExc_ValueError, shown.get());
      return nullptr;
    }
    return new_structure(std::move(*loaded));
  });
}

PyMethodDef module_functions[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)), METH_VARARGS | METH_KEYWORDS,
     "parse(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Single-phase, with its types and exception in globals: one module object per process, owned by the
// interpreter that first initialises it (see PyInit_quarn_parser). m_size is 0, not -1, on purpose:
// for -1 the interpreter copies the first module's dictionary into every later interpreter without
// calling the init function again, sharing this interpreter's types with it (or, once the first
// interpreter is gone, handing out a cleared dictionary); with 0 every import outside the owner comes
// back to the init function, which refuses it.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarn_parser", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `object` (borrowed; nullptr when its creation failed) to the module under `name` and appends
// the name to __all__, which the first registration creates empty.
bool register_name(PyObject* module, Ref& all, const char* name, PyObject* object) noexcept {
  if (object == nullptr) return false;
  if (!all) {
    all = Ref(PyList_New(0));
    if (!all) return false;
    Py_INCREF(all.get());
    if (PyModule_AddObject(module, "__all__", all.get()) != 0) {
      Py_DECREF(all.get());
      return false;
    }
  }
  Py_INCREF(object);
  if (PyModule_AddObject(module, name, object) != 0) {
    Py_DECREF(object);
    return false;
  }
  Ref entry(PyUnicode_FromString(name));
  return entry && PyList_Append(all.get(), entry.get()) == 0;
}

PyObject* create_module() noexcept {
  if (!prepare_collector_pause()) return nullptr;
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref all;
  PyObject* m = module.get();
  if (!register_name(m, all, "Structure", structure_type()) || !register_name(m, all, "AtomHit", atom_hit_type()) ||
      !register_name(m, all, "ResidueHit", residue_hit_type()) ||
      !register_name(m, all, "DistanceMatrix", distance_matrix_type()) ||
      !register_name(m, all, "BondNeighbor", bond_neighbor_type()) ||
      !register_name(m, all, "Contact", contact_type()) ||
      !register_name(m, all, "AtomProfile", atom_profile_type())) {
    return nullptr;
  }
  // Added through the module so that parse is bound to it and reports __module__ "quarn_parser".
  if (PyModule_AddFunctions(m, module_functions) != 0) return nullptr;
  Ref parse_name(PyUnicode_FromString("parse"));
  if (!parse_name || PyList_Append(all.get(), parse_name.get()) != 0) return nullptr;
  if (!register_pickling(m)) return nullptr;
  // The companion package's private way in; not a public name, so not in __all__.
  PyObject* capsule = companion_capsule();
  if (capsule == nullptr || PyModule_AddObject(m, "_companion_api", capsule) != 0) {
    Py_XDECREF(capsule);
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quarn::py

PyMODINIT_FUNC PyInit_quarn_parser(void) {
  // One module object per process: a repeated initialisation in the owning interpreter returns it, and
  // any other interpreter is refused, since the types it would share are bound to the owner. The owner
  // is known by its id, which is never reused (an address could be, by the next interpreter made), and
  // is fixed by the first attempt: the types a failed attempt made are kept for its interpreter.
  static PyObject* module = nullptr;
  static std::int64_t owner = -1;
  const std::int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (here < 0) return nullptr;
  if (owner == -1) owner = here;
  if (here != owner) {
    PyErr_SetString(PyExc_ImportError, "quarn_parser cannot be loaded into more than one interpreter");
    return nullptr;
  }
  if (module == nullptr) {
    module = quarn::py::create_module();
    if (module == nullptr) return nullptr;
  }
  Py_INCREF(module);  // the static keeps its own reference, for later initialisations
  return module;
}
