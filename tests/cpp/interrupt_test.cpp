// Stopping long calls through the caller's interrupt check: the call throws Interrupted, frees what it
// made and leaves the structure answering as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "builder.hpp"
#include "model/pair_sort.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/contacts.hpp"
#include "quarn/interrupt.hpp"
#include "quarn/reader.hpp"
#include "quarn/spatial_index.hpp"

namespace quarn {
namespace {

using testing::StructureBuilder;

// Says stop from its `stop_at`-th question on, and counts them.
struct Countdown {
  int asked = 0;
  int stop_at;
  static bool check(void* self) noexcept {
    auto* c = static_cast<Countdown*>(self);
    return ++c->asked >= c->stop_at;
  }
};

Structure grid(int side) {
  StructureBuilder b;
  for (int i = 0; i < side * side * side; ++i) {
    b.atom(i % 3 ? "C" : "N", {1.4 * (i % side), 1.4 * (i / side % side), 1.4 * (i / side / side)});
  }
  return b.take();
}

bool same_graph(const BondGraph& a, const BondGraph& b) {
  if (a.size() != b.size()) return false;
  for (std::uint64_t i = 0; i < a.size(); ++i) {
    const auto x = a.neighbors(i), y = b.neighbors(i);
    if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
  }
  return true;
}

struct ForcedParts {
  explicit ForcedParts(unsigned parts) { detail::set_search_parts(parts); }
  ~ForcedParts() { detail::set_search_parts(0); }
};

TEST(Interrupt, AStoppedSearchLeavesTheStructureAnsweringAsBefore) {
  const Structure s = grid(30);
  const Structure fresh = grid(30);
  for (unsigned parts : {1u, 2u, 4u}) {
    const ForcedParts forced(parts);
    {
      Countdown c{0, 1};
      const InterruptScope scope(Countdown::check, &c);
      EXPECT_THROW((void)contacts(s, 6.0, std::nullopt), Interrupted) << parts;
      EXPECT_THROW((void)sparse_adjacency(s, true, 2.0), Interrupted) << parts;
      EXPECT_GE(c.asked, 1);
    }
    // No check installed: nothing stops, and the answers are those of an untouched structure.
    EXPECT_EQ(*contacts(s, 6.0, 1000), *contacts(fresh, 6.0, 1000)) << parts;
    EXPECT_TRUE(same_graph(sparse_adjacency(s, true, 0.4), sparse_adjacency(fresh, true, 0.4))) << parts;
  }
}

TEST(Interrupt, ACheckThatNeverSaysStopChangesNothing) {
  const Structure s = grid(16);
  const auto expected = contacts(s, 5.0, std::nullopt);
  Countdown c{0, 1 << 30};
  const InterruptScope scope(Countdown::check, &c);
  EXPECT_EQ(*contacts(s, 5.0, std::nullopt), *expected);
  EXPECT_EQ(dense_distance_matrix(s, {}).distances.size(), s.atom_count() * s.atom_count());
}

TEST(Interrupt, AParseStopsAndScopesNest) {
  std::string text = "data_x\nloop_\n_atom_site.id\n_atom_site.type_symbol\n_atom_site.Cartn_x\n"
                     "_atom_site.Cartn_y\n_atom_site.Cartn_z\n";
  for (int i = 0; i < 20000; ++i) text += std::to_string(i) + " C 1 2 3\n";
  Countdown outer{0, 1};
  const InterruptScope stop(Countdown::check, &outer);
  {
    const InterruptScope never(nullptr, nullptr);  // an inner scope without a check
    EXPECT_FALSE(interrupt_watched());
    EXPECT_EQ(parse_text(text, true)->atom_count(), 20000u);
  }
  EXPECT_TRUE(interrupt_watched());
  // Another thread has its own (here none): it is never asked this thread's check.
  bool elsewhere = true;
  std::thread([&] { elsewhere = interrupt_watched() || interrupt_requested(); }).join();
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(outer.asked, 0);
  EXPECT_THROW((void)parse_text(text, true), Interrupted);
  EXPECT_TRUE(interrupt_requested());  // once said, it holds for the scope
}

// The sorts' steps over whole arrays check between slices: they give std::unique's answer across
// slice boundaries (runs of three straddle them), and stop when asked.
TEST(Interrupt, SlicedArrayStepsAnswerAsWholeOnesAndStop) {
  std::vector<std::uint64_t> values(3'000'000);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = i / 3 + (i % 1000 == 0 ? 7 : 0);
  std::vector<std::uint64_t> expected = values;
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  std::vector<std::uint64_t> kept = values;
  kept.resize(detail::unique_in_slices(kept.data(), kept.size()));
  EXPECT_EQ(kept, expected);
  Countdown c{0, 1};
  const InterruptScope scope(Countdown::check, &c);
  EXPECT_THROW((void)detail::unique_in_slices(values.data(), values.size()), Interrupted);
  EXPECT_THROW(detail::fault_in(values.data(), values.size()), Interrupted);
}

}  // namespace
}  // namespace quarn
