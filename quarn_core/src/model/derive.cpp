#include "quarn/derive.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarn {

namespace {

constexpr Text AtomSite::* kTexts[] = {
    &AtomSite::id,           &AtomSite::type_symbol,   &AtomSite::label_atom_id, &AtomSite::auth_atom_id,
    &AtomSite::label_alt_id, &AtomSite::label_comp_id, &AtomSite::label_asym_id, &AtomSite::auth_asym_id,
};

constexpr std::size_t kSharedAtMost = std::size_t{64} << 10;

std::optional<DeriveError> check(const std::vector<std::uint64_t>& indices, std::uint64_t n) {
  if (indices.empty()) return DeriveError{DeriveError::kEmpty};
  // A model, a conformation, a mask: ascending indices repeat none, which needs no table of those seen.
  std::uint64_t k = 1;
  while (k < indices.size() && indices[k - 1] < indices[k]) ++k;
  if (k == indices.size() && indices.back() < n) return std::nullopt;
  std::vector<bool> seen(n);
  for (k = 0; k < indices.size(); ++k) {
    const std::uint64_t i = indices[k];
    if (i >= n) return DeriveError{DeriveError::kOutOfRange, k, i};
    if (seen[i]) return DeriveError{DeriveError::kDuplicate, k, i};
    seen[i] = true;
  }
  return std::nullopt;
}

// Appends `v` or, when absent, a mark that no number gives.
void put_number(std::optional<std::int32_t> v, std::string* key) {
  char digits[16];
  const auto end = v ? std::to_chars(digits, digits + sizeof digits, *v).ptr : digits;
  if (!v) *key += '-';
  key->append(digits, end);
  *key += '\0';
}

// The residue of an atom as one string: model number, chain and sequence number, each closed by a NUL
// (which no text of a file holds), so two residues never share a key.
void residue_key(const AtomSite& a, std::string* key) {
  key->clear();
  put_number(a.model_num(), key);
  const auto chain = chain_of(a);
  if (chain) key->append(*chain);
  *key += chain ? '\0' : '\1';
  put_number(seq_of(a), key);
}

// Copies `n` records to `to`. Why streaming stores for a long run: a plain copy first reads each
// destination line into the cache only to overwrite it, a third of the memory traffic of a large
// derivation, and then evicts the parent's records with lines nobody reads soon.
void copy_records(AtomSite* to, const AtomSite* from, std::size_t n) noexcept {
#if defined(__SSE2__)
  constexpr std::size_t kStreamBytes = std::size_t{256} << 10;
  std::size_t bytes = n * sizeof(AtomSite);
  if (bytes >= kStreamBytes) {
    auto* d = reinterpret_cast<unsigned char*>(to);
    const auto* s = reinterpret_cast<const unsigned char*>(from);
    const std::size_t head = (64 - reinterpret_cast<std::uintptr_t>(d) % 64) % 64;
    std::memcpy(d, s, head);
    d += head, s += head, bytes -= head;
    for (; bytes >= 64; d += 64, s += 64, bytes -= 64) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
      const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
      _mm_stream_si128(reinterpret_cast<__m128i*>(d), a);
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), b);
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), c);
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
    std::memcpy(d, s, bytes);
    _mm_sfence();  // streaming stores are weakly ordered: make them visible before anything after
    return;
  }
#endif
  std::memcpy(static_cast<void*>(to), from, n * sizeof(AtomSite));
}

// Copies atoms `indices` of `parent` into `out`, a run of consecutive indices at a time. Long texts
// point into the parent's arena, which may go before `out` does: `out` either keeps that arena's
// blocks alive (`share`) or stores its own copies, in a pass over each batch the copy left in cache.
// Why the helper thread: the kernel zeroes every fresh page before the copy may write it, which costs
// as much as the copy itself; a second thread faults the destination in from its far end while this
// one copies from the near end.
void copy_atoms(const Structure& parent, const std::vector<std::uint64_t>& indices, bool share, Structure& out) {
  out.atoms.reserve(indices.size());
  std::jthread helper;
  if (indices.size() * sizeof(AtomSite) >= (std::size_t{32} << 20)) {
    std::vector<std::pair<const void*, std::size_t>> blocks;
    out.atoms.each_block([&](const void* memory, std::size_t bytes) { blocks.emplace_back(memory, bytes); });
    try {
      helper = std::jthread([blocks = std::move(blocks)] {
        for (auto b = blocks.rbegin(); b != blocks.rend(); ++b) detail::prefault(b->first, b->second);
      });
    } catch (const std::exception&) {
      // std::system_error or std::bad_alloc: the copy faults the pages in itself.
    }
  }
  if (share) out.arena.share(parent.arena);
  const bool copy_texts = !share && parent.arena.bytes_reserved() > 0;
  // Batches of 30 KiB when texts are copied: the copy's stores stay in cache for the text pass.
  const std::size_t batch = copy_texts ? 256 : SIZE_MAX;
  for (std::size_t k = 0; k < indices.size();) {
    std::size_t length;
    const AtomSite* run = parent.atoms.run(indices[k], &length);
    const std::size_t most = std::min(length, batch);
    std::size_t n = 1;
    while (n < most && k + n < indices.size() && indices[k + n] == indices[k] + n) ++n;
    const std::size_t at = out.atoms.size();
    out.atoms.append(run, n, copy_records);
    for (std::size_t i = at; copy_texts && i < at + n; ++i) {
      AtomSite& a = out.atoms[i];
      for (Text AtomSite::* t : kTexts) {
        if ((a.*t).in_arena()) a.*t = out.arena.store((a.*t).view());
      }
    }
    k += n;
  }
}

}  // namespace

Expected<Structure, DeriveError> derive(const Structure& parent, std::vector<std::uint64_t> indices, bool keep_cell) {
  if (auto refused = check(indices, parent.atom_count())) return unexpected(*refused);
  Structure out;
  out.entry_id = parent.entry_id;
  out.title = parent.title;
  out.space_group = parent.space_group;
  if (keep_cell) out.cell = parent.cell;
  // Sharing the parent's long texts keeps all of them alive: worth it when most atoms come along, or
  // when they take no more than one block.
  const bool share = 2 * indices.size() >= parent.atom_count() || parent.arena.bytes_reserved() <= kSharedAtMost;
  copy_atoms(parent, indices, share, out);
  out.bonds.reserve(parent.bonds.size());
  for (const BondRecord& b : parent.bonds) out.bonds.push_back(b);
  Derivation d;
  if (parent.derivation) {
    for (std::uint64_t& i : indices) i = parent.derivation->parsed_indices[i];
    d.parsed_cell = parent.derivation->parsed_cell;
  } else {
    d.parsed_cell = parent.cell;
  }
  d.parsed_indices = std::move(indices);
  out.derivation = std::move(d);
  return out;
}

std::vector<std::uint64_t> model_atoms(const Structure& s, std::optional<std::int32_t> model_num) {
  std::vector<std::uint64_t> out;
  if (s.atoms.empty()) return out;
  const std::optional<std::int32_t> wanted = model_num ? model_num : s.atoms[0].model_num();
  // Room for every atom: a file of one model fills it, without the copies of growing to it; the pages
  // of a smaller model's unused room are never touched, and a much smaller one gives them back.
  out.reserve(s.atoms.size());
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    if (s.atoms[i].model_num() == wanted) out.push_back(i);
  }
  if (out.size() < out.capacity() / 2) out.shrink_to_fit();
  return out;
}

std::vector<std::uint64_t> altloc_atoms(const Structure& s, std::optional<std::string_view> alt_id) {
  std::vector<std::uint64_t> out;
  bool named_seen = false;
  std::unordered_map<std::string, std::string> first_of_residue;
  std::string key;
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    const AtomSite& a = s.atoms[i];
    if (!a.label_alt_id.present()) {
      out.push_back(i);
      continue;
    }
    const std::string_view alt = a.label_alt_id.view();
    if (alt_id) {
      if (alt == *alt_id) {
        out.push_back(i);
        named_seen = true;
      }
      continue;
    }
    residue_key(a, &key);
    const auto [at, inserted] = first_of_residue.try_emplace(key, alt);
    if (inserted || at->second == alt) out.push_back(i);
  }
  if (alt_id && !named_seen) out.clear();
  return out;
}

}  // namespace quarn
