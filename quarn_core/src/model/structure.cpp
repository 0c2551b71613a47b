#include "quarn/structure.hpp"

#include <cmath>

#include "caches.hpp"

namespace quarn {

Structure::Structure() : caches_(std::make_unique<detail::StructureCaches>()) {}
Structure::~Structure() = default;
Structure::Structure(Structure&&) noexcept = default;
Structure& Structure::operator=(Structure&&) noexcept = default;

std::vector<PlacedAtom> Structure::placed_atoms() const {
  std::vector<PlacedAtom> out;
  out.reserve(atoms.size());
  for (std::uint64_t i = 0; i < atoms.size(); ++i) {
    if (const auto p = position_of(atoms[i])) out.push_back({i, *p});
  }
  return out;
}

std::optional<BoundingBox> Structure::bounding_box() const noexcept {
  // The running value is replaced by a NaN-free candidate when it is NaN itself, so a NaN coordinate
  // only shows when every positioned atom has one on that axis.
  const auto lower = [](double run, double v) { return (std::isnan(run) || v < run) ? v : run; };
  const auto upper = [](double run, double v) { return (std::isnan(run) || v > run) ? v : run; };
  std::optional<BoundingBox> box;
  for (const AtomSite& atom : atoms) {
    const auto p = position_of(atom);
    if (!p) continue;
    if (!box) {
      box = BoundingBox{*p, *p};
      continue;
    }
    box->min = {lower(box->min.x, p->x), lower(box->min.y, p->y), lower(box->min.z, p->z)};
    box->max = {upper(box->max.x, p->x), upper(box->max.y, p->y), upper(box->max.z, p->z)};
  }
  return box;
}

}  // namespace quarn
