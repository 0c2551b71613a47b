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

unsigned detail::forced_search_parts() noexcept { return forced_parts.load(std::memory_order_relaxed); }

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
  // Slots and found pairs number atoms in 31 bits.
  if (s.atoms.size() >= kMaxPairedAtoms) throw MemoryShortage("a search over more than 2147483647 atoms");
  ScratchArray<Entry> entries(s.atoms.size(), "the spatial index");
  std::vector<Entry> non_finite;
  std::size_t n = 0;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  double magnitude = 0;
  // Why remember one-letter symbols: most atoms have one, and looking their element up in the table
  // each time is a tenth of the build. A symbol that names no element is looked up in full each time
  // (the atom's names decide then).
  const ElementInfo* by_letter[256] = {};
  bool known_letter[256] = {};
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    const AtomSite& atom = s.atoms[i];
    const auto p = position_of(atom);
    if (!p) continue;
    const ElementInfo* e = nullptr;
    const std::string_view symbol = atom.type_symbol.present() ? atom.type_symbol.view() : std::string_view();
    const auto letter = symbol.size() == 1 ? static_cast<unsigned char>(symbol[0]) : 0;
    if (letter != 0 && known_letter[letter]) {
      e = by_letter[letter];
    } else {
      e = element_of(atom);
      if (letter != 0 && e != nullptr && e == lookup_element(symbol)) {
        by_letter[letter] = e;
        known_letter[letter] = true;
      }
    }
    const double radius = e && e->covalent_radius ? *e->covalent_radius : std::nan("");
    if (!std::isfinite(p->x) || !std::isfinite(p->y) || !std::isfinite(p->z)) {
      non_finite.push_back({0, p->x, p->y, p->z, radius, i});
      continue;
    }
    entries[n++] = {0, p->x, p->y, p->z, radius, i};
    const double c[3] = {p->x, p->y, p->z};
    for (int axis = 0; axis < 3; ++axis) {
      lo[axis] = std::min(lo[axis], c[axis]);
      hi[axis] = std::max(hi[axis], c[axis]);
      magnitude = std::max(magnitude, std::fabs(c[axis]));
    }
  }
  entries.truncate(n);
  g.finite_ = static_cast<std::uint32_t>(n);
  if (g.distance_.periodic) {
    for (const double edge : {g.distance_.cell.a, g.distance_.cell.b, g.distance_.cell.c}) {
      if (std::isfinite(edge)) magnitude = std::max(magnitude, std::fabs(edge));
    }
  }
  if (n > 0) {
    g.lower_ = {lo[0], lo[1], lo[2]};
    g.upper_ = {hi[0], hi[1], hi[2]};
  }
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
  const std::size_t slots = n + non_finite.size();
  const char* what = "the spatial index";
  g.x_ = ScratchArray<double>(slots, what);
  g.y_ = ScratchArray<double>(slots, what);
  g.z_ = ScratchArray<double>(slots, what);
  g.radius_ = ScratchArray<double>(slots, what);
  g.atom_ = ScratchArray<std::uint32_t>(slots, what);
  const auto place = [&g](std::size_t k, const Entry& e) {
    g.x_[k] = e.x;
    g.y_[k] = e.y;
    g.z_[k] = e.z;
    g.radius_[k] = e.radius;
    g.atom_[k] = static_cast<std::uint32_t>(e.atom);
  };
  if (dense_rows <= 4 * n + 1024) {
    // Why a counting pass: the atoms fill most rows of their box, so bucketing them by row is linear.
    // They go straight to their slots, in atom order within a row; each row's few dozen atoms are
    // then sorted by x in cache.
    std::vector<std::uint32_t> start(dense_rows + 1, 0);
    const auto row_of = [y_span](const Entry& e) { return (e.key >> 32) * y_span + (e.key & 0xffffffffu); };
    for (const Entry& e : entries) ++start[row_of(e) + 1];
    for (std::uint64_t r = 0; r < dense_rows; ++r) start[r + 1] += start[r];
    {
      std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
      for (const Entry& e : entries) place(next[row_of(e)]++, e);
    }
    entries = ScratchArray<Entry>();  // freed before the rows are sorted
    std::vector<Entry> row;
    for (std::uint64_t r = 0; r < dense_rows; ++r) {
      const std::uint32_t begin = start[r], end = start[r + 1];
      if (begin == end) continue;
      if (end - begin > 1 && !std::is_sorted(g.x_.begin() + begin, g.x_.begin() + end)) {
        row.clear();
        for (std::uint32_t k = begin; k < end; ++k) row.push_back({0, g.x_[k], g.y_[k], g.z_[k], g.radius_[k], g.atom_[k]});
        std::sort(row.begin(), row.end(), by_x);
        for (std::uint32_t k = begin; k < end; ++k) place(k, row[k - begin]);
      }
      g.add_row(std::uint64_t{r / y_span} << 32 | r % y_span, begin, end);
    }
  } else {
    // Atoms far apart leave most rows of their box empty: sort them instead of counting rows.
    std::sort(entries.begin(), entries.end(),
              [&by_x](const Entry& a, const Entry& b) { return a.key != b.key ? a.key < b.key : by_x(a, b); });
    for (std::size_t k = 0; k < n; ++k) place(k, entries[k]);
    for (std::size_t k = 0; k < n;) {
      std::size_t end = k + 1;
      while (end < n && entries[end].key == entries[k].key) ++end;
      g.add_row(entries[k].key, static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(end));
      k = end;
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    const double r = g.radius_[k];
    if (!std::isnan(r) && !(r <= g.max_radius_)) g.max_radius_ = r;
  }
  for (std::size_t k = 0; k < non_finite.size(); ++k) place(n + k, non_finite[k]);
  return g;
}

void SpatialIndex::add_row(std::uint64_t key, std::uint32_t begin, std::uint32_t end) {
  Row row{key, begin, y_[begin], y_[begin], z_[begin], z_[begin]};
  for (std::uint32_t k = begin + 1; k < end; ++k) {
    row.y_min = std::min(row.y_min, y_[k]);
    row.y_max = std::max(row.y_max, y_[k]);
    row.z_min = std::min(row.z_min, z_[k]);
    row.z_max = std::max(row.z_max, z_[k]);
  }
  rows_.push_back(row);
}

SpatialIndex::SweepRoom SpatialIndex::sweep_room() const {
  const std::size_t rows = std::max<std::size_t>(rows_.size(), 1);
  const char* what = "the row lists of a pair search";
  return {ScratchArray<std::uint32_t>(rows, what), ScratchArray<std::uint32_t>(rows, what),
          ScratchArray<std::uint32_t>(rows, what)};
}

std::optional<std::uint32_t> SpatialIndex::slot_of(std::uint64_t atom, Vec3 position) const {
  if (!std::isfinite(position.x) || !std::isfinite(position.y) || !std::isfinite(position.z)) {
    const auto tail = non_finite_atoms();
    const auto it = std::lower_bound(tail.begin(), tail.end(), atom);
    if (it == tail.end() || *it != atom) return std::nullopt;
    return finite_ + static_cast<std::uint32_t>(it - tail.begin());
  }
  std::optional<std::uint32_t> found;
  near(position, 0.0, [&](std::uint32_t slot) {
    if (atom_[slot] == atom) found = slot;
  });
  return found;
}

bool SpatialIndex::worth_searching(double reach) const noexcept {
  if (finite_ < kMinSlots || !std::isfinite(reach)) return false;
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
  std::call_once(c.spatial_index_once, [&] {
    try {
      c.spatial_index = SpatialIndex::build(*this);
    } catch (const MemoryShortage&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw MemoryShortage("the spatial index");
    }
  });
  return c.spatial_index;
}

}  // namespace quarn
