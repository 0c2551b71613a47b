// Cell geometry: the one rule by which every distance of the system is computed.
#pragma once

#include <cmath>
#include <optional>

#include "quarn/structure.hpp"

namespace quarn {

// True when every angle lies strictly within 1e-4 degree of 90 (a NaN angle fails).
bool is_orthogonal(const UnitCell& cell) noexcept;

// Whether distances in `s` wrap: an orthogonal cell, except the 1 x 1 x 1 Å placeholder cell that
// entries not determined by crystallography carry. Decided once per query, before its loops.
bool is_periodic(const Structure& s) noexcept;

// One shift by `edge` toward zero when |delta| exceeds half the edge (strictly); never more than one.
// A NaN passes through.
inline double minimum_image_delta(double delta, double edge) noexcept {
  const double half = 0.5 * edge;
  if (half < delta) return delta - edge;
  if (delta < -half) return delta + edge;
  return delta;
}

// The distance between p and q: differences q - p, the minimum image per axis when `periodic`, then
// s = dx*dx, s = fma(dy, dy, s), s = fma(dz, dz, s), sqrt(s). The fixed evaluation order gives every
// pair one distance to the last bit, in every query and every build (the core is compiled with
// -ffp-contract=off so the compiler cannot fuse anything else).
// pair_distance_squared is that s: pair_distance is exactly its square root.
inline double pair_distance_squared(const Vec3& p, const Vec3& q, bool periodic, const UnitCell& cell) noexcept {
  double dx = q.x - p.x;
  double dy = q.y - p.y;
  double dz = q.z - p.z;
  if (periodic) {
    dx = minimum_image_delta(dx, cell.a);
    dy = minimum_image_delta(dy, cell.b);
    dz = minimum_image_delta(dz, cell.c);
  }
  double s = dx * dx;
  s = std::fma(dy, dy, s);
  return std::fma(dz, dz, s);
}

inline double pair_distance(const Vec3& p, const Vec3& q, bool periodic, const UnitCell& cell) noexcept {
  return std::sqrt(pair_distance_squared(p, q, periodic, cell));
}

// The largest sum of squares whose square root is at most `limit`: since the root is correctly
// rounded, hence never decreasing, sqrt(s) <= limit holds exactly when s <= squared_bound(limit), for
// every s (a NaN satisfies neither). Lets a search reject a candidate without taking its root.
double squared_bound(double limit) noexcept;

// The periodicity decision and cell of one structure, taken once per query.
struct DistanceRule {
  bool periodic = false;
  UnitCell cell{1, 1, 1, 90, 90, 90};  // read only when periodic

  static DistanceRule of(const Structure& s) noexcept {
    DistanceRule r;
    r.periodic = is_periodic(s);
    if (r.periodic) r.cell = *s.cell;
    return r;
  }
  double operator()(const Vec3& p, const Vec3& q) const noexcept { return pair_distance(p, q, periodic, cell); }
  double squared(const Vec3& p, const Vec3& q) const noexcept { return pair_distance_squared(p, q, periodic, cell); }
};

}  // namespace quarn
