// A grid over the finite atom positions of a Structure that finds the atoms near a point, or the
// pairs within a reach, by looking only at nearby atoms.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarn/found_pairs.hpp"
#include "quarn/geometry.hpp"
#include "quarn/scratch_array.hpp"
#include "quarn/structure.hpp"

namespace quarn {

namespace detail {

// Whether the processor has the fused multiply-add instruction; decided once. Never throws.
bool has_fma() noexcept;

// Why two builds of each hot loop: without the instruction every std::fma in pair_distance is a
// library call. Both give the same bits (one rounding either way), and -ffp-contract=off keeps either
// build from fusing anything else. Everything the loop calls is inlined into both (flatten); each
// instantiation has its own lambda type, so the two builds never share code.
// (Not target_clones: GCC 12 loses exception unwinding through such clones, so a std::bad_alloc
// inside would end the process.)
#if defined(__x86_64__) && defined(__GNUC__)
template <class Loop>
__attribute__((target("fma"), flatten)) void run_with_fma(Loop& loop) {
  loop();
}
#endif
template <class Loop>
__attribute__((flatten)) void run_without_fma(Loop& loop) {
  loop();
}

// How many parts a pair search over an index of `slots` slots runs in, side by side: one per
// processor, while each part keeps enough atoms to be worth a thread. Never throws.
unsigned search_parts(std::uint32_t slots) noexcept;
// For tests: run every pair search, indexed or scanning, in exactly `parts` parts (0 restores the
// choice above); forced_search_parts() tells the forced number, 0 when none.
void set_search_parts(unsigned parts) noexcept;
unsigned forced_search_parts() noexcept;

}  // namespace detail

// Runs a search's hot loop, built for this processor: with fused multiply-add instructions when it
// has them. Exceptions (std::bad_alloc) pass through.
template <class Loop>
void run_search(Loop&& loop) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (detail::has_fma()) {
    detail::run_with_fma(loop);
    return;
  }
#endif
  detail::run_without_fma(loop);
}

// Layout: every positioned atom has a slot; those with three finite coordinates come first and are
// grouped in space, the others (a NaN or infinite coordinate) follow in index order, outside every
// row, so that a scan sees every atom through the same slots. The finite slots are grouped in rows, pencils
// along x of one y cell and one z cell (a cube edge of `cell_edge`), rows in order of (z cell,
// y cell), and within a row slots ascend in x. Only occupied rows are stored, so memory is linear in
// the atom count however far apart the atoms lie.
//
// The index only proposes candidates; callers confirm each with pair_distance, so results are those
// of a scan over every atom as long as no qualifying atom is left out. Two things make sure of that:
// - every search box is the reach padded by a margin relative to the coordinate magnitude, far more
//   than the rounding of a difference, a minimum-image shift or a box bound can take away;
// - a position goes to its cell through one monotone function (subtract, multiply, floor, clamp),
//   applied alike to the atoms and to the box bounds, so whatever lies inside a box in coordinates
//   lies inside it in cells. Clamping huge cell numbers keeps that order, it only merges far cells.
// Periodic cells: the one-shift minimum image turns a displacement d into d - L, d or d + L on each
// axis, so the pairs within reach of p lie within reach of p, p - L or p + L per axis; the searches
// cover each of those images of the query point that meets the grid.
//
// Built once per Structure (Structure::spatial_index()), read-only afterwards. Never throws except
// std::bad_alloc (a MemoryShortage, also for a structure of kMaxPairedAtoms atoms or more, which a
// slot cannot number); the queries below never allocate except where they say.
class SpatialIndex {
 public:
  // Cell edge of the cached index: near the spacing of bonded atoms, so a contact or bond search looks
  // at a few rows per atom and a row holds a short run of atoms.
  static constexpr double kCellEdge = 2.5;

  SpatialIndex() = default;
  // May throw std::bad_alloc. `cell_edge` must be finite and positive. Linear in the atoms (plus the
  // cells of their box, or a sort where that box is mostly empty); large structures are built in parts
  // side by side, on as many threads as a pair search uses (detail::search_parts), which only read `s`.
  static SpatialIndex build(const Structure& s, double cell_edge = kCellEdge);

  // The slots with finite coordinates: [0, size()). All slots: [0, slot_count()).
  std::uint32_t size() const noexcept { return finite_; }
  std::uint32_t slot_count() const noexcept { return slots_; }
  std::uint64_t atom(std::uint32_t slot) const noexcept { return atom_[slot]; }
  Vec3 position(std::uint32_t slot) const noexcept { return {x_[slot], y_[slot], z_[slot]}; }
  // Covalent radius of the slot's element; NaN when it has none.
  double covalent_radius(std::uint32_t slot) const noexcept { return radius_[slot]; }
  // Largest covalent radius of any finite slot; NaN when no finite slot has one.
  double max_covalent_radius() const noexcept { return max_radius_; }
  // The atoms of the slots from size() on: positioned atoms with a NaN or infinite coordinate, ascending.
  std::span<const std::uint32_t> non_finite_atoms() const noexcept {
    return std::span<const std::uint32_t>(atom_ + finite_, atom_ + slots_);
  }
  // The slot of atom `atom`, found near its `position`; nothing when the atom has no slot.
  std::optional<std::uint32_t> slot_of(std::uint64_t atom, Vec3 position) const;
  const DistanceRule& distance() const noexcept { return distance_; }

  // Whether a search of this reach prunes anything: the index holds enough atoms, the reach is
  // finite and does not span the atoms on every axis. Otherwise a scan of every atom costs no more.
  bool worth_searching(double reach) const noexcept;

  // Calls visit(slot) once for every slot that lies within `reach` of `origin` (any finite point) or
  // of one of its periodic images, plus some that lie a little farther; the caller confirms each.
  // Allocates a list of the rows it looks at, and of the slots when it looks around several images.
  template <class Visit>
  void near(Vec3 origin, double reach, Visit&& visit) const;

  // The row lists of one pair search part, made before the part runs, so that it allocates nothing.
  struct SweepRoom {
    ScratchArray<std::uint32_t> targets, lo, hi;
  };
  // May throw std::bad_alloc (a MemoryShortage).
  SweepRoom sweep_room() const;

  // Offers every pair of finite slots whose distance may be within reach, for a rule that provides:
  //   double max_reach() const;            at least every reach(a)
  //   double reach(std::uint32_t a) const;  search reach around slot a; a NaN or negative one skips a
  //   void consider(std::uint32_t a, std::uint32_t b);   a candidate pair, a != b, in either order
  //   bool running() const;                (optional) polled once per row: false stops the search
  // Every pair (a, b) whose distance is within both reach(a) and reach(b) is offered at least once.
  // Without a periodic cell every pair is offered at most once; with one, a pair may come again
  // through another image of the cell, so callers drop repeats. Allocates nothing beyond `room`.
  // `part` of `parts` (the default: all) offers only the pairs whose source slot lies in that share of
  // the rows; the parts together offer what the whole search does, and may run side by side.
  template <class Rule>
  void pairs(Rule& rule, SweepRoom& room, unsigned part = 0, unsigned parts = 1) const;
  // The same with its own room; may throw std::bad_alloc.
  template <class Rule>
  void pairs(Rule& rule, unsigned part = 0, unsigned parts = 1) const {
    SweepRoom room = sweep_room();
    pairs(rule, room, part, parts);
  }

 private:
  struct Row {
    std::uint64_t key;          // z cell << 32 | y cell
    std::uint32_t begin;        // first slot; the row ends where the next begins
    double y_min, y_max;        // extent of its slots, tighter than the cell
    double z_min, z_max;
  };
  struct CellBox {              // an inclusive range of y cells and of z cells
    std::uint32_t y_lo, y_hi, z_lo, z_hi;
  };
  struct Shift {                // subtracted from the query point: one periodic image
    double x, y, z;
  };

  static constexpr std::uint32_t kMaxCell = 0x7ffffffe;  // keeps z + 1 within the key's 32 bits

  std::uint32_t row_begin(std::size_t r) const noexcept { return rows_[r].begin; }
  std::uint32_t row_end(std::size_t r) const noexcept {
    return r + 1 < rows_.size() ? rows_[r + 1].begin : size();
  }
  // The reach widened by the rounding margin.
  double padded(double reach, double magnitude) const noexcept {
    return reach + (reach + magnitude) * 0x1p-40;
  }
  // The row of the slots [begin, end), which lie in the cells of `key`.
  Row make_row(std::uint64_t key, std::uint32_t begin, std::uint32_t end) const noexcept;
  // The cells of the coordinates in [lo, hi] on axis 1 (y) or 2 (z); false when none is occupied.
  bool cell_range(double lo, double hi, int axis, std::uint32_t* first, std::uint32_t* last) const noexcept;
  bool box_of(double y_lo, double y_hi, double z_lo, double z_hi, CellBox* box) const noexcept;
  // Appends the rows inside `box` whose key is at least `from`, in key order, with out.push_back.
  template <class Out>
  void rows_in(const CellBox& box, std::uint64_t from, Out& out) const;
  // A list in room made beforehand, which can hold every row.
  struct RowList {
    std::uint32_t* data;
    std::size_t size;
    void push_back(std::uint32_t row) noexcept { data[size++] = row; }
    void clear() noexcept { size = 0; }
    bool empty() const noexcept { return size == 0; }
    std::uint32_t operator[](std::size_t k) const noexcept { return data[k]; }
  };
  // The images of a query point around which something may lie within `reach`: the point itself and,
  // on a periodic cell, its shifts by one edge that meet the grid. Returns how many were written.
  int images(Vec3 p, double reach, Shift (&out)[27]) const noexcept;
  // The slots of row r whose x lies in [lo, hi].
  std::pair<std::uint32_t, std::uint32_t> x_window(std::size_t r, double lo, double hi) const noexcept;

  // The rows whose slots are part `part` of `parts` even shares of the slots: [first, last).
  std::pair<std::size_t, std::size_t> part_rows(unsigned part, unsigned parts) const noexcept;

  template <bool kHalf, class Rule>
  void sweep(Rule& rule, std::pair<std::size_t, std::size_t> sources, Shift shift, double max_reach,
             SweepRoom& room) const;

  DistanceRule distance_;
  double inv_edge_ = 1 / kCellEdge;
  Vec3 lower_{0, 0, 0};         // smallest coordinate of any slot on each axis
  Vec3 upper_{0, 0, 0};         // largest
  std::uint32_t y_cells_ = 0;   // largest y cell in use
  std::uint32_t z_cells_ = 0;   // largest z cell in use
  double magnitude_ = 0;        // largest |coordinate| of any slot and largest finite periodic edge
  double max_radius_ = std::nan("");
  // Every slot's values in one allocation, written once in full when built (no zeroing first). Why
  // one: together they fill huge pages where separate arrays of 100,000 atoms would each fault in
  // small ones. The pointers below point into it and move with it.
  ScratchArray<std::byte> store_;
  const double* x_ = nullptr;
  const double* y_ = nullptr;
  const double* z_ = nullptr;
  const double* radius_ = nullptr;
  const std::uint32_t* atom_ = nullptr;  // atom indices fit in 31 bits (kMaxPairedAtoms)
  std::uint32_t slots_ = 0;
  std::uint32_t finite_ = 0;          // slots with finite coordinates, the first ones
  std::vector<Row> rows_;
};

template <class Visit>
void SpatialIndex::near(Vec3 origin, double reach, Visit&& visit) const {
  if (finite_ == 0 || !(reach >= 0)) return;
  const double magnitude =
      std::max({magnitude_, std::fabs(origin.x), std::fabs(origin.y), std::fabs(origin.z)});
  const double r = padded(reach, magnitude);
  Shift shifts[27];
  const int count = images(origin, r, shifts);
  std::vector<std::uint32_t> rows;
  std::vector<std::uint32_t> seen;  // only with several images, which may find a slot twice
  for (int k = 0; k < count; ++k) {
    const Vec3 q{origin.x - shifts[k].x, origin.y - shifts[k].y, origin.z - shifts[k].z};
    CellBox box;
    if (!box_of(q.y - r, q.y + r, q.z - r, q.z + r, &box)) continue;
    rows.clear();
    rows_in(box, 0, rows);
    for (const std::uint32_t row : rows) {
      const auto [first, last] = x_window(row, q.x - r, q.x + r);
      for (std::uint32_t b = first; b < last; ++b) {
        if (count == 1) {
          visit(b);
        } else {
          seen.push_back(b);
        }
      }
    }
  }
  if (count > 1) {
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    for (const std::uint32_t b : seen) visit(b);
  }
}

template <class Out>
void SpatialIndex::rows_in(const CellBox& box, std::uint64_t from, Out& out) const {
  const auto key_of = [](std::uint64_t z, std::uint64_t y) { return z << 32 | y; };
  const auto before = [](const Row& r, std::uint64_t key) { return r.key < key; };
  // The first row from `it` on whose key is not below `key`, found by galloping: the row sought is
  // usually a few rows ahead, where a binary search over all the rows after `it` would miss the cache
  // at nearly every step.
  const auto seek = [&](std::vector<Row>::const_iterator it, std::uint64_t key) {
    const std::size_t n = static_cast<std::size_t>(rows_.end() - it);
    if (n == 0 || !(it->key < key)) return it;
    std::size_t bound = 1;  // it[bound / 2] is below the key
    while (bound < n && it[static_cast<std::ptrdiff_t>(bound)].key < key) bound *= 2;
    return std::lower_bound(it + static_cast<std::ptrdiff_t>(bound / 2 + 1),
                            it + static_cast<std::ptrdiff_t>(std::min(bound, n)), key, before);
  };
  auto it = std::lower_bound(rows_.begin(), rows_.end(), std::max(from, key_of(box.z_lo, box.y_lo)), before);
  // Rows of one z cell are consecutive; a search jumps over those outside the y range, so the walk
  // costs the rows it returns plus two searches per z cell, never the empty cells between.
  while (it != rows_.end()) {
    const std::uint64_t z = it->key >> 32, y = it->key & 0xffffffffu;
    if (z > box.z_hi) break;
    if (y < box.y_lo) {
      it = seek(it, key_of(z, box.y_lo));
    } else if (y > box.y_hi) {
      it = seek(it, key_of(z + 1, box.y_lo));
    } else {
      out.push_back(static_cast<std::uint32_t>(it - rows_.begin()));
      ++it;
    }
  }
}

template <class Rule>
void SpatialIndex::pairs(Rule& rule, SweepRoom& room, unsigned part, unsigned parts) const {
  if (finite_ < 2 || part >= parts) return;
  const double reach = rule.max_reach();
  if (!(reach >= 0)) return;
  const double r = padded(reach, magnitude_);
  const auto sources = part_rows(part, parts);
  sweep<true>(rule, sources, {0, 0, 0}, r, room);
  if (!distance_.periodic) return;
  // A pair joined through image m of one atom is joined through image -m of the other, so half of
  // the 26 shifted images suffice: m = 14 ... 26 are those whose step on the last axis that moves
  // (z, else y, else x) is positive; their mirrors are m = 12 ... 0.
  const double edges[3] = {distance_.cell.a, distance_.cell.b, distance_.cell.c};
  for (int m = 14; m < 27; ++m) {
    const int step[3] = {m % 3 - 1, m / 3 % 3 - 1, m / 9 - 1};
    double offset[3];
    bool usable = true;
    for (int axis = 0; axis < 3; ++axis) {
      // An edge that is not finite never shifts a displacement.
      usable = usable && (step[axis] == 0 || std::isfinite(edges[axis]));
      offset[axis] = step[axis] == 0 ? 0.0 : step[axis] * edges[axis];
    }
    if (!usable) continue;
    // Skip images under which the shifted atoms cannot come within reach of any atom.
    const Vec3 lo_shifted{lower_.x - offset[0], lower_.y - offset[1], lower_.z - offset[2]};
    const Vec3 hi_shifted{upper_.x - offset[0], upper_.y - offset[1], upper_.z - offset[2]};
    if (!(hi_shifted.x + r >= lower_.x && lo_shifted.x - r <= upper_.x && hi_shifted.y + r >= lower_.y &&
          lo_shifted.y - r <= upper_.y && hi_shifted.z + r >= lower_.z && lo_shifted.z - r <= upper_.z)) {
      continue;
    }
    sweep<false>(rule, sources, {offset[0], offset[1], offset[2]}, r, room);
  }
}

// One pass over the rows in key order. Each source row gathers the rows it can reach once, then its
// atoms walk them in ascending x with one pair of pointers per target row, which only move forward:
// a row costs a few binary searches, an atom a few comparisons beyond its candidates.
// kHalf (the unshifted pass): only rows after the source row and later atoms of the same row are
// targets, so each unordered pair is offered once. Shifted passes offer pairs from source to target.
template <bool kHalf, class Rule>
void SpatialIndex::sweep(Rule& rule, std::pair<std::size_t, std::size_t> sources, Shift shift, double max_reach,
                         SweepRoom& room) const {
  const double m = magnitude_;
  RowList targets{room.targets.begin(), 0};
  std::uint32_t* const lo = room.lo.begin();
  std::uint32_t* const hi = room.hi.begin();
  for (std::size_t source = sources.first; source < sources.second; ++source) {
    if constexpr (requires { rule.running(); }) {
      if (!rule.running()) return;
    }
    const Row& row = rows_[source];
    const std::uint32_t begin = row_begin(source), end = row_end(source);
    targets.clear();
    CellBox box;
    if (box_of(row.y_min - shift.y - max_reach, row.y_max - shift.y + max_reach, row.z_min - shift.z - max_reach,
               row.z_max - shift.z + max_reach, &box)) {
      rows_in(box, kHalf ? row.key + 1 : 0, targets);
    }
    if (!kHalf && targets.empty()) continue;
    // The x span of the targets: source atoms whose window misses it have nothing to do there.
    double x_lo = HUGE_VAL, x_hi = -HUGE_VAL;
    for (std::size_t k = 0; k < targets.size; ++k) {
      lo[k] = hi[k] = row_begin(targets[k]);
      x_lo = std::min(x_lo, x_[row_begin(targets[k])]);
      x_hi = std::max(x_hi, x_[row_end(targets[k]) - 1]);
    }
    std::uint32_t first = begin, last = end;
    if (!kHalf) {
      // Both tests are monotone in x, so the atoms that pass form one run.
      first = static_cast<std::uint32_t>(
          std::partition_point(x_ + begin, x_ + end,
                               [&](double x) { return (x - shift.x) + max_reach < x_lo; }) -
          x_);
      last = static_cast<std::uint32_t>(
          std::partition_point(x_ + first, x_ + end,
                               [&](double x) { return (x - shift.x) - max_reach <= x_hi; }) -
          x_);
    }
    for (std::uint32_t a = first; a < last; ++a) {
      const double own = rule.reach(a);
      if (!(own >= 0)) continue;
      const double r = padded(own, m);
      const double px = x_[a] - shift.x, py = y_[a] - shift.y, pz = z_[a] - shift.z;
      if constexpr (kHalf) {
        for (std::uint32_t b = a + 1; b < end && x_[b] <= px + r; ++b) rule.consider(a, b);
      }
      CellBox near_a;
      if (targets.empty() || !box_of(py - r, py + r, pz - r, pz + r, &near_a)) continue;
      // The pointers follow the widest reach of the pass, so they never move back.
      const double w_lo = px - max_reach, w_hi = px + max_reach;
      for (std::size_t k = 0; k < targets.size; ++k) {
        const std::uint64_t key = rows_[targets[k]].key;
        const auto ty = static_cast<std::uint32_t>(key), tz = static_cast<std::uint32_t>(key >> 32);
        if (ty < near_a.y_lo || ty > near_a.y_hi || tz < near_a.z_lo || tz > near_a.z_hi) continue;
        const std::uint32_t t_end = row_end(targets[k]);
        std::uint32_t l = lo[k], h = hi[k];
        while (l < t_end && x_[l] < w_lo) ++l;
        if (h < l) h = l;
        while (h < t_end && x_[h] <= w_hi) ++h;
        lo[k] = l;
        hi[k] = h;
        for (std::uint32_t b = l; b < h; ++b) {
          if (kHalf || b != a) rule.consider(a, b);
        }
      }
    }
  }
}

}  // namespace quarn
