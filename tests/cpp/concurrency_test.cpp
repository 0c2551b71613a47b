// Threads asking a fresh Structure for its caches at once: each cache is built once, and every thread
// gets the answers of a single thread. Runs under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <latch>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "entries.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "quarn/spatial_index.hpp"

namespace quarn {
namespace {

// Every answer that reads a cache, as comparable plain values (distances by their bits).
struct Answers {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, int>> contacts;
  std::vector<std::uint64_t> offsets;
  std::vector<BondEntry> adjacency;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> explicit_bonds;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> hits;
  const void* graph = nullptr;
  const void* index = nullptr;
  friend bool operator==(const Answers&, const Answers&) = default;
};

// The queries in an order that starts at query `first`, so that threads reach each cache first from
// different queries.
Answers ask(const Structure& s, int first) {
  Answers a;
  for (int step = 0; step < 4; ++step) {
    switch ((first + step) % 4) {
      case 0: {
        const auto found = contacts(s, 4.0, std::nullopt);
        for (const Contact& c : *found) {
          a.contacts.emplace_back(c.first, c.second, std::bit_cast<std::uint64_t>(c.distance),
                                  static_cast<int>(c.classification));
        }
        break;
      }
      case 1: {
        const BondGraph g = sparse_adjacency(s, true, 0.4);
        a.offsets.assign(g.offsets().begin(), g.offsets().end());
        a.adjacency.assign(g.entries().begin(), g.entries().end());
        break;
      }
      case 2:
        a.explicit_bonds = s.explicit_bonds();
        a.graph = &s.bond_graph();
        break;
      case 3:
        for (const AtomHitRecord& h : nearest_atoms(s, Vec3{10, 10, 10}, 15.0, 500)) {
          a.hits.emplace_back(h.index, std::bit_cast<std::uint64_t>(h.distance));
        }
        a.index = &s.spatial_index();
        break;
    }
  }
  return a;
}

TEST(ConcurrentFirstCalls, EveryThreadGetsTheAnswersOfOne) {
  constexpr int kThreads = 8;
  std::optional<Structure> reference;
  testing::load_entry("1aki.cif", &reference);
  if (!reference) return;
  Answers expected = ask(*reference, 0);
  for (int round = 0; round < 3; ++round) {
    std::optional<Structure> fresh;
    testing::load_entry("1aki.cif", &fresh);
    std::vector<Answers> got(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
      threads.emplace_back([&, k] {
        start.arrive_and_wait();
        got[k] = ask(*fresh, k);
      });
    }
    for (std::thread& t : threads) t.join();
    // Built once: every thread was handed the same cache.
    expected.graph = &fresh->bond_graph();
    expected.index = &fresh->spatial_index();
    for (int k = 0; k < kThreads; ++k) EXPECT_TRUE(got[k] == expected) << "thread " << k << ", round " << round;
  }
}

}  // namespace
}  // namespace quarn
