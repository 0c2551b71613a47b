// Times the pair and neighbourhood searches of the core on one file, through the spatial index and,
// where it finishes in reasonable time, through the exhaustive scans, checking both agree.
//   usage: quarn_search_bench FILE.cif [--scan-all]
// The all-pairs scans run for files up to 20 000 atoms unless --scan-all is given (a million atoms
// take hours); the per-query scans always run.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/exhaustive.hpp"
#include "quarn/analyze/profile.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/reader.hpp"
#include "quarn/spatial_index.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F>
double timed(F&& f) {
  const auto start = Clock::now();
  f();
  return seconds_since(start);
}

void line(const char* what, double ours, double scan, const std::string& note) {
  if (scan > 0) {
    std::printf("%-34s %10.4f s  scan %10.4f s  %8.1f x faster  %s\n", what, ours, scan, scan / ours, note.c_str());
  } else {
    std::printf("%-34s %10.4f s  %s\n", what, ours, note.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.cif [--scan-all]\n", argv[0]);
    return 2;
  }
  const bool scan_all = argc > 2 && std::strcmp(argv[2], "--scan-all") == 0;
  quarn::Expected<quarn::Structure, quarn::ReaderError> loaded = quarn::unexpected(quarn::ReaderError{});
  const double load = timed([&] { loaded = quarn::load_structure(argv[1]); });
  if (!loaded) {
    std::fprintf(stderr, "%s\n", loaded.error().display().c_str());
    return 1;
  }
  const quarn::Structure& s = *loaded;
  const std::uint64_t n = s.atom_count();
  const bool pairs_scan = scan_all || n <= 20000;
  std::printf("file  %s: %llu atoms, %s\n", argv[1], static_cast<unsigned long long>(n),
              quarn::is_periodic(s) ? "periodic cell" : "no periodic cell");
  line("load_structure", load, 0, "");
  line("spatial index (first use)", timed([&] { s.spatial_index(); }), 0, "");
  // The first search on a fresh Structure builds its index (and, for the adjacency, its bond graph)
  // and touches fresh result memory; each operation gets structures of its own, loaded untimed.
  const auto first_and_repeated = [&](const char* what, auto&& op) {
    for (int round = 0; round < 2; ++round) {
      auto fresh = quarn::load_structure(argv[1]);
      const double first = timed([&] { op(*fresh); });
      double repeated = HUGE_VAL;
      for (int k = 0; k < 3; ++k) repeated = std::min(repeated, timed([&] { op(*fresh); }));
      std::printf("%-34s %10.4f s  repeated %8.4f s  first/repeated %.2f\n", what, first, repeated, first / repeated);
    }
  };
  first_and_repeated("first contacts(4.0)", [](const quarn::Structure& t) { quarn::contacts(t, 4.0, std::nullopt); });
  first_and_repeated("first sparse_adjacency(true, 0.4)",
                     [](const quarn::Structure& t) { quarn::sparse_adjacency(t, true, 0.4); });
  first_and_repeated("first geometric_bond_pairs(0.4)",
                     [](const quarn::Structure& t) { quarn::geometric_bond_pairs(t, 0.4); });
  int failures = 0;
  const auto check = [&failures](bool same, const char* what) {
    if (!same) {
      std::printf("MISMATCH in %s\n", what);
      ++failures;
    }
  };

  std::vector<quarn::Contact> found, scanned;
  // The first call also faults in fresh memory for its rows; the best of three shows the search.
  const double first = timed([&] { found = *quarn::contacts(s, 4.0, std::nullopt); });
  double contacts = first;
  for (int k = 0; k < 2; ++k) {
    found.clear();
    found.shrink_to_fit();
    contacts = std::min(contacts, timed([&] { found = *quarn::contacts(s, 4.0, std::nullopt); }));
  }
  double contacts_scan = 0;
  if (pairs_scan) {
    contacts_scan = timed([&] {
      scanned = *quarn::exhaustive::find_contacts(s, 4.0);
      std::stable_sort(scanned.begin(), scanned.end(),
                       [](const quarn::Contact& a, const quarn::Contact& b) { return a.distance < b.distance; });
    });
    check(found == scanned, "contacts");
  }
  line("contacts(4.0), best of 3", contacts, contacts_scan,
       std::to_string(found.size()) + " rows, first call " + std::to_string(first) + " s");
  const double enumeration = timed([&] { found = *quarn::find_contacts(s, 4.0); });
  line("find_contacts(4.0)", enumeration, 0, "scan order");

  std::vector<std::pair<std::uint64_t, std::uint64_t>> bonds, bonds_scan;
  const double bond_time = timed([&] { bonds = quarn::geometric_bond_pairs(s, 0.4); });
  double bond_scan = 0;
  if (pairs_scan) {
    bond_scan = timed([&] { bonds_scan = quarn::exhaustive::geometric_bond_pairs(s, 0.4); });
    check(bonds == bonds_scan, "geometric_bond_pairs");
  }
  line("geometric_bond_pairs(0.4)", bond_time, bond_scan, std::to_string(bonds.size()) + " pairs");
  quarn::BondGraph graph;
  const double adjacency = timed([&] { graph = quarn::sparse_adjacency(s, true, 0.4); });
  line("sparse_adjacency(true, 0.4)", adjacency, 0, std::to_string(graph.entry_count()) + " entries");

  // Per-query operations: 100 random atoms, each query repeated through the scan for the ratio.
  std::mt19937_64 rng(1);
  std::vector<std::uint64_t> picks;
  for (int k = 0; k < 100; ++k) picks.push_back(rng() % n);
  double profile = 0, profile_scan = 0, atoms = 0, atoms_scan = 0, residues = 0, residues_scan = 0;
  quarn::atom_profile(s, picks[0], true, 0.4);  // builds the bond graph
  for (const std::uint64_t i : picks) {
    profile += timed([&] { quarn::atom_profile(s, i, true, 0.4); });
    std::vector<std::uint64_t> partners, partners_scan;
    partners = quarn::geometric_bond_partners(s, i, 0.4);
    profile_scan += timed([&] { partners_scan = quarn::exhaustive::geometric_bond_partners(s, i, 0.4); });
    check(partners == partners_scan, "geometric_bond_partners");
    const auto p = quarn::position_of(s.atoms[i]);
    if (!p) continue;
    const quarn::Vec3 origin{p->x + 1.0, p->y, p->z};
    std::vector<quarn::AtomHitRecord> hits, hits_scan;
    atoms += timed([&] { hits = quarn::nearest_atoms(s, origin, 8.0, UINT64_MAX); });
    atoms_scan += timed([&] { hits_scan = quarn::exhaustive::nearest_atoms(s, origin, 8.0, UINT64_MAX); });
    check(hits.size() == hits_scan.size() &&
              std::equal(hits.begin(), hits.end(), hits_scan.begin(),
                         [](const auto& a, const auto& b) { return a.index == b.index && a.distance == b.distance; }),
          "nearest_atoms");
    std::vector<quarn::ResidueHitRecord> res, res_scan;
    residues += timed([&] { res = quarn::nearest_residues(s, origin, 8.0, UINT64_MAX); });
    residues_scan += timed([&] { res_scan = quarn::exhaustive::nearest_residues(s, origin, 8.0, UINT64_MAX); });
    check(res.size() == res_scan.size(), "nearest_residues");
  }
  line("atom_profile(i, true, 0.4) x100", profile, profile_scan, "scan: the atom against every other");
  line("nearest_atoms(8.0) x100", atoms, atoms_scan, "");
  line("nearest_residues(8.0) x100", residues, residues_scan, "");
  return failures == 0 ? 0 : 1;
}
