#include "quarn/bond_graph.hpp"

#include <algorithm>
#include <array>
#include <mutex>

#include "caches.hpp"
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
  const std::uint64_t n = size();
  BondGraph g;
  g.offsets_.assign(n + 1, 0);
  for (const Bond& b : extra) {
    ++g.offsets_[b.first + 1];
    ++g.offsets_[b.second + 1];
  }
  for (std::uint64_t i = 0; i < n; ++i) g.offsets_[i + 1] += g.offsets_[i] + (offsets_[i + 1] - offsets_[i]);
  g.entries_.resize(g.offsets_[n]);
  // Filling in bond order with a moving cursor per list keeps each list in insertion order.
  std::vector<std::uint64_t> cursor(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto own = neighbors(i);
    std::copy(own.begin(), own.end(), g.entries_.begin() + static_cast<std::ptrdiff_t>(g.offsets_[i]));
    cursor[i] = g.offsets_[i] + own.size();
  }
  for (const Bond& b : extra) {
    g.entries_[cursor[b.first]++] = BondEntry{b.second, b.bond_type};
    g.entries_[cursor[b.second]++] = BondEntry{b.first, b.bond_type};
  }
  return g;
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

BondGraph build_bond_graph(const Structure& s) {
  const auto& atoms = s.atoms;
  std::vector<BondGraph::Bond> resolved;
  resolved.reserve(s.bonds.size());
  for (const BondRecord& rec : s.bonds) {
    std::uint64_t i = kNone;
    for (std::uint64_t k = 0; k < atoms.size(); ++k) {
      if (selector_matches(rec.partner1, atoms[k])) {
        i = k;
        break;
      }
    }
    if (i == kNone) continue;
    std::uint64_t j = kNone;
    for (std::uint64_t k = 0; k < atoms.size(); ++k) {
      if (selector_matches(rec.partner2, atoms[k]) && (!rec.from_chem_comp || same_residue(atoms[i], atoms[k]))) {
        j = k;
        break;
      }
    }
    if (j == kNone) continue;
    resolved.push_back({i, j, rec.bond_type});
  }
  return BondGraph::from_bonds(atoms.size(), resolved);
}

}  // namespace

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
