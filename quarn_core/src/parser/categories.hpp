// The categories the reader extracts: loop classification, the columns it reads, the bond type maps.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quarn/bond_graph.hpp"
#include "quarn/reader.hpp"
#include "quarn/structure.hpp"
#include "quarn/text.hpp"
#include "values.hpp"

namespace quarn::detail {

enum class LoopKind : std::uint8_t { atom_site, struct_conn, chem_comp_bond, ignored };

// The field a loop column fills. One code space for the three categories; a column of another
// category than its loop's is ignored.
enum class Column : std::uint8_t {
  ignored,
  // _atom_site, matched with exact case
  atom_id, type_symbol, label_atom_id, auth_atom_id, label_alt_id, alt_id, label_comp_id, label_asym_id,
  auth_asym_id, label_seq_id, auth_seq_id, cartn_x, cartn_y, cartn_z, occupancy, b_iso, model_num,
  formal_charge,
  // _struct_conn, matched in any ASCII case
  conn_type_id, pdbx_dist_value,
  ptnr1_label_atom_id, ptnr1_label_comp_id, ptnr1_label_asym_id, ptnr1_auth_atom_id, ptnr1_auth_asym_id,
  ptnr1_label_seq_id, ptnr1_auth_seq_id,
  ptnr2_label_atom_id, ptnr2_label_comp_id, ptnr2_label_asym_id, ptnr2_auth_atom_id, ptnr2_auth_asym_id,
  ptnr2_label_seq_id, ptnr2_auth_seq_id,
  // _chem_comp_bond, matched in any ASCII case
  comp_id, comp_id_1, comp_id_2, atom_id_1, atom_id_2, value_order,
};

// The category a column belongs to (ignored for Column::ignored).
LoopKind column_kind(Column column) noexcept;

// What one loop tag says about its loop: the prefixes compared after ASCII lower-casing, and the
// column it names. Never allocates.
struct TagClass {
  Column column;
  bool atom_site;       // begins with "_atom_site."
  bool struct_conn;     // begins with "_struct_conn."
  bool chem_comp_bond;  // begins with "_chem_comp_bond."
};
TagClass classify_tag(std::string_view tag) noexcept;

// The conn-type map: the first of HYD, ION, METAL, COVAL found anywhere in the upper-cased text.
std::optional<BondType> conn_type_bond_type(std::string_view text) noexcept;
// The value-order map: the trimmed, upper-cased text equal to one of the known orders.
std::optional<BondType> value_order_bond_type(std::string_view text) noexcept;

// `s` with ASCII a-z upper-cased, stored like TextArena::store. May throw std::bad_alloc.
void store_upper(Text& target, TextArena& arena, std::string_view s);

// Stores the value of `column` into the struct-conn or chem-comp-bond row `bond`, replacing what an
// earlier column of the row stored there, and updates its bond type; a value of another category's
// column is ignored. Returns the failure of a number that does not convert. May throw std::bad_alloc.
std::optional<ValueFailure> fill_bond_value(BondRecord& bond, Column column, std::string_view token);

// The last step of a complete bond row: its value order, if any, decides the type once more.
void finish_bond_row(BondRecord& bond) noexcept;

// A reader error without detail or source, as every step after loading makes them.
inline ReaderError reader_error(ReaderErrorKind kind, std::string message) {
  return ReaderError{std::move(message), std::nullopt, std::nullopt, kind, std::nullopt};
}

// The single items the reader keeps, as views into the text until the Structure is made.
struct SingleItems {
  std::optional<std::string_view> entry_id;  // also set by data block headers
  std::optional<std::string_view> title;
  std::optional<std::string_view> space_group;
  std::array<std::optional<double>, 6> cell;  // a, b, c, alpha, beta, gamma

  // Takes a tag (exact case) and its value; tags the reader does not keep are ignored. Fails on a
  // cell value that is null or not a number. Allocates only for an error's message.
  std::optional<ReaderError> take(std::string_view tag, std::string_view value);

  // Sets `cell` from the six values once the text is read: absent when none was given, else all six
  // must be there with positive lengths and angles strictly between 0 and 180 (NaN fails).
  std::optional<ReaderError> finish_cell(std::optional<UnitCell>& cell) const;
};

}  // namespace quarn::detail
