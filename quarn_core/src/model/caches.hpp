// Derived data a Structure builds on first use and keeps; internal to the core.
#pragma once

#include <mutex>

#include "quarn/bond_graph.hpp"

namespace quarn::detail {

struct StructureCaches {
  std::once_flag bond_graph_once;
  BondGraph bond_graph;
};

}  // namespace quarn::detail
