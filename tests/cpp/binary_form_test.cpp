// The binary form: every model survives it to the bit, and bytes that are not one are refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "builder.hpp"
#include "entries.hpp"
#include "quarn/binary_form.hpp"
#include "reader_support.hpp"

namespace quarn {
namespace {

using testing::StructureBuilder;

// Loads `bytes`, which must be the binary form of `original`, and checks what a round trip keeps.
void expect_round_trip(const Structure& original, const std::string& bytes) {
  const auto loaded = read_binary_form(bytes);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
  EXPECT_TRUE(same_model(original, *loaded));
  if (original.atom_count() < 10) {
    EXPECT_EQ(testing::dump(original), testing::dump(*loaded));
  }
  EXPECT_EQ(write_binary_form(*loaded), bytes) << "the form is deterministic";
}

std::string sealed(std::string bytes) {
  const auto crc = static_cast<std::uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size() - 4));
  std::memcpy(bytes.data() + bytes.size() - 4, &crc, 4);
  return bytes;
}

// Version 1 bytes with `body` between the header and a correct checksum.
std::string hand_made(const std::string& body) {
  return sealed(std::string("\x89QRNSTR\n\x01\x00\x00\x00", 12) + body + std::string(4, '\0'));
}

std::string refusal(const std::string& bytes) {
  const auto loaded = read_binary_form(bytes);
  return loaded ? std::string("loaded") : loaded.error().message;
}

TEST(BinaryForm, RealEntriesSurviveToTheBitAndTakeLessThanTheirText) {
  for (const char* name : {"1aki.cif", "1as5.cif.gz", "1bna.cif", "1l2y.cif.gz", "1pfe.cif.gz", "1xnr.cif.gz",
                           "3o5r.cif.gz", "4p5j.cif", "5i55.cif"}) {
    SCOPED_TRACE(name);
    const auto text = testing::entry_text(name);
    if (!text) GTEST_SKIP() << "real entry " << name << " not found under " QUARN_DATA_DIR;
    auto parsed = parse_text(*text, true);
    ASSERT_TRUE(parsed.has_value());
    const std::string bytes = write_binary_form(*parsed);
    expect_round_trip(*parsed, bytes);
    EXPECT_LT(bytes.size(), text->size() / 2);
  }
}

TEST(BinaryForm, HostileValuesSurviveToTheBit) {
  const double nan_with_payload = std::bit_cast<double>(std::uint64_t{0xfff8'0000'0000'1234});
  StructureBuilder b;
  b.cell(1, 1, 1);  // the placeholder cell: reported, not periodic
  b.atom_without_position("");  // no field at all
  b.atom("c", {nan_with_payload, -0.0, std::numeric_limits<double>::infinity()}).name("CA");
  b.atom("FE", {1e300, 5e-324, -123.456}).residue("HEM", "B", std::numeric_limits<std::int32_t>::min());
  b.last().id = Text::make_inline("007");  // not a plain serial number: the ids go to a dictionary
  b.atom("N", {0.1, 0.2, 0.3}).auth("ZZ", std::numeric_limits<std::int32_t>::max()).model(-7);
  Structure s = b.take();
  s.atoms[3].label_comp_id = s.arena.store(std::string(70000, 'x'));  // longer than an arena chunk
  s.atoms[3].auth_atom_id = s.arena.store("\xc3\xa9t\xc3\xa9 long name");
  s.atoms[3].label_alt_id = Text::make_inline("");  // present but empty
  s.entry_id = "";
  s.space_group = "P 21 21 21";
  BondRecord empty_row;  // every field absent
  s.bonds.push_back(empty_row);
  BondRecord full_row{-0.0, testing::label("A", -3, "SG"), testing::label("B", 4, "SG"), "disulf", "doub", true,
                      BondType::unknown};
  full_row.partner2.auth_atom_id = "\xce\xb1";
  full_row.partner2.auth_asym_id = "Q";
  full_row.partner2.auth_seq_id = 9;
  s.bonds.push_back(full_row);
  expect_round_trip(s, write_binary_form(s));

  StructureBuilder periodic;
  periodic.cell(10.5, 20.25, 30.125, 90, 90, 90).atom("O", {1, 2, 3});
  const Structure p = periodic.take();
  expect_round_trip(p, write_binary_form(p));

  const Structure nothing;
  expect_round_trip(nothing, write_binary_form(nothing));
}

TEST(BinaryForm, ColumnsOfEverySizeAndKind) {
  // Over 2^16 distinct names (four-byte codes), ids that are serial numbers, coordinates that are
  // decimals but for a few kept whole, and occupancies that are no decimal at all; over 4 MiB in all,
  // so the checksum runs on a thread of its own.
  StructureBuilder b;
  for (int i = 0; i < 200000; ++i) {
    b.atom("C", {i / 1000.0, -i * 0.25, i % 97 == 0 ? std::nan("") : 3.0}).name("N" + std::to_string(i));
    b.last().occupancy_value = 1.0 / (i + 3);
    b.last().present |= AtomSite::kOccupancy;
  }
  Structure s = b.take();
  for (std::size_t i = 0; i < s.atoms.size(); ++i) s.atoms[i].id = s.arena.store(std::to_string(i + 1'000'000));
  const std::string bytes = write_binary_form(s);
  ASSERT_GT(bytes.size(), std::size_t{4} << 20);
  expect_round_trip(s, bytes);
  // Three coordinates and the ids take about nine bytes an atom; the occupancies eight.
  EXPECT_LT(bytes.size(), s.atoms.size() * 40);
  std::string damaged = bytes;
  damaged[damaged.size() / 2] ^= 1;
  EXPECT_EQ(refusal(damaged), "structure data is damaged or truncated: checksum mismatch");
}

TEST(BinaryForm, DamagedBytesAreRefusedWithAReason) {
  StructureBuilder b;
  b.cell(50, 60, 70).atom("C", {1.5, 2.5, 3.5}).residue("ALA", "A", 1).atom("O", {2, 3, 4});
  b.chem_comp_bond("ALA", "C", "O", BondType::covalent_double);
  const Structure s = b.take();
  const std::string bytes = write_binary_form(s);

  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const std::string message = refusal(bytes.substr(0, n));
    EXPECT_TRUE(message.find("truncated") != std::string::npos) << n << ": " << message;
  }
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
    EXPECT_NE(refusal(flipped), "loaded") << "byte " << at;
  }
  std::string later = bytes;
  later[8] = 2;
  EXPECT_EQ(refusal(later), "structure data of format version 2; this build reads version 1");
  EXPECT_EQ(refusal("just some text that is long enough"), "not structure data: unknown leading bytes");
}

TEST(BinaryForm, HandMadeBytesFailBeforeTheyAllocate) {
  EXPECT_EQ(refusal(hand_made("")), "loaded");
  const auto malformed = [](const std::string& body) {
    const std::string message = refusal(hand_made(body));
    EXPECT_TRUE(message.starts_with("structure data is malformed: ")) << message;
    return message;
  };
  // A billion atoms in a few bytes: refused on the count, before any atom is made.
  EXPECT_EQ(malformed(std::string("\x03\x06\xff\xff\xff\xff\x03\x00", 8)),
            "structure data is malformed: more atoms than the section holds");
  EXPECT_EQ(malformed(std::string("\x04\x04\xff\xff\xff\x0f", 6)),
            "structure data is malformed: more bond rows than the section holds");
  malformed(std::string("\x09\x00", 2));                                    // an unknown section
  malformed(std::string("\x04\x01\x00\x01\x00", 5));                        // sections out of order
  malformed(std::string("\x01\x06\x01\x02\xff\xfe\x00\x00", 8));                // a text that is not UTF-8
  std::string cell("\x02\x30", 2);
  for (double v : {1.0, 1.0, -1.0, 90.0, 90.0, 90.0}) cell.append(reinterpret_cast<const char*>(&v), 8);
  EXPECT_EQ(malformed(cell), "structure data is malformed: cell lengths or angles out of range");
  // One atom whose shape names a label_seq_id, and a column holding 2^31.
  EXPECT_EQ(malformed(std::string("\x03\x1c\x01\x01\x80\x02\x00", 7) + std::string(8, '\0') +
                      std::string("\x06\x00\x80\x80\x80\x80\x10", 7) + std::string(8, '\0')),
            "structure data is malformed: atom field values cut short or out of range");
  // A bond type beyond the vocabulary.
  malformed(std::string("\x04\x05\x01\x80\x80\x10\x09", 7));
  // A derivation naming an atom the form does not hold, and one whose cell flag is neither 0 nor 1.
  EXPECT_EQ(malformed(std::string("\x05\x03\x01\x00\x00", 5)),
            "structure data is malformed: derivation does not hold one index per atom");
  malformed(std::string("\x05\x02\x00\x02", 4));
}

}  // namespace
}  // namespace quarn
