// The compact binary form of a Structure: what a pickled Structure holds instead of the file's text.
#pragma once

#include <string>
#include <string_view>

#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn {

// Layout (integers little-endian; a varint is LEB128 of at most 10 bytes):
//   magic "\x89QRNSTR\n", format version (u32), sections, CRC-32 of every byte before it (u32).
//   A section is a tag (u8), its payload's length (varint) and the payload; tags ascend, none twice:
//     1 entry texts   entry_id, title, space_group, each an optional text
//     2 cell          six doubles; left out when the structure has no cell
//     3 atoms         the count; the distinct presence shapes (which fields an atom has) and one
//                     shape code per atom; then a block per field, in record order, holding only the
//                     values of the atoms that have it, each column in its own compact encoding
//     4 bonds         the count, then each bond row with a presence word
//     5 derivation    only for a derived structure: the count (that of the atoms), each parsed index
//                     as a zigzag varint of its difference from the one before (from 0), then a flag
//                     and the six doubles of the parsed cell
// A parsed structure's form is that of the first builds, which refuse section 5, as this reader
// refuses a version or a section it does not know: an older build never answers differently for a
// newer form.

// Why a reading fails, as one sentence ("structure data is truncated", ...).
struct BinaryFormError {
  std::string message;
};

// The binary form of `s`. Deterministic: the same model always gives the same bytes. Reads `s` only
// (never its caches), so it may run concurrently with any other reader of `s`. Linear in atoms and
// bonds (texts go through one hash table per column). May throw std::bad_alloc.
std::string write_binary_form(const Structure& s);

// The Structure whose binary form `bytes` is (its caches empty, built again on first use). Any other
// bytes (truncated, damaged, of another version, made by hand) give a BinaryFormError and never a
// fault. Every count is checked against the bytes that remain before anything is allocated for it,
// so what is allocated stays within a fixed multiple of the input's size (an atom costs the input at
// least one byte, a bond row one). Linear in the size of the input; may throw std::bad_alloc (only
// when memory runs out for a model the input really holds). Thread-safe.
Expected<Structure, BinaryFormError> read_binary_form(std::string_view bytes);

// Whether two models are the same to the last bit: entry texts, the cell's bits, every field and
// presence bit of every atom (a number's bits only where it is present), every bond row and the
// derivation. Caches
// are not compared. This is what the binary form keeps. Never allocates.
bool same_model(const Structure& a, const Structure& b) noexcept;

}  // namespace quarn
