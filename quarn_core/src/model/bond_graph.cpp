#include "quarn/bond_graph.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <unordered_map>

#include "caches.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/memory.hpp"
#include "quarn/structure.hpp"

namespace quarn {

std::string_view bond_type_text(BondType type) noexcept {
  static constexpr std::array<std::string_view, 9> kTexts = {
      "covalent_single",   "covalent_double", "covalent_triple", "covalent_aromatic", "covalent_unknown",
      "ionic",             "hydrogen_bond",   "metallic",        "unknown",
  };
  const auto code = static_cast<std::size_t>(type);
  return code < kTexts.size() ? kTexts[code] : std::string_view{};
}

BondGraph BondGraph::from_bonds(std::uint64_t atom_count, std::span<const Bond> bonds) {
  BondGraph empty;
  empty.offsets_.assign(atom_count + 1, 0);
  return empty.with_appended(bonds);
}

BondGraph BondGraph::with_appended(std::span<const Bond> extra) const {
  return with_appended_each([&](auto&& add) {
    for (const Bond& b : extra) add(b);
  });
}

namespace {

bool same_folded(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool text_matches(const std::optional<std::string>& want, const Text& have) noexcept {
  return !want || (have.present() && same_folded(*want, have.view()));
}

bool int_matches(const std::optional<std::int32_t>& want, std::optional<std::int32_t> have) noexcept {
  return !want || want == have;
}

bool selector_matches(const AtomSelector& sel, const AtomSite& atom) noexcept {
  return text_matches(sel.label_atom_id, atom.label_atom_id) && text_matches(sel.label_comp_id, atom.label_comp_id) &&
         text_matches(sel.label_asym_id, atom.label_asym_id) && text_matches(sel.auth_atom_id, atom.auth_atom_id) &&
         text_matches(sel.auth_asym_id, atom.auth_asym_id) && int_matches(sel.label_seq_id, atom.label_seq_id()) &&
         int_matches(sel.auth_seq_id, atom.auth_seq_id());
}

// A component bond names atoms of one residue, so its second partner is looked for only there.
bool same_residue(const AtomSite& a, const AtomSite& b) noexcept {
  return a.model_num() == b.model_num() && chain_of(a) == chain_of(b) && seq_of(a) == seq_of(b) &&
         a.label_comp_id == b.label_comp_id;
}

constexpr std::uint64_t kNone = ~std::uint64_t{0};

// Resolves every record in order: partner1 to the first atom it matches, partner2 to the first atom
// it matches (within partner1's residue for a component row). first_match(selector, accept) returns
// the lowest index of an atom that the selector matches and accept(index) admits, or kNone.
template <class FirstMatch>
BondGraph resolve_records(const Structure& s, FirstMatch first_match) {
  const auto& atoms = s.atoms;
  std::vector<BondGraph::Bond> resolved;
  resolved.reserve(s.bonds.size());
  for (const BondRecord& rec : s.bonds) {
    const std::uint64_t i = first_match(rec.partner1, [](std::uint64_t) { return true; });
    if (i == kNone) continue;
    const std::uint64_t j = first_match(rec.partner2, [&](std::uint64_t k) {
      return !rec.from_chem_comp || same_residue(atoms[i], atoms[k]);
    });
    if (j == kNone) continue;
    resolved.push_back({i, j, rec.bond_type});
  }
  return BondGraph::from_bonds(atoms.size(), resolved);
}

std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return out;
}

// The atoms of each name that some bond row asks for, in index order, by label_atom_id and by
// auth_atom_id (names folded to lower case). Why: every match of a selector that gives a name is an
// atom of that name, so one pass over the atoms serves every row, where a scan per row costs rows
// times atoms (a second for a million atoms and the few hundred component rows of a usual entry).
struct AtomsByName {
  std::unordered_map<std::string, std::vector<std::uint64_t>> label, auth;

  explicit AtomsByName(const Structure& s) {
    for (const BondRecord& rec : s.bonds) {
      for (const AtomSelector* sel : {&rec.partner1, &rec.partner2}) {
        if (sel->label_atom_id) {
          label.try_emplace(folded(*sel->label_atom_id));
        } else if (sel->auth_atom_id) {
          auth.try_emplace(folded(*sel->auth_atom_id));
        }
      }
    }
    for (std::uint64_t k = 0; k < s.atoms.size(); ++k) {
      const AtomSite& atom = s.atoms[k];
      if (!label.empty() && atom.label_atom_id.present()) {
        if (const auto it = label.find(folded(atom.label_atom_id.view())); it != label.end()) it->second.push_back(k);
      }
      if (!auth.empty() && atom.auth_atom_id.present()) {
        if (const auto it = auth.find(folded(atom.auth_atom_id.view())); it != auth.end()) it->second.push_back(k);
      }
    }
  }

  // The atoms among which every match of `sel` lies; null when it names no atom (then all atoms).
  const std::vector<std::uint64_t>* candidates(const AtomSelector& sel) const {
    if (sel.label_atom_id) return &label.at(folded(*sel.label_atom_id));
    if (sel.auth_atom_id) return &auth.at(folded(*sel.auth_atom_id));
    return nullptr;
  }
};

BondGraph build_bond_graph(const Structure& s) {
  const auto& atoms = s.atoms;
  // A few rows over a small structure are resolved as quickly by scanning.
  if (s.bonds.size() * atoms.size() < (std::uint64_t{1} << 22)) return exhaustive::bond_graph(s);
  const AtomsByName names(s);
  return resolve_records(s, [&](const AtomSelector& sel, auto&& accept) {
    if (const std::vector<std::uint64_t>* list = names.candidates(sel)) {
      for (const std::uint64_t k : *list) {
        if (selector_matches(sel, atoms[k]) && accept(k)) return k;
      }
      return kNone;
    }
    for (std::uint64_t k = 0; k < atoms.size(); ++k) {
      if (selector_matches(sel, atoms[k]) && accept(k)) return k;
    }
    return kNone;
  });
}

}  // namespace

BondGraph exhaustive::bond_graph(const Structure& s) {
  const auto& atoms = s.atoms;
  return resolve_records(s, [&](const AtomSelector& sel, auto&& accept) {
    for (std::uint64_t k = 0; k < atoms.size(); ++k) {
      if (selector_matches(sel, atoms[k]) && accept(k)) return k;
    }
    return kNone;
  });
}

const BondGraph& Structure::bond_graph() const {
  detail::StructureCaches& c = caches();
  std::call_once(c.bond_graph_once, [&] { c.bond_graph = build_bond_graph(*this); });
  return c.bond_graph;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> Structure::explicit_bonds() const {
  const BondGraph& g = bond_graph();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  out.reserve(g.entry_count() / 2);
  for (std::uint64_t i = 0; i < g.size(); ++i) {
    for (const BondEntry& e : g.neighbors(i)) {
      if (i < e.neighbor) out.emplace_back(i, e.neighbor);
    }
  }
  return out;
}

}  // namespace quarn
