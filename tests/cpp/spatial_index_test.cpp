// The spatial index against the exhaustive scans: random structures of every awkward kind and the
// real entries, each search compared row for row, distances to the last bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "builder.hpp"
#include "entries.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/exhaustive.hpp"
#include "quarn/analyze/profile.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "quarn/element.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/pair_search.hpp"
#include "quarn/spatial_index.hpp"

namespace quarn {
namespace {

using testing::StructureBuilder;
using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kSeeds = 132;  // twelve structures of each kind

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// Row lists compared field by field, distances by their bits; the first difference is reported.
bool same_row(const Contact& a, const Contact& b) {
  return a.first == b.first && a.second == b.second && bits(a.distance) == bits(b.distance) &&
         a.classification == b.classification;
}
bool same_row(const AtomHitRecord& a, const AtomHitRecord& b) {
  return a.index == b.index && bits(a.distance) == bits(b.distance);
}
bool same_row(const ResidueHitRecord& a, const ResidueHitRecord& b) {
  return a.key == b.key && bits(a.distance) == bits(b.distance);
}
std::string text(const Contact& c) {
  return std::to_string(c.first) + " " + std::to_string(c.second) + " " + std::to_string(c.distance);
}
std::string text(const AtomHitRecord& h) { return std::to_string(h.index) + " " + std::to_string(h.distance); }
std::string text(const ResidueHitRecord& r) {
  return std::string(r.key.comp_id.value_or("-")) + " " + std::string(r.key.chain_id.value_or("-")) + " " +
         (r.key.seq_id ? std::to_string(*r.key.seq_id) : "-") + " " + std::to_string(r.distance);
}
template <class Row>
::testing::AssertionResult same_rows(const std::vector<Row>& found, const std::vector<Row>& scan) {
  for (std::size_t k = 0; k < std::min(found.size(), scan.size()); ++k) {
    if (!same_row(found[k], scan[k])) {
      return ::testing::AssertionFailure() << "row " << k << ": " << text(found[k]) << " instead of " << text(scan[k]);
    }
  }
  if (found.size() != scan.size()) {
    return ::testing::AssertionFailure() << found.size() << " rows instead of " << scan.size();
  }
  return ::testing::AssertionSuccess();
}

// Rows of a scan in the order of the complete contacts operation: stable by distance.
std::vector<Contact> stable_by_distance(std::vector<Contact> rows) {
  std::stable_sort(rows.begin(), rows.end(), [](const Contact& a, const Contact& b) { return a.distance < b.distance; });
  return rows;
}

std::vector<Contact> first_rows(std::vector<Contact> rows, std::size_t keep) {
  rows.resize(std::min(rows.size(), keep));
  return rows;
}

// The kinds of structure the searches must get right.
enum class Kind {
  uniform,          // no cell
  in_cell,          // periodic cell around the atoms
  outside_cell,     // periodic cell, atoms spread over several edges on both sides
  short_cell,       // periodic cell shorter than twice the search reach: images overlap
  placeholder,      // the 1 x 1 x 1 cell, not periodic
  oblique,          // a cell with an angle off 90: not periodic
  clustered,        // dense clusters a million ångström apart
  stacked,          // most atoms on a few shared positions
  odd_cell,         // periodic with an infinite, a negative and a zero edge
  tiny,             // the whole structure within a micro-ångström
  huge,             // coordinates near 1e300
  count
};

struct Scene {
  Kind kind;
  double scale;  // extent of a cluster, to pick radii from
  Structure s;
};

Scene random_scene(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto kind = static_cast<Kind>(seed % static_cast<std::uint64_t>(Kind::count));
  double scale = 10 + 30 * unit(rng);
  if (kind == Kind::tiny) scale = 1e-6;
  if (kind == Kind::huge) scale = 1e300;
  const int atoms = 20 + static_cast<int>(rng() % 280);

  StructureBuilder b;
  double offset = 0;  // where the atoms start: a cell's atoms sit inside it or spread around it
  double spread = scale;
  switch (kind) {
    case Kind::in_cell: b.cell(scale, scale * 1.1, scale * 0.9); break;
    case Kind::outside_cell:
      b.cell(scale / 4, scale / 3, scale / 5);
      offset = -scale;
      spread = 3 * scale;
      break;
    case Kind::short_cell: b.cell(2 + 3 * unit(rng), 1.5 + 2 * unit(rng), 3 + 4 * unit(rng)); break;
    case Kind::placeholder: b.cell(1, 1, 1); break;
    case Kind::oblique: b.cell(scale / 2, scale / 2, scale / 2, 90, 100, 90); break;
    case Kind::odd_cell: b.cell(kInf, -scale / 3, 0); break;
    default: break;
  }
  const char* elements[] = {"C", "C", "N", "O", "S", "H", "FE", "K", "XX", ""};
  const char* comps[] = {"ALA", "GLY", "ser", "HOH", "MSE", "TRP"};
  std::vector<Vec3> placed;
  for (int i = 0; i < atoms; ++i) {
    Vec3 p{offset + spread * unit(rng), offset + spread * unit(rng), offset + spread * unit(rng)};
    if (kind == Kind::clustered) {
      const double at = 1e6 * static_cast<double>(static_cast<int>(rng() % 3) - 1);
      p = {p.x + at, p.y - at, p.z};
    }
    if (!placed.empty() && (kind == Kind::stacked ? unit(rng) < 0.8 : unit(rng) < 0.08)) {
      p = placed[rng() % std::min<std::size_t>(placed.size(), kind == Kind::stacked ? 4 : placed.size())];
    }
    const double odd = unit(rng);
    if (odd < 0.05) {
      const double values[] = {kNaN, kInf, -kInf};
      (&p.x)[rng() % 3] = values[rng() % 3];
    }
    const char* element = elements[rng() % 10];
    if (odd > 0.96) {
      b.atom_without_position(element);
    } else {
      b.atom(element, p);
      placed.push_back(p);
    }
    b.residue(comps[rng() % 6], rng() % 2 ? "A" : "B", static_cast<std::int32_t>(rng() % 12));
  }
  return {kind, scale, b.take()};
}

std::vector<double> radii_for(const Scene& scene, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double s = scene.kind == Kind::tiny || scene.kind == Kind::huge ? scene.scale : 1.0;
  return {1e-9 * s, 0.05 * s, (0.5 + 5 * unit(rng)) * s, (0.5 + 5 * unit(rng)) * s, 8 * s,
          std::numeric_limits<double>::denorm_min(), 1e7 * s, 1e300, kInf};
}

// A reach that qualifies nothing, everything, or an ordinary neighbourhood.
std::vector<double> tolerances_for(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  return {-kInf, -3.0, -0.5, 0.0, 0.4, 0.4 + 2 * unit(rng), 40.0, kInf, kNaN};
}

std::vector<Vec3> origins_for(const Scene& scene, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(-0.2, 1.2);
  std::vector<Vec3> out;
  for (std::uint64_t i = 0; i < scene.s.atom_count() && out.size() < 6; i += 7) {
    if (const auto p = position_of(scene.s.atoms[i])) out.push_back(*p);
  }
  const double s = scene.scale;
  for (int k = 0; k < 6; ++k) out.push_back({s * unit(rng), s * unit(rng), s * unit(rng)});
  out.push_back({-3 * s, 1e6, 0});
  out.push_back({kNaN, 0, 0});
  out.push_back({0, kInf, 0});
  return out;
}

TEST(IndexedSearchesEqualTheScans, ContactsOfRandomStructures) {
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const Scene scene = random_scene(seed);
    std::mt19937_64 rng(seed * 7919);
    for (const double cutoff : radii_for(scene, rng)) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " cutoff " + std::to_string(cutoff));
      const auto found = find_contacts(scene.s, cutoff);
      ASSERT_TRUE(found.has_value());
      const std::vector<Contact> scan = *exhaustive::find_contacts(scene.s, cutoff);
      ASSERT_TRUE(same_rows(*found, scan));
      const std::vector<Contact> sorted = stable_by_distance(scan);
      ASSERT_TRUE(same_rows(*contacts(scene.s, cutoff, std::nullopt), sorted));
      // A bounded answer looks within a growing reach: every cut must still be the full list's head.
      for (const std::size_t keep : {std::size_t{1}, std::size_t{2}, std::size_t{7}, scan.size() / 3 + 1,
                                     scan.size() - std::min<std::size_t>(scan.size(), 1), scan.size() + 5}) {
        ASSERT_TRUE(same_rows(*contacts(scene.s, cutoff, keep), first_rows(sorted, keep))) << "keep " << keep;
      }
      EXPECT_TRUE(contacts(scene.s, cutoff, 0)->empty());
    }
    for (const double refused : {0.0, -1.0, kNaN, -kInf}) {
      EXPECT_FALSE(find_contacts(scene.s, refused).has_value());
      EXPECT_FALSE(contacts(scene.s, refused, 3).has_value());
    }
  }
}

TEST(IndexedSearchesEqualTheScans, GeometricBondsAndProfilesOfRandomStructures) {
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const Scene scene = random_scene(seed);
    const Structure& s = scene.s;
    std::mt19937_64 rng(seed * 104729);
    for (const double tolerance : tolerances_for(rng)) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " tolerance " + std::to_string(tolerance));
      ASSERT_EQ(geometric_bond_pairs(s, tolerance), exhaustive::geometric_bond_pairs(s, tolerance));
      for (std::uint64_t i = 0; i <= s.atom_count(); i += 1 + rng() % 3) {
        ASSERT_EQ(geometric_bond_partners(s, i, tolerance), exhaustive::geometric_bond_partners(s, i, tolerance)) << i;
      }
    }
  }
}

TEST(IndexedSearchesEqualTheScans, PointSearchesOfRandomStructures) {
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const Scene scene = random_scene(seed);
    std::mt19937_64 rng(seed * 15485863);
    std::vector<double> radii = radii_for(scene, rng);
    radii.insert(radii.end(), {0.0, -1.0, kNaN});
    for (const Vec3 origin : origins_for(scene, rng)) {
      for (const double r : radii) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " radius " + std::to_string(r) + " at " +
                     std::to_string(origin.x) + " " + std::to_string(origin.y) + " " + std::to_string(origin.z));
        for (const std::uint64_t keep : {kAll, std::uint64_t{0}, std::uint64_t{1 + rng() % 5}}) {
          ASSERT_TRUE(same_rows(nearest_atoms(scene.s, origin, r, keep), exhaustive::nearest_atoms(scene.s, origin, r, keep)));
          ASSERT_TRUE(same_rows(nearest_residues(scene.s, origin, r, keep),
                                exhaustive::nearest_residues(scene.s, origin, r, keep)));
        }
      }
    }
  }
}

// Large structures search their pairs in parts on several threads; any split gives the same rows.
struct ForcedParts {
  explicit ForcedParts(unsigned parts) { quarn::detail::set_search_parts(parts); }
  ~ForcedParts() { quarn::detail::set_search_parts(0); }
};

TEST(IndexedSearchesEqualTheScans, PairSearchesSplitInParts) {
  for (std::uint64_t seed = 1; seed <= kSeeds; seed += 2) {
    const Scene scene = random_scene(seed);
    const Structure& s = scene.s;
    std::mt19937_64 rng(seed * 4099);
    const double cutoff = radii_for(scene, rng)[2];
    const std::vector<Contact> scan = *exhaustive::find_contacts(s, cutoff);
    const std::vector<Contact> sorted = stable_by_distance(scan);
    const std::vector<Contact> every = *exhaustive::find_contacts(s, kInf);  // the scan in parts, too
    const auto bonds = exhaustive::geometric_bond_pairs(s, 0.4);
    const SpatialIndex whole = SpatialIndex::build(s);
    for (const unsigned parts : {2u, 3u, 7u}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " in " + std::to_string(parts) + " parts");
      const ForcedParts forced(parts);
      // The index too is built in parts: a fresh copy of the scene, with the same slots as one part.
      const Scene copy = random_scene(seed);
      const Structure& s = copy.s;
      const SpatialIndex& index = s.spatial_index();
      ASSERT_EQ(index.slot_count(), whole.slot_count());
      for (std::uint32_t slot = 0; slot < whole.slot_count(); ++slot) {
        ASSERT_EQ(index.atom(slot), whole.atom(slot));
        ASSERT_EQ(std::bit_cast<std::uint64_t>(index.covalent_radius(slot)),
                  std::bit_cast<std::uint64_t>(whole.covalent_radius(slot)));
      }
      ASSERT_EQ(std::bit_cast<std::uint64_t>(index.max_covalent_radius()),
                std::bit_cast<std::uint64_t>(whole.max_covalent_radius()));
      ASSERT_TRUE(same_rows(*find_contacts(s, cutoff), scan));
      ASSERT_TRUE(same_rows(*contacts(s, cutoff, std::nullopt), sorted));
      ASSERT_TRUE(same_rows(*contacts(s, cutoff, 5), first_rows(sorted, 5)));
      ASSERT_TRUE(same_rows(*find_contacts(s, kInf), every));
      ASSERT_EQ(geometric_bond_pairs(s, 0.4), bonds);
    }
  }
}

// A part that runs out of memory on its thread fails the whole search on the calling thread, with
// what did not fit, whichever part it is and whether the parts scan or search the index; nothing is
// returned, and the next search is whole.
struct InjectedFailure {
  explicit InjectedFailure(int part) { detail::inject_part_failure(part); }
  ~InjectedFailure() { detail::inject_part_failure(-1); }
};

TEST(PairSearchFailures, AFailedPartFailsTheSearchWithWhatDidNotFit) {
  const Scene scene = random_scene(11 * 3);  // no cell
  const Structure& s = scene.s;
  ASSERT_TRUE(s.spatial_index().worth_searching(3.0));
  const std::vector<Contact> scan = *exhaustive::find_contacts(s, 3.0);
  const auto message = [](auto&& search) -> std::string {
    try {
      search();
    } catch (const MemoryShortage& e) {
      return e.what();
    }
    return "no failure";
  };
  for (const unsigned parts : {1u, 3u}) {
    const ForcedParts forced(parts);
    for (unsigned failing = 0; failing < parts; ++failing) {
      SCOPED_TRACE("part " + std::to_string(failing) + " of " + std::to_string(parts));
      const InjectedFailure injected(static_cast<int>(failing));
      for (const double cutoff : {3.0, kInf}) {  // through the index, and by a scan
        EXPECT_EQ(message([&] { find_contacts(s, cutoff); }), "not enough memory for the pairs of a contact search");
        EXPECT_EQ(message([&] { contacts(s, cutoff, 4); }), "not enough memory for the pairs of a contact search");
      }
      EXPECT_EQ(message([&] { geometric_bond_pairs(s, 0.4); }),
                "not enough memory for the pairs of a geometric bond search");
    }
    ASSERT_TRUE(same_rows(*find_contacts(s, 3.0), scan));
  }
}

// The searches above take the index only where it prunes; make sure that is most ordinary cases,
// or the comparisons would test the scans against themselves.
TEST(IndexedSearchesEqualTheScans, TheIndexIsUsedWhereItPrunes) {
  int used = 0, ordinary = 0;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const Scene scene = random_scene(seed);
    if (scene.kind == Kind::tiny || scene.kind == Kind::huge || scene.kind == Kind::stacked) continue;
    ++ordinary;
    used += scene.s.spatial_index().worth_searching(4.0);
  }
  EXPECT_GT(used, ordinary * 9 / 10);
}

// The index itself, built with cell edges from tiny to huge: near() visits every atom within reach
// exactly once, pairs() offers every pair within reach.
struct PairCollector {
  const SpatialIndex& index;
  double r;
  Pairs offered;
  double max_reach() const { return r; }
  double reach(std::uint32_t) const { return r; }
  void consider(std::uint32_t a, std::uint32_t b) {
    ASSERT_NE(a, b);
    const std::uint64_t i = std::min(index.atom(a), index.atom(b)), j = std::max(index.atom(a), index.atom(b));
    offered.emplace_back(i, j);
  }
};

TEST(SpatialIndexCandidates, EveryAtomAndPairWithinReachWhateverTheCellEdge) {
  for (std::uint64_t seed = 1; seed <= kSeeds / 2; ++seed) {
    const Scene scene = random_scene(seed);
    const Structure& s = scene.s;
    std::mt19937_64 rng(seed * 31337);
    for (const double edge : {1e-300, 0.37, 2.5, 9.0, 1e7}) {
      const SpatialIndex index = SpatialIndex::build(s, edge);
      const DistanceRule distance = DistanceRule::of(s);
      std::vector<double> radii = radii_for(scene, rng);
      radii.resize(6);  // the finite, pruning ones
      for (const double r : radii) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " edge " + std::to_string(edge) + " reach " + std::to_string(r));
        PairCollector collect{index, r, {}};
        index.pairs(collect);
        std::sort(collect.offered.begin(), collect.offered.end());
        // The parts of a split search offer together exactly what the whole search does.
        PairCollector in_parts{index, r, {}};
        for (unsigned part = 0; part < 3; ++part) index.pairs(in_parts, part, 3);
        std::sort(in_parts.offered.begin(), in_parts.offered.end());
        ASSERT_EQ(in_parts.offered, collect.offered);
        const auto repeat = std::adjacent_find(collect.offered.begin(), collect.offered.end());
        if (!distance.periodic) {
          ASSERT_TRUE(repeat == collect.offered.end()) << repeat->first << " " << repeat->second;
        }
        const std::vector<Contact> scan = *exhaustive::find_contacts(s, r);
        for (const Contact& c : scan) {
          ASSERT_TRUE(std::binary_search(collect.offered.begin(), collect.offered.end(), std::pair(c.first, c.second)))
              << c.first << " " << c.second;
        }
        for (const Vec3 origin : origins_for(scene, rng)) {
          if (!std::isfinite(origin.x) || !std::isfinite(origin.y) || !std::isfinite(origin.z)) continue;
          std::vector<std::uint32_t> visited;
          index.near(origin, r, [&](std::uint32_t slot) { visited.push_back(slot); });
          std::sort(visited.begin(), visited.end());
          ASSERT_TRUE(std::adjacent_find(visited.begin(), visited.end()) == visited.end());
          std::vector<std::uint64_t> near_atoms;
          for (const std::uint32_t slot : visited) near_atoms.push_back(index.atom(slot));
          std::sort(near_atoms.begin(), near_atoms.end());
          for (const AtomHitRecord& hit : exhaustive::nearest_atoms(s, origin, r, kAll)) {
            ASSERT_TRUE(std::binary_search(near_atoms.begin(), near_atoms.end(), hit.index)) << hit.index;
          }
        }
      }
    }
  }
}

// Here q - R rounds above p although p is exactly R from q: a search box [q - R, q + R] computed
// without a margin leaves out an atom at p, on whichever axis the pair lies.
TEST(SpatialIndexCandidates, KeepsAnAtomExactlyAtTheRadiusWhereTheBoxBoundRoundsPastIt) {
  const struct { double p, q; } pairs[] = {
      {-0.004564829106629412, 2.6539447045014475}, {-0.0068823132228060975, 3.34429648414637},
      {0.007620081689486721, 3.391942979518334},   {-0.6115324190746106, 2.7939855153009847},
      {0.0029120431161792732, 3.5343530087247306}, {0.2222615502818945, 0.8971019486508215},
  };
  for (const auto& [p, q] : pairs) {
    for (int axis = 0; axis < 3; ++axis) {
      StructureBuilder b;
      Vec3 at{0, 0, 0}, origin{0, 0, 0};
      (&at.x)[axis] = p;
      (&origin.x)[axis] = q;
      b.atom("C", at);
      for (int k = 0; k < 40; ++k) b.atom("C", {(axis == 0 ? 0.0 : 60.0) + k, axis == 0 ? 60.0 + k : 0.0, 7.0});
      const Structure s = b.take();
      const double r = DistanceRule::of(s)(origin, at);
      ASSERT_GT(q - r, p);  // the rounding this case is about
      ASSERT_TRUE(s.spatial_index().worth_searching(r));
      const auto hits = nearest_atoms(s, origin, r, kAll);
      ASSERT_FALSE(hits.empty()) << p << " " << q << " axis " << axis;
      EXPECT_EQ(hits[0].index, 0u);
      EXPECT_EQ(hits[0].distance, r);
    }
  }
}

TEST(SpatialIndexCandidates, KeepsOnlyFiniteAtomsAndTheirRadii) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).atom_without_position("N").atom("O", {kNaN, 1, 1}).atom("XX", {1e6, 0, 0});
  b.atom("K", {0, -kInf, 2}).atom("S", {-1e6, 3, 0});
  const Structure s = b.take();
  const SpatialIndex& index = s.spatial_index();
  EXPECT_EQ(&index, &s.spatial_index());  // built once
  ASSERT_EQ(index.size(), 3u);
  std::vector<std::uint64_t> atoms;
  for (std::uint32_t slot = 0; slot < index.size(); ++slot) {
    atoms.push_back(index.atom(slot));
    const double r = index.covalent_radius(slot);
    EXPECT_TRUE(index.atom(slot) == 3 ? std::isnan(r) : r > 0) << index.atom(slot);
  }
  std::sort(atoms.begin(), atoms.end());
  EXPECT_EQ(atoms, (std::vector<std::uint64_t>{0, 3, 5}));
  EXPECT_EQ(std::vector<std::uint64_t>(index.non_finite_atoms().begin(), index.non_finite_atoms().end()),
            (std::vector<std::uint64_t>{2, 4}));
  EXPECT_EQ(index.max_covalent_radius(), 1.02);  // sulfur; potassium has no finite position
  EXPECT_FALSE(index.worth_searching(4.0));      // three atoms: a scan is as quick
}

// The geometric bond rule over the rows of a contact scan: the bond pairs in scan order, without a
// second quadratic scan, as long as the scan's cutoff exceeds every bond bound.
Pairs bonds_among(const Structure& s, const std::vector<Contact>& scan, double tolerance) {
  const auto radius = [&](std::uint64_t i) {
    const ElementInfo* e = element_of(s.atoms[i]);
    return e ? e->covalent_radius : std::nullopt;
  };
  double largest = 0;
  for (const AtomSite& atom : s.atoms) {
    if (const ElementInfo* e = element_of(atom); e && e->covalent_radius) largest = std::max(largest, *e->covalent_radius);
  }
  EXPECT_LT((largest + largest) + tolerance, 4.0);
  Pairs out;
  for (const Contact& c : scan) {
    const auto a = radius(c.first), b = radius(c.second);
    if (a && b && c.distance <= (*b + *a) + tolerance) out.emplace_back(c.first, c.second);
  }
  return out;
}

class RealEntrySearches : public ::testing::TestWithParam<const char*> {};

TEST_P(RealEntrySearches, EqualTheScans) {
  std::optional<Structure> loaded;
  testing::load_entry(GetParam(), &loaded);
  if (!loaded) return;
  const Structure& s = *loaded;
  EXPECT_TRUE(s.spatial_index().worth_searching(4.0));
#if defined(__SANITIZE_ADDRESS__)
  // The quadratic scans of the largest entry take minutes with the sanitizers; the random cases and
  // the other entries still run there.
  const bool all_pairs = s.atom_count() < 20000;
#else
  const bool all_pairs = true;
#endif
  if (all_pairs) {
    // One scan serves three cutoffs: the rows within a smaller cutoff are a subsequence of it.
    const std::vector<Contact> scan = *exhaustive::find_contacts(s, 4.0);
    ASSERT_TRUE(same_rows(*find_contacts(s, 4.0), scan));
    std::vector<Contact> near;
    std::copy_if(scan.begin(), scan.end(), std::back_inserter(near), [](const Contact& c) { return c.distance <= 1.2; });
    ASSERT_TRUE(same_rows(*find_contacts(s, 1.2), near));
    std::vector<Contact> within;
    std::copy_if(scan.begin(), scan.end(), std::back_inserter(within), [](const Contact& c) { return c.distance <= 2.5; });
    ASSERT_TRUE(same_rows(*contacts(s, 2.5, std::nullopt), stable_by_distance(within)));
    ASSERT_EQ(geometric_bond_pairs(s, 0.4),
              s.atom_count() < 20000 ? exhaustive::geometric_bond_pairs(s, 0.4) : bonds_among(s, scan, 0.4));
  }
  std::mt19937_64 rng(17);
  for (int k = 0; k < 40; ++k) {
    const std::uint64_t i = rng() % s.atom_count();
    ASSERT_EQ(geometric_bond_partners(s, i, 0.4), exhaustive::geometric_bond_partners(s, i, 0.4)) << i;
    const auto p = position_of(s.atoms[i]);
    if (!p) continue;
    const Vec3 origin{p->x + 0.5, p->y - 1.0, p->z};
    for (const double r : {3.0, 8.0, 15.0}) {
      ASSERT_TRUE(same_rows(nearest_atoms(s, origin, r, kAll), exhaustive::nearest_atoms(s, origin, r, kAll)));
      ASSERT_TRUE(same_rows(nearest_residues(s, origin, r, kAll), exhaustive::nearest_residues(s, origin, r, kAll)));
    }
  }
}

// Translated copies of one entry repeat every distance once per copy (to the last bit, or nearly):
// runs of hundreds of equal or nearly equal distances, which the order of the rows must settle by
// their atoms. With a cell around the copies, the last one touches the first across the cell face.
TEST(RealEntrySearchesOfCopies, EqualDistancesComeInScanOrder) {
  std::optional<Structure> loaded;
  testing::load_entry("1aki.cif", &loaded);
  if (!loaded) return;
  for (const bool periodic : {false, true}) {
    Structure copies;  // its atoms' longer texts stay in the loaded entry's arena, which outlives it
    constexpr int kCopies = 6;
    for (int k = 0; k < kCopies; ++k) {
      for (const AtomSite& atom : loaded->atoms) {
        AtomSite moved = atom;
        moved.x_value += 40.0 * k;
        copies.atoms.push_back(moved);
      }
    }
    if (periodic) copies.cell = UnitCell{40.0 * kCopies, 80, 80, 90, 90, 90};
    SCOPED_TRACE(periodic ? "periodic" : "no cell");
    const std::vector<Contact> scan = *exhaustive::find_contacts(copies, 4.0);
    ASSERT_TRUE(same_rows(*find_contacts(copies, 4.0), scan));
    const std::vector<Contact> sorted = stable_by_distance(scan);
    ASSERT_TRUE(same_rows(*contacts(copies, 4.0, std::nullopt), sorted));
    for (const std::size_t keep : {1, 333, 1000}) {  // cuts inside runs of equal distances
      ASSERT_TRUE(same_rows(*contacts(copies, 4.0, keep), first_rows(sorted, keep))) << keep;
    }
    ASSERT_EQ(geometric_bond_pairs(copies, 0.4), bonds_among(copies, scan, 0.4));
    std::size_t ties = 0;
    for (std::size_t k = 1; k < sorted.size(); ++k) ties += sorted[k].distance == sorted[k - 1].distance;
    EXPECT_GT(ties, sorted.size() / 2);  // the case this test is for
  }
}

INSTANTIATE_TEST_SUITE_P(Data, RealEntrySearches,
                         ::testing::Values("1aki.cif", "5i55.cif", "4p5j.cif", "1bna.cif", "1l2y.cif.gz",
                                           "1as5.cif.gz", "3o5r.cif.gz", "1pfe.cif.gz", "1xnr.cif.gz"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, 4) + (name.ends_with(".gz") ? "_gz" : "");
                         });

}  // namespace
}  // namespace quarn
