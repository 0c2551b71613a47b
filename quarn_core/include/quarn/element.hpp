// The compiled-in element table: radii and electronegativity of the 18 elements the analyses know.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "quarn/structure.hpp"

namespace quarn {

struct ElementInfo {
  std::string_view symbol;                 // one or two upper-case ASCII letters
  std::uint32_t atomic_number;             // 1 for hydrogen
  std::optional<double> covalent_radius;   // ångström
  std::optional<double> vdw_radius;        // ångström; no query reads it
  std::optional<double> electronegativity; // Pauling scale
};

// The row whose symbol equals `text` trimmed of Unicode white space, ignoring ASCII case; nothing
// else is normalised (FE2, O1- and CAL match nothing). Returns a pointer into static storage.
// Never allocates.
const ElementInfo* lookup_element(std::string_view text) noexcept;

// The first of type_symbol, label_atom_id, auth_atom_id (each only when present) that names a row.
const ElementInfo* element_of(const AtomSite& atom) noexcept;

}  // namespace quarn
