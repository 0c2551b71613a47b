// The searches of the core written as plain scans (of every pair, of every atom per bond row): the
// definition that any faster search must reproduce row for row, and the oracle the tests hold it to.
#pragma once

#include <vector>

#include "quarn/bond_graph.hpp"
#include "quarn/contacts.hpp"
#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn::exhaustive {

// Same contract as quarn::find_contacts: every pair i < j of positioned atoms whose pair_distance
// (displacement j minus i) is at most `cutoff`, in order of i then j; refuses a cutoff that is not
// greater than zero. Examines all n (n - 1) / 2 pairs.
Expected<std::vector<Contact>, Refusal> find_contacts(const Structure& s, double cutoff);

// The explicit bond graph as Structure::bond_graph() builds it, resolving each partner of each bond
// row by a scan of every atom from index 0. May throw std::bad_alloc.
BondGraph bond_graph(const Structure& s);

}  // namespace quarn::exhaustive
