#include "results.hpp"

#include <cstring>

#include "memory_budget.hpp"

namespace quarn::py {

namespace {

std::optional<std::string> owned(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

bool same_bits(double a, double b) noexcept { return std::memcmp(&a, &b, sizeof a) == 0; }

// --- readers shared by AtomHit and AtomProfile -------------------------------------------------------

template <class V>
PyObject* read_index(const V& v) {
  return PyLong_FromUnsignedLongLong(v.index);
}
template <class V>
PyObject* read_distance(const V& v) {
  return PyFloat_FromDouble(v.distance);
}
template <class V>
PyObject* read_label_atom_id(const V& v) {
  return optional_text(v.atom.label_atom_id);
}
template <class V>
PyObject* read_label_comp_id(const V& v) {
  return optional_text(v.atom.label_comp_id);
}
template <class V>
PyObject* read_atom_chain_id(const V& v) {
  return optional_text(v.atom.chain_id);
}
template <class V>
PyObject* read_atom_seq_id(const V& v) {
  return optional_int(v.atom.seq_id);
}
template <class V>
PyObject* read_element(const V& v) {
  return optional_text(v.atom.element);
}
template <class V>
PyObject* read_position(const V& v) {
  return optional_point(v.atom.position);
}

// --- AtomHit -----------------------------------------------------------------------------------------

PyGetSetDef atom_hit_getset[] = {
    {"index", getter<AtomHitValue, read_index>, nullptr, nullptr, nullptr},
    {"distance", getter<AtomHitValue, read_distance>, nullptr, nullptr, nullptr},
    {"label_atom_id", getter<AtomHitValue, read_label_atom_id>, nullptr, nullptr, nullptr},
    {"label_comp_id", getter<AtomHitValue, read_label_comp_id>, nullptr, nullptr, nullptr},
    {"chain_id", getter<AtomHitValue, read_atom_chain_id>, nullptr, nullptr, nullptr},
    {"seq_id", getter<AtomHitValue, read_atom_seq_id>, nullptr, nullptr, nullptr},
    {"element", getter<AtomHitValue, read_element>, nullptr, nullptr, nullptr},
    {"position", getter<AtomHitValue, read_position>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot atom_hit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<AtomHitValue>)},
    {Py_tp_getset, atom_hit_getset},
    {0, nullptr},
};

PyType_Spec atom_hit_spec = {"quarn_parser.AtomHit", sizeof(Boxed<AtomHitValue>), 0, Py_TPFLAGS_DEFAULT,
                             atom_hit_slots};

// --- ResidueHit --------------------------------------------------------------------------------------

PyObject* read_comp_id(const ResidueHitValue& v) { return optional_text(v.comp_id); }
PyObject* read_residue_chain_id(const ResidueHitValue& v) { return optional_text(v.chain_id); }
PyObject* read_residue_seq_id(const ResidueHitValue& v) { return optional_int(v.seq_id); }

PyGetSetDef residue_hit_getset[] = {
    {"comp_id", getter<ResidueHitValue, read_comp_id>, nullptr, nullptr, nullptr},
    {"chain_id", getter<ResidueHitValue, read_residue_chain_id>, nullptr, nullptr, nullptr},
    {"seq_id", getter<ResidueHitValue, read_residue_seq_id>, nullptr, nullptr, nullptr},
    {"distance", getter<ResidueHitValue, read_distance>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot residue_hit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ResidueHitValue>)},
    {Py_tp_getset, residue_hit_getset},
    {0, nullptr},
};

PyType_Spec residue_hit_spec = {"quarn_parser.ResidueHit", sizeof(Boxed<ResidueHitValue>), 0,
                                Py_TPFLAGS_DEFAULT, residue_hit_slots};

// --- AtomProfile -------------------------------------------------------------------------------------

PyObject* read_occupancy(const AtomProfileValue& v) { return optional_real(v.occupancy); }
PyObject* read_b_factor(const AtomProfileValue& v) { return optional_real(v.b_factor); }
PyObject* read_formal_charge(const AtomProfileValue& v) { return optional_int(v.formal_charge); }
PyObject* read_electronegativity(const AtomProfileValue& v) { return optional_real(v.electronegativity); }
PyObject* read_hybridization(const AtomProfileValue& v) {
  if (!v.hybridization) Py_RETURN_NONE;
  return text(hybridization_text(*v.hybridization));
}
PyObject* read_neighbor_indices(const AtomProfileValue& v) {
  return new_list(v.neighbors.size(),
                  [&](std::size_t k) { return PyLong_FromUnsignedLongLong(v.neighbors[k].neighbor); });
}
PyObject* read_neighbor_bonds(const AtomProfileValue& v) {
  PyObject* type = bond_neighbor_type();
  return type == nullptr ? nullptr : bond_neighbor_list(type, v.neighbors);
}

PyGetSetDef atom_profile_getset[] = {
    {"index", getter<AtomProfileValue, read_index>, nullptr, nullptr, nullptr},
    {"label_atom_id", getter<AtomProfileValue, read_label_atom_id>, nullptr, nullptr, nullptr},
    {"label_comp_id", getter<AtomProfileValue, read_label_comp_id>, nullptr, nullptr, nullptr},
    {"chain_id", getter<AtomProfileValue, read_atom_chain_id>, nullptr, nullptr, nullptr},
    {"seq_id", getter<AtomProfileValue, read_atom_seq_id>, nullptr, nullptr, nullptr},
    {"element", getter<AtomProfileValue, read_element>, nullptr, nullptr, nullptr},
    {"occupancy", getter<AtomProfileValue, read_occupancy>, nullptr, nullptr, nullptr},
    {"b_factor", getter<AtomProfileValue, read_b_factor>, nullptr, nullptr, nullptr},
    {"formal_charge", getter<AtomProfileValue, read_formal_charge>, nullptr, nullptr, nullptr},
    {"position", getter<AtomProfileValue, read_position>, nullptr, nullptr, nullptr},
    {"electronegativity", getter<AtomProfileValue, read_electronegativity>, nullptr, nullptr, nullptr},
    {"hybridization", getter<AtomProfileValue, read_hybridization>, nullptr, nullptr, nullptr},
    {"neighbor_indices", getter<AtomProfileValue, read_neighbor_indices>, nullptr, nullptr, nullptr},
    {"neighbor_bonds", getter<AtomProfileValue, read_neighbor_bonds>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot atom_profile_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<AtomProfileValue>)},
    {Py_tp_getset, atom_profile_getset},
    {0, nullptr},
};

PyType_Spec atom_profile_spec = {"quarn_parser.AtomProfile", sizeof(Boxed<AtomProfileValue>), 0,
                                 Py_TPFLAGS_DEFAULT, atom_profile_slots};

// --- BondNeighbor ------------------------------------------------------------------------------------

PyObject* read_neighbor(const BondEntry& v) { return PyLong_FromUnsignedLongLong(v.neighbor); }
PyObject* read_bond_type(const BondEntry& v) {
  if (!v.bond_type) Py_RETURN_NONE;
  return text(bond_type_text(*v.bond_type));
}

PyGetSetDef bond_neighbor_getset[] = {
    {"index", getter<BondEntry, read_neighbor>, nullptr, nullptr, nullptr},
    {"bond_type", getter<BondEntry, read_bond_type>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bond_neighbor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<BondEntry>)},
    {Py_tp_getset, bond_neighbor_getset},
    {0, nullptr},
};

PyType_Spec bond_neighbor_spec = {"quarn_parser.BondNeighbor", sizeof(Boxed<BondEntry>), 0, Py_TPFLAGS_DEFAULT,
                                  bond_neighbor_slots};

// --- DistanceMatrix ----------------------------------------------------------------------------------

PyObject* read_atom_indices(const DistanceMatrixResult& m) {
  return new_list(m.atom_indices.size(),
                  [&](std::size_t k) { return PyLong_FromUnsignedLongLong(m.atom_indices[k]); });
}

PyObject* read_distances(const DistanceMatrixResult& m) {
  const std::uint64_t n = m.size();
  std::uint64_t available = 0;
  const std::uint64_t needed = distance_rows_bytes(n);
  if (!fits_in_memory(needed, &available)) {
    PyErr_Format(PyExc_MemoryError,
                 "distances of %llu atoms need %llu bytes as Python lists, more than the %llu bytes available",
                 static_cast<unsigned long long>(n), static_cast<unsigned long long>(needed),
                 static_cast<unsigned long long>(available));
    return nullptr;
  }
  Ref rows(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!rows) return nullptr;
  std::vector<PyObject*> row(n);  // borrowed from `rows`
  for (std::uint64_t r = 0; r < n; ++r) {
    row[r] = PyList_New(static_cast<Py_ssize_t>(n));
    if (row[r] == nullptr || PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(r), row[r]) != 0) return nullptr;
  }
  // The matrix is symmetric, so one float object serves [r][c] and [c][r] whenever their bits agree:
  // half the objects, half the time and memory of the conversion. Floats are immutable, so the sharing
  // cannot be observed except through `is`.
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t c = r; c < n; ++c) {
      const double d = m.at(r, c);
      PyObject* value = PyFloat_FromDouble(d);
      if (value == nullptr || PyList_SetItem(row[r], static_cast<Py_ssize_t>(c), value) != 0) return nullptr;
      if (c == r) continue;
      const double mirror = m.at(c, r);
      if (same_bits(mirror, d)) {
        Py_INCREF(value);
      } else {
        value = PyFloat_FromDouble(mirror);
        if (value == nullptr) return nullptr;
      }
      if (PyList_SetItem(row[c], static_cast<Py_ssize_t>(r), value) != 0) return nullptr;
    }
  }
  return rows.release();
}

PyGetSetDef distance_matrix_getset[] = {
    {"atom_indices", getter<DistanceMatrixResult, read_atom_indices>, nullptr, nullptr, nullptr},
    {"distances", getter<DistanceMatrixResult, read_distances>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot distance_matrix_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<DistanceMatrixResult>)},
    {Py_tp_getset, distance_matrix_getset},
    {0, nullptr},
};

PyType_Spec distance_matrix_spec = {"quarn_parser.DistanceMatrix", sizeof(Boxed<DistanceMatrixResult>), 0,
                                    Py_TPFLAGS_DEFAULT, distance_matrix_slots};

// --- Contact -----------------------------------------------------------------------------------------

PyObject* read_first(const Contact& v) { return PyLong_FromUnsignedLongLong(v.first); }
PyObject* read_second(const Contact& v) { return PyLong_FromUnsignedLongLong(v.second); }
PyObject* read_classification(const Contact& v) { return text(contact_class_text(v.classification)); }

PyGetSetDef contact_getset[] = {
    {"first", getter<Contact, read_first>, nullptr, nullptr, nullptr},
    {"second", getter<Contact, read_second>, nullptr, nullptr, nullptr},
    {"distance", getter<Contact, read_distance>, nullptr, nullptr, nullptr},
    {"classification", getter<Contact, read_classification>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot contact_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Contact>)},
    {Py_tp_getset, contact_getset},
    {0, nullptr},
};

PyType_Spec contact_spec = {"quarn_parser.Contact", sizeof(Boxed<Contact>), 0, Py_TPFLAGS_DEFAULT, contact_slots};

}  // namespace

PyObject* lazy_type(PyObject*& cache, PyType_Spec& spec) noexcept {
  // Immutable where the interpreter knows the flag (3.10 on): nothing can then replace a class's __new__
  // or its methods. The build targets 3.9, which has no such flag, so it is chosen at run time.
  constexpr unsigned int kImmutableType = 1U << 8;
  if (cache == nullptr) {
    if (python_at_least(3, 10)) spec.flags |= kImmutableType;
    cache = PyType_FromSpec(&spec);
  }
  return cache;
}

AtomIdentity atom_identity(const AtomSite& atom) {
  return AtomIdentity{owned(atom.label_atom_id.get()), owned(atom.label_comp_id.get()), owned(chain_of(atom)),
                      seq_of(atom),                    owned(atom.type_symbol.get()),   position_of(atom)};
}

AtomHitValue atom_hit_value(const AtomSite& atom, std::uint64_t index, double distance) {
  return AtomHitValue{index, distance, atom_identity(atom)};
}

ResidueHitValue residue_hit_value(const ResidueHitRecord& row) {
  return ResidueHitValue{owned(row.key.comp_id), owned(row.key.chain_id), row.key.seq_id, row.distance};
}

AtomProfileValue atom_profile_value(const AtomSite& atom, AtomProfileRecord&& profile) {
  return AtomProfileValue{profile.index,        atom_identity(atom),       atom.occupancy(),
                          atom.b_factor(),      atom.formal_charge(),      profile.electronegativity,
                          profile.hybridization, std::move(profile.neighbors)};
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyObject* no_allocation(PyTypeObject*, Py_ssize_t) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyObject* atom_hit_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, atom_hit_spec);
}
PyObject* residue_hit_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, residue_hit_spec);
}
PyObject* atom_profile_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, atom_profile_spec);
}
PyObject* bond_neighbor_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, bond_neighbor_spec);
}
PyObject* distance_matrix_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, distance_matrix_spec);
}
PyObject* contact_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, contact_spec);
}

PyObject* bond_neighbor_list(PyObject* type, std::span<const BondEntry> row) {
  return new_list(row.size(), [&](std::size_t k) { return box(type, BondEntry(row[k])); });
}

std::uint64_t distance_rows_bytes(std::uint64_t n) noexcept {
  // n row lists of n slots, and one float per cell of the upper triangle (diagonal included).
  const std::uint64_t lists = saturating_mul_add(n, saturating_mul_add(n, kPyPointerBytes, kPyListBytes), 0);
  const std::uint64_t cells = saturating_mul_add(n, n / 2 + 1, 0);
  return saturating_mul_add(cells, kPyFloatBytes, lists);
}

PyObject* optional_text(const std::optional<std::string>& value) noexcept {
  if (!value) Py_RETURN_NONE;
  return text(*value);
}

PyObject* optional_int(std::optional<std::int32_t> value) noexcept {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromLong(*value);
}

PyObject* optional_real(std::optional<double> value) noexcept {
  if (!value) Py_RETURN_NONE;
  return PyFloat_FromDouble(*value);
}

PyObject* point(const Vec3& p) noexcept { return Py_BuildValue("(ddd)", p.x, p.y, p.z); }

PyObject* optional_point(const std::optional<Vec3>& p) noexcept {
  if (!p) Py_RETURN_NONE;
  return point(*p);
}

}  // namespace quarn::py
