// Structures assembled in code for the analysis tests: atoms, a cell and bond rows, no file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quarn/structure.hpp"

namespace quarn::testing {

// Each atom call starts a new atom; the setters after it fill that atom.
class StructureBuilder {
 public:
  StructureBuilder& cell(double a, double b, double c, double alpha = 90, double beta = 90, double gamma = 90) {
    s_.cell = UnitCell{a, b, c, alpha, beta, gamma};
    return *this;
  }

  // An atom at p; an empty type_symbol leaves it absent.
  StructureBuilder& atom(std::string_view type_symbol, Vec3 p) {
    atom_without_position(type_symbol);
    AtomSite& a = last();
    a.x_value = p.x;
    a.y_value = p.y;
    a.z_value = p.z;
    a.present |= AtomSite::kPosition;
    return *this;
  }

  StructureBuilder& atom_without_position(std::string_view type_symbol) {
    AtomSite a;
    if (!type_symbol.empty()) a.type_symbol = s_.arena.store(type_symbol);
    s_.atoms.push_back(a);
    return *this;
  }

  StructureBuilder& name(std::string_view label_atom_id) {
    last().label_atom_id = s_.arena.store(label_atom_id);
    return *this;
  }

  StructureBuilder& residue(std::string_view comp, std::string_view chain, std::optional<std::int32_t> seq) {
    AtomSite& a = last();
    a.label_comp_id = s_.arena.store(comp);
    a.label_asym_id = s_.arena.store(chain);
    if (seq) {
      a.label_seq_id_value = *seq;
      a.present |= AtomSite::kLabelSeqId;
    }
    return *this;
  }

  // Author chain and sequence number, the fallbacks of chain_of and seq_of.
  StructureBuilder& auth(std::string_view chain, std::int32_t seq) {
    AtomSite& a = last();
    a.auth_asym_id = s_.arena.store(chain);
    a.auth_seq_id_value = seq;
    a.present |= AtomSite::kAuthSeqId;
    return *this;
  }

  StructureBuilder& comp(std::string_view label_comp_id) {
    last().label_comp_id = s_.arena.store(label_comp_id);
    return *this;
  }

  StructureBuilder& model(std::int32_t n) {
    last().model_num_value = n;
    last().present |= AtomSite::kModelNum;
    return *this;
  }

  StructureBuilder& alt(std::string_view id) {
    last().label_alt_id = s_.arena.store(id);
    return *this;
  }

  StructureBuilder& struct_conn(AtomSelector p1, AtomSelector p2, std::optional<BondType> type) {
    s_.bonds.push_back(BondRecord{std::nullopt, std::move(p1), std::move(p2), std::nullopt, std::nullopt, false, type});
    return *this;
  }

  // A _chem_comp_bond row: both partners name only the component and an atom.
  StructureBuilder& chem_comp_bond(std::string_view comp, std::string_view atom1, std::string_view atom2,
                                   std::optional<BondType> type) {
    AtomSelector p1, p2;
    p1.label_comp_id = p2.label_comp_id = std::string(comp);
    p1.label_atom_id = std::string(atom1);
    p2.label_atom_id = std::string(atom2);
    s_.bonds.push_back(BondRecord{std::nullopt, std::move(p1), std::move(p2), std::nullopt, std::nullopt, true, type});
    return *this;
  }

  AtomSite& last() { return s_.atoms.back(); }
  Structure take() { return std::move(s_); }

 private:
  Structure s_;
};

// Selector of one atom by label chain, sequence number and atom name.
inline AtomSelector label(std::string_view chain, std::int32_t seq, std::string_view atom_name) {
  AtomSelector s;
  s.label_asym_id = std::string(chain);
  s.label_seq_id = seq;
  s.label_atom_id = std::string(atom_name);
  return s;
}

}  // namespace quarn::testing
