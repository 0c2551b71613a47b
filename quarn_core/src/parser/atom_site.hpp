// Atom-site rows: one loop value converted into its field of the AtomSite being filled.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>

#include "categories.hpp"
#include "quarn/atom_list.hpp"
#include "quarn/structure.hpp"
#include "values.hpp"

namespace quarn::detail {

namespace atom_site {

// Why forced inlining (here and below): left to itself the compiler keeps these out of line, being
// called from a dozen cases of one switch, and the calls cost a tenth of the whole parse.
[[gnu::always_inline]] inline void set_text(Text& target, TextArena& arena, std::string_view token) {
  const auto v = text_value(token);
  if (v) {
    store_text(target, arena, *v);
  } else {
    target.set_word(0);
  }
}

// A double (decimal) or 32-bit integer field with its presence bit.
template <class Number>
[[gnu::always_inline]] inline bool set_number(AtomSite& atom, AtomSite::Field field, Number& target, std::string_view token,
                       ValueFailure& failure) noexcept {
  // Why the plain forms first: nearly every value is one, and a plain form is neither a null nor
  // padded with White_Space, so trimming and the null test would find nothing to do.
  bool plain;
  if constexpr (std::is_same_v<Number, double>) {
    plain = parse_short_decimal(token, &target);
  } else {
    plain = parse_int32(token, &target);
  }
  if (plain) {
    atom.present = static_cast<std::uint16_t>(atom.present | field);
    return true;
  }
  const auto text = text_value(token);
  if (!text) {
    atom.present = static_cast<std::uint16_t>(atom.present & ~field);
    return true;
  }
  if constexpr (std::is_same_v<Number, double>) {
    if (!parse_decimal(*text, &target)) {
      failure = ValueFailure{ValueFailure::Form::numeric_literal, cut_at_parenthesis(*text)};
      return false;
    }
  } else {
    if (!parse_int32(*text, &target)) {
      failure = ValueFailure{ValueFailure::Form::integer_literal, *text};
      return false;
    }
  }
  atom.present = static_cast<std::uint16_t>(atom.present | field);
  return true;
}

}  // namespace atom_site

// Stores the value of `column` into `atom`, replacing what an earlier column of the row stored there
// (an absent value included); texts too long to sit inline go to `arena`. A value of another
// category's column is ignored. A number that does not convert leaves its field as it was, fills
// `failure` and gives false. May throw std::bad_alloc.
// Why a flag and an out-parameter rather than an optional failure: this runs once per atom value, and
// an optional of that size is returned through memory.
[[gnu::always_inline]] inline bool fill_atom_value(AtomSite& atom, TextArena& arena, Column column, std::string_view token,
                            ValueFailure& failure) {
  using atom_site::set_number;
  using atom_site::set_text;
  switch (column) {
    case Column::atom_id: set_text(atom.id, arena, token); break;
    case Column::type_symbol: {
      const auto v = text_value(token);
      if (v) {
        store_upper(atom.type_symbol, arena, *v);
      } else {
        atom.type_symbol.set_word(0);
      }
      break;
    }
    case Column::label_atom_id: set_text(atom.label_atom_id, arena, token); break;
    case Column::auth_atom_id: set_text(atom.auth_atom_id, arena, token); break;
    case Column::label_alt_id:
    case Column::alt_id: set_text(atom.label_alt_id, arena, token); break;
    case Column::label_comp_id: set_text(atom.label_comp_id, arena, token); break;
    case Column::label_asym_id: set_text(atom.label_asym_id, arena, token); break;
    case Column::auth_asym_id: set_text(atom.auth_asym_id, arena, token); break;
    case Column::label_seq_id: return set_number(atom, AtomSite::kLabelSeqId, atom.label_seq_id_value, token, failure);
    case Column::auth_seq_id: return set_number(atom, AtomSite::kAuthSeqId, atom.auth_seq_id_value, token, failure);
    case Column::cartn_x: return set_number(atom, AtomSite::kX, atom.x_value, token, failure);
    case Column::cartn_y: return set_number(atom, AtomSite::kY, atom.y_value, token, failure);
    case Column::cartn_z: return set_number(atom, AtomSite::kZ, atom.z_value, token, failure);
    case Column::occupancy: return set_number(atom, AtomSite::kOccupancy, atom.occupancy_value, token, failure);
    case Column::b_iso: return set_number(atom, AtomSite::kBFactor, atom.b_factor_value, token, failure);
    case Column::model_num: return set_number(atom, AtomSite::kModelNum, atom.model_num_value, token, failure);
    case Column::formal_charge: return set_number(atom, AtomSite::kFormalCharge, atom.formal_charge_value, token, failure);
    default: break;
  }
  return true;
}

// The row step of atom-site loops (see take_values): a row's first value starts a new atom.
struct AtomRows {
  BlockList<AtomSite>& atoms;
  TextArena& arena;
  AtomSite* atom;  // the row being filled, in place in `atoms`

  // Forced inline: the row step is most of the parse, and a call per value costs a tenth of it.
  [[gnu::always_inline]] bool operator()(Column column, std::string_view token, std::size_t index,
                                         ValueFailure& failure) {
    if (index == 0) {
      // Copied from a constant: a fresh temporary is zeroed with a slow string store on every row.
      static constexpr AtomSite kEmptyAtom{};
      atoms.push_back(kEmptyAtom);
      atom = &atoms.back();
    }
    return fill_atom_value(*atom, arena, column, token, failure);
  }
};

}  // namespace quarn::detail
