#include "quarn/binary_form.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../parser/fast_inflate.hpp"
#include "quarn/utf8.hpp"

namespace quarn {

namespace {

constexpr char kMagic[8] = {'\x89', 'Q', 'R', 'N', 'S', 'T', 'R', '\n'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = sizeof kMagic + 4;
constexpr std::size_t kChecksumBytes = 4;
constexpr std::size_t kBesideBytes = std::size_t{1} << 22;  // forms from this size on use a second thread

enum Section : std::uint8_t { kEntryTexts = 1, kCell = 2, kAtoms = 3, kBonds = 4, kDerivation = 5 };

// An atom's fields in record order: the eight texts (shape bits 0..7), then the nine numbers (shape bits
// 8..16, in the order of their AtomSite::Field bits).
constexpr int kTextFields = 8;
constexpr int kNumberFields = 9;
constexpr std::uint32_t kShapeLimit = 1u << (kTextFields + kNumberFields);
constexpr std::uint16_t kNumberBits = (1u << kNumberFields) - 1;

constexpr Text AtomSite::* kTextMembers[kTextFields] = {
    &AtomSite::id,           &AtomSite::type_symbol,   &AtomSite::label_atom_id, &AtomSite::auth_atom_id,
    &AtomSite::label_alt_id, &AtomSite::label_comp_id, &AtomSite::label_asym_id, &AtomSite::auth_asym_id,
};
// Number k of the record is field bit 1 << k; each is a double or a 32-bit integer.
constexpr double AtomSite::* kRealMembers[kNumberFields] = {
    nullptr, nullptr, &AtomSite::x_value, &AtomSite::y_value, &AtomSite::z_value, &AtomSite::occupancy_value,
    &AtomSite::b_factor_value, nullptr, nullptr,
};
constexpr std::int32_t AtomSite::* kIntMembers[kNumberFields] = {
    &AtomSite::label_seq_id_value, &AtomSite::auth_seq_id_value, nullptr, nullptr, nullptr, nullptr, nullptr,
    &AtomSite::model_num_value, &AtomSite::formal_charge_value,
};

// Column encodings, the first byte of a non-empty field block.
enum TextEncoding : std::uint8_t { kDictionary = 0, kDecimal = 1 };
enum RealEncoding : std::uint8_t { kRaw = 0, kScaled = 1 };
enum IntEncoding : std::uint8_t { kDelta = 0 };

// A scaled column holds m for each value m / 10^scale. Division of two exact doubles is correctly
// rounded, so it gives the double nearest the decimal, the very double the text's parser made; the
// writer still checks every value to the bit and keeps those that differ (-0.0, NaN) apart.
constexpr int kMaxScale = 9;
constexpr double kPowersOfTen[kMaxScale + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
constexpr double kExactIntegers = 9007199254740992.0;  // 2^53

std::uint64_t zigzag(std::int64_t v) noexcept {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t unzigzag(std::uint64_t z) noexcept {
  return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1);
}

bool same_bits(double a, double b) noexcept { return std::memcmp(&a, &b, sizeof a) == 0; }

// --- writing -----------------------------------------------------------------------------------------

class Out {
 public:
  void u8(std::uint8_t v) { s_.push_back(static_cast<char>(v)); }
  void u32(std::uint32_t v) {
    char b[4];
    std::memcpy(b, &v, 4);
    s_.append(b, 4);
  }
  void real(double v) {
    char b[8];
    std::memcpy(b, &v, 8);
    s_.append(b, 8);
  }
  void varint(std::uint64_t v) {
    char b[10];
    std::size_t n = 0;
    while (v >= 0x80) {
      b[n++] = static_cast<char>(v | 0x80);
      v >>= 7;
    }
    b[n++] = static_cast<char>(v);
    s_.append(b, n);
  }
  void text(std::string_view t) {
    varint(t.size());
    s_.append(t);
  }
  void block(const std::string& payload) {
    varint(payload.size());
    s_.append(payload);
  }
  void section(Section tag, const std::string& payload) {
    u8(tag);
    block(payload);
  }
  void raw(std::string_view bytes) { s_.append(bytes); }
  std::string& str() noexcept { return s_; }

 private:
  std::string s_;
};

constexpr std::size_t kMaxVarint = 10;  // bytes of the longest varint

std::size_t varint_size(std::uint64_t v) noexcept { return 1 + (std::bit_width(v | 1) - 1) / 7; }

// A decimal integer written the one way a number prints: no sign, no leading zero, at most 19 digits.
bool canonical_decimal(std::string_view t, std::uint64_t* value) noexcept {
  if (t.empty() || t.size() > 19 || (t[0] == '0' && t.size() > 1)) return false;
  std::uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

std::string text_column(const BlockList<AtomSite>& atoms, Text AtomSite::* member) {
  std::vector<std::string_view> values;
  for (const AtomSite& a : atoms) {
    if ((a.*member).present()) values.push_back((a.*member).view());
  }
  if (values.empty()) return {};
  // Serial numbers (ids) as deltas: a byte or two each, where a dictionary would hold every one.
  Out decimal;
  bool numeric = true;
  decimal.u8(kDecimal);
  std::uint64_t previous = 0;
  for (std::string_view v : values) {
    std::uint64_t n = 0;
    if (!canonical_decimal(v, &n)) {
      numeric = false;
      break;
    }
    decimal.varint(zigzag(static_cast<std::int64_t>(n - previous)));
    previous = n;
  }
  // The dictionary, entries in order of first appearance; given up once it cannot beat the deltas.
  std::unordered_map<std::string_view, std::uint32_t> codes;
  std::vector<std::string_view> entries;
  std::vector<std::uint32_t> coded;
  coded.reserve(values.size());
  std::size_t entry_bytes = 0;
  for (std::string_view v : values) {
    // Neighbouring atoms mostly share their residue, chain and element: no hashing for a repeat.
    if (!coded.empty() && v == entries[coded.back()]) {
      coded.push_back(coded.back());
      continue;
    }
    const auto [at, added] = codes.try_emplace(v, static_cast<std::uint32_t>(entries.size()));
    if (added) {
      entries.push_back(v);
      entry_bytes += varint_size(v.size()) + v.size();
      if (numeric && entry_bytes >= decimal.str().size()) return std::move(decimal.str());
    }
    coded.push_back(at->second);
  }
  const unsigned width = entries.size() <= 0x100 ? 1 : entries.size() <= 0x10000 ? 2 : 4;
  if (numeric && entry_bytes + values.size() * width >= decimal.str().size()) return std::move(decimal.str());
  Out out;
  out.u8(kDictionary);
  out.varint(entries.size());
  for (std::string_view e : entries) out.text(e);
  for (std::uint32_t c : coded) {
    char b[4];
    std::memcpy(b, &c, 4);
    out.raw(std::string_view(b, width));
  }
  return std::move(out.str());
}

// Whether `v` is m / divisor exactly, for the integer m it gives; -0.0 is not (m has no sign of zero).
bool scaled(double v, double divisor, std::int64_t* m) noexcept {
  const double t = v * divisor;
  if (!(std::fabs(t) < kExactIntegers)) return false;
  *m = static_cast<std::int64_t>(std::nearbyint(t));
  return same_bits(static_cast<double>(*m) / divisor, v);
}

// The smallest scale at which `v` is m / 10^scale exactly, or -1.
int scale_of(double v) noexcept {
  std::int64_t m;
  for (int k = 0; k <= kMaxScale; ++k) {
    if (scaled(v, kPowersOfTen[k], &m)) return k;
  }
  return -1;
}

std::string real_column(const BlockList<AtomSite>& atoms, AtomSite::Field field, double AtomSite::* member) {
  std::vector<double> values;
  for (const AtomSite& a : atoms) {
    if (a.has(field)) values.push_back(a.*member);
  }
  if (values.empty()) return {};
  std::array<std::size_t, kMaxScale + 1> at_scale{};
  for (double v : values) {
    const int k = scale_of(v);
    if (k >= 0) ++at_scale[static_cast<std::size_t>(k)];
  }
  // The smallest scale that leaves at most one value in sixteen stored whole.
  int scale = -1;
  std::size_t covered = 0;
  for (int k = 0; k <= kMaxScale && scale < 0; ++k) {
    covered += at_scale[static_cast<std::size_t>(k)];
    if (values.size() - covered <= values.size() / 16) scale = k;
  }
  Out out;
  if (scale < 0) {
    out.u8(kRaw);
    for (double v : values) out.real(v);
    return std::move(out.str());
  }
  const double divisor = kPowersOfTen[scale];
  Out exceptions, stream;
  std::size_t exception_count = 0, next_expected = 0;
  std::int64_t previous = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    std::int64_t m;
    if (scaled(v, divisor, &m)) {
      stream.varint(zigzag(m - previous));
      previous = m;
    } else {
      exceptions.varint(i - next_expected);
      exceptions.real(v);
      next_expected = i + 1;
      ++exception_count;
    }
  }
  out.u8(kScaled);
  out.u8(static_cast<std::uint8_t>(scale));
  out.varint(exception_count);
  out.raw(exceptions.str());
  out.raw(stream.str());
  return std::move(out.str());
}

std::string int_column(const BlockList<AtomSite>& atoms, AtomSite::Field field, std::int32_t AtomSite::* member) {
  Out out;
  std::int64_t previous = 0;
  for (const AtomSite& a : atoms) {
    if (!a.has(field)) continue;
    if (out.str().empty()) out.u8(kDelta);
    out.varint(zigzag(a.*member - previous));
    previous = a.*member;
  }
  return std::move(out.str());
}

std::uint32_t shape_of(const AtomSite& a) noexcept {
  std::uint32_t shape = 0;
  for (int f = 0; f < kTextFields; ++f) shape |= static_cast<std::uint32_t>((a.*kTextMembers[f]).present()) << f;
  return shape | static_cast<std::uint32_t>(a.present & kNumberBits) << kTextFields;
}

std::string atoms_section(const BlockList<AtomSite>& atoms) {
  // Shapes in order of first appearance; a file has a handful, so a code is one byte.
  std::vector<std::uint32_t> code_of(kShapeLimit, ~0u);
  std::vector<std::uint32_t> shapes;
  std::vector<std::uint32_t> codes;
  codes.reserve(atoms.size());
  for (const AtomSite& a : atoms) {
    const std::uint32_t shape = shape_of(a);
    if (code_of[shape] == ~0u) {
      code_of[shape] = static_cast<std::uint32_t>(shapes.size());
      shapes.push_back(shape);
    }
    codes.push_back(code_of[shape]);
  }
  Out out;
  out.varint(atoms.size());
  out.varint(shapes.size());
  for (std::uint32_t shape : shapes) out.varint(shape);
  const unsigned width = shapes.size() <= 0x100 ? 1 : shapes.size() <= 0x10000 ? 2 : 4;
  std::string& s = out.str();
  const std::size_t start = s.size();
  s.resize(start + codes.size() * width);
  for (std::size_t i = 0; i < codes.size(); ++i) std::memcpy(s.data() + start + i * width, &codes[i], width);
  for (int f = 0; f < kTextFields; ++f) out.block(text_column(atoms, kTextMembers[f]));
  for (int k = 0; k < kNumberFields; ++k) {
    const auto field = static_cast<AtomSite::Field>(1u << k);
    out.block(kRealMembers[k] ? real_column(atoms, field, kRealMembers[k]) : int_column(atoms, field, kIntMembers[k]));
  }
  return std::move(s);
}

// Bond rows: a presence word (bit 0 the distance, 1..7 and 8..14 the partners' fields in selector
// order, 15 conn_type, 16 value_order, 17 from_chem_comp, 18 bond_type), then the fields present.
constexpr int kBondFlagBits = 19;

template <class Visit>
void each_selector_field(const AtomSelector& s, Visit&& visit) {
  visit(s.label_atom_id);
  visit(s.label_comp_id);
  visit(s.label_asym_id);
  visit(s.auth_atom_id);
  visit(s.auth_asym_id);
  visit(s.label_seq_id);
  visit(s.auth_seq_id);
}

std::string bonds_section(const BlockList<BondRecord>& bonds) {
  Out out;
  out.varint(bonds.size());
  for (const BondRecord& b : bonds) {
    std::uint32_t flags = b.distance.has_value();
    int bit = 1;
    const auto mark = [&](const auto& field) { flags |= static_cast<std::uint32_t>(field.has_value()) << bit++; };
    each_selector_field(b.partner1, mark);
    each_selector_field(b.partner2, mark);
    mark(b.conn_type);
    mark(b.value_order);
    flags |= static_cast<std::uint32_t>(b.from_chem_comp) << 17;
    flags |= static_cast<std::uint32_t>(b.bond_type.has_value()) << 18;
    out.varint(flags);
    if (b.distance) out.real(*b.distance);
    const auto put = [&](const auto& field) {
      if (!field) return;
      if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*field)>, std::string>) {
        out.text(*field);
      } else {
        out.varint(zigzag(*field));
      }
    };
    each_selector_field(b.partner1, put);
    each_selector_field(b.partner2, put);
    put(b.conn_type);
    put(b.value_order);
    if (b.bond_type) out.u8(static_cast<std::uint8_t>(*b.bond_type));
  }
  return std::move(out.str());
}

void put_cell(Out& out, const UnitCell& c) {
  for (double v : {c.a, c.b, c.c, c.alpha, c.beta, c.gamma}) out.real(v);
}

// The parsed indices as zigzag deltas (a model or a conformation is mostly runs of +1), then the
// parsed cell behind a flag.
std::string derivation_section(const Derivation& d) {
  Out out;
  out.varint(d.parsed_indices.size());
  std::uint64_t previous = 0;
  for (const std::uint64_t i : d.parsed_indices) {
    out.varint(zigzag(static_cast<std::int64_t>(i - previous)));
    previous = i;
  }
  out.u8(d.parsed_cell.has_value());
  if (d.parsed_cell) put_cell(out, *d.parsed_cell);
  return std::move(out.str());
}

// --- reading -----------------------------------------------------------------------------------------

template <class T>
T load(const std::uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Bytes not yet read. Every read checks what is left and gives false when it runs out.
struct Cursor {
  const std::uint8_t* p;
  const std::uint8_t* end;

  std::size_t left() const noexcept { return static_cast<std::size_t>(end - p); }
  bool done() const noexcept { return p == end; }

  bool u8(std::uint8_t* v) noexcept {
    if (p == end) return false;
    *v = *p++;
    return true;
  }
  bool real(double* v) noexcept {
    if (left() < 8) return false;
    std::memcpy(v, p, 8);
    p += 8;
    return true;
  }
  // Unchecked, the caller has made sure that at least kMaxVarint bytes are left.
  template <bool Checked = true>
  [[gnu::always_inline]] bool varint(std::uint64_t* v) noexcept {
    // Nearly every value (a delta, a code) takes one or two bytes.
    if (!Checked || left() >= 2) {
      if (p[0] < 0x80) {
        *v = *p++;
        return true;
      }
      if (p[1] < 0x80) {
        *v = (p[0] & 0x7fu) | static_cast<std::uint64_t>(p[1]) << 7;
        p += 2;
        return true;
      }
    }
    return long_varint(v);
  }
  bool long_varint(std::uint64_t* v) noexcept {
    std::uint64_t result = 0;
    for (int shift = 0; shift < 64 && p != end; shift += 7) {
      const std::uint8_t b = *p++;
      if (shift == 63 && b > 1) return false;  // beyond 64 bits
      result |= static_cast<std::uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) {
        *v = result;
        return true;
      }
    }
    return false;
  }
  bool int32(std::int32_t* v) noexcept {
    std::uint64_t z;
    if (!varint(&z)) return false;
    const std::int64_t n = unzigzag(z);
    if (n < INT32_MIN || n > INT32_MAX) return false;
    *v = static_cast<std::int32_t>(n);
    return true;
  }
  // `n` bytes as a view, taken off the front.
  bool take(std::uint64_t n, Cursor* part) noexcept {
    if (n > left()) return false;
    *part = Cursor{p, p + n};
    p += n;
    return true;
  }
  [[gnu::always_inline]] bool text(std::string_view* t) noexcept {
    std::uint64_t n;
    Cursor part;
    if (!varint(&n) || !take(n, &part)) return false;
    *t = std::string_view(reinterpret_cast<const char*>(part.p), part.left());
    return true;
  }
};

class Failure {
 public:
  bool failed() const noexcept { return !message_.empty(); }
  // Records the first failure; always false, to return.
  bool operator()(std::string message) {
    if (message_.empty()) message_ = "structure data is malformed: " + std::move(message);
    return false;
  }
  BinaryFormError take() { return BinaryFormError{std::move(message_)}; }

 private:
  std::string message_;
};

[[gnu::always_inline]] inline bool utf8_text(Cursor& in, std::string_view* t) noexcept {
  if (!in.text(t)) return false;
  // Names are short and nearly always ASCII, which needs no scan: a text of up to eight bytes is
  // tested as one word when the block holds eight bytes from its start.
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  const auto* first = reinterpret_cast<const std::uint8_t*>(t->data());
  if (t->size() <= 8 && in.end - first >= 8) {
    const std::uint64_t mask = t->size() == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << 8 * t->size()) - 1;
    return !(load<std::uint64_t>(first) & mask & kHighBits) || is_valid_utf8(*t);
  }
  unsigned char high = 0;
  for (char c : *t) high |= static_cast<unsigned char>(c);
  return high < 0x80 || is_valid_utf8(*t);
}

constexpr std::size_t kBatch = 256;  // atoms decoded together (30 KiB of records)

// The atoms of one batch, contiguous, with the shape of each: every column fills its field of the
// batch in one tight loop, while the batch's records stay in cache.
struct Batch {
  AtomSite* atoms;
  const std::uint32_t* shapes;
  std::size_t size;
  std::uint32_t all;  // the shape bits every atom of the batch has
};

// Text of `digits` without the arena's call for the short ones, which are nearly all.
Text stored(std::string_view t, TextArena& arena) {
  return t.size() <= Text::kInlineCapacity ? Text::make_inline(t) : arena.store(t);
}

// A text column writes each value as one eight-byte word, the text's seven bytes and a zero: a
// seven-byte store takes three. The zero lands on the first byte of the next field of the record,
// which is zero until a later column (texts and numbers are filled in record order) writes it.
static_assert(offsetof(AtomSite, auth_asym_id) + sizeof(std::uint64_t) <= sizeof(AtomSite));
// ... and it relies on the texts lying back to back in the order kTextMembers fills them.
static_assert(offsetof(AtomSite, type_symbol) == offsetof(AtomSite, id) + Text::kBytes &&
              offsetof(AtomSite, label_atom_id) == offsetof(AtomSite, type_symbol) + Text::kBytes &&
              offsetof(AtomSite, auth_atom_id) == offsetof(AtomSite, label_atom_id) + Text::kBytes &&
              offsetof(AtomSite, label_alt_id) == offsetof(AtomSite, auth_atom_id) + Text::kBytes &&
              offsetof(AtomSite, label_comp_id) == offsetof(AtomSite, label_alt_id) + Text::kBytes &&
              offsetof(AtomSite, label_asym_id) == offsetof(AtomSite, label_comp_id) + Text::kBytes &&
              offsetof(AtomSite, auth_asym_id) == offsetof(AtomSite, label_asym_id) + Text::kBytes &&
              offsetof(AtomSite, x_value) >= offsetof(AtomSite, auth_asym_id) + sizeof(std::uint64_t) - 1);

std::uint64_t word_of(Text t) noexcept {
  std::uint64_t w = 0;
  std::memcpy(&w, &t, Text::kBytes);
  return w;
}

// Where `member` lies in a record, in bytes.
std::size_t offset_of(const AtomSite& a, Text AtomSite::* member) noexcept {
  return static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(&(a.*member)) -
                                  reinterpret_cast<const unsigned char*>(&a));
}

[[gnu::always_inline]] inline void put_word(AtomSite& a, std::size_t at, std::uint64_t word) noexcept {
  std::memcpy(reinterpret_cast<unsigned char*>(&a) + at, &word, sizeof word);
}

class TextColumn {
 public:
  bool open(Cursor block, TextArena& arena, Failure& fail) {
    in_ = block;
    if (in_.done()) return true;
    if (!in_.u8(&encoding_) || encoding_ > kDecimal) return fail("unknown text encoding");
    if (encoding_ == kDecimal) return true;
    std::uint64_t count;
    // An entry takes at least its length byte.
    if (!in_.varint(&count) || count > in_.left()) return fail("text dictionary larger than its block");
    table_.reserve(count);
    for (std::uint64_t e = 0; e < count; ++e) {
      std::string_view t;
      if (!utf8_text(in_, &t)) return fail("text dictionary entry cut short or not UTF-8");
      table_.push_back(word_of(stored(t, arena)));
    }
    width_ = count <= 0x100 ? 1 : count <= 0x10000 ? 2 : 4;
    return true;
  }

  // Fills `member` of the batch's atoms whose shape has `bit`; false when the column runs short.
  bool fill(const Batch& b, std::uint32_t bit, Text AtomSite::* member, TextArena& arena) {
    return (b.all & bit) ? fill_as<true>(b, bit, member, arena) : fill_as<false>(b, bit, member, arena);
  }

  bool finished() const noexcept { return in_.done(); }

 private:
  // Dense: every atom of the batch has the field, so no shape is looked at and the bytes are counted once.
  template <bool Dense>
  bool fill_as(const Batch& b, std::uint32_t bit, Text AtomSite::* member, TextArena& arena) {
    if (encoding_ == kDecimal) return fill_decimal<Dense>(b, bit, member, arena);
    const std::size_t at = offset_of(b.atoms[0], member);
    switch (width_) {
      case 1: return fill_coded<1, Dense>(b, bit, at);
      case 2: return fill_coded<2, Dense>(b, bit, at);
      default: return fill_coded<4, Dense>(b, bit, at);
    }
  }

  template <unsigned Width>
  static std::uint32_t code_at(const std::uint8_t* p) noexcept {
    return Width == 1 ? *p : Width == 2 ? load<std::uint16_t>(p) : load<std::uint32_t>(p);
  }

  template <unsigned Width, bool Dense>
  bool fill_coded(const Batch& b, std::uint32_t bit, std::size_t at) {
    const std::uint8_t* p = in_.p;
    const std::uint64_t* table = table_.data();
    const std::size_t entries = table_.size();
    if (Dense) {
      if (static_cast<std::size_t>(in_.end - p) / Width < b.size) return false;
      // Every code is checked first, in a loop without branches: the stores then test nothing.
      std::uint32_t most = 0;
      for (std::size_t j = 0; j < b.size; ++j) most = std::max(most, code_at<Width>(p + j * Width));
      if (most >= entries) return false;
      for (std::size_t j = 0; j < b.size; ++j) put_word(b.atoms[j], at, table[code_at<Width>(p + j * Width)]);
      in_.p = p + b.size * Width;
      return true;
    }
    for (std::size_t j = 0; j < b.size; ++j) {
      if (!(b.shapes[j] & bit)) continue;
      if (static_cast<std::size_t>(in_.end - p) < Width) return false;
      const std::uint32_t code = code_at<Width>(p);
      p += Width;
      if (code >= entries) return false;
      put_word(b.atoms[j], at, table[code]);
    }
    in_.p = p;
    return true;
  }

  template <bool Dense>
  bool fill_decimal(const Batch& b, std::uint32_t bit, Text AtomSite::* member, TextArena& arena) {
    const std::size_t at = offset_of(b.atoms[0], member);
    for (std::size_t j = 0; j < b.size; ++j) {
      if (!Dense && !(b.shapes[j] & bit)) continue;
      std::uint64_t z;
      if (!in_.varint(&z)) return false;
      const std::int64_t delta = unzigzag(z);
      previous_ += static_cast<std::uint64_t>(delta);
      // Serial numbers mostly count up by one: unless its last digit is a 9, that adds one to the
      // digit's byte of the last word. Why a word and no array of digits: a byte stored and then
      // read back as part of a word stalls the load, which cost more than all else of the column.
      const unsigned last = 8 * length_;
      if (delta == 1 && length_ > 0 && (word_ >> last & 0xff) != '9') {
        word_ += std::uint64_t{1} << last;
      } else {
        char digits[24];
        const auto n = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, previous_).ptr - digits);
        if (n > Text::kInlineCapacity) {
          length_ = 0;
          put_word(b.atoms[j], at, word_of(arena.store(std::string_view(digits, n))));
          continue;
        }
        length_ = n;
        word_ = n << 1 | 1;
        for (std::size_t k = 0; k < n; ++k) word_ |= std::uint64_t{static_cast<unsigned char>(digits[k])} << 8 * (k + 1);
      }
      put_word(b.atoms[j], at, word_);
    }
    return true;
  }

  Cursor in_{};
  std::uint8_t encoding_ = kDictionary;
  std::vector<std::uint64_t> table_;  // the entries' words (word_of)
  unsigned width_ = 1;
  std::uint64_t previous_ = 0;
  std::uint64_t word_ = 0;  // a decimal column's last value as an inline text's word
  std::size_t length_ = 0;  // its digits; 0 before the first and after one too long to sit inline
};

class RealColumn {
 public:
  bool open(Cursor block, Failure& fail) {
    in_ = block;
    if (in_.done()) return true;
    if (!in_.u8(&encoding_) || encoding_ > kScaled) return fail("unknown number encoding");
    if (encoding_ == kRaw) return true;
    std::uint8_t scale;
    std::uint64_t count;
    if (!in_.u8(&scale) || scale > kMaxScale) return fail("number scale out of range");
    divisor_ = kPowersOfTen[scale];
    // A value kept whole takes at least nine bytes.
    if (!in_.varint(&count) || count > in_.left() / 9) return fail("more whole numbers than their block holds");
    if (count == 0) return true;
    exceptions_.reserve(count);
    std::uint64_t position = 0;
    for (std::uint64_t e = 0; e < count; ++e) {
      std::uint64_t gap;
      double v;
      if (!in_.varint(&gap) || gap > in_.left() || !in_.real(&v)) return fail("whole number cut short");
      position += gap;
      exceptions_.push_back({position, v});
      ++position;
    }
    return true;
  }

  bool fill(const Batch& b, std::uint32_t bit, double AtomSite::* member) noexcept {
    if (encoding_ == kRaw) {
      for (std::size_t j = 0; j < b.size; ++j) {
        if ((b.shapes[j] & bit) && !in_.real(&(b.atoms[j].*member))) return false;
      }
      return true;
    }
    if (!(b.all & bit)) return fill_scaled<false, true>(b, bit, member);
    // With room for the longest value of every atom, no value needs its bytes counted.
    return in_.left() / kMaxVarint >= b.size ? fill_scaled<true, false>(b, bit, member)
                                             : fill_scaled<true, true>(b, bit, member);
  }

  bool finished() const noexcept {
    return in_.done() && next_exception_ == exceptions_.size();
  }

 private:
  template <bool Dense, bool Checked>
  bool fill_scaled(const Batch& b, std::uint32_t bit, double AtomSite::* member) noexcept {
    std::uint64_t next = next_whole();
    if (Dense && next - position_ >= b.size) {
      // No value of the batch is kept whole (nearly every batch): nothing to compare per value. The
      // divisions run in a loop of their own, two to an instruction, rather than one after each
      // decoding, where they were a quarter of the time of a load.
      // The cursor and the running value live in registers: as members, each value would store them
      // and load them back, a chain through memory from one value to the next.
      double values[kBatch];
      Cursor in = in_;
      std::uint64_t previous = previous_;
      for (std::size_t j = 0; j < b.size; ++j) {
        std::uint64_t z;
        if (!in.varint<Checked>(&z)) return false;
        previous += static_cast<std::uint64_t>(unzigzag(z));
        values[j] = static_cast<double>(static_cast<std::int64_t>(previous));
      }
      in_ = in;
      previous_ = previous;
      const double divisor = divisor_;
      for (std::size_t j = 0; j < b.size; ++j) values[j] /= divisor;
      for (std::size_t j = 0; j < b.size; ++j) b.atoms[j].*member = values[j];
      position_ += b.size;
      return true;
    }
    for (std::size_t j = 0; j < b.size; ++j) {
      if (!Dense && !(b.shapes[j] & bit)) continue;
      if (position_++ == next) {
        b.atoms[j].*member = exceptions_[next_exception_++].value;
        next = next_whole();
        continue;
      }
      std::uint64_t z;
      if (!in_.varint<Checked>(&z)) return false;
      previous_ += static_cast<std::uint64_t>(unzigzag(z));
      b.atoms[j].*member = static_cast<double>(static_cast<std::int64_t>(previous_)) / divisor_;
    }
    return true;
  }

  struct Whole {
    std::uint64_t position;  // among the column's values
    double value;
  };
  // The position of the next value kept whole; past the last, one that never comes.
  std::uint64_t next_whole() const noexcept {
    return next_exception_ < exceptions_.size() ? exceptions_[next_exception_].position : UINT64_MAX;
  }
  Cursor in_{};
  std::uint8_t encoding_ = kRaw;
  double divisor_ = 1;
  std::vector<Whole> exceptions_;
  std::size_t next_exception_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t previous_ = 0;
};

class IntColumn {
 public:
  bool open(Cursor block, Failure& fail) {
    in_ = block;
    std::uint8_t encoding;
    if (!in_.done() && (!in_.u8(&encoding) || encoding != kDelta)) return fail("unknown integer encoding");
    return true;
  }

  bool fill(const Batch& b, std::uint32_t bit, std::int32_t AtomSite::* member) noexcept {
    if (!(b.all & bit)) return fill_as<false, true>(b, bit, member);
    return in_.left() / kMaxVarint >= b.size ? fill_as<true, false>(b, bit, member) : fill_as<true, true>(b, bit, member);
  }

  bool finished() const noexcept { return in_.done(); }

 private:
  template <bool Dense, bool Checked>
  bool fill_as(const Batch& b, std::uint32_t bit, std::int32_t AtomSite::* member) noexcept {
    Cursor in = in_;  // in registers, as in RealColumn
    std::uint64_t previous = previous_;
    for (std::size_t j = 0; j < b.size; ++j) {
      if (!Dense && !(b.shapes[j] & bit)) continue;
      std::uint64_t z;
      if (!in.varint<Checked>(&z)) return false;
      previous += static_cast<std::uint64_t>(unzigzag(z));
      const auto v = static_cast<std::int64_t>(previous);
      if (v < INT32_MIN || v > INT32_MAX) return false;
      b.atoms[j].*member = static_cast<std::int32_t>(v);
    }
    in_ = in;
    previous_ = previous;
    return true;
  }

  Cursor in_{};
  std::uint64_t previous_ = 0;
};

std::uint32_t checksum(const char* data, std::size_t size) noexcept {
  return detail::crc32_of(data, size);
}

// Work that runs beside the decoding of a large form, on a second thread: faulting in the atom list's
// memory ahead of the decoder (the kernel's zero-filling of fresh pages is a third of a load), then the
// checksum. The decoder is safe on any bytes, so its result stands once the checksum agrees.
class Beside {
 public:
  explicit Beside(std::string_view checked) noexcept : checked_(checked) {}

  // Starts the thread, at most once; the memory in `blocks` is faulted in first. Without a thread to
  // be had, nothing runs and finish() computes the checksum itself.
  void start(std::vector<std::pair<const void*, std::size_t>> blocks) noexcept {
    if (started_) return;
    started_ = true;
    try {
      thread_ = std::jthread([this, blocks = std::move(blocks)] {
        for (const auto& [memory, bytes] : blocks) detail::prefault(memory, bytes);
        checksum_ = checksum(checked_.data(), checked_.size());
      });
    } catch (const std::exception&) {
      // std::system_error or std::bad_alloc: the checksum waits for finish().
    }
  }

  std::uint32_t finish() noexcept {
    if (!thread_.joinable()) return checksum(checked_.data(), checked_.size());
    thread_.join();
    return checksum_;
  }

 private:
  std::string_view checked_;
  bool started_ = false;
  std::uint32_t checksum_ = 0;
  std::jthread thread_;
};

bool read_entry_texts(Cursor in, Structure& s, Failure& fail) {
  for (std::optional<std::string>* field : {&s.entry_id, &s.title, &s.space_group}) {
    std::uint8_t present;
    if (!in.u8(&present) || present > 1) return fail("entry text flag");
    if (!present) continue;
    std::string_view t;
    if (!utf8_text(in, &t)) return fail("entry text cut short or not UTF-8");
    field->emplace(t);
  }
  return in.done() || fail("entry texts section has bytes left");
}

bool cell_values(Cursor& in, UnitCell* c, Failure& fail) {
  if (!in.real(&c->a) || !in.real(&c->b) || !in.real(&c->c) || !in.real(&c->alpha) || !in.real(&c->beta) ||
      !in.real(&c->gamma)) {
    return fail("cell section is not six numbers");
  }
  // The reader's rule for a cell: every distance of the structure depends on it.
  const bool lengths = c->a > 0 && c->b > 0 && c->c > 0;
  const bool angles =
      c->alpha > 0 && c->alpha < 180 && c->beta > 0 && c->beta < 180 && c->gamma > 0 && c->gamma < 180;
  return (lengths && angles) || fail("cell lengths or angles out of range");
}

bool read_cell(Cursor in, Structure& s, Failure& fail) {
  UnitCell c;
  if (!cell_values(in, &c, fail)) return false;
  if (!in.done()) return fail("cell section is not six numbers");
  s.cell = c;
  return true;
}

bool read_derivation(Cursor in, Structure& s, Failure& fail) {
  std::uint64_t n;
  if (!in.varint(&n) || n != s.atoms.size()) return fail("derivation does not hold one index per atom");
  Derivation d;
  d.parsed_indices.reserve(n);
  std::uint64_t previous = 0;
  for (std::uint64_t k = 0; k < n; ++k) {
    std::uint64_t z;
    if (!in.varint(&z)) return fail("derivation indices cut short");
    previous += static_cast<std::uint64_t>(unzigzag(z));
    d.parsed_indices.push_back(previous);
  }
  std::uint8_t has_cell;
  if (!in.u8(&has_cell) || has_cell > 1) return fail("derivation cell flag");
  if (has_cell && !cell_values(in, &d.parsed_cell.emplace(), fail)) return false;
  if (!in.done()) return fail("derivation section has bytes left");
  s.derivation = std::move(d);
  return true;
}

bool read_atoms(Cursor in, Structure& s, Failure& fail, Beside* beside) {
  std::uint64_t n, shape_count;
  // Each atom takes at least its shape code's byte.
  if (!in.varint(&n) || n > in.left()) return fail("more atoms than the section holds");
  if (!in.varint(&shape_count) || shape_count > in.left()) return fail("more atom shapes than the section holds");
  std::vector<std::uint32_t> shapes;
  shapes.reserve(shape_count);
  for (std::uint64_t k = 0; k < shape_count; ++k) {
    std::uint64_t shape;
    if (!in.varint(&shape) || shape >= kShapeLimit) return fail("atom shape out of range");
    shapes.push_back(static_cast<std::uint32_t>(shape));
  }
  const unsigned width = shape_count <= 0x100 ? 1 : shape_count <= 0x10000 ? 2 : 4;
  Cursor codes;
  if (n > in.left() / width || !in.take(n * width, &codes)) return fail("atom shape codes cut short");

  TextColumn texts[kTextFields];
  RealColumn reals[kNumberFields];
  IntColumn ints[kNumberFields];
  for (int f = 0; f < kTextFields + kNumberFields; ++f) {
    std::uint64_t length;
    Cursor block;
    if (!in.varint(&length) || !in.take(length, &block)) return fail("atom field block cut short");
    const bool opened = f < kTextFields            ? texts[f].open(block, s.arena, fail)
                        : kRealMembers[f - kTextFields] ? reals[f - kTextFields].open(block, fail)
                                                        : ints[f - kTextFields].open(block, fail);
    if (!opened) return false;
  }
  if (!in.done()) return fail("atoms section has bytes left");
  s.atoms.reserve(n);
  if (beside) {
    std::vector<std::pair<const void*, std::size_t>> blocks;
    s.atoms.each_block([&](const void* memory, std::size_t bytes) { blocks.emplace_back(memory, bytes); });
    beside->start(std::move(blocks));
  }

  // Batch by batch, each column filling its field: the records are written in order and stay in cache
  // while the columns pass over them. A batch never crosses a block of the list, so it is contiguous.
  std::uint32_t batch_shapes[kBatch];
  for (std::uint64_t start = 0; start < n;) {
    const std::size_t to_block_end = BlockList<AtomSite>::kBlockSize - start % BlockList<AtomSite>::kBlockSize;
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>({kBatch, n - start, to_block_end}));
    std::uint32_t any = 0, all = ~0u;
    const std::uint8_t* code_at = codes.p + start * width;
    // Reserved above, and the batch stays in one block: the records are contiguous.
    AtomSite* atoms = s.atoms.append_zeroed(size);
    for (std::size_t j = 0; j < size; ++j) {
      const std::uint32_t code = width == 1 ? code_at[j] : width == 2 ? load<std::uint16_t>(code_at + 2 * j)
                                                                      : load<std::uint32_t>(code_at + 4 * j);
      if (code >= shapes.size()) return fail("atom shape code out of range");
      batch_shapes[j] = shapes[code];
      any |= shapes[code];
      all &= shapes[code];
      atoms[j].present = static_cast<std::uint16_t>(shapes[code] >> kTextFields);
    }
    const Batch batch{atoms, batch_shapes, size, all};
    bool ok = true;
    for (int f = 0; f < kTextFields && ok; ++f) {
      if (any >> f & 1) ok = texts[f].fill(batch, 1u << f, kTextMembers[f], s.arena);
    }
    for (int k = 0; k < kNumberFields && ok; ++k) {
      const std::uint32_t bit = 1u << (kTextFields + k);
      if (!(any & bit)) continue;
      ok = kRealMembers[k] ? reals[k].fill(batch, bit, kRealMembers[k]) : ints[k].fill(batch, bit, kIntMembers[k]);
    }
    if (!ok) return fail("atom field values cut short or out of range");
    start += size;
  }
  for (int f = 0; f < kTextFields; ++f) {
    if (!texts[f].finished()) return fail("an atom text column holds more values than atoms");
  }
  for (int k = 0; k < kNumberFields; ++k) {
    if (!(kRealMembers[k] ? reals[k].finished() : ints[k].finished())) {
      return fail("an atom number column holds more values than atoms");
    }
  }
  return true;
}

// One optional field of a bond row, present when its bit of `flags` is set. Inlined: a call per field
// cost a small entry's bond rows about as much as the fields themselves.
[[gnu::always_inline]] inline bool read_field(Cursor& in, std::uint64_t flags, int bit, std::optional<std::string>& field) {
  std::string_view t;
  if (!(flags >> bit & 1)) return true;
  if (!utf8_text(in, &t)) return false;
  field.emplace(t);
  return true;
}
[[gnu::always_inline]] inline bool read_field(Cursor& in, std::uint64_t flags, int bit, std::optional<std::int32_t>& field) noexcept {
  return !(flags >> bit & 1) || in.int32(&field.emplace());
}

bool read_selector(Cursor& in, std::uint64_t flags, int first, AtomSelector& s) {
  return read_field(in, flags, first, s.label_atom_id) && read_field(in, flags, first + 1, s.label_comp_id) &&
         read_field(in, flags, first + 2, s.label_asym_id) && read_field(in, flags, first + 3, s.auth_atom_id) &&
         read_field(in, flags, first + 4, s.auth_asym_id) && read_field(in, flags, first + 5, s.label_seq_id) &&
         read_field(in, flags, first + 6, s.auth_seq_id);
}

bool read_bond(Cursor& in, BondRecord& b) {
  std::uint64_t flags;
  if (!in.varint(&flags) || flags >= (1u << kBondFlagBits)) return false;
  if ((flags & 1) && !in.real(&b.distance.emplace())) return false;
  if (!read_selector(in, flags, 1, b.partner1) || !read_selector(in, flags, 8, b.partner2) ||
      !read_field(in, flags, 15, b.conn_type) || !read_field(in, flags, 16, b.value_order)) {
    return false;
  }
  b.from_chem_comp = (flags >> 17 & 1) != 0;
  if (flags >> 18 & 1) {
    std::uint8_t type;
    if (!in.u8(&type) || type > static_cast<std::uint8_t>(BondType::unknown)) return false;
    b.bond_type = static_cast<BondType>(type);
  }
  return true;
}

bool read_bonds(Cursor in, Structure& s, Failure& fail) {
  std::uint64_t n;
  // Each row takes at least its presence word's byte.
  if (!in.varint(&n) || n > in.left()) return fail("more bond rows than the section holds");
  s.bonds.reserve(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (!read_bond(in, s.bonds.emplace_back())) return fail("bond row cut short or out of range");
  }
  return in.done() || fail("bonds section has bytes left");
}

}  // namespace

std::string write_binary_form(const Structure& s) {
  Out out;
  out.raw(std::string_view(kMagic, sizeof kMagic));
  out.u32(kVersion);
  if (s.entry_id || s.title || s.space_group) {
    Out texts;
    for (const auto* field : {&s.entry_id, &s.title, &s.space_group}) {
      texts.u8(field->has_value());
      if (*field) texts.text(**field);
    }
    out.section(kEntryTexts, texts.str());
  }
  if (s.cell) {
    Out cell;
    put_cell(cell, *s.cell);
    out.section(kCell, cell.str());
  }
  if (!s.atoms.empty()) out.section(kAtoms, atoms_section(s.atoms));
  if (!s.bonds.empty()) out.section(kBonds, bonds_section(s.bonds));
  if (s.derivation) out.section(kDerivation, derivation_section(*s.derivation));
  out.u32(checksum(out.str().data(), out.str().size()));
  return std::move(out.str());
}

Expected<Structure, BinaryFormError> read_binary_form(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes + kChecksumBytes) {
    return unexpected(BinaryFormError{"structure data is truncated: " + std::to_string(bytes.size()) + " bytes"});
  }
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return unexpected(BinaryFormError{"not structure data: unknown leading bytes"});
  }
  std::uint32_t version, stored;
  std::memcpy(&version, bytes.data() + sizeof kMagic, 4);
  if (version != kVersion) {
    return unexpected(BinaryFormError{"structure data of format version " + std::to_string(version) +
                                      "; this build reads version " + std::to_string(kVersion)});
  }
  const std::size_t body = bytes.size() - kChecksumBytes;
  std::memcpy(&stored, bytes.data() + body, 4);
  const auto damaged = [] { return unexpected(BinaryFormError{"structure data is damaged or truncated: checksum mismatch"}); };
  // Declared first, so that the helper thread has stopped before the structure it prefaults is freed.
  Structure s;
  Failure fail;
  std::optional<Beside> beside;
  if (body >= kBesideBytes) {
    beside.emplace(bytes.substr(0, body));
  } else if (checksum(bytes.data(), body) != stored) {
    return damaged();
  }

  const auto* start = reinterpret_cast<const std::uint8_t*>(bytes.data());
  Cursor in{start + kHeaderBytes, start + body};
  int last_tag = 0;
  while (!in.done()) {
    std::uint8_t tag;
    std::uint64_t length;
    Cursor payload;
    if (!in.u8(&tag) || !in.varint(&length) || !in.take(length, &payload)) {
      fail("section cut short");
      break;
    }
    if (tag <= last_tag) {
      fail("sections out of order");
      break;
    }
    last_tag = tag;
    const bool ok = tag == kEntryTexts ? read_entry_texts(payload, s, fail)
                    : tag == kCell     ? read_cell(payload, s, fail)
                    : tag == kAtoms    ? read_atoms(payload, s, fail, beside ? &*beside : nullptr)
                    : tag == kBonds    ? read_bonds(payload, s, fail)
                    : tag == kDerivation ? read_derivation(payload, s, fail)
                                       : fail("unknown section " + std::to_string(tag));
    if (!ok) break;
  }
  if (beside) {
    beside->start({});
    if (beside->finish() != stored) return damaged();
  }
  if (fail.failed()) return unexpected(fail.take());
  return s;
}

namespace {

bool same_atom(const AtomSite& a, const AtomSite& b) noexcept {
  for (Text AtomSite::* t : kTextMembers) {
    if (!(a.*t == b.*t)) return false;
  }
  if (a.present != b.present) return false;
  for (int k = 0; k < kNumberFields; ++k) {
    if (!a.has(static_cast<AtomSite::Field>(1u << k))) continue;
    if (kRealMembers[k] ? !same_bits(a.*kRealMembers[k], b.*kRealMembers[k]) : a.*kIntMembers[k] != b.*kIntMembers[k]) {
      return false;
    }
  }
  return true;
}

bool same_bond(const BondRecord& a, const BondRecord& b) noexcept {
  if (a.distance.has_value() != b.distance.has_value() || (a.distance && !same_bits(*a.distance, *b.distance))) {
    return false;
  }
  return a.partner1 == b.partner1 && a.partner2 == b.partner2 && a.conn_type == b.conn_type &&
         a.value_order == b.value_order && a.from_chem_comp == b.from_chem_comp && a.bond_type == b.bond_type;
}

}  // namespace

bool same_model(const Structure& a, const Structure& b) noexcept {
  if (a.entry_id != b.entry_id || a.title != b.title || a.space_group != b.space_group) return false;
  if (a.cell.has_value() != b.cell.has_value()) return false;
  if (a.cell && std::memcmp(&*a.cell, &*b.cell, sizeof(UnitCell)) != 0) return false;
  if (a.atoms.size() != b.atoms.size() || a.bonds.size() != b.bonds.size()) return false;
  if (a.derivation.has_value() != b.derivation.has_value()) return false;
  if (a.derivation) {
    const auto &da = *a.derivation, &db = *b.derivation;
    if (da.parsed_indices != db.parsed_indices || da.parsed_cell.has_value() != db.parsed_cell.has_value()) return false;
    if (da.parsed_cell && std::memcmp(&*da.parsed_cell, &*db.parsed_cell, sizeof(UnitCell)) != 0) return false;
  }
  for (std::size_t i = 0; i < a.atoms.size(); ++i) {
    if (!same_atom(a.atoms[i], b.atoms[i])) return false;
  }
  for (std::size_t i = 0; i < a.bonds.size(); ++i) {
    if (!same_bond(a.bonds[i], b.bonds[i])) return false;
  }
  return true;
}

}  // namespace quarn
