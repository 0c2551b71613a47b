#include <array>
#include <string_view>

#include "quarn/analyze/profile.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/white_space.hpp"

namespace quarn {

std::string_view hybridization_text(Hybridization h) noexcept {
  switch (h) {
    case Hybridization::sp: return "sp";
    case Hybridization::sp2: return "sp2";
    case Hybridization::sp3: return "sp3";
  }
  return {};
}

bool is_standard_amino_acid(std::string_view comp_id) noexcept {
  static constexpr std::array<std::string_view, 21> kCodes = {
      "ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE", "LEU",
      "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP", "TYR", "VAL", "SEC",
  };
  comp_id = trim_white_space(comp_id);
  if (comp_id.size() != 3) return false;
  char up[3];
  for (int i = 0; i < 3; ++i) {
    const char c = comp_id[i];
    up[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  const std::string_view key(up, 3);
  for (std::string_view code : kCodes) {
    if (code == key) return true;
  }
  return false;
}

}  // namespace quarn
