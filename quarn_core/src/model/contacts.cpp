#include "quarn/contacts.hpp"

#include <algorithm>
#include <cmath>

#include "quarn/element.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/found_pairs.hpp"
#include "quarn/geometry.hpp"
#include "quarn/memory.hpp"
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

// The contact rule over the index's candidate pairs.
class ContactRule {
 public:
  ContactRule(const SpatialIndex& index, double cutoff, PairList& found)
      : index_(index), cutoff_(cutoff), bound_(squared_bound(cutoff)), found_(found) {}
  double max_reach() const noexcept { return cutoff_; }
  double reach(std::uint32_t) const noexcept { return cutoff_; }
  void consider(std::uint32_t a, std::uint32_t b) {
    // The distance is taken as the scan takes it, from the lower atom index to the higher.
    const bool swap = index_.atom(b) < index_.atom(a);
    const std::uint32_t first = swap ? b : a, second = swap ? a : b;
    // Most candidates are rejected by their sum of squares, before the square root.
    const double squared = index_.distance().squared(index_.position(first), index_.position(second));
    if (squared <= bound_) {
      const double d = std::sqrt(squared);  // pair_distance
      // Classified here, where the radii sit beside the positions, rather than after the sort.
      const ContactClass c =
          classify_by_radii(known(index_.covalent_radius(first)), known(index_.covalent_radius(second)), d);
      found_.push_back(FoundPair::of(index_.atom(first), index_.atom(second), d, static_cast<unsigned>(c)));
    }
  }

 private:
  const SpatialIndex& index_;
  double cutoff_;
  double bound_;  // squared_bound(cutoff_)
  PairList& found_;
};

// Every pair within a positive cutoff, in no particular order, possibly twice; nothing when the
// index would not help (the caller scans then).
std::optional<FoundPairs> indexed_contacts(const Structure& s, double cutoff) {
  if (s.atom_count() < 2) return std::nullopt;
  const SpatialIndex& index = s.spatial_index();
  if (!index.worth_searching(cutoff)) return std::nullopt;
  return index.find_pairs([&](PairList& found) { return ContactRule(index, cutoff, found); });
}

Contact contact_of(const FoundPair& p) noexcept {
  return Contact{p.first(), p.second(), p.distance(), static_cast<ContactClass>(p.tag())};
}

// The rows of the first `keep` sorted pairs, in fresh huge pages where the kernel has them (small
// fresh pages fault in several times slower). Why sort the pairs rather than the rows: a pair is half
// a row, so the sorts move half the memory, and each row is then written once, never zeroed first.
std::vector<Contact> rows_of(const PairBuffer& pairs, std::size_t keep) {
  const std::size_t count = std::min(keep, pairs.size());
  std::vector<Contact> rows;
  reserve_checked(rows, count);
  detail::advise_huge_pages(rows.data(), count * sizeof(Contact));
  for (std::size_t k = 0; k < count; ++k) rows.push_back(contact_of(pairs[k]));
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
  const auto found = indexed_contacts(s, cutoff);
  if (!found) return exhaustive::find_contacts(s, cutoff);
  return rows_of(in_scan_order(*found, s.atom_count()), found->size());
}

Expected<std::vector<Contact>, Refusal> contacts(const Structure& s, double cutoff,
                                                 std::optional<std::uint64_t> max_results) {
  if (!(cutoff > 0)) return unexpected(Refusal{kCutoffNotPositive});
  const auto found = indexed_contacts(s, cutoff);
  if (!found) {
    std::vector<Contact> rows = exhaustive::find_contacts(s, cutoff).value();  // moved, not copied
    // Scan order and no NaN distance: the stable sort by distance is the sort by the total order
    // (distance, first, second), done in place, and only for the rows kept.
    const auto before = [](const Contact& x, const Contact& y) {
      if (x.distance != y.distance) return x.distance < y.distance;
      return x.first != y.first ? x.first < y.first : x.second < y.second;
    };
    if (max_results && *max_results < rows.size()) {
      std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(*max_results), rows.end(), before);
      rows.resize(*max_results);
    } else {
      std::sort(rows.begin(), rows.end(), before);
    }
    return rows;
  }
  // The stable sort by distance of rows in scan order is the sort by (distance, first, second).
  return rows_of(in_distance_order(*found, cutoff), max_results.value_or(found->size()));
}

}  // namespace quarn
