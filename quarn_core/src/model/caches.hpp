// Derived data a Structure builds on first use and keeps; internal to the core.
#pragma once

#include <mutex>

#include "quarn/bond_graph.hpp"
#include "quarn/spatial_index.hpp"

namespace quarn::detail {

struct StructureCaches {
  std::once_flag bond_graph_once;
  BondGraph bond_graph;
  std::once_flag spatial_index_once;
  SpatialIndex spatial_index;
};

}  // namespace quarn::detail
