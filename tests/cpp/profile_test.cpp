// Atom profiles: refusals, neighbours from the augmented graph, electronegativity, hybridization.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "builder.hpp"
#include "entries.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/profile.hpp"

namespace quarn {
namespace {

using testing::label;
using testing::StructureBuilder;
using Entries = std::vector<BondEntry>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto kGeo = BondType::covalent_unknown;

TEST(ProfileRefusals, IndexFirstThenToleranceOnlyWithGeometry) {
  const Structure s = StructureBuilder().atom("C", {0, 0, 0}).atom("C", {1.54, 0, 0}).take();
  const auto refusal = [&](std::uint64_t i, bool geometric, double tolerance) -> std::string {
    const auto p = atom_profile(s, i, geometric, tolerance);
    return p ? "" : p.error().message;
  };
  EXPECT_EQ(refusal(2, false, 0.0), "atom_index out of range");
  EXPECT_EQ(refusal(~std::uint64_t{0}, true, 0.4), "atom_index out of range");
  EXPECT_EQ(refusal(2, true, -1.0), "atom_index out of range");
  EXPECT_EQ(refusal(1, true, -1.0), "tolerance must be non-negative");
  EXPECT_EQ(refusal(1, true, -std::numeric_limits<double>::denorm_min()), "tolerance must be non-negative");
  EXPECT_EQ(refusal(1, false, -1.0), "");
  EXPECT_EQ(refusal(1, true, 0.0), "");
  EXPECT_EQ(refusal(1, true, -0.0), "");
  EXPECT_EQ(refusal(1, true, kNaN), "");
  EXPECT_FALSE(atom_profile(Structure(), 0, false, 0.0).has_value());
}

TEST(ProfileNeighbours, GeometryOnlyOnRequestAndNeverForUnpositionedAtoms) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).name("C1").residue("LIG", "A", 1);
  b.atom("C", {1.54, 0, 0}).name("C2").residue("LIG", "A", 1);
  b.atom_without_position("O").name("O").residue("LIG", "A", 1);
  b.chem_comp_bond("LIG", "O", "C2", BondType::covalent_double);
  const Structure s = b.take();
  EXPECT_EQ(atom_profile(s, 0, true, 0.1)->neighbors, (Entries{{1, kGeo}}));
  EXPECT_EQ(atom_profile(s, 1, true, 0.1)->neighbors, (Entries{{2, BondType::covalent_double}, {0, kGeo}}));
  EXPECT_EQ(atom_profile(s, 0, true, 0.0)->neighbors, Entries{});
  EXPECT_EQ(atom_profile(s, 0, true, kNaN)->neighbors, Entries{});
  EXPECT_EQ(atom_profile(s, 0, false, 0.1)->neighbors, Entries{});
  EXPECT_EQ(atom_profile(s, 2, true, 5.0)->neighbors, (Entries{{1, BondType::covalent_double}}));
  EXPECT_EQ(atom_profile(s, 2, true, 5.0)->index, 2u);

  // A declared bond that geometry also finds is listed once, with its declared type.
  StructureBuilder d;
  d.atom("C", {0, 0, 0}).name("C1").residue("LIG", "A", 1);
  d.atom("C", {1.54, 0, 0}).name("C2").residue("LIG", "A", 1);
  d.chem_comp_bond("LIG", "C2", "C1", BondType::covalent_triple);
  const Structure declared = d.take();
  EXPECT_EQ(atom_profile(declared, 0, true, 0.1)->neighbors, (Entries{{1, BondType::covalent_triple}}));
  EXPECT_EQ(atom_profile(declared, 1, true, 0.1)->neighbors, (Entries{{0, BondType::covalent_triple}}));
}

TEST(ProfileElement, ElectronegativityFromTheResolvedElement) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0});
  b.atom("", {5, 0, 0}).name("CA");  // an alpha carbon without type symbol reads as calcium
  b.atom("XX", {9, 0, 0}).name("CB");
  b.atom("", {13, 0, 0}).name("N");
  const Structure s = b.take();
  EXPECT_EQ(atom_profile(s, 0, false, 0)->electronegativity, 2.55);
  EXPECT_EQ(atom_profile(s, 1, false, 0)->electronegativity, 1.00);
  EXPECT_EQ(atom_profile(s, 1, false, 0)->hybridization, std::nullopt);
  EXPECT_EQ(atom_profile(s, 2, false, 0)->electronegativity, std::nullopt);
  EXPECT_EQ(atom_profile(s, 3, false, 0)->electronegativity, 3.04);
}

// Atom 0 of the given type with neighbours: `heavy` carbons, then `light` hydrogens, then `unknown`
// atoms of no element. Returns assign_hybridization over exactly those entries.
std::optional<Hybridization> hybrid(std::string_view type, int heavy, int light, int unknown = 0) {
  StructureBuilder b;
  b.atom(type, {0, 0, 0});
  Entries neighbours;
  for (int k = 0; k < heavy + light + unknown; ++k) {
    b.atom(k < heavy ? "C" : k < heavy + light ? "H" : "XX", {10.0 + k, 0, 0});
    neighbours.push_back({static_cast<std::uint64_t>(k + 1), std::nullopt});
  }
  const Structure s = b.take();
  return assign_hybridization(s, 0, neighbours);
}

TEST(Hybridization, CarbonAndNitrogenByDegree) {
  for (std::string_view type : {"C", "N"}) {
    EXPECT_EQ(hybrid(type, 0, 0), std::nullopt) << type;
    EXPECT_EQ(hybrid(type, 1, 0), std::nullopt) << type;
    EXPECT_EQ(hybrid(type, 1, 1), Hybridization::sp) << type;
    EXPECT_EQ(hybrid(type, 0, 3), Hybridization::sp2) << type;  // every neighbour counts for the degree
    EXPECT_EQ(hybrid(type, 2, 2), Hybridization::sp3) << type;
    EXPECT_EQ(hybrid(type, 3, 2), Hybridization::sp3) << type;
    EXPECT_EQ(hybrid(type, 2, 3), std::nullopt) << type;
    EXPECT_EQ(hybrid(type, 2, 0, 3), std::nullopt) << type;  // neighbours without element are not heavy
    EXPECT_EQ(hybrid(type, 6, 0), Hybridization::sp3) << type;
  }
}

TEST(Hybridization, OxygenAndSulfurByDegree) {
  for (std::string_view type : {"O", "S"}) {
    EXPECT_EQ(hybrid(type, 0, 0), std::nullopt) << type;
    EXPECT_EQ(hybrid(type, 0, 1), Hybridization::sp) << type;
    EXPECT_EQ(hybrid(type, 1, 1), Hybridization::sp2) << type;
    EXPECT_EQ(hybrid(type, 0, 3), Hybridization::sp3) << type;
    EXPECT_EQ(hybrid(type, 4, 0), Hybridization::sp3) << type;
    EXPECT_EQ(hybrid(type, 2, 3), Hybridization::sp2) << type;
    EXPECT_EQ(hybrid(type, 1, 4), std::nullopt) << type;
    EXPECT_EQ(hybrid(type, 1, 0, 4), std::nullopt) << type;
  }
}

TEST(Hybridization, NoneForOtherElementsOrWithoutOne) {
  for (std::string_view type : {"H", "F", "P", "K", "I", "CL", "CA", "CU", "FE", "SE", "XX", ""}) {
    for (int degree = 0; degree <= 5; ++degree) EXPECT_EQ(hybrid(type, degree, 0), std::nullopt) << type << degree;
  }
  const Structure s = StructureBuilder().atom("C", {0, 0, 0}).take();
  const Entries two = {{0, std::nullopt}, {0, std::nullopt}};
  EXPECT_EQ(assign_hybridization(s, 0, two), Hybridization::sp);
  EXPECT_EQ(assign_hybridization(s, 1, two), std::nullopt);
  // Neighbour indices beyond the atoms are not heavy (and are not read).
  const Entries far = {{7, std::nullopt}, {8, std::nullopt}, {9, std::nullopt}, {0, std::nullopt}, {0, std::nullopt}};
  EXPECT_EQ(assign_hybridization(s, 0, far), std::nullopt);
  EXPECT_EQ(hybridization_text(Hybridization::sp), "sp");
  EXPECT_EQ(hybridization_text(Hybridization::sp2), "sp2");
  EXPECT_EQ(hybridization_text(Hybridization::sp3), "sp3");
}

TEST(Hybridization, ThroughTheProfileOfAMolecule) {
  // Methanol: C with three hydrogens and O; O with the C and one hydrogen.
  StructureBuilder b;
  b.atom("C", {0, 0, 0});
  b.atom("O", {1.43, 0, 0});
  b.atom("H", {-0.36, 1.03, 0});
  b.atom("H", {-0.36, -0.51, 0.89});
  b.atom("H", {-0.36, -0.51, -0.89});
  b.atom("H", {1.75, 0.9, 0});
  const Structure s = b.take();
  EXPECT_EQ(atom_profile(s, 0, true, 0.4)->hybridization, Hybridization::sp3);
  EXPECT_EQ(atom_profile(s, 1, true, 0.4)->hybridization, Hybridization::sp2);
  EXPECT_EQ(atom_profile(s, 0, false, 0.4)->hybridization, std::nullopt);
}

TEST(ProfileNeighbours, EqualTheSparseAdjacencyRowOfEveryAtom) {
  StructureBuilder b;
  b.cell(9, 8, 11);
  const char* types[] = {"C", "N", "O", "S", "H", "ZN", "XX", "C", "SE"};
  for (int i = 0; i < 60; ++i) {
    const double x = (i * 7 % 23) * 0.53, y = (i * 11 % 19) * 0.49, z = (i * 5 % 17) * 0.71 - 2;
    if (i % 17 == 16) {
      b.atom_without_position(types[i % 9]).name("X").residue("RES", "A", i / 2);
    } else {
      b.atom(types[i % 9], {i == 30 ? kNaN : x, y, z}).name(i % 2 ? "A1" : "A2").residue("RES", "A", i / 2);
    }
  }
  b.chem_comp_bond("RES", "A1", "A2", BondType::covalent_single);
  b.chem_comp_bond("RES", "A2", "A2", std::nullopt);
  for (int seq = 0; seq < 29; seq += 2) {
    b.struct_conn(label("A", seq, "A1"), label("A", seq + 1, "A2"), seq % 4 ? std::optional(BondType::metallic) : std::nullopt);
  }
  b.struct_conn(label("A", 8, "X"), label("A", 5, "A2"), BondType::hydrogen_bond);
  // A bond both declared and within geometric reach, declared from its higher end.
  b.atom("C", {1, 1, 1}).name("B1").residue("RES", "B", 1);
  b.atom("C", {1, 1, 2.4}).name("B2").residue("RES", "B", 1);
  b.struct_conn(label("B", 1, "B2"), label("B", 1, "B1"), BondType::covalent_double);
  const Structure s = b.take();
  EXPECT_GT(s.bond_graph().entry_count(), 20u);
  for (const bool geometric : {false, true}) {
    for (const double tolerance : {0.0, 0.4, 1.2, kNaN}) {
      const BondGraph g = sparse_adjacency(s, geometric, tolerance);
      ASSERT_EQ(g.size(), s.atom_count());
      for (std::uint64_t i = 0; i < s.atom_count(); ++i) {
        // Every bond shows in the lists of both its atoms, as often and with the same type.
        for (const BondEntry& e : g.neighbors(i)) {
          const auto back = g.neighbors(e.neighbor);
          const auto forth = g.neighbors(i);
          EXPECT_EQ(std::count(back.begin(), back.end(), BondEntry{i, e.bond_type}),
                    std::count(forth.begin(), forth.end(), BondEntry{e.neighbor, e.bond_type}));
        }
        const auto p = atom_profile(s, i, geometric, tolerance);
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->neighbors, Entries(g.neighbors(i).begin(), g.neighbors(i).end())) << i << " " << tolerance;
        EXPECT_EQ(p->hybridization, assign_hybridization(s, i, g.neighbors(i))) << i;
      }
    }
  }
}

TEST(RealEntryProfiles, EqualTheSparseAdjacencyRowOfEveryAtom) {
  for (const char* file : {"1aki.cif", "5i55.cif", "1as5.cif.gz"}) {
    std::optional<Structure> s;
    testing::load_entry(file, &s);
    if (!s) return;
    for (const bool geometric : {false, true}) {
      const BondGraph g = sparse_adjacency(*s, geometric, 0.4);
      ASSERT_EQ(g.size(), s->atom_count());
      std::uint64_t mismatches = 0;
      for (std::uint64_t i = 0; i < s->atom_count(); ++i) {
        const auto p = atom_profile(*s, i, geometric, 0.4);
        mismatches += p->neighbors != Entries(g.neighbors(i).begin(), g.neighbors(i).end());
        mismatches += p->hybridization != assign_hybridization(*s, i, g.neighbors(i));
      }
      EXPECT_EQ(mismatches, 0u) << file << " geometric " << geometric;
      if (geometric) {
        EXPECT_GT(g.entry_count(), s->atom_count()) << file;
      }
    }
  }
}

}  // namespace
}  // namespace quarn
