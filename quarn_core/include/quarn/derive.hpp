// Structures derived from another: any subset of its atoms, one model, one conformation, no periodicity.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn {

// Why a derivation was refused: the kind, and the position in `indices` (and its value) at fault.
struct DeriveError {
  enum Kind : std::uint8_t { kEmpty, kOutOfRange, kDuplicate } kind;
  std::uint64_t position = 0;
  std::uint64_t index = 0;
};

// The structure made of atoms `indices` of `parent`, in the order of `indices`, with every bond row,
// the entry texts and, when `keep_cell`, the cell of `parent`. It answers every query as the parsed
// file holding only those _atom_site rows, in that order, would (without its _cell items when not
// `keep_cell`). Its `derivation` maps each atom to the structure that was parsed and keeps that one's
// cell. Refused: an empty list, an index not below parent.atom_count(), an index given twice.
//
// Copies the selected atom records (a run of consecutive indices in one copy, streamed past the
// cache when long). Their texts too long to sit inline are copied too when the selection is small
// against `parent`; when it holds at least half of its atoms, or `parent`'s long texts take at most
// one 64 KiB block, the result shares `parent`'s blocks of them instead (reference-counted). Either
// way the result outlives `parent`; the bond rows are copied too (their count does not depend on
// the selection). Caches (bond graph, spatial index) are built on first use, as on a parsed
// structure. Linear in the atoms selected plus the bond rows, plus, unless the indices ascend, one
// bit per atom of `parent` to find duplicates; a selection of 32 MiB of records or more has one helper thread fault its memory in
// beside the copy (it never throws; without a thread to be had, the copy does it). Reads `parent`
// only (never its caches), so it may run concurrently with any other reader of `parent`. May throw
// std::bad_alloc.
Expected<Structure, DeriveError> derive(const Structure& parent, std::vector<std::uint64_t> indices,
                                        bool keep_cell = true);

// The indices, ascending, of the atoms of model `model_num` (the model number of the first atom when
// absent; atoms without a model number form one model). Empty when no atom matches. Linear; takes
// room for every atom of `s` while it runs (handing back what a much smaller model leaves); reads `s`
// only, so it may run concurrently with any other reader; may throw std::bad_alloc.
std::vector<std::uint64_t> model_atoms(const Structure& s, std::optional<std::int32_t> model_num);

// The indices, ascending, of one conformation: the atoms without an alternate location and those of
// `alt_id`; when `alt_id` is absent, those of each residue's first alternate location in file order
// (a residue is a model number, chain and sequence number: chain_of and seq_of). Empty when `alt_id`
// is given and no atom has it. Linear in atoms (one hash table of residues with alternate
// locations); reads `s` only, so it may run concurrently with any other reader; may throw
// std::bad_alloc.
std::vector<std::uint64_t> altloc_atoms(const Structure& s, std::optional<std::string_view> alt_id);

}  // namespace quarn
