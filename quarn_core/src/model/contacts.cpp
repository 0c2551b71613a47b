#include "quarn/contacts.hpp"

#include <algorithm>
#include <cmath>

#include "quarn/element.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/geometry.hpp"

namespace quarn {

namespace {

// The radius a contact rule reads; absent when the atom has no element or its row lacks the radius.
std::optional<double> covalent_radius_of(const AtomSite& atom) noexcept {
  const ElementInfo* e = element_of(atom);
  return e ? e->covalent_radius : std::nullopt;
}

ContactClass classify_by_radii(std::optional<double> first, std::optional<double> second, double d) noexcept {
  if (!first || !second) return d < 2.0 ? ContactClass::short_contact : ContactClass::nonbonded;
  const double sum = *second + *first;
  if (std::fabs(d - sum) <= 0.4) return ContactClass::covalent;
  if (d < sum - 0.25) return ContactClass::clash;
  if (d < sum + 1.0) return ContactClass::short_contact;
  return ContactClass::nonbonded;
}

}  // namespace

std::string_view contact_class_text(ContactClass c) noexcept {
  switch (c) {
    case ContactClass::covalent: return "covalent";
    case ContactClass::short_contact: return "short_contact";
    case ContactClass::clash: return "clash";
    case ContactClass::nonbonded: return "nonbonded";
  }
  return {};
}

ContactClass classify_contact(const AtomSite& first, const AtomSite& second, double d) noexcept {
  return classify_by_radii(covalent_radius_of(first), covalent_radius_of(second), d);
}

Expected<std::vector<Contact>, Refusal> exhaustive::find_contacts(const Structure& s, double cutoff) {
  if (!(cutoff > 0)) return unexpected(Refusal{kCutoffNotPositive});
  const DistanceRule distance = DistanceRule::of(s);
  const std::vector<PlacedAtom> placed = s.placed_atoms();
  // Radii are looked up once per atom rather than twice per kept pair: with a generous cutoff most
  // pairs are kept, and the lookup costs more than the distance.
  std::vector<std::optional<double>> radius(placed.size());
  for (std::size_t k = 0; k < placed.size(); ++k) radius[k] = covalent_radius_of(s.atoms[placed[k].index]);

  std::vector<Contact> rows;
  for (std::size_t a = 0; a < placed.size(); ++a) {
    const Vec3 p = placed[a].position;
    for (std::size_t b = a + 1; b < placed.size(); ++b) {
      const double d = distance(p, placed[b].position);
      if (d <= cutoff) {
        rows.push_back({placed[a].index, placed[b].index, d, classify_by_radii(radius[a], radius[b], d)});
      }
    }
  }
  return rows;
}

Expected<std::vector<Contact>, Refusal> find_contacts(const Structure& s, double cutoff) {
  return exhaustive::find_contacts(s, cutoff);
}

Expected<std::vector<Contact>, Refusal> contacts(const Structure& s, double cutoff,
                                                 std::optional<std::uint64_t> max_results) {
  auto found = find_contacts(s, cutoff);
  if (!found) return found;
  std::vector<Contact>& rows = *found;
  // Enumeration order is ascending (first, second) and no kept distance is NaN, so the stable sort by
  // distance is the sort by (distance, first, second); with that total order only the rows kept need
  // to be ordered.
  const auto before = [](const Contact& x, const Contact& y) {
    if (x.distance != y.distance) return x.distance < y.distance;
    return x.first != y.first ? x.first < y.first : x.second < y.second;
  };
  if (max_results && *max_results < rows.size()) {
    const auto keep = static_cast<std::ptrdiff_t>(*max_results);
    std::partial_sort(rows.begin(), rows.begin() + keep, rows.end(), before);
    rows.resize(*max_results);
  } else {
    std::sort(rows.begin(), rows.end(), before);
  }
  return found;
}

}  // namespace quarn
