#include "atom_columns.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "column.hpp"
#include "memory_budget.hpp"
#include "py_ref.hpp"
#include "quarn/atom_list.hpp"
#include "quarn/element.hpp"
#include "unlocked.hpp"

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
bool room_for(std::string_view name, std::uint64_t bytes) {
  const std::string what = "the atom column '" + std::string(name) + "'";
  return fits_or_refuse(what.c_str(), bytes);
}

// An uninitialised array of n values, kept by a shared owner: every element is written once. Large
// ones go to fresh huge pages where the kernel has them: a column is mostly written, not computed,
// and small fresh pages fault in several times slower.
template <class T>
std::shared_ptr<T[]> values(std::size_t n) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const std::size_t bytes = std::max<std::size_t>(n, 1) * sizeof(T);
  const std::size_t alignment = bytes >= kHugePage ? kHugePage : alignof(std::max_align_t);
  T* memory = static_cast<T*>(detail::allocate_list_memory(bytes, alignment));
  return std::shared_ptr<T[]>(memory, [](T* p) { detail::release_list_memory(p); });
}

template <class T, class Value>
PyObject* number_column(const Structure& s, const Field& f, Value value_of, T absent, Kind kind) {
  const std::size_t n = s.atoms.size();
  if (!room_for(f.name, n * sizeof(T))) return nullptr;
  auto out = values<T>(n);
  without_lock([&] {
    for (std::size_t i = 0; i < n; ++i) out[i] = value_of(s.atoms[i]).value_or(absent);
  });
  return new_column(column_over<T>(out, out.get(), kind, n));
}

// Writes x, y, z of atoms [begin, end) to `to`, NaN for each one absent. Block by block: the loop
// then reads the records in place, without index arithmetic per atom. Never throws.
void gather_positions(const Structure& s, std::size_t begin, std::size_t end, double* to) noexcept {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = begin; i < end;) {
    std::size_t length = 0;
    const AtomSite* run = s.atoms.run(i, &length);
    length = std::min(length, end - i);
    for (std::size_t k = 0; k < length; ++k, to += 3) {
      const AtomSite& a = run[k];
      to[0] = a.has(AtomSite::kX) ? a.x_value : nan;
      to[1] = a.has(AtomSite::kY) ? a.y_value : nan;
      to[2] = a.has(AtomSite::kZ) ? a.z_value : nan;
    }
    i += length;
  }
}

// Why a second thread: the gather waits on memory (a 120-byte record per 24 bytes written), and two
// cores keep more of it in flight than one. Below this size a thread costs more than it saves.
constexpr std::size_t kPositionsPerThread = std::size_t{1} << 17;

PyObject* position_column(const Structure& s) {
  const std::size_t n = s.atoms.size();
  if (!room_for(kPosition, n * 3 * sizeof(double))) return nullptr;
  auto out = values<double>(3 * n);
  const std::size_t half = n >= 2 * kPositionsPerThread && std::thread::hardware_concurrency() > 1 ? n / 2 : n;
  without_lock([&] {
    std::optional<std::thread> helper;
    if (half < n) {
      try {
        helper.emplace(gather_positions, std::cref(s), half, n, out.get() + 3 * half);
      } catch (...) {
        gather_positions(s, half, n, out.get() + 3 * half);  // no thread to be had: this one does it
      }
    }
    gather_positions(s, 0, half, out.get());
    if (helper) helper->join();
  });
  ColumnData c = column_1d(out, out.get(), Kind::f8, n, 3 * sizeof(double));
  c.ndim = 2;
  c.shape[1] = 3;
  c.strides[1] = sizeof(double);
  return new_column(std::move(c));
}

// Codes of distinct texts in order of first appearance. Open addressing over one array of codes, with
// no allocation per text: a map of a million distinct ids spends most of its time allocating nodes.
class TextCodes {
 public:
  TextCodes() : slots_(64, kEmpty) {}

  // The text's code, a new one when it was not seen before. May throw std::bad_alloc.
  std::int32_t code_of(std::string_view text) {
    const std::size_t hash = std::hash<std::string_view>{}(text);
    for (std::size_t slot = hash & mask();; slot = (slot + 1) & mask()) {
      const std::int32_t code = slots_[slot];
      if (code == kEmpty) break;
      if (hashes_[static_cast<std::size_t>(code)] == hash && texts_[static_cast<std::size_t>(code)] == text) return code;
    }
    const auto code = static_cast<std::int32_t>(texts_.size());
    texts_.push_back(text);
    hashes_.push_back(hash);
    if (2 * texts_.size() > slots_.size()) {
      rehash();
    } else {
      place(code);
    }
    return code;
  }

  std::size_t size() const noexcept { return texts_.size(); }
  const std::vector<std::string_view>& texts() const noexcept { return texts_; }

 private:
  static constexpr std::int32_t kEmpty = -1;
  std::size_t mask() const noexcept { return slots_.size() - 1; }

  void place(std::int32_t code) noexcept {
    std::size_t slot = hashes_[static_cast<std::size_t>(code)] & mask();
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask();
    slots_[slot] = code;
  }

  void rehash() {
    slots_.assign(2 * slots_.size(), kEmpty);
    for (std::size_t code = 0; code < texts_.size(); ++code) place(static_cast<std::int32_t>(code));
  }

  std::vector<std::string_view> texts_;  // views into the model
  std::vector<std::size_t> hashes_;      // of each text, so that growing hashes nothing again
  std::vector<std::int32_t> slots_;      // a power of two, at most half full
};

PyObject* text_column(const Structure& s, const Field& f) {
  const std::size_t n = s.atoms.size();
  if (!room_for(f.name, n * sizeof(std::int32_t))) return nullptr;
  auto codes = values<std::int32_t>(n);
  TextCodes texts;
  const bool coded = without_lock([&] {
    // Neighbouring atoms mostly share chain, residue and element: the previous text is tried first.
    std::optional<std::string_view> previous;
    std::int32_t previous_code = -1;
    for (std::size_t i = 0; i < n; ++i) {
      const std::optional<std::string_view> t = f.text(s.atoms[i]);
      if (t != previous) {
        previous = t;
        if (t && texts.size() == static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return false;
        previous_code = t ? texts.code_of(*t) : -1;
      }
      codes[i] = previous_code;
    }
    return true;
  });
  if (!coded) {
    PyErr_Format(PyExc_OverflowError, "the atom column '%s' has more distinct texts than int32 codes", f.name);
    return nullptr;
  }
  Ref categories(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!categories) return nullptr;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    PyObject* item = text(texts.texts()[k]);
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
  without_lock([&] {
    for (std::size_t i = 0; i < n; ++i) out[i] = absent(s.atoms[i]) ? 1 : 0;
  });
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
