#include "quarn/spatial_index.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "caches.hpp"
#include "quarn/element.hpp"
#include "quarn/found_pairs.hpp"
#include "quarn/pair_search.hpp"
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

namespace {

// An atom as the first pass of a build reads it.
struct Placed {
  double x, y, z, radius;
};

// A slot's values while its row is sorted by x.
struct Sorted {
  double x, y, z, radius;
  std::uint32_t atom;
};

// Marks of the first pass for the atoms that go in no row; the others get their row number later.
constexpr std::uint32_t kNoSlot = 0xffffffffu;     // no position
constexpr std::uint32_t kNonFinite = 0xfffffffeu;  // a NaN or infinite coordinate

// What one part of a build found in its share of the atoms. Apart by a cache line: parts write
// theirs side by side.
struct alignas(64) PartFindings {
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
  double hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  double magnitude = 0;
  double max_radius = std::nan("");
  std::uint32_t finite = 0;
  std::uint32_t non_finite = 0;
};

// The covalent radius of an atom's element, NaN when it has none. Why remember one-letter symbols:
// most atoms have one, and looking their element up in the table each time is a tenth of the build.
// A symbol that names no element is looked up in full each time (the atom's names decide then).
class RadiusLookup {
 public:
  double of(const AtomSite& atom) noexcept {
    const ElementInfo* e = nullptr;
    const std::string_view symbol = atom.type_symbol.present() ? atom.type_symbol.view() : std::string_view();
    const auto letter = symbol.size() == 1 ? static_cast<unsigned char>(symbol[0]) : 0;
    if (letter != 0 && known_letter_[letter]) {
      e = by_letter_[letter];
    } else {
      e = element_of(atom);
      if (letter != 0 && e != nullptr && e == lookup_element(symbol)) {
        by_letter_[letter] = e;
        known_letter_[letter] = true;
      }
    }
    return e && e->covalent_radius ? *e->covalent_radius : std::nan("");
  }

 private:
  const ElementInfo* by_letter_[256] = {};
  bool known_letter_[256] = {};
};

// Part `part` of `parts` even shares of [0, n).
std::pair<std::uint32_t, std::uint32_t> share(std::uint32_t n, unsigned part, unsigned parts) noexcept {
  return {static_cast<std::uint32_t>(std::uint64_t{n} * part / parts),
          static_cast<std::uint32_t>(std::uint64_t{n} * (part + 1) / parts)};
}

}  // namespace

// The passes run in parts side by side, as the pair searches do: each reads or writes a share of the
// atoms (or of the rows) of its own, and everything they write to is allocated before they start, so
// that they never throw. Bounds and maxima merge in part order, which keeps their ties (0.0 and -0.0)
// as one pass over the atoms in order would.
SpatialIndex SpatialIndex::build(const Structure& s, double cell_edge) {
  SpatialIndex g;
  g.distance_ = DistanceRule::of(s);
  g.inv_edge_ = 1 / cell_edge;
  // Slots and found pairs number atoms in 31 bits.
  if (s.atoms.size() >= kMaxPairedAtoms) throw MemoryShortage("a search over more than 2147483647 atoms");
  const auto atoms = static_cast<std::uint32_t>(s.atoms.size());
  const char* what = "the spatial index";
  const unsigned parts = detail::search_parts(atoms);

  ScratchArray<Placed> placed(atoms, what);
  ScratchArray<std::uint32_t> row_of(atoms, what);  // kNoSlot, kNonFinite, else the atom's row
  std::vector<PartFindings> found(parts);
  auto read_atoms = [&](unsigned part) noexcept {
    PartFindings& f = found[part];
    RadiusLookup radii;
    const auto [begin, end] = share(atoms, part, parts);
    for (std::uint32_t i = begin; i < end; ++i) {
      const AtomSite& atom = s.atoms[i];
      const auto p = position_of(atom);
      if (!p) {
        row_of[i] = kNoSlot;
        continue;
      }
      placed[i] = {p->x, p->y, p->z, radii.of(atom)};
      if (!std::isfinite(p->x) || !std::isfinite(p->y) || !std::isfinite(p->z)) {
        row_of[i] = kNonFinite;
        ++f.non_finite;
        continue;
      }
      row_of[i] = 0;
      ++f.finite;
      const double radius = placed[i].radius;
      if (!std::isnan(radius) && !(radius <= f.max_radius)) f.max_radius = radius;
      const double c[3] = {p->x, p->y, p->z};
      for (int axis = 0; axis < 3; ++axis) {
        f.lo[axis] = std::min(f.lo[axis], c[axis]);
        f.hi[axis] = std::max(f.hi[axis], c[axis]);
        f.magnitude = std::max(f.magnitude, std::fabs(c[axis]));
      }
    }
  };
  detail::run_parts(parts, read_atoms);

  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  double magnitude = 0;
  std::uint32_t n = 0, non_finite = 0;
  for (const PartFindings& f : found) {
    for (int axis = 0; axis < 3; ++axis) {
      lo[axis] = std::min(lo[axis], f.lo[axis]);
      hi[axis] = std::max(hi[axis], f.hi[axis]);
    }
    magnitude = std::max(magnitude, f.magnitude);
    if (!std::isnan(f.max_radius) && !(f.max_radius <= g.max_radius_)) g.max_radius_ = f.max_radius;
    n += f.finite;
    non_finite += f.non_finite;
  }
  g.finite_ = n;
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
  // The cell function is monotone, so the largest cell in use is that of the largest coordinate.
  if (n > 0) {
    g.y_cells_ = cell(hi[1], lo[1]);
    g.z_cells_ = cell(hi[2], lo[2]);
  }
  const std::uint64_t y_span = std::uint64_t{g.y_cells_} + 1, dense_rows = y_span * (std::uint64_t{g.z_cells_} + 1);
  const std::size_t slots = std::size_t{n} + non_finite;
  g.store_ = ScratchArray<std::byte>(slots * (4 * sizeof(double) + sizeof(std::uint32_t)), what);
  g.slots_ = static_cast<std::uint32_t>(slots);
  double* const x = reinterpret_cast<double*>(g.store_.begin());
  double* const y = x + slots;
  double* const z = y + slots;
  double* const radius = z + slots;
  std::uint32_t* const atom_of = reinterpret_cast<std::uint32_t*>(radius + slots);
  g.x_ = x;
  g.y_ = y;
  g.z_ = z;
  g.radius_ = radius;
  g.atom_ = atom_of;
  const auto place = [=](std::size_t k, const Placed& p, std::uint32_t atom) {
    x[k] = p.x;
    y[k] = p.y;
    z[k] = p.z;
    radius[k] = p.radius;
    atom_of[k] = atom;
  };
  const auto row_key = [y_span](std::uint64_t r) { return std::uint64_t{r / y_span} << 32 | r % y_span; };

  if (dense_rows > 4 * std::uint64_t{n} + 1024 || dense_rows >= kNonFinite) {
    // Atoms far apart leave most rows of their box empty: sort them instead of counting rows.
    struct Entry {
      std::uint64_t key;
      std::uint32_t atom;
    };
    ScratchArray<Entry> entries(n, what);
    std::size_t k = 0, tail = n;
    for (std::uint32_t i = 0; i < atoms; ++i) {
      if (row_of[i] == kNoSlot) continue;
      const Placed& p = placed[i];
      if (row_of[i] == kNonFinite) {
        place(tail++, p, i);
      } else {
        entries[k++] = {std::uint64_t{cell(p.z, lo[2])} << 32 | cell(p.y, lo[1]), i};
      }
    }
    std::sort(entries.begin(), entries.end(), [&placed](const Entry& a, const Entry& b) {
      if (a.key != b.key) return a.key < b.key;
      const double xa = placed[a.atom].x, xb = placed[b.atom].x;
      return xa != xb ? xa < xb : a.atom < b.atom;
    });
    for (k = 0; k < n; ++k) place(k, placed[entries[k].atom], entries[k].atom);
    for (k = 0; k < n;) {
      std::size_t end = k + 1;
      while (end < n && entries[end].key == entries[k].key) ++end;
      g.rows_.push_back(g.make_row(entries[k].key, static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(end)));
      k = end;
    }
  } else {
    // Why counting passes: the atoms fill most rows of their box, so bucketing them by row is linear.
    // Each part counts its atoms per row; a row then holds the first part's atoms first, so every
    // row is in atom order, and each row's few dozen atoms are sorted by x in cache.
    const std::size_t rows = static_cast<std::size_t>(dense_rows);
    std::vector<std::uint32_t> cursor(rows * parts, 0);  // part p's count, then next slot, of row r at p * rows + r
    auto count_rows = [&](unsigned part) noexcept {
      std::uint32_t* const counts = cursor.data() + std::size_t{part} * rows;
      const auto [begin, end] = share(atoms, part, parts);
      for (std::uint32_t i = begin; i < end; ++i) {
        if (row_of[i] >= kNonFinite) continue;
        const std::uint64_t r = std::uint64_t{cell(placed[i].z, lo[2])} * y_span + cell(placed[i].y, lo[1]);
        row_of[i] = static_cast<std::uint32_t>(r);
        ++counts[r];
      }
    };
    detail::run_parts(parts, count_rows);
    std::vector<std::uint32_t> start(rows + 1);
    std::uint32_t next = 0;
    std::size_t occupied = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      start[r] = next;
      for (unsigned part = 0; part < parts; ++part) {
        std::uint32_t& c = cursor[part * rows + r];
        next += std::exchange(c, next);
      }
      occupied += start[r] != next;
    }
    start[rows] = next;
    std::vector<std::uint32_t> tail(parts);  // the next slot of each part's atoms without finite coordinates
    for (unsigned part = 0, t = n; part < parts; t += found[part].non_finite, ++part) tail[part] = t;
    // Only the atom of each slot is scattered, one narrow write stream per row; the rows then gather
    // their atoms' values, sort them in cache and write every slot array in order.
    ScratchArray<std::uint32_t> atom_at(slots, what);
    auto scatter = [&](unsigned part) noexcept {
      std::uint32_t* const next_slot = cursor.data() + std::size_t{part} * rows;
      const auto [begin, end] = share(atoms, part, parts);
      for (std::uint32_t i = begin; i < end; ++i) {
        const std::uint32_t r = row_of[i];
        if (r == kNoSlot) continue;
        atom_at[r == kNonFinite ? tail[part]++ : next_slot[r]++] = i;
      }
    };
    detail::run_parts(parts, scatter);
    row_of = ScratchArray<std::uint32_t>();
    for (std::size_t k = n; k < slots; ++k) place(k, placed[atom_at[k]], atom_at[k]);

    // The rows split where the slots do; each part sorts its rows and describes them.
    std::vector<std::size_t> first_row(parts + 1), first_index(parts + 1);
    std::vector<ScratchArray<Sorted>> room;
    room.reserve(parts);
    for (unsigned part = 0; part <= parts; ++part) {
      first_row[part] = part == parts ? rows
                                      : static_cast<std::size_t>(
                                            std::partition_point(start.begin(), start.end() - 1,
                                                                 [&](std::uint32_t b) {
                                                                   return b < std::uint64_t{n} * part / parts;
                                                                 }) -
                                            start.begin());
    }
    first_index[0] = 0;
    for (unsigned part = 0; part < parts; ++part) {
      std::size_t nonempty = 0;
      std::uint32_t longest = 0;
      for (std::size_t r = first_row[part]; r < first_row[part + 1]; ++r) {
        nonempty += start[r] != start[r + 1];
        longest = std::max(longest, start[r + 1] - start[r]);
      }
      first_index[part + 1] = first_index[part] + nonempty;
      room.emplace_back(longest, what);
    }
    g.rows_.resize(occupied);
    auto sort_rows = [&](unsigned part) noexcept {
      Sorted* const items = room[part].begin();
      std::size_t index = first_index[part];
      for (std::size_t r = first_row[part]; r < first_row[part + 1]; ++r) {
        const std::uint32_t begin = start[r], end = start[r + 1];
        if (begin == end) continue;
        bool sorted = true;
        for (std::uint32_t k = begin; k < end; ++k) {
          const std::uint32_t atom = atom_at[k];
          const Placed& p = placed[atom];
          items[k - begin] = {p.x, p.y, p.z, p.radius, atom};
          sorted = sorted && (k == begin || !(p.x < items[k - begin - 1].x));
        }
        // A row is in atom order: sorted by x, it is sorted by (x, atom).
        if (!sorted) {
          std::sort(items, items + (end - begin), [](const Sorted& a, const Sorted& b) {
            return a.x != b.x ? a.x < b.x : a.atom < b.atom;
          });
        }
        for (std::uint32_t k = begin; k < end; ++k) {
          const Sorted& v = items[k - begin];
          place(k, {v.x, v.y, v.z, v.radius}, v.atom);
        }
        g.rows_[index++] = g.make_row(row_key(r), begin, end);
      }
    };
    detail::run_parts(parts, sort_rows);
  }
  return g;
}

SpatialIndex::Row SpatialIndex::make_row(std::uint64_t key, std::uint32_t begin, std::uint32_t end) const noexcept {
  Row row{key, begin, y_[begin], y_[begin], z_[begin], z_[begin]};
  for (std::uint32_t k = begin + 1; k < end; ++k) {
    row.y_min = std::min(row.y_min, y_[k]);
    row.y_max = std::max(row.y_max, y_[k]);
    row.z_min = std::min(row.z_min, z_[k]);
    row.z_max = std::max(row.z_max, z_[k]);
  }
  return row;
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
  const auto begin = x_ + row_begin(r), end = x_ + row_end(r);
  const auto first = std::lower_bound(begin, end, lo);
  const auto last = std::upper_bound(first, end, hi);
  return {static_cast<std::uint32_t>(first - x_), static_cast<std::uint32_t>(last - x_)};
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
