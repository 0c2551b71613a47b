#include "quarn/spatial_index.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "caches.hpp"
#include "quarn/element.hpp"
#include "quarn/found_pairs.hpp"
#include "quarn/scratch_array.hpp"

namespace quarn {

namespace {

// Below this many atoms a scan of every pair is as quick as any index.
constexpr std::size_t kMinSlots = 16;

// Atoms per part of a pair search below which starting a thread costs more than it saves.
constexpr std::uint32_t kSlotsPerPart = std::uint32_t{1} << 15;
constexpr unsigned kMaxParts = 8;

std::atomic<unsigned> forced_parts{0};

// The processors this process may run on (a container or taskset may allow fewer than there are).
unsigned usable_processors() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

unsigned detail::search_parts(std::uint32_t slots) noexcept {
  if (const unsigned forced = forced_parts.load(std::memory_order_relaxed)) return forced;
  static const unsigned processors = usable_processors();
  return std::clamp(slots / kSlotsPerPart, 1u, std::min(processors, kMaxParts));
}

void detail::set_search_parts(unsigned parts) noexcept { forced_parts.store(parts, std::memory_order_relaxed); }

std::pair<std::size_t, std::size_t> SpatialIndex::part_rows(unsigned part, unsigned parts) const noexcept {
  // Rows split where the slots do, so that every part gets about as many atoms.
  const auto row_at = [&](unsigned k) -> std::size_t {
    if (k >= parts) return rows_.size();
    const std::uint64_t slot = std::uint64_t{size()} * k / parts;
    return static_cast<std::size_t>(
        std::partition_point(rows_.begin(), rows_.end(), [&](const Row& r) { return r.begin < slot; }) -
        rows_.begin());
  };
  return {row_at(part), row_at(part + 1)};
}

SpatialIndex SpatialIndex::build(const Structure& s, double cell_edge) {
  SpatialIndex g;
  g.distance_ = DistanceRule::of(s);
  g.inv_edge_ = 1 / cell_edge;

  struct Entry {
    std::uint64_t key;
    double x, y, z;
    double radius;
    std::uint64_t atom;
  };
  // Found pairs number atoms in 31 bits; a structure beyond that keeps an empty index, never worth
  // searching, and every search scans.
  if (s.atoms.size() >= kMaxPairedAtoms) return g;
  ScratchArray<Entry> entries(s.atoms.size());
  std::size_t n = 0;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  double magnitude = 0;
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    const AtomSite& atom = s.atoms[i];
    const auto p = position_of(atom);
    if (!p) continue;
    if (!std::isfinite(p->x) || !std::isfinite(p->y) || !std::isfinite(p->z)) {
      g.non_finite_.push_back(i);
      continue;
    }
    const ElementInfo* e = element_of(atom);
    const double radius = e && e->covalent_radius ? *e->covalent_radius : std::nan("");
    entries[n++] = {0, p->x, p->y, p->z, radius, i};
    const double c[3] = {p->x, p->y, p->z};
    for (int axis = 0; axis < 3; ++axis) {
      lo[axis] = std::min(lo[axis], c[axis]);
      hi[axis] = std::max(hi[axis], c[axis]);
      magnitude = std::max(magnitude, std::fabs(c[axis]));
    }
  }
  entries.truncate(n);
  if (n == 0) return g;
  if (g.distance_.periodic) {
    for (const double edge : {g.distance_.cell.a, g.distance_.cell.b, g.distance_.cell.c}) {
      if (std::isfinite(edge)) magnitude = std::max(magnitude, std::fabs(edge));
    }
  }
  g.lower_ = {lo[0], lo[1], lo[2]};
  g.upper_ = {hi[0], hi[1], hi[2]};
  g.magnitude_ = magnitude;

  const auto cell = [&g](double v, double base) {
    const double c = std::floor((v - base) * g.inv_edge_);  // v >= base: never negative
    return c < kMaxCell ? static_cast<std::uint32_t>(c) : kMaxCell;
  };
  for (Entry& e : entries) {
    const std::uint32_t y = cell(e.y, lo[1]), z = cell(e.z, lo[2]);
    g.y_cells_ = std::max(g.y_cells_, y);
    g.z_cells_ = std::max(g.z_cells_, z);
    e.key = std::uint64_t{z} << 32 | y;
  }
  const auto by_x = [](const Entry& a, const Entry& b) { return a.x != b.x ? a.x < b.x : a.atom < b.atom; };
  const std::uint64_t y_span = std::uint64_t{g.y_cells_} + 1, dense_rows = y_span * (std::uint64_t{g.z_cells_} + 1);
  if (dense_rows <= 4 * n + 1024) {
    // Why a counting pass: the atoms fill most rows of their box, so bucketing them by row is linear,
    // and each row's few dozen atoms are then sorted by x in cache.
    std::vector<std::uint32_t> start(dense_rows + 1, 0);
    const auto row_of = [y_span](const Entry& e) { return (e.key >> 32) * y_span + (e.key & 0xffffffffu); };
    for (const Entry& e : entries) ++start[row_of(e) + 1];
    for (std::uint64_t r = 0; r < dense_rows; ++r) start[r + 1] += start[r];
    ScratchArray<Entry> sorted(n);
    {
      std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
      for (const Entry& e : entries) sorted[next[row_of(e)]++] = e;
    }
    for (std::uint64_t r = 0; r < dense_rows; ++r) {
      if (start[r + 1] - start[r] > 1) std::sort(sorted.begin() + start[r], sorted.begin() + start[r + 1], by_x);
    }
    entries = std::move(sorted);
  } else {
    // Atoms far apart leave most rows of their box empty: sort them instead of counting rows.
    std::sort(entries.begin(), entries.end(),
              [&by_x](const Entry& a, const Entry& b) { return a.key != b.key ? a.key < b.key : by_x(a, b); });
  }

  // Fresh huge pages fault in several times faster than small ones (advice only).
  const auto allocate = [n](auto& array) {
    array.reserve(n);
    detail::advise_huge_pages(array.data(), n * sizeof(array[0]));
    array.resize(n);
  };
  allocate(g.x_);
  allocate(g.y_);
  allocate(g.z_);
  allocate(g.radius_);
  allocate(g.atom_);
  for (std::size_t k = 0; k < n; ++k) {
    const Entry& e = entries[k];
    g.x_[k] = e.x;
    g.y_[k] = e.y;
    g.z_[k] = e.z;
    g.radius_[k] = e.radius;
    g.atom_[k] = static_cast<std::uint32_t>(e.atom);
    if (!std::isnan(e.radius) && !(e.radius <= g.max_radius_)) g.max_radius_ = e.radius;
    if (k == 0 || e.key != entries[k - 1].key) {
      g.rows_.push_back({e.key, static_cast<std::uint32_t>(k), e.y, e.y, e.z, e.z});
    } else {
      Row& row = g.rows_.back();
      row.y_min = std::min(row.y_min, e.y);
      row.y_max = std::max(row.y_max, e.y);
      row.z_min = std::min(row.z_min, e.z);
      row.z_max = std::max(row.z_max, e.z);
    }
  }
  return g;
}

bool SpatialIndex::worth_searching(double reach) const noexcept {
  if (atom_.size() < kMinSlots || !std::isfinite(reach)) return false;
  const double r = 2 * padded(reach, magnitude_);
  return r < upper_.x - lower_.x || r < upper_.y - lower_.y || r < upper_.z - lower_.z;
}

bool SpatialIndex::cell_range(double lo, double hi, int axis, std::uint32_t* first,
                              std::uint32_t* last) const noexcept {
  const double base = axis == 1 ? lower_.y : lower_.z;
  const std::uint32_t top = axis == 1 ? y_cells_ : z_cells_;
  // The slots' own cell function, before its clamp; the bounds are never NaN.
  const double a = std::floor((lo - base) * inv_edge_);
  const double b = std::floor((hi - base) * inv_edge_);
  if (!(b >= 0)) return false;  // every slot's cell is at least 0
  // A slot beyond the last cell number was clamped to it, so the lower bound is clamped alike.
  const std::uint32_t a_cell = a <= 0 ? 0 : a < kMaxCell ? static_cast<std::uint32_t>(a) : kMaxCell;
  if (a_cell > top) return false;
  *first = a_cell;
  *last = b < top ? static_cast<std::uint32_t>(b) : top;
  return true;
}

bool SpatialIndex::box_of(double y_lo, double y_hi, double z_lo, double z_hi, CellBox* box) const noexcept {
  return cell_range(y_lo, y_hi, 1, &box->y_lo, &box->y_hi) && cell_range(z_lo, z_hi, 2, &box->z_lo, &box->z_hi);
}

void SpatialIndex::rows_in(const CellBox& box, std::uint64_t from, std::vector<std::uint32_t>& out) const {
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

int SpatialIndex::images(Vec3 p, double reach, Shift (&out)[27]) const noexcept {
  const double point[3] = {p.x, p.y, p.z};
  const double low[3] = {lower_.x, lower_.y, lower_.z}, high[3] = {upper_.x, upper_.y, upper_.z};
  const double edges[3] = {distance_.cell.a, distance_.cell.b, distance_.cell.c};
  double offsets[3][3];
  int counts[3] = {0, 0, 0};
  for (int axis = 0; axis < 3; ++axis) {
    const double edge = edges[axis];
    // An edge that is not finite, or zero, never moves a displacement anywhere new.
    const bool shifts = distance_.periodic && std::isfinite(edge) && edge != 0;
    for (const double offset : {0.0, edge, -edge}) {
      if (offset != 0 && !shifts) continue;
      const double q = point[axis] - offset;
      if (q + reach >= low[axis] && q - reach <= high[axis]) offsets[axis][counts[axis]++] = offset;
    }
  }
  int n = 0;
  for (int i = 0; i < counts[0]; ++i) {
    for (int j = 0; j < counts[1]; ++j) {
      for (int k = 0; k < counts[2]; ++k) out[n++] = {offsets[0][i], offsets[1][j], offsets[2][k]};
    }
  }
  return n;
}

std::pair<std::uint32_t, std::uint32_t> SpatialIndex::x_window(std::size_t r, double lo, double hi) const noexcept {
  const auto begin = x_.begin() + row_begin(r), end = x_.begin() + row_end(r);
  const auto first = std::lower_bound(begin, end, lo);
  const auto last = std::upper_bound(first, end, hi);
  return {static_cast<std::uint32_t>(first - x_.begin()), static_cast<std::uint32_t>(last - x_.begin())};
}

bool detail::has_fma() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool yes = [] {
    __builtin_cpu_init();  // this code may run before the library's constructors
    return __builtin_cpu_supports("fma") != 0;
  }();
  return yes;
#else
  return false;
#endif
}

const SpatialIndex& Structure::spatial_index() const {
  detail::StructureCaches& c = caches();
  std::call_once(c.spatial_index_once, [&] { c.spatial_index = SpatialIndex::build(*this); });
  return c.spatial_index;
}

}  // namespace quarn
