#include "quarn/geometry.hpp"

#include <cmath>

namespace quarn {

bool is_orthogonal(const UnitCell& cell) noexcept {
  // Written as a strict "less than" so a NaN angle fails.
  return std::fabs(cell.alpha - 90.0) < 1e-4 && std::fabs(cell.beta - 90.0) < 1e-4 &&
         std::fabs(cell.gamma - 90.0) < 1e-4;
}

bool is_periodic(const Structure& s) noexcept {
  if (!s.cell || !is_orthogonal(*s.cell)) return false;
  // Entries not determined by crystallography carry a 1 x 1 x 1 Å placeholder cell; folding real
  // coordinates into it would make bonded atoms look 0.5 Å apart.
  const UnitCell& c = *s.cell;
  return !(c.a == 1.0 && c.b == 1.0 && c.c == 1.0);
}

double squared_bound(double limit) noexcept {
  if (std::isnan(limit)) return limit;
  if (limit < 0) return -HUGE_VAL;
  // limit * limit is within an ulp or two of the bound (or overflows to infinity); step to it.
  double s = limit * limit;
  while (std::sqrt(s) > limit) s = std::nextafter(s, -HUGE_VAL);
  while (s < HUGE_VAL && std::sqrt(std::nextafter(s, HUGE_VAL)) <= limit) s = std::nextafter(s, HUGE_VAL);
  return s;
}

}  // namespace quarn
