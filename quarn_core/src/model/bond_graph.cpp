#include "quarn/bond_graph.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <bit>
#include <optional>
#include <span>
#include <mutex>
#include <string>
#include <unordered_map>

#include "caches.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/memory.hpp"
#include "quarn/pair_search.hpp"
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
  // Straight into one graph: an empty graph of the atoms to append to would be one more array of
  // offsets to allocate and read.
  return appended(
      atom_count, 0, [](std::uint64_t) { return std::span<const BondEntry>(); },
      [&](auto&& add) {
        for (const Bond& b : bonds) add(b);
      });
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

// A name of up to seven bytes as one word: its bytes folded to lower case, its length in the top
// byte. Nothing for a longer name.
std::optional<std::uint64_t> short_key(std::string_view name) noexcept {
  if (name.size() > 7) return std::nullopt;
  std::uint64_t key = std::uint64_t{name.size()} << 56;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    key |= std::uint64_t{c} << (8 * i);
  }
  return key;
}

// A set of names, folded to lower case, each with a number. Short names go through an open-addressing
// table of their words: a string and a general hash per atom cost more than the rest of the build.
class NameLists {
 public:
  // Adds `name` to the set; every name comes before seal(), which comes before the atoms.
  void want(std::string_view name) {
    if (const auto key = short_key(name)) {
      keys_.push_back(*key);
    } else {
      long_.try_emplace(folded(name), 0);
    }
  }
  // Lays out the lists and the table once every name is in.
  void seal() {
    std::sort(keys_.begin(), keys_.end());
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
    std::size_t next = keys_.size();
    for (auto& [name, list] : long_) list = next++;
    std::size_t size = 16;
    while (size < 2 * keys_.size()) size *= 2;
    shift_ = 64 - std::countr_zero(size);
    table_.assign(size, kAbsent);
    for (std::size_t k = 0; k < keys_.size(); ++k) {
      std::size_t at = slot(keys_[k]);
      while (table_[at] != kAbsent) at = (at + 1) & (size - 1);
      table_[at] = static_cast<std::uint32_t>(k);
    }
  }
  // How many names the set holds; their lists are numbered from 0.
  std::size_t size() const noexcept { return keys_.size() + long_.size(); }
  // The number of `name`'s list, kAbsent when the name is not in the set.
  std::uint32_t id(std::string_view name) const {
    if (const auto key = short_key(name)) return find_short(*key);
    const auto it = long_.find(folded(name));
    return it == long_.end() ? kAbsent : static_cast<std::uint32_t>(it->second);
  }
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

 private:
  std::size_t slot(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> shift_);
  }
  // The index in keys_ (and lists_) of `key`, kAbsent when it is not there.
  std::uint32_t find_short(std::uint64_t key) const noexcept {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t at = slot(key);; at = (at + 1) & mask) {
      const std::uint32_t k = table_[at];
      if (k == kAbsent || keys_[k] == key) return k;
    }
  }

  std::vector<std::uint64_t> keys_;        // the short names' words, ascending; list k is theirs
  std::vector<std::uint32_t> table_;       // indices into keys_, kAbsent where free
  int shift_ = 60;
  std::unordered_map<std::string, std::size_t> long_;  // the long names' lists, after the short ones
};

// The atoms of each name that some bond row asks for, in index order, by label_atom_id and by
// auth_atom_id (names folded to lower case). Why: every match of a selector that gives a name is an
// atom of that name, so one pass over the atoms serves every row, where a scan per row costs rows
// times atoms (a second for a million atoms and the few hundred component rows of a usual entry).
class AtomsByName {
 public:
  explicit AtomsByName(const Structure& s) {
    for (const BondRecord& rec : s.bonds) {
      for (const AtomSelector* sel : {&rec.partner1, &rec.partner2}) {
        if (sel->label_atom_id) {
          label_.want(*sel->label_atom_id);
        } else if (sel->auth_atom_id) {
          auth_.want(*sel->auth_atom_id);
        }
      }
    }
    label_.seal();
    auth_.seal();
    // Lists numbered label names first, then auth names, side by side in one array: each atom's list
    // numbers are found first, then every list is laid out at its exact size (growing a list per
    // name would copy and fault in twice the memory). Finding them reads every atom record, which for
    // large structures runs in parts side by side, as the pair searches do.
    const std::size_t n = s.atoms.size();
    const bool by_label = label_.size() > 0, by_auth = auth_.size() > 0;
    std::vector<std::uint32_t> label_of, auth_of;
    if (by_label) fresh(label_of, n);
    if (by_auth) fresh(auth_of, n);
    const unsigned parts = detail::search_parts(static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX)));
    std::atomic<bool> failed{false};  // a long name's folded copy did not fit
    auto find_ids = [&](unsigned part) noexcept {
      try {
        for (std::size_t k = n * part / parts, end = n * (part + 1) / parts; k < end; ++k) {
          const AtomSite& atom = s.atoms[k];
          if (by_label) {
            label_of[k] = atom.label_atom_id.present() ? label_.id(atom.label_atom_id.view()) : NameLists::kAbsent;
          }
          if (by_auth) {
            auth_of[k] = atom.auth_atom_id.present() ? auth_.id(atom.auth_atom_id.view()) : NameLists::kAbsent;
          }
        }
      } catch (const std::exception&) {
        failed.store(true, std::memory_order_relaxed);
      }
    };
    detail::run_parts(parts, find_ids);
    if (failed.load(std::memory_order_relaxed)) throw std::bad_alloc();
    start_.assign(label_.size() + auth_.size() + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
      if (by_label && label_of[k] != NameLists::kAbsent) ++start_[label_of[k] + 1];
      if (by_auth && auth_of[k] != NameLists::kAbsent) ++start_[label_.size() + auth_of[k] + 1];
    }
    for (std::size_t k = 1; k < start_.size(); ++k) start_[k] += start_[k - 1];
    std::vector<std::uint64_t> next(start_.begin(), start_.end() - 1);
    atoms_.reserve(start_.back());
    detail::advise_huge_pages(atoms_.data(), start_.back() * sizeof(std::uint64_t));
    atoms_.resize(start_.back());
    for (std::size_t k = 0; k < n; ++k) {
      if (by_label && label_of[k] != NameLists::kAbsent) atoms_[next[label_of[k]]++] = k;
      if (by_auth && auth_of[k] != NameLists::kAbsent) atoms_[next[label_.size() + auth_of[k]]++] = k;
    }
  }

  // The atoms among which every match of `sel` lies, ascending; nothing when it names no atom (then
  // all atoms).
  std::optional<std::span<const std::uint64_t>> candidates(const AtomSelector& sel) const {
    if (sel.label_atom_id) return list(label_.id(*sel.label_atom_id));
    if (sel.auth_atom_id) return list(label_.size() + auth_.id(*sel.auth_atom_id));
    return std::nullopt;
  }

 private:
  // An array of n values to be written, offered huge pages before they are.
  static void fresh(std::vector<std::uint32_t>& ids, std::size_t n) {
    ids.reserve(n);
    detail::advise_huge_pages(ids.data(), n * sizeof(std::uint32_t));
    ids.resize(n);
  }
  std::span<const std::uint64_t> list(std::size_t k) const {
    return {atoms_.data() + start_[k], atoms_.data() + start_[k + 1]};
  }

  NameLists label_, auth_;
  std::vector<std::uint64_t> start_;  // list k is atoms_[start_[k], start_[k + 1])
  std::vector<std::uint64_t> atoms_;
};

BondGraph build_bond_graph(const Structure& s) {
  const auto& atoms = s.atoms;
  // A few rows over a small structure are resolved as quickly by scanning.
  if (s.bonds.size() * atoms.size() < (std::uint64_t{1} << 22)) return exhaustive::bond_graph(s);
  const AtomsByName names(s);
  return resolve_records(s, [&](const AtomSelector& sel, auto&& accept) {
    if (const auto list = names.candidates(sel)) {
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
