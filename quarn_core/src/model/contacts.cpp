#include "quarn/contacts.hpp"

#include <algorithm>
#include <cmath>

#include "quarn/element.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/found_pairs.hpp"
#include "quarn/geometry.hpp"
#include "quarn/memory.hpp"
#include "quarn/pair_search.hpp"
#include "quarn/spatial_index.hpp"

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

std::optional<double> known(double radius) noexcept {
  return std::isnan(radius) ? std::nullopt : std::optional<double>(radius);
}

// The contact rule over the slots of the spatial index (pair_search.hpp).
class ContactRule {
 public:
  ContactRule(const SpatialIndex& index, double cutoff) noexcept
      : index_(index), cutoff_(cutoff), bound_(squared_bound(cutoff)) {}
  double max_reach() const noexcept { return cutoff_; }
  double reach(std::uint32_t) const noexcept { return cutoff_; }
  bool keep(std::uint32_t first, std::uint32_t second, double* distance, unsigned* tag) const noexcept {
    // Most candidates are rejected by their sum of squares, before the square root.
    const double squared = index_.distance().squared(index_.position(first), index_.position(second));
    if (!(squared <= bound_)) return false;
    *distance = std::sqrt(squared);  // pair_distance
    // Classified here, where the radii sit beside the positions, rather than after the sort.
    *tag = static_cast<unsigned>(
        classify_by_radii(known(index_.covalent_radius(first)), known(index_.covalent_radius(second)), *distance));
    return true;
  }

 private:
  const SpatialIndex& index_;
  double cutoff_;
  double bound_;  // squared_bound(cutoff_)
};

constexpr const char* kContactPairs = "the pairs of a contact search";

Contact contact_of(const FoundPair& p) noexcept {
  return Contact{p.first(), p.second(), p.distance(), static_cast<ContactClass>(p.tag())};
}

// The rows of the sorted pairs, in fresh huge pages where the kernel has them (small fresh pages
// fault in several times slower). Why sort the pairs rather than the rows: a pair is half a row, so
// the sorts move half the memory, and each row is then written once, never zeroed first.
std::vector<Contact> rows_of(const PairBuffer& pairs) {
  std::vector<Contact> rows;
  reserve_checked(rows, pairs.size(), "the rows of a contact search");
  detail::advise_huge_pages(rows.data(), pairs.size() * sizeof(Contact));
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    if ((k & 0xFFFF) == 0) interruption_point();
    rows.push_back(contact_of(pairs[k]));
  }
  return rows;
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
  run_search([&] {
    for (std::size_t a = 0; a < placed.size(); ++a) {
      const Vec3 p = placed[a].position;
      for (std::size_t b = a + 1; b < placed.size(); ++b) {
        const double d = distance(p, placed[b].position);
        if (d <= cutoff) {
          push_back_checked(rows, Contact{placed[a].index, placed[b].index, d, classify_by_radii(radius[a], radius[b], d)});
        }
      }
    }
  });
  return rows;
}

Expected<std::vector<Contact>, Refusal> find_contacts(const Structure& s, double cutoff) {
  if (!(cutoff > 0)) return unexpected(Refusal{kCutoffNotPositive});
  const auto rule = [cutoff](const SpatialIndex& index) { return ContactRule(index, cutoff); };
  return rows_of(pairs_in_scan_order(s, rule, kContactPairs));
}

Expected<std::vector<Contact>, Refusal> contacts(const Structure& s, double cutoff,
                                                 std::optional<std::uint64_t> max_results) {
  if (!(cutoff > 0)) return unexpected(Refusal{kCutoffNotPositive});
  // The stable sort by distance of rows in scan order is the order (distance, first, second).
  const auto rule = [cutoff](const SpatialIndex& index) { return ContactRule(index, cutoff); };
  return rows_of(pairs_in_distance_order(s, rule, max_results, kContactPairs));
}

}  // namespace quarn
