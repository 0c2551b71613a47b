// The queries harness: every structure that parses is asked every analysis question with small
// arguments taken from the input, and each answer is held to the rules it must always obey and to
// the exhaustive scans it must reproduce row for row.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "harness.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/exhaustive.hpp"
#include "quarn/analyze/profile.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "quarn/element.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/geometry.hpp"
#include "quarn/reader.hpp"

namespace quarn::fuzz {

namespace {

// Bytes of the parameter block in front of the text; a shorter input reads the missing bytes as 0.
constexpr std::size_t kParameterBytes = 32;
// Above this many atoms the quadratic questions are skipped, so a large replayed input stays quick.
constexpr std::uint64_t kQuadraticLimit = 3000;
// The full matrix (no index list) is asked only of structures this small.
constexpr std::uint64_t kFullMatrixLimit = 200;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The parameter block, read byte by byte; numbers come from a table of telling values (signs,
// zeros, the covalent band edges, non-finite values), else from a small grid, else raw bits.
class Parameters {
 public:
  explicit Parameters(const std::uint8_t* data, std::size_t size) {
    if (size > 0) std::memcpy(bytes_, data, std::min(size, kParameterBytes));
  }

  std::uint8_t byte() noexcept { return at_ < kParameterBytes ? bytes_[at_++] : 0; }

  double real() noexcept {
    static constexpr double kTable[] = {0.0,  -0.0, 0.5,    1.0,    1.5,  1.54, 1.9,    2.0,   2.5,    3.0,
                                        4.0,  5.0,  8.0,    10.0,   -1.0, -5.0, 0.1,    0.4,   1e-300, 1e300,
                                        kInf, -kInf, kNaN, 0.25, 20.0, 100.0, 4.9999, 5.0001, -0.25, 1e-9};
    constexpr std::uint8_t kTableSize = sizeof kTable / sizeof kTable[0];
    const std::uint8_t b = byte();
    if (b < kTableSize) return kTable[b];
    if (b < 250) return (b - kTableSize) * 0.125 - 4.0;
    std::uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) bits = (bits << 8) | byte();
    return std::bit_cast<double>(bits);
  }

  // A count: 0 to 253, or the largest one.
  std::uint64_t count() noexcept {
    const std::uint8_t b = byte();
    return b >= 254 ? std::numeric_limits<std::uint64_t>::max() : b;
  }

  // An atom index: usually one of the atoms, sometimes just past the end or far beyond.
  std::uint64_t index(std::uint64_t atom_count) noexcept {
    const std::uint8_t b = byte();
    if (b == 255) return std::numeric_limits<std::uint64_t>::max();
    return b % (atom_count + 2);
  }

 private:
  std::uint8_t bytes_[kParameterBytes] = {};
  std::size_t at_ = 0;
};

bool same_bits(double a, double b) noexcept { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
bool same_number(double a, double b) noexcept { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); }

bool same(const std::optional<double>& a, const std::optional<double>& b) noexcept {
  return a.has_value() == b.has_value() && (!a || same_number(*a, *b));
}

// NaN after every number: the order the residue search sorts by.
bool nearer(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

void check_bounding_box(const Structure& s) {
  const auto box = s.bounding_box();
  bool any = false;
  for (const AtomSite& atom : s.atoms) {
    const auto p = position_of(atom);
    if (!p) continue;
    any = true;
    if (!box) break;
    const auto inside = [](double v, double lo, double hi) { return std::isnan(v) || (lo <= v && v <= hi); };
    check(inside(p->x, box->min.x, box->max.x) && inside(p->y, box->min.y, box->max.y) &&
              inside(p->z, box->min.z, box->max.z),
          "every positioned atom lies in the bounding box");
  }
  check(box.has_value() == any, "a bounding box exactly when some atom has a position");
}

void check_contacts(const Structure& s, double cutoff, std::optional<std::uint64_t> max_results) {
  const auto found = contacts(s, cutoff, max_results);
  const auto reference = exhaustive::find_contacts(s, cutoff);
  check(found.has_value() == (cutoff > 0), "contacts refuses exactly the cutoffs not above zero");
  check(reference.has_value() == found.has_value(), "contacts refuses what the exhaustive scan refuses");
  if (!found) {
    check(std::string_view(found.error().message) == kCutoffNotPositive, "the cutoff refusal has its fixed text");
    return;
  }
  const DistanceRule distance = DistanceRule::of(s);
  const std::vector<Contact>& rows = *found;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const Contact& c = rows[k];
    check(c.first < c.second && c.second < s.atom_count(), "a contact names two atoms, first below second");
    const auto p = position_of(s.atoms[c.first]);
    const auto q = position_of(s.atoms[c.second]);
    check(p && q, "both atoms of a contact have a position");
    check(same_bits(c.distance, distance(*p, *q)), "a contact's distance is pair_distance, second minus first");
    check(c.distance <= cutoff, "a contact lies within the cutoff");
    check(c.classification == classify_contact(s.atoms[c.first], s.atoms[c.second], c.distance),
          "a contact's class is the classification of its pair");
    if (k > 0) {
      const Contact& b = rows[k - 1];
      check(b.distance < c.distance ||
                (b.distance == c.distance && std::tie(b.first, b.second) < std::tie(c.first, c.second)),
            "contacts sorted by distance, ties in enumeration order");
    }
  }
  std::vector<Contact> expected = *reference;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Contact& a, const Contact& b) { return a.distance < b.distance; });
  if (max_results && *max_results < expected.size()) expected.resize(*max_results);
  check(rows == expected, "contacts equal the exhaustive pairs, stably sorted and cut");
}

void check_nearest_atoms(const Structure& s, Vec3 origin, double max_distance, std::uint64_t max_results) {
  const auto hits = nearest_atoms(s, origin, max_distance, max_results);
  const DistanceRule distance = DistanceRule::of(s);
  for (std::size_t k = 0; k < hits.size(); ++k) {
    const AtomHitRecord& h = hits[k];
    check(h.index < s.atom_count(), "a hit names an atom");
    const auto p = position_of(s.atoms[h.index]);
    check(p.has_value(), "a hit has a position");
    check(same_bits(h.distance, distance(origin, *p)), "a hit's distance is pair_distance from the origin");
    check(h.distance <= max_distance, "a hit lies within the radius");
    if (k > 0) {
      const AtomHitRecord& b = hits[k - 1];
      check(b.distance < h.distance || (b.distance == h.distance && b.index < h.index),
            "hits sorted by distance, ties by index");
    }
  }
  check(hits.size() <= max_results, "at most max_results hits");
  const auto expected = exhaustive::nearest_atoms(s, origin, max_distance, max_results);
  check(hits.size() == expected.size(), "as many hits as the exhaustive scan");
  for (std::size_t k = 0; k < hits.size(); ++k) {
    check(hits[k].index == expected[k].index && same_bits(hits[k].distance, expected[k].distance),
          "hits equal the exhaustive scan row for row");
  }
}

void check_nearest_residues(const Structure& s, Vec3 origin, double max_distance, std::uint64_t max_results) {
  const auto rows = nearest_residues(s, origin, max_distance, max_results);
  check(rows.size() <= max_results, "at most max_results residues");
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const ResidueHitRecord& r = rows[k];
    check(r.key.comp_id && is_standard_amino_acid(*r.key.comp_id), "a residue row is an amino acid");
    check(!(r.distance > max_distance), "a residue lies within the radius");
    if (k > 0) check(!nearer(r.distance, rows[k - 1].distance), "residues sorted by distance, NaN last");
    for (std::size_t m = 0; m < k; ++m) check(!(rows[m].key == r.key), "each residue appears once");
  }
  const auto expected = exhaustive::nearest_residues(s, origin, max_distance, max_results);
  check(rows.size() == expected.size(), "as many residues as the exhaustive scan");
  for (std::size_t k = 0; k < rows.size(); ++k) {
    check(rows[k].key == expected[k].key && same_number(rows[k].distance, expected[k].distance),
          "residues equal the exhaustive scan row for row");
  }
}

// Every list indexed like the atoms, every neighbour an atom, and each entry mirrored in the
// neighbour's list with the same type as often as it occurs.
void check_adjacency_shape(const Structure& s, const BondGraph& g) {
  check(g.size() == s.atom_count(), "one adjacency list per atom");
  std::map<std::tuple<std::uint64_t, std::uint64_t, int>, std::int64_t> balance;
  for (std::uint64_t i = 0; i < g.size(); ++i) {
    for (const BondEntry& e : g.neighbors(i)) {
      check(e.neighbor < s.atom_count(), "every neighbour index is below the atom count");
      const int type = e.bond_type ? static_cast<int>(*e.bond_type) : -1;
      if (i == e.neighbor) continue;  // a self bond sits twice in its one list
      if (i < e.neighbor) ++balance[{i, e.neighbor, type}];
      else --balance[{e.neighbor, i, type}];
    }
  }
  for (const auto& [key, count] : balance) check(count == 0, "adjacency is symmetric, bond types included");
}

void check_adjacency(const Structure& s, double tolerance, const BondGraph& plain, const BondGraph& augmented) {
  check_adjacency_shape(s, plain);
  check_adjacency_shape(s, augmented);

  const auto bonds = s.explicit_bonds();
  std::size_t listed = 0;
  for (std::uint64_t i = 0; i < plain.size(); ++i) {
    for (const BondEntry& e : plain.neighbors(i)) listed += i < e.neighbor;
  }
  check(bonds.size() == listed, "one explicit bond per entry seen from its lower end");
  for (std::size_t k = 0; k < bonds.size(); ++k) {
    check(bonds[k].first < bonds[k].second && bonds[k].second < s.atom_count(), "explicit bonds name atoms, i < j");
    if (k > 0) check(bonds[k - 1].first <= bonds[k].first, "explicit bonds in graph order");
  }

  // Geometric pairs: exactly the exhaustive ones, each within the bond rule, in order.
  const auto pairs = geometric_bond_pairs(s, tolerance);
  check(pairs == exhaustive::geometric_bond_pairs(s, tolerance), "geometric pairs equal the exhaustive scan");
  const DistanceRule distance = DistanceRule::of(s);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const auto [i, j] = pairs[k];
    check(i < j && j < s.atom_count(), "a geometric pair names two atoms, smaller first");
    if (k > 0) check(pairs[k - 1] < pairs[k], "geometric pairs ordered by first, then second");
    const auto p = position_of(s.atoms[i]);
    const auto q = position_of(s.atoms[j]);
    const ElementInfo* a = element_of(s.atoms[i]);
    const ElementInfo* b = element_of(s.atoms[j]);
    check(p && q && a && b && a->covalent_radius && b->covalent_radius, "geometric pairs are candidates");
    check(distance(*p, *q) <= (*b->covalent_radius + *a->covalent_radius) + tolerance, "a geometric pair obeys the rule");
  }

  // Each augmented list: its explicit list, then one covalent_unknown entry per geometric partner
  // that no explicit entry names, in pair order.
  std::vector<std::vector<BondEntry>> expected(s.atom_count());
  for (std::uint64_t i = 0; i < plain.size(); ++i) {
    const auto own = plain.neighbors(i);
    expected[i].assign(own.begin(), own.end());
  }
  for (const auto& [i, j] : pairs) {
    const auto own = plain.neighbors(i);
    if (std::any_of(own.begin(), own.end(), [j = j](const BondEntry& e) { return e.neighbor == j; })) continue;
    expected[i].push_back({j, BondType::covalent_unknown});
    expected[j].push_back({i, BondType::covalent_unknown});
  }
  for (std::uint64_t i = 0; i < augmented.size(); ++i) {
    const auto row = augmented.neighbors(i);
    check(std::equal(row.begin(), row.end(), expected[i].begin(), expected[i].end()),
          "augmented lists are the explicit ones followed by the geometric partners");
  }
}

void check_profile(const Structure& s, std::uint64_t index, bool include_geometric, double tolerance,
                   const BondGraph& adjacency) {
  const auto profile = atom_profile(s, index, include_geometric, tolerance);
  if (index >= s.atom_count()) {
    check(!profile && std::string_view(profile.error().message) == kAtomIndexOutOfRange,
          "an index past the atoms is refused first");
    return;
  }
  if (include_geometric && tolerance < 0) {
    check(!profile && std::string_view(profile.error().message) == kToleranceNegative,
          "a negative tolerance is refused with geometry");
    return;
  }
  check(profile.has_value(), "a profile of an atom with a usable tolerance is given");
  check(profile->index == index, "the profile names its atom");
  const auto row = adjacency.neighbors(index);
  check(std::equal(row.begin(), row.end(), profile->neighbors.begin(), profile->neighbors.end()),
        "profile neighbours equal the adjacency row");
  check(profile->hybridization == assign_hybridization(s, index, row), "hybridization follows the adjacency row");
  const ElementInfo* e = element_of(s.atoms[index]);
  check(same(profile->electronegativity, e ? e->electronegativity : std::nullopt),
        "electronegativity is the element's");
  if (include_geometric) {
    check(geometric_bond_partners(s, index, tolerance) == exhaustive::geometric_bond_partners(s, index, tolerance),
          "geometric partners equal the exhaustive scan");
  }
}

void check_matrix(const Structure& s, const std::vector<std::uint64_t>& asked) {
  const DistanceMatrixResult m = dense_distance_matrix(s, asked);
  std::vector<std::uint64_t> selected;
  if (asked.empty()) {
    for (std::uint64_t i = 0; i < s.atom_count(); ++i) {
      if (position_of(s.atoms[i])) selected.push_back(i);
    }
  }
  for (const std::uint64_t i : asked) {
    if (i < s.atom_count() && position_of(s.atoms[i])) selected.push_back(i);
  }
  check(m.atom_indices == selected, "matrix rows are the asked atoms that exist and have a position, in order");
  const std::size_t n = m.size();
  check(m.distances.size() == n * n, "the matrix is square");
  const DistanceRule distance = DistanceRule::of(s);
  for (std::size_t r = 0; r < n; ++r) {
    check(same_bits(m.at(r, r), 0.0), "the diagonal is zero");
    const Vec3 p = *position_of(s.atoms[m.atom_indices[r]]);
    for (std::size_t c = r + 1; c < n; ++c) {
      check(same_bits(m.at(r, c), m.at(c, r)), "the matrix is symmetric to the bit");
      const Vec3 q = *position_of(s.atoms[m.atom_indices[c]]);
      check(same_bits(m.at(r, c), distance(p, q)), "an entry is pair_distance, column minus row");
    }
  }
}

}  // namespace

void queries(const std::uint8_t* data, std::size_t size) {
  const std::size_t skip = std::min(size, kParameterBytes);
  const std::string_view text(reinterpret_cast<const char*>(data + skip), size - skip);
  const auto parsed = parse_text(text, false);
  if (parsed) ask_every_question(*parsed, data, skip);
}

void ask_every_question(const Structure& s, const std::uint8_t* parameters, std::size_t size) {
  Parameters args(parameters, size);
  const std::uint64_t n = s.atom_count();

  check_bounding_box(s);

  // A point search around an atom's own position hits exact distances; elsewhere, the table's.
  const std::uint8_t where = args.byte();
  Vec3 origin{args.real(), args.real(), args.real()};
  if ((where & 1) && n > 0) {
    if (const auto p = position_of(s.atoms[args.index(n) % n])) {
      origin = (where & 0x80) ? Vec3{p->x + origin.x, p->y, p->z} : *p;
    }
  }
  const double max_distance = args.real();
  const std::uint64_t max_results = args.count();
  check_nearest_atoms(s, origin, max_distance, max_results);
  check_nearest_residues(s, origin, max_distance, max_results);

  if (n > kQuadraticLimit) return;
  const double cutoff = args.real();
  const std::uint64_t contact_limit = args.count();
  check_contacts(s, cutoff, contact_limit == std::numeric_limits<std::uint64_t>::max()
                                ? std::nullopt
                                : std::optional<std::uint64_t>(contact_limit));

  const double tolerance = args.real();
  const BondGraph plain = sparse_adjacency(s, false, tolerance);
  const BondGraph augmented = sparse_adjacency(s, true, tolerance);
  check_adjacency(s, tolerance, plain, augmented);
  // With geometry off the tolerance plays no part, whatever it is.
  const BondGraph plain_other = sparse_adjacency(s, false, -tolerance);
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto a = plain.neighbors(i);
    const auto b = plain_other.neighbors(i);
    check(std::equal(a.begin(), a.end(), b.begin(), b.end()), "without geometry the tolerance changes nothing");
  }

  for (int k = 0; k < 3; ++k) {
    const std::uint64_t index = args.index(n);
    const bool include_geometric = (args.byte() & 1) != 0;
    check_profile(s, index, include_geometric, tolerance, include_geometric ? augmented : plain);
  }

  std::vector<std::uint64_t> asked(args.byte() % 9);
  for (std::uint64_t& i : asked) i = args.index(n);
  if (!asked.empty() || n <= kFullMatrixLimit) check_matrix(s, asked);
}

}  // namespace quarn::fuzz
