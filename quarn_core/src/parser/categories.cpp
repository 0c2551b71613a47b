#include "categories.hpp"

#include <string>

#include "quarn/white_space.hpp"

namespace quarn::detail {

namespace {

char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// `s` equals `lower_name` (all lower case) when ASCII letters of `s` are lower-cased.
bool equals_lowered(std::string_view s, std::string_view lower_name) noexcept {
  if (s.size() != lower_name.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (ascii_lower(s[i]) != lower_name[i]) return false;
  }
  return true;
}

bool starts_lowered(std::string_view s, std::string_view lower_prefix) noexcept {
  return s.size() >= lower_prefix.size() && equals_lowered(s.substr(0, lower_prefix.size()), lower_prefix);
}

struct Named {
  std::string_view name;
  Column column;
};

constexpr std::string_view kAtomSite = "_atom_site.";
constexpr Named kAtomSiteColumns[] = {
    {"id", Column::atom_id},
    {"type_symbol", Column::type_symbol},
    {"label_atom_id", Column::label_atom_id},
    {"auth_atom_id", Column::auth_atom_id},
    {"label_alt_id", Column::label_alt_id},
    {"alt_id", Column::alt_id},
    {"label_comp_id", Column::label_comp_id},
    {"label_asym_id", Column::label_asym_id},
    {"auth_asym_id", Column::auth_asym_id},
    {"label_seq_id", Column::label_seq_id},
    {"auth_seq_id", Column::auth_seq_id},
    {"Cartn_x", Column::cartn_x},
    {"Cartn_y", Column::cartn_y},
    {"Cartn_z", Column::cartn_z},
    {"occupancy", Column::occupancy},
    {"B_iso_or_equiv", Column::b_iso},
    {"pdbx_PDB_model_num", Column::model_num},
    {"pdbx_formal_charge", Column::formal_charge},
};

constexpr std::string_view kStructConn = "_struct_conn.";
constexpr Named kStructConnColumns[] = {
    {"conn_type_id", Column::conn_type_id},
    {"pdbx_dist_value", Column::pdbx_dist_value},
    {"ptnr1_label_atom_id", Column::ptnr1_label_atom_id},
    {"ptnr1_label_comp_id", Column::ptnr1_label_comp_id},
    {"ptnr1_label_asym_id", Column::ptnr1_label_asym_id},
    {"ptnr1_auth_atom_id", Column::ptnr1_auth_atom_id},
    {"ptnr1_auth_asym_id", Column::ptnr1_auth_asym_id},
    {"ptnr1_label_seq_id", Column::ptnr1_label_seq_id},
    {"ptnr1_auth_seq_id", Column::ptnr1_auth_seq_id},
    {"ptnr2_label_atom_id", Column::ptnr2_label_atom_id},
    {"ptnr2_label_comp_id", Column::ptnr2_label_comp_id},
    {"ptnr2_label_asym_id", Column::ptnr2_label_asym_id},
    {"ptnr2_auth_atom_id", Column::ptnr2_auth_atom_id},
    {"ptnr2_auth_asym_id", Column::ptnr2_auth_asym_id},
    {"ptnr2_label_seq_id", Column::ptnr2_label_seq_id},
    {"ptnr2_auth_seq_id", Column::ptnr2_auth_seq_id},
};

constexpr std::string_view kChemCompBond = "_chem_comp_bond.";
constexpr Named kChemCompBondColumns[] = {
    {"comp_id", Column::comp_id},       {"comp_id_1", Column::comp_id_1}, {"comp_id_2", Column::comp_id_2},
    {"atom_id_1", Column::atom_id_1},   {"atom_id_2", Column::atom_id_2}, {"value_order", Column::value_order},
};

bool contains_upper(std::string_view hay, std::string_view upper_needle) noexcept {
  if (hay.size() < upper_needle.size()) return false;
  for (std::size_t i = 0; i + upper_needle.size() <= hay.size(); ++i) {
    std::size_t j = 0;
    while (j < upper_needle.size() && ascii_upper(hay[i + j]) == upper_needle[j]) ++j;
    if (j == upper_needle.size()) return true;
  }
  return false;
}

// Cell items in UnitCell order.
constexpr std::array<std::string_view, 6> kCellTags = {
    "_cell.length_a", "_cell.length_b", "_cell.length_c", "_cell.angle_alpha", "_cell.angle_beta", "_cell.angle_gamma",
};

std::optional<std::string> owned_text(std::string_view token) {
  const auto v = text_value(token);
  return v ? std::optional<std::string>(std::in_place, *v) : std::nullopt;
}

std::optional<ValueFailure> set_sequence(std::optional<std::int32_t>& target, std::string_view token) {
  const auto text = text_value(token);
  if (!text) {
    target.reset();
    return std::nullopt;
  }
  std::int32_t v;
  if (!parse_int32(*text, &v)) return ValueFailure{ValueFailure::Form::integer, *text};
  target = v;
  return std::nullopt;
}

// A map result that is a type sets the row's type; no result leaves it as it was.
void type_from(std::optional<BondType>& target, std::optional<BondType> mapped) noexcept {
  if (mapped) target = mapped;
}

bool equals_upper(std::string_view s, std::string_view upper_name) noexcept {
  if (s.size() != upper_name.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (ascii_upper(s[i]) != upper_name[i]) return false;
  }
  return true;
}

}  // namespace

LoopKind column_kind(Column column) noexcept {
  if (column == Column::ignored) return LoopKind::ignored;
  if (column <= Column::formal_charge) return LoopKind::atom_site;
  if (column <= Column::ptnr2_auth_seq_id) return LoopKind::struct_conn;
  return LoopKind::chem_comp_bond;
}

TagClass classify_tag(std::string_view tag) noexcept {
  TagClass c{Column::ignored, starts_lowered(tag, kAtomSite), starts_lowered(tag, kStructConn),
             starts_lowered(tag, kChemCompBond)};
  if (tag.starts_with(kAtomSite)) {
    const std::string_view rest = tag.substr(kAtomSite.size());
    for (const Named& n : kAtomSiteColumns) {
      if (rest == n.name) c.column = n.column;
    }
  } else if (c.struct_conn) {
    const std::string_view rest = tag.substr(kStructConn.size());
    for (const Named& n : kStructConnColumns) {
      if (equals_lowered(rest, n.name)) c.column = n.column;
    }
  } else if (c.chem_comp_bond) {
    const std::string_view rest = tag.substr(kChemCompBond.size());
    for (const Named& n : kChemCompBondColumns) {
      if (equals_lowered(rest, n.name)) c.column = n.column;
    }
  }
  return c;
}

std::optional<BondType> conn_type_bond_type(std::string_view text) noexcept {
  const std::string_view t = trim_white_space(text);
  if (contains_upper(t, "HYD")) return BondType::hydrogen_bond;
  if (contains_upper(t, "ION")) return BondType::ionic;
  if (contains_upper(t, "METAL")) return BondType::metallic;
  if (contains_upper(t, "COVAL")) return BondType::covalent_unknown;
  return std::nullopt;
}

std::optional<BondType> value_order_bond_type(std::string_view text) noexcept {
  struct Order {
    std::string_view name;
    BondType type;
  };
  static constexpr Order kOrders[] = {
      {"1", BondType::covalent_single},        {"SING", BondType::covalent_single},
      {"SINGLE", BondType::covalent_single},   {"2", BondType::covalent_double},
      {"DOUB", BondType::covalent_double},     {"DOUBLE", BondType::covalent_double},
      {"PI", BondType::covalent_double},       {"3", BondType::covalent_triple},
      {"TRIP", BondType::covalent_triple},     {"TRIPLE", BondType::covalent_triple},
      {"AROM", BondType::covalent_aromatic},   {"AROMATIC", BondType::covalent_aromatic},
      {"DELO", BondType::covalent_aromatic},   {"DELOCALIZED", BondType::covalent_aromatic},
      {"4", BondType::covalent_unknown},       {"QUAD", BondType::covalent_unknown},
      {"QUADRUPLE", BondType::covalent_unknown}, {"PARTIAL", BondType::covalent_unknown},
      {"ION", BondType::ionic},                {"IONIC", BondType::ionic},
      {"METAL", BondType::metallic},           {"COORD", BondType::metallic},
  };
  const std::string_view t = trim_white_space(text);
  for (const Order& o : kOrders) {
    if (equals_upper(t, o.name)) return o.type;
  }
  return std::nullopt;
}

void store_upper(Text& target, TextArena& arena, std::string_view s) {
  char small[64];
  if (s.size() <= sizeof small) {
    for (std::size_t i = 0; i < s.size(); ++i) small[i] = ascii_upper(s[i]);
    store_text(target, arena, std::string_view(small, s.size()));
    return;
  }
  std::string upper(s);
  for (char& ch : upper) ch = ascii_upper(ch);
  target = arena.store(upper);
}

std::optional<ValueFailure> fill_bond_value(BondRecord& bond, Column column, std::string_view token) {
  AtomSelector& p1 = bond.partner1;
  AtomSelector& p2 = bond.partner2;
  switch (column) {
    case Column::conn_type_id:
      bond.conn_type = owned_text(token);
      if (bond.conn_type) type_from(bond.bond_type, conn_type_bond_type(*bond.conn_type));
      break;
    case Column::pdbx_dist_value: {
      const auto text = text_value(token);
      double v;
      if (!text) {
        bond.distance.reset();
      } else if (parse_decimal(*text, &v)) {
        bond.distance = v;
      } else {
        return ValueFailure{ValueFailure::Form::numeric_literal, cut_at_parenthesis(*text)};
      }
      break;
    }
    case Column::ptnr1_label_atom_id: p1.label_atom_id = owned_text(token); break;
    case Column::ptnr1_label_comp_id: p1.label_comp_id = owned_text(token); break;
    case Column::ptnr1_label_asym_id: p1.label_asym_id = owned_text(token); break;
    case Column::ptnr1_auth_atom_id: p1.auth_atom_id = owned_text(token); break;
    case Column::ptnr1_auth_asym_id: p1.auth_asym_id = owned_text(token); break;
    case Column::ptnr1_label_seq_id: return set_sequence(p1.label_seq_id, token);
    case Column::ptnr1_auth_seq_id: return set_sequence(p1.auth_seq_id, token);
    case Column::ptnr2_label_atom_id: p2.label_atom_id = owned_text(token); break;
    case Column::ptnr2_label_comp_id: p2.label_comp_id = owned_text(token); break;
    case Column::ptnr2_label_asym_id: p2.label_asym_id = owned_text(token); break;
    case Column::ptnr2_auth_atom_id: p2.auth_atom_id = owned_text(token); break;
    case Column::ptnr2_auth_asym_id: p2.auth_asym_id = owned_text(token); break;
    case Column::ptnr2_label_seq_id: return set_sequence(p2.label_seq_id, token);
    case Column::ptnr2_auth_seq_id: return set_sequence(p2.auth_seq_id, token);
    case Column::comp_id:
      p1.label_comp_id = owned_text(token);
      p2.label_comp_id = p1.label_comp_id;
      break;
    case Column::comp_id_1: p1.label_comp_id = owned_text(token); break;
    case Column::comp_id_2: p2.label_comp_id = owned_text(token); break;
    case Column::atom_id_1: p1.label_atom_id = owned_text(token); break;
    case Column::atom_id_2: p2.label_atom_id = owned_text(token); break;
    case Column::value_order:
      bond.value_order = owned_text(token);
      if (bond.value_order) type_from(bond.bond_type, value_order_bond_type(*bond.value_order));
      break;
    default:
      break;
  }
  return std::nullopt;
}

void finish_bond_row(BondRecord& bond) noexcept {
  if (bond.value_order) type_from(bond.bond_type, value_order_bond_type(*bond.value_order));
}

std::optional<ReaderError> SingleItems::take(std::string_view tag, std::string_view value) {
  if (tag == "_entry.id") {
    entry_id = text_value(value);
  } else if (tag == "_struct.title") {
    title = text_value(value);
  } else if (tag == "_symmetry.space_group_name_H-M") {
    space_group = text_value(value);
  } else if (tag.starts_with("_cell.")) {
    for (std::size_t k = 0; k < kCellTags.size(); ++k) {
      if (tag != kCellTags[k]) continue;
      const auto text = text_value(value);
      if (!text) {
        return reader_error(ReaderErrorKind::MissingNumeric, "required numeric value missing for " + std::string(tag));
      }
      double v;
      if (!parse_decimal(*text, &v)) {
        std::string message = "invalid float '";
        message.append(cut_at_parenthesis(*text)).append("' for ").append(tag);
        return reader_error(ReaderErrorKind::InvalidNumeric, std::move(message));
      }
      cell[k] = v;
      break;
    }
  }
  return std::nullopt;
}

std::optional<ReaderError> SingleItems::finish_cell(std::optional<UnitCell>& out) const {
  std::size_t present = 0;
  for (const auto& v : cell) present += v.has_value();
  if (present == 0) return std::nullopt;
  if (present < cell.size()) {
    return reader_error(ReaderErrorKind::MissingNumeric, "partial unit cell definition encountered");
  }
  // Written as "not inside" so that a NaN fails.
  for (std::size_t k = 0; k < 3; ++k) {
    if (!(*cell[k] > 0)) return reader_error(ReaderErrorKind::InvalidNumeric, "unit cell lengths must be positive");
  }
  for (std::size_t k = 3; k < 6; ++k) {
    if (!(*cell[k] > 0 && *cell[k] < 180)) {
      return reader_error(ReaderErrorKind::InvalidNumeric, "unit cell angles must be within (0, 180)");
    }
  }
  out = UnitCell{*cell[0], *cell[1], *cell[2], *cell[3], *cell[4], *cell[5]};
  return std::nullopt;
}

}  // namespace quarn::detail
