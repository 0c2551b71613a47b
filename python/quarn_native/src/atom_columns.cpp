#include "atom_columns.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "column.hpp"
#include "memory_budget.hpp"
#include "py_ref.hpp"
#include "quarn/element.hpp"

namespace quarn::py {

namespace {

using TextOf = std::optional<std::string_view> (*)(const AtomSite&);
using IntOf = std::optional<std::int32_t> (*)(const AtomSite&);
using RealOf = std::optional<double> (*)(const AtomSite&);

// One field: exactly one accessor is set, and it defines both the values and where they are absent.
struct Field {
  const char* name;
  TextOf text;
  IntOf integer;
  RealOf real;
};

std::optional<std::string_view> element_symbol(const AtomSite& a) {
  const ElementInfo* e = element_of(a);
  return e ? std::optional<std::string_view>(e->symbol) : std::nullopt;
}

std::optional<double> covalent_radius(const AtomSite& a) {
  const ElementInfo* e = element_of(a);
  return e ? e->covalent_radius : std::nullopt;
}

std::optional<double> electronegativity(const AtomSite& a) {
  const ElementInfo* e = element_of(a);
  return e ? e->electronegativity : std::nullopt;
}

constexpr TextOf kNoText = nullptr;
constexpr IntOf kNoInt = nullptr;
constexpr RealOf kNoReal = nullptr;

const Field kFields[] = {
    {"id", [](const AtomSite& a) { return a.id.get(); }, kNoInt, kNoReal},
    {"type_symbol", [](const AtomSite& a) { return a.type_symbol.get(); }, kNoInt, kNoReal},
    {"label_atom_id", [](const AtomSite& a) { return a.label_atom_id.get(); }, kNoInt, kNoReal},
    {"auth_atom_id", [](const AtomSite& a) { return a.auth_atom_id.get(); }, kNoInt, kNoReal},
    {"label_alt_id", [](const AtomSite& a) { return a.label_alt_id.get(); }, kNoInt, kNoReal},
    {"label_comp_id", [](const AtomSite& a) { return a.label_comp_id.get(); }, kNoInt, kNoReal},
    {"label_asym_id", [](const AtomSite& a) { return a.label_asym_id.get(); }, kNoInt, kNoReal},
    {"auth_asym_id", [](const AtomSite& a) { return a.auth_asym_id.get(); }, kNoInt, kNoReal},
    {"label_seq_id", kNoText, [](const AtomSite& a) { return a.label_seq_id(); }, kNoReal},
    {"auth_seq_id", kNoText, [](const AtomSite& a) { return a.auth_seq_id(); }, kNoReal},
    {"x", kNoText, kNoInt, [](const AtomSite& a) { return a.x(); }},
    {"y", kNoText, kNoInt, [](const AtomSite& a) { return a.y(); }},
    {"z", kNoText, kNoInt, [](const AtomSite& a) { return a.z(); }},
    {"occupancy", kNoText, kNoInt, [](const AtomSite& a) { return a.occupancy(); }},
    {"b_factor", kNoText, kNoInt, [](const AtomSite& a) { return a.b_factor(); }},
    {"model_num", kNoText, [](const AtomSite& a) { return a.model_num(); }, kNoReal},
    {"formal_charge", kNoText, [](const AtomSite& a) { return a.formal_charge(); }, kNoReal},
    {"chain_id", [](const AtomSite& a) { return chain_of(a); }, kNoInt, kNoReal},
    {"seq_id", kNoText, [](const AtomSite& a) { return seq_of(a); }, kNoReal},
    {"element", element_symbol, kNoInt, kNoReal},
    {"covalent_radius", kNoText, kNoInt, covalent_radius},
    {"electronegativity", kNoText, kNoInt, electronegativity},
};

constexpr std::string_view kPosition = "position";
constexpr std::int32_t kIntAbsent = std::numeric_limits<std::int32_t>::min();

const Field* field_named(std::string_view name) noexcept {
  for (const Field& f : kFields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

PyObject* unknown_field(std::string_view name) noexcept {
  Ref key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// MemoryError, before allocating, when a column of `bytes` cannot fit.
bool room_for(std::string_view name, std::uint64_t bytes) noexcept {
  std::uint64_t available = 0;
  if (fits_in_memory(bytes, &available)) return true;
  PyErr_Format(PyExc_MemoryError, "the atom column '%.*s' needs %llu bytes, more than the %llu bytes available",
               static_cast<int>(name.size()), name.data(), static_cast<unsigned long long>(bytes),
               static_cast<unsigned long long>(available));
  return false;
}

// An uninitialised array of n values, kept by a shared owner: every element is written once.
template <class T>
std::shared_ptr<T[]> values(std::size_t n) {
  return std::shared_ptr<T[]>(new T[n > 0 ? n : 1]);
}

template <class T, class Value>
PyObject* number_column(const Structure& s, const Field& f, Value value_of, T absent, Kind kind) {
  const std::size_t n = s.atoms.size();
  if (!room_for(f.name, n * sizeof(T))) return nullptr;
  auto out = values<T>(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = value_of(s.atoms[i]).value_or(absent);
  return new_column(column_over<T>(out, out.get(), kind, n));
}

PyObject* position_column(const Structure& s) {
  const std::size_t n = s.atoms.size();
  if (!room_for(kPosition, n * 3 * sizeof(double))) return nullptr;
  auto out = values<double>(3 * n);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double* to = out.get();
  // Block by block: the loop then reads the records in place, without index arithmetic per atom.
  for (std::size_t i = 0; i < n;) {
    std::size_t length = 0;
    const AtomSite* run = s.atoms.run(i, &length);
    for (std::size_t k = 0; k < length; ++k, to += 3) {
      const AtomSite& a = run[k];
      to[0] = a.has(AtomSite::kX) ? a.x_value : nan;
      to[1] = a.has(AtomSite::kY) ? a.y_value : nan;
      to[2] = a.has(AtomSite::kZ) ? a.z_value : nan;
    }
    i += length;
  }
  ColumnData c = column_1d(out, out.get(), Kind::f8, n, 3 * sizeof(double));
  c.ndim = 2;
  c.shape[1] = 3;
  c.strides[1] = sizeof(double);
  return new_column(std::move(c));
}

PyObject* text_column(const Structure& s, const Field& f) {
  const std::size_t n = s.atoms.size();
  if (!room_for(f.name, n * sizeof(std::int32_t))) return nullptr;
  auto codes = values<std::int32_t>(n);
  std::vector<std::string_view> texts;  // the categories, views into the model
  std::unordered_map<std::string_view, std::int32_t> code_of;
  // Neighbouring atoms mostly share chain, residue and element: the previous text is tried first.
  std::optional<std::string_view> previous;
  std::int32_t previous_code = -1;
  for (std::size_t i = 0; i < n; ++i) {
    const std::optional<std::string_view> t = f.text(s.atoms[i]);
    if (t != previous) {
      previous = t;
      if (!t) {
        previous_code = -1;
      } else {
        const auto [it, added] = code_of.try_emplace(*t, static_cast<std::int32_t>(texts.size()));
        if (added) {
          if (texts.size() == static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            PyErr_Format(PyExc_OverflowError, "the atom column '%s' has more distinct texts than int32 codes",
                         f.name);
            return nullptr;
          }
          texts.push_back(*t);
        }
        previous_code = it->second;
      }
    }
    codes[i] = previous_code;
  }
  Ref categories(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!categories) return nullptr;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    PyObject* item = text(texts[k]);
    if (item == nullptr || PyTuple_SetItem(categories.get(), static_cast<Py_ssize_t>(k), item) != 0) return nullptr;
  }
  Ref column(new_column(column_over<std::int32_t>(codes, codes.get(), Kind::i4, n)));
  if (!column) return nullptr;
  return PyTuple_Pack(2, column.get(), categories.get());
}

// True where `absent(atom)` holds, for every atom.
template <class Absent>
PyObject* mask_column(const Structure& s, std::string_view name, Absent absent) {
  const std::size_t n = s.atoms.size();
  if (!room_for(name, n)) return nullptr;
  auto out = values<std::uint8_t>(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = absent(s.atoms[i]) ? 1 : 0;
  return new_column(column_over<std::uint8_t>(out, out.get(), Kind::b1, n));
}

}  // namespace

PyObject* atom_fields() noexcept {
  constexpr auto count = static_cast<Py_ssize_t>(sizeof kFields / sizeof kFields[0]);
  Ref tuple(PyTuple_New(count));
  if (!tuple) return nullptr;
  for (Py_ssize_t k = 0; k < count; ++k) {
    const Field& f = kFields[k];
    PyObject* item = Py_BuildValue("(ss)", f.name, f.text ? "text" : f.integer ? "int" : "real");
    if (item == nullptr || PyTuple_SetItem(tuple.get(), k, item) != 0) return nullptr;
  }
  return tuple.release();
}

PyObject* atom_column(const Structure& s, std::string_view name) noexcept {
  return guarded([&]() -> PyObject* {
    if (name == kPosition) return position_column(s);
    const Field* f = field_named(name);
    if (f == nullptr) return unknown_field(name);
    if (f->text) return text_column(s, *f);
    if (f->integer) return number_column<std::int32_t>(s, *f, f->integer, kIntAbsent, Kind::i4);
    return number_column<double>(s, *f, f->real, std::numeric_limits<double>::quiet_NaN(), Kind::f8);
  });
}

PyObject* atom_absent(const Structure& s, std::string_view name) noexcept {
  return guarded([&]() -> PyObject* {
    if (name == kPosition) return mask_column(s, name, [](const AtomSite& a) { return !position_of(a); });
    const Field* f = field_named(name);
    if (f == nullptr) return unknown_field(name);
    if (f->text) return mask_column(s, name, [f](const AtomSite& a) { return !f->text(a); });
    if (f->integer) return mask_column(s, name, [f](const AtomSite& a) { return !f->integer(a); });
    return mask_column(s, name, [f](const AtomSite& a) { return !f->real(a); });
  });
}

}  // namespace quarn::py
