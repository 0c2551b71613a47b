// The memory checks that turn exhaustion into an error: the reading of available memory, and the
// growing containers of a Structure that ask before each large step.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <new>
#include <string>

#include "builder.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/atom_list.hpp"
#include "quarn/contacts.hpp"
#include "quarn/memory.hpp"
#include "quarn/text.hpp"

namespace quarn {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::uint64_t resident_bytes() {
  std::ifstream in("/proc/self/statm");
  std::uint64_t pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

class MemoryCeiling {
 public:
  explicit MemoryCeiling(std::uint64_t room) { detail::set_memory_ceiling(resident_bytes() + room); }
  ~MemoryCeiling() { detail::set_memory_ceiling(0); }
  MemoryCeiling(const MemoryCeiling&) = delete;
  MemoryCeiling& operator=(const MemoryCeiling&) = delete;
};

TEST(Memory, ReadsTheSystemAndHonoursACeiling) {
  const MemoryReading m = available_memory();
  ASSERT_TRUE(m.known) << "Linux says how much memory is available";
  EXPECT_GT(m.bytes, 0u);
  EXPECT_LE(m.bytes, m.total);
  EXPECT_TRUE(fits_in_memory(kMiB));
  EXPECT_FALSE(fits_in_memory(m.total));  // the reserve is kept back
  EXPECT_FALSE(fits_in_memory(~std::uint64_t{0}));
  {
    MemoryCeiling ceiling(100 * kMiB);
    const MemoryReading c = available_memory();
    EXPECT_LE(c.bytes, 100 * kMiB);
    EXPECT_GT(c.bytes, 90 * kMiB);
    EXPECT_LT(c.total, m.total);
    EXPECT_TRUE(fits_in_memory(80 * kMiB));
    EXPECT_FALSE(fits_in_memory(100 * kMiB));
  }
  EXPECT_EQ(available_memory().total, m.total);
}

struct Record {
  std::uint64_t a, b, c;
};

TEST(Memory, AListThatOutgrowsMemoryThrowsAndStaysWhole) {
  BlockList<Record> list;
  {
    MemoryCeiling ceiling(100 * kMiB);
    EXPECT_THROW(
        {
          for (std::uint64_t i = 0;; ++i) list.push_back({i, i, i});
        },
        std::bad_alloc);
  }
  // It stopped at a step of 64 MiB, before the ceiling, with every element still in place.
  const std::size_t per_block = BlockList<Record>::kBlockSize;
  EXPECT_EQ(list.size() % per_block, 0u);
  EXPECT_GE(list.size() * sizeof(Record), 60 * kMiB);
  EXPECT_LT(list.size() * sizeof(Record), 100 * kMiB);
  for (std::size_t i = 0; i < list.size(); i += per_block / 3) ASSERT_EQ(list[i].b, i);
  list.push_back({1, 2, 3});  // with the memory back it grows again
  EXPECT_EQ(list.back().c, 3u);
}

TEST(Memory, AnArenaAsksBeforeATextTooLargeForMemory) {
  TextArena arena;
  const std::string big(150 * kMiB, 'x');
  {
    MemoryCeiling ceiling(100 * kMiB);
    EXPECT_THROW(arena.store(big), std::bad_alloc);
    EXPECT_EQ(arena.bytes_reserved(), 0u);
    EXPECT_EQ(arena.store(std::string(1000, 'y')).view().size(), 1000u);  // small texts still fit
  }
  EXPECT_EQ(arena.store(big).view().size(), big.size());
}

TEST(Memory, AResultOfEveryPairFailsCleanlyWhenItCannotFit) {
  // 4000 atoms with a cutoff and a tolerance that take in every pair: 8 million rows, far more than
  // the room left, so each result must throw rather than grow until the kernel steps in.
  testing::StructureBuilder b;
  for (int i = 0; i < 4000; ++i) b.atom("C", {1.0 * (i % 16), 1.0 * (i / 16 % 16), 1.0 * (i / 256)});
  const Structure s = b.take();
  {
    const MemoryCeiling ceiling(64 * kMiB);
    EXPECT_THROW(contacts(s, 1e9, std::nullopt), std::bad_alloc);
    EXPECT_THROW(find_contacts(s, 1e9), std::bad_alloc);
    EXPECT_THROW(geometric_bond_pairs(s, 1e9), std::bad_alloc);
    EXPECT_THROW(augmented_bond_graph(s, true, 1e9), std::bad_alloc);
  }
  // The structure is unharmed and small questions still work.
  const auto near = contacts(s, 1.5, std::nullopt);  // the carbons' bond length, 0.75 + 0.75
  ASSERT_TRUE(near.has_value());
  EXPECT_FALSE(near->empty());
  EXPECT_EQ(geometric_bond_pairs(s, 0.0).size(), near->size());
}

}  // namespace
}  // namespace quarn
