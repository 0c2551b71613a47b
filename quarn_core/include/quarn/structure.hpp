// The in-memory model of one parsed mmCIF file: atoms, explicit bond rows, cell, entry texts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarn/atom_list.hpp"
#include "quarn/bond_graph.hpp"
#include "quarn/text.hpp"

namespace quarn {

struct Vec3 {
  double x, y, z;
  friend bool operator==(const Vec3&, const Vec3&) = default;
};

struct UnitCell {
  double a, b, c;              // edge lengths, ångström
  double alpha, beta, gamma;   // angles, degrees
  friend bool operator==(const UnitCell&, const UnitCell&) = default;
};

// One row of an _atom_site loop. Every field is optional. Texts are Text (seven bytes, see text.hpp);
// numbers are stored beside a presence bit and read through the optional-returning accessors, which
// keeps an atom at 120 bytes.
struct AtomSite {
  Text id;              // _atom_site.id, kept as text
  Text type_symbol;     // _atom_site.type_symbol, ASCII letters upper-cased
  Text label_atom_id;   // _atom_site.label_atom_id
  Text auth_atom_id;    // _atom_site.auth_atom_id
  Text label_alt_id;    // _atom_site.label_alt_id or _atom_site.alt_id, the later column of the header
  Text label_comp_id;   // _atom_site.label_comp_id
  Text label_asym_id;   // _atom_site.label_asym_id
  Text auth_asym_id;    // _atom_site.auth_asym_id

  // The numeric fields, in record order. Each has a bit in `present`.
  enum Field : std::uint16_t {
    kLabelSeqId = 1u << 0,
    kAuthSeqId = 1u << 1,
    kX = 1u << 2,
    kY = 1u << 3,
    kZ = 1u << 4,
    kOccupancy = 1u << 5,
    kBFactor = 1u << 6,
    kModelNum = 1u << 7,
    kFormalCharge = 1u << 8,
  };
  static constexpr std::uint16_t kPosition = kX | kY | kZ;

  double x_value = 0, y_value = 0, z_value = 0;  // _atom_site.Cartn_x / _y / _z, ångström
  double occupancy_value = 0;                    // _atom_site.occupancy
  double b_factor_value = 0;                     // _atom_site.B_iso_or_equiv
  std::int32_t label_seq_id_value = 0;           // _atom_site.label_seq_id
  std::int32_t auth_seq_id_value = 0;            // _atom_site.auth_seq_id
  std::int32_t model_num_value = 0;              // _atom_site.pdbx_PDB_model_num
  std::int32_t formal_charge_value = 0;          // _atom_site.pdbx_formal_charge
  std::uint16_t present = 0;                     // Field bits of the numbers that are present

  bool has(Field f) const noexcept { return (present & f) != 0; }

  std::optional<double> x() const noexcept { return real(kX, x_value); }
  std::optional<double> y() const noexcept { return real(kY, y_value); }
  std::optional<double> z() const noexcept { return real(kZ, z_value); }
  std::optional<double> occupancy() const noexcept { return real(kOccupancy, occupancy_value); }
  std::optional<double> b_factor() const noexcept { return real(kBFactor, b_factor_value); }
  std::optional<std::int32_t> label_seq_id() const noexcept { return integer(kLabelSeqId, label_seq_id_value); }
  std::optional<std::int32_t> auth_seq_id() const noexcept { return integer(kAuthSeqId, auth_seq_id_value); }
  std::optional<std::int32_t> model_num() const noexcept { return integer(kModelNum, model_num_value); }
  std::optional<std::int32_t> formal_charge() const noexcept { return integer(kFormalCharge, formal_charge_value); }

 private:
  std::optional<double> real(Field f, double v) const noexcept {
    return has(f) ? std::optional<double>(v) : std::nullopt;
  }
  std::optional<std::int32_t> integer(Field f, std::int32_t v) const noexcept {
    return has(f) ? std::optional<std::int32_t>(v) : std::nullopt;
  }
};

static_assert(sizeof(AtomSite) == 120, "an atom record is 120 bytes; a million atoms must fit in 128 MB with the list overhead");

// Derived per-atom accessors. Never allocate.
// The position, only when x, y and z are all present.
inline std::optional<Vec3> position_of(const AtomSite& a) noexcept {
  if ((a.present & AtomSite::kPosition) != AtomSite::kPosition) return std::nullopt;
  return Vec3{a.x_value, a.y_value, a.z_value};
}
// label_asym_id, else auth_asym_id.
inline std::optional<std::string_view> chain_of(const AtomSite& a) noexcept {
  return a.label_asym_id.present() ? a.label_asym_id.get() : a.auth_asym_id.get();
}
// label_seq_id, else auth_seq_id.
inline std::optional<std::int32_t> seq_of(const AtomSite& a) noexcept {
  return a.has(AtomSite::kLabelSeqId) ? a.label_seq_id() : a.auth_seq_id();
}

// An atom that has a position, with its index: the unit every pair scan walks.
struct PlacedAtom {
  std::uint64_t index;   // in Structure::atoms
  Vec3 position;
};

// A partial atom identity naming one partner of an explicit bond; an absent field matches anything.
struct AtomSelector {
  std::optional<std::string> label_atom_id;
  std::optional<std::string> label_comp_id;
  std::optional<std::string> label_asym_id;
  std::optional<std::string> auth_atom_id;
  std::optional<std::string> auth_asym_id;
  std::optional<std::int32_t> label_seq_id;
  std::optional<std::int32_t> auth_seq_id;
  friend bool operator==(const AtomSelector&, const AtomSelector&) = default;
};

// One row of _struct_conn or _chem_comp_bond, as written; resolved to atoms only by the bond graph.
struct BondRecord {
  std::optional<double> distance;        // _struct_conn.pdbx_dist_value
  AtomSelector partner1;
  AtomSelector partner2;
  std::optional<std::string> conn_type;    // raw _struct_conn.conn_type_id
  std::optional<std::string> value_order;  // raw _chem_comp_bond.value_order
  bool from_chem_comp = false;             // true for a _chem_comp_bond row
  std::optional<BondType> bond_type;       // from conn_type or value_order
};

struct BoundingBox {
  Vec3 min;
  Vec3 max;
  friend bool operator==(const BoundingBox&, const BoundingBox&) = default;
};

// Where the atoms of a derived structure (derive.hpp) came from, counted in the structure that was
// parsed: a chain of derivations maps straight back to it.
struct Derivation {
  std::vector<std::uint64_t> parsed_indices;  // atom i is atom parsed_indices[i] of the parsed structure
  std::optional<UnitCell> parsed_cell;        // its cell, kept also where the derived `cell` was dropped
};

class SpatialIndex;

namespace detail {
struct StructureCaches;  // lazily built, never changed afterwards (bond graph, spatial index)
}

// The parsed model. The reader fills the public fields once; afterwards the structure is read-only
// (its caches fill themselves on first use and assume the fields no longer change). Move-only: texts
// of `atoms` point into `arena`.
//
// Threads: every const member, and every function of the core that takes a const Structure&, may run
// on any number of threads at once, first calls included. Each cache is built exactly once: a thread
// that asks while another builds waits for that build, which takes no lock of the caller's (so a
// caller may hold its own, an interpreter lock included, while it waits). Moving, assigning or
// destroying a Structure must not overlap any other use of it.
class Structure {
 public:
  std::optional<UnitCell> cell;
  std::optional<std::string> entry_id;
  std::optional<std::string> title;
  std::optional<std::string> space_group;
  BlockList<AtomSite> atoms;       // file order; an atom's index is its position here
  BlockList<BondRecord> bonds;     // _struct_conn and _chem_comp_bond rows, file order
  TextArena arena;                 // owns the atom texts too long to sit inline
  std::optional<Derivation> derivation;  // set only on a derived structure

  Structure();
  ~Structure();
  Structure(Structure&&) noexcept;
  Structure& operator=(Structure&&) noexcept;
  Structure(const Structure&) = delete;
  Structure& operator=(const Structure&) = delete;

  std::uint64_t atom_count() const noexcept { return atoms.size(); }

  // The explicit bonds resolved against the atoms; built on the first call, then the same graph.
  // Building may throw std::bad_alloc; a failed build leaves the cache empty, for the next call to try
  // again.
  const BondGraph& bond_graph() const;

  // The grid of the atom positions behind every pair search; built on the first call, then the same
  // index. A failed build leaves the cache empty, for the next call to try again. May throw
  // std::bad_alloc.
  const SpatialIndex& spatial_index() const;

  // (i, j) with i < j, one per graph entry seen from its lower end, in graph order.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> explicit_bonds() const;

  std::optional<UnitCell> unit_cell() const noexcept { return cell; }

  // Min and max corner over the positioned atoms, NaN-ignoring; absent when no atom has a position.
  std::optional<BoundingBox> bounding_box() const noexcept;

  // The atoms that have a position, in index order. May throw std::bad_alloc.
  std::vector<PlacedAtom> placed_atoms() const;

  // Internal: the lazily built derived data. Not part of the model.
  detail::StructureCaches& caches() const noexcept { return *caches_; }

 private:
  std::unique_ptr<detail::StructureCaches> caches_;
};

}  // namespace quarn
