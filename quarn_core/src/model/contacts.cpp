#include "quarn/contacts.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "quarn/element.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/geometry.hpp"
#include "quarn/scan_order.hpp"
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

// The contact rule over the index's candidate pairs; rows come in no particular order.
class ContactRule {
 public:
  ContactRule(const SpatialIndex& index, double cutoff, std::vector<Contact>& rows)
      : index_(index), cutoff_(cutoff), rows_(rows) {}
  double max_reach() const noexcept { return cutoff_; }
  double reach(std::uint32_t) const noexcept { return cutoff_; }
  void consider(std::uint32_t a, std::uint32_t b) {
    // The distance is taken as the scan takes it, from the lower atom index to the higher.
    const bool swap = index_.atom(b) < index_.atom(a);
    const std::uint32_t first = swap ? b : a, second = swap ? a : b;
    const double d = index_.distance()(index_.position(first), index_.position(second));
    if (d <= cutoff_) {
      rows_.push_back({index_.atom(first), index_.atom(second), d,
                       classify_by_radii(known(index_.covalent_radius(first)), known(index_.covalent_radius(second)), d)});
    }
  }

 private:
  const SpatialIndex& index_;
  double cutoff_;
  std::vector<Contact>& rows_;
};

QUARN_SEARCH_KERNEL void contact_candidates(const SpatialIndex& index, double cutoff, std::vector<Contact>& rows) {
  ContactRule rule(index, cutoff, rows);
  index.pairs(rule);
}

// Appends the pairs within a positive cutoff in no particular order, a pair possibly twice; false,
// with nothing appended, when the index would not help and the caller should scan.
bool indexed_contacts(const Structure& s, double cutoff, std::vector<Contact>& rows) {
  if (s.atom_count() < 2) return false;
  const SpatialIndex& index = s.spatial_index();
  if (!index.worth_searching(cutoff)) return false;
  contact_candidates(index, cutoff, rows);
  return true;
}

// Rows ascending by (distance, first, second), repeats dropped. Kept distances are non-negative and
// never NaN, so their bit patterns ascend with them: the top bits of the pattern make the buckets.
void sort_by_distance(std::vector<Contact>& rows) {
  const auto before = [](const Contact& x, const Contact& y) {
    if (x.distance != y.distance) return x.distance < y.distance;
    return x.first != y.first ? x.first < y.first : x.second < y.second;
  };
  if (rows.size() < 256) {
    std::sort(rows.begin(), rows.end(), before);
  } else {
    const auto bits = [](const Contact& c) { return std::bit_cast<std::uint64_t>(c.distance); };
    std::uint64_t lo = bits(rows[0]), hi = lo;
    for (const Contact& c : rows) {
      lo = std::min(lo, bits(c));
      hi = std::max(hi, bits(c));
    }
    const std::uint64_t buckets = std::bit_ceil(rows.size() / 4);
    int shift = 0;
    while (((hi - lo) >> shift) >= buckets) ++shift;
    bucket_sort(rows, buckets, [&](const Contact& c) { return (bits(c) - lo) >> shift; }, before);
  }
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
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

QUARN_SEARCH_KERNEL Expected<std::vector<Contact>, Refusal> exhaustive::find_contacts(const Structure& s,
                                                                                  double cutoff) {
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
  if (!(cutoff > 0)) return unexpected(Refusal{kCutoffNotPositive});
  std::vector<Contact> rows;
  if (!indexed_contacts(s, cutoff, rows)) return exhaustive::find_contacts(s, cutoff);
  to_scan_order(rows, s.atom_count(), [](const Contact& c) { return c.first; }, [](const Contact& c) { return c.second; });
  return rows;
}

Expected<std::vector<Contact>, Refusal> contacts(const Structure& s, double cutoff,
                                                 std::optional<std::uint64_t> max_results) {
  if (!(cutoff > 0)) return unexpected(Refusal{kCutoffNotPositive});
  std::vector<Contact> rows;
  if (!indexed_contacts(s, cutoff, rows)) rows = std::move(*exhaustive::find_contacts(s, cutoff));
  // The stable sort by distance of rows in scan order is the sort by (distance, first, second), a
  // total order, which any order of the rows reaches.
  sort_by_distance(rows);
  if (max_results && *max_results < rows.size()) rows.resize(*max_results);
  return rows;
}

}  // namespace quarn
