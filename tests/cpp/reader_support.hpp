// Helpers for the reader tests: feeds that deliver a text in pieces, and a full dump of a Structure.
#pragma once

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "parser/parse.hpp"
#include "parser/text_feed.hpp"
#include "quarn/reader.hpp"

namespace quarn::testing {

// Delivers the text in pieces of the given sizes (the last size repeats). The bytes after ready()
// hold junk until their piece arrives, so a scan that looks past ready() reads the wrong text.
class PieceFeed final : public detail::TextFeed {
 public:
  PieceFeed(std::string_view text, std::vector<std::size_t> pieces) : text_(text), pieces_(std::move(pieces)) {
    buffer_.assign(text.size() + 1, '"');
    data_ = buffer_.data();
    deliver();
  }
  bool more() noexcept override {
    if (ready_ == text_.size()) return false;
    deliver();
    return true;
  }

 private:
  void deliver() {
    std::size_t n = pieces_.empty() ? text_.size() : pieces_[std::min(next_, pieces_.size() - 1)];
    ++next_;
    n = std::min(n, text_.size() - ready_);
    std::memcpy(buffer_.data() + ready_, text_.data() + ready_, n);
    ready_ += n;
  }
  std::string_view text_;
  std::vector<std::size_t> pieces_;
  std::size_t next_ = 0;
  std::string buffer_;
};

// Random piece sizes from 1 to max_piece.
inline std::vector<std::size_t> random_pieces(std::size_t text_size, std::size_t max_piece, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> size(1, max_piece);
  std::vector<std::size_t> pieces;
  for (std::size_t total = 0; total < text_size;) {
    pieces.push_back(size(rng));
    total += pieces.back();
  }
  return pieces;
}

inline std::string hex(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%a", v);
  return b;
}

template <class T>
std::string opt(const std::optional<T>& v) {
  if (!v) return "-";
  if constexpr (std::is_same_v<T, double>) {
    return hex(*v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "[" + *v + "]";
  } else {
    return std::to_string(static_cast<long long>(*v));
  }
}

inline std::string text(const Text& t) { return t.present() ? "[" + std::string(t.view()) + "]" : "-"; }

inline std::string dump(const AtomSelector& s) {
  return opt(s.label_atom_id) + " " + opt(s.label_comp_id) + " " + opt(s.label_asym_id) + " " +
         opt(s.auth_atom_id) + " " + opt(s.auth_asym_id) + " " + opt(s.label_seq_id) + " " + opt(s.auth_seq_id);
}

// Every field of the structure, doubles in hexadecimal, so equal dumps mean equal results.
inline std::string dump(const Structure& s) {
  std::ostringstream o;
  o << "entry " << opt(s.entry_id) << " title " << opt(s.title) << " group " << opt(s.space_group) << "\n";
  if (s.cell) {
    o << "cell " << hex(s.cell->a) << " " << hex(s.cell->b) << " " << hex(s.cell->c) << " " << hex(s.cell->alpha)
      << " " << hex(s.cell->beta) << " " << hex(s.cell->gamma) << "\n";
  }
  for (const AtomSite& a : s.atoms) {
    o << text(a.id) << text(a.type_symbol) << text(a.label_atom_id) << text(a.auth_atom_id) << text(a.label_alt_id)
      << text(a.label_comp_id) << text(a.label_asym_id) << text(a.auth_asym_id) << " " << opt(a.label_seq_id())
      << " " << opt(a.auth_seq_id()) << " " << opt(a.x()) << " " << opt(a.y()) << " " << opt(a.z()) << " "
      << opt(a.occupancy()) << " " << opt(a.b_factor()) << " " << opt(a.model_num()) << " "
      << opt(a.formal_charge()) << "\n";
  }
  for (const BondRecord& b : s.bonds) {
    o << "bond " << opt(b.distance) << " | " << dump(b.partner1) << " | " << dump(b.partner2) << " | "
      << opt(b.conn_type) << " " << opt(b.value_order) << " " << b.from_chem_comp << " "
      << (b.bond_type ? static_cast<int>(*b.bond_type) : -1) << "\n";
  }
  return o.str();
}

// The result as one comparable text: the dump, or the error's display text.
inline std::string outcome(const Expected<Structure, ReaderError>& r) {
  if (!r) return "error " + std::to_string(static_cast<int>(r.error().kind)) + " " + r.error().display();
  return dump(*r);
}

inline std::string parse_in_pieces(std::string_view text, std::vector<std::size_t> pieces, bool atoms_required = true) {
  PieceFeed feed(text, std::move(pieces));
  return outcome(parse_feed(feed, atoms_required));
}

inline std::string data_path(const std::string& name) { return std::string(QUARN_DATA_DIR) + "/" + name; }

// The file's bytes, or nothing when it cannot be read.
inline std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream o;
  o << in.rdbuf();
  return o.str();
}

// The entry's text: plain files as they are, .gz files inflated here.
inline std::optional<std::string> entry_text(const std::string& name) {
  auto bytes = read_file(data_path(name));
  if (!bytes || !name.ends_with(".gz")) return bytes;
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return std::nullopt;
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(bytes->data());
  z.avail_in = static_cast<uInt>(bytes->size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    out.resize(out.size() + (1 << 20));
    const std::size_t before = out.size() - (1 << 20);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + before);
    z.avail_out = 1 << 20;
    rc = inflate(&z, Z_NO_FLUSH);
    out.resize(out.size() - z.avail_out);
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

}  // namespace quarn::testing
