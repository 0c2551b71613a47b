// Atom pairs within a cutoff, each classified by how its distance compares with the covalent radii.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn {

enum class ContactClass : std::uint8_t {
  covalent = 0,
  short_contact = 1,
  clash = 2,
  nonbonded = 3,
};

// "covalent", "short_contact", "clash", "nonbonded". Never allocates.
std::string_view contact_class_text(ContactClass c) noexcept;

struct Contact {
  std::uint64_t first;          // always below `second`
  std::uint64_t second;
  double distance;              // pair_distance, displacement second minus first
  ContactClass classification;
  friend bool operator==(const Contact&, const Contact&) = default;
};

inline constexpr const char* kCutoffNotPositive = "cutoff must be positive";

// Rule of the pair at distance d, from the elements' covalent radii (distance-only when either atom
// has no element).
ContactClass classify_contact(const AtomSite& first, const AtomSite& second, double d) noexcept;

// Every pair i < j of positioned atoms with distance <= cutoff, in enumeration order (first, then
// second ascending). Refuses a cutoff that is not greater than zero (NaN included). May throw
// std::bad_alloc (a MemoryShortage saying what did not fit), and Interrupted when the caller's
// interrupt check says stop (quarn/interrupt.hpp). Through the spatial index where it
// prunes; large searches run in parts on threads of their own. May run concurrently.
Expected<std::vector<Contact>, Refusal> find_contacts(const Structure& s, double cutoff);

// find_contacts, then a stable sort by distance, then the first max_results rows (all when absent),
// without holding more rows than it returns: with max_results, time and memory grow with it and with
// the pairs examined, not with the pairs within the cutoff. Same failures as find_contacts.
Expected<std::vector<Contact>, Refusal> contacts(const Structure& s, double cutoff,
                                                 std::optional<std::uint64_t> max_results);

}  // namespace quarn
