// The pair searches of the core written as plain scans over every pair: the definition that any
// faster search must reproduce row for row, and the oracle the tests hold it to.
#pragma once

#include <vector>

#include "quarn/contacts.hpp"
#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn::exhaustive {

// Same contract as quarn::find_contacts: every pair i < j of positioned atoms whose pair_distance
// (displacement j minus i) is at most `cutoff`, in order of i then j; refuses a cutoff that is not
// greater than zero. Examines all n (n - 1) / 2 pairs.
Expected<std::vector<Contact>, Refusal> find_contacts(const Structure& s, double cutoff);

}  // namespace quarn::exhaustive
