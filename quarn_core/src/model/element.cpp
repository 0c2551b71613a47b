#include "quarn/element.hpp"

#include <array>

#include "quarn/white_space.hpp"

namespace quarn {

namespace {

// Row order is the search order.
constexpr std::array<ElementInfo, 18> kElements = {{
    {"H", 1, 0.32, 1.20, 2.20},   {"C", 6, 0.75, 1.70, 2.55},   {"N", 7, 0.71, 1.55, 3.04},
    {"O", 8, 0.63, 1.52, 3.44},   {"F", 9, 0.64, 1.47, 3.98},   {"P", 15, 1.06, 1.80, 2.19},
    {"S", 16, 1.02, 1.80, 2.58},  {"CL", 17, 0.99, 1.75, 3.16}, {"NA", 11, 1.66, 2.27, 0.93},
    {"MG", 12, 1.41, 1.73, 1.31}, {"K", 19, 2.03, 2.75, 0.82},  {"CA", 20, 1.74, 2.31, 1.00},
    {"FE", 26, 1.16, 1.63, 1.83}, {"ZN", 30, 1.25, 1.39, 1.65}, {"SE", 34, 1.17, 1.90, 2.55},
    {"BR", 35, 1.21, 1.85, 2.96}, {"I", 53, 1.40, 1.98, 2.66},  {"CU", 29, 1.22, 1.40, 1.90},
}};

char upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

}  // namespace

const ElementInfo* lookup_element(std::string_view text) noexcept {
  text = trim_white_space(text);
  if (text.empty() || text.size() > 2) return nullptr;  // every symbol has one or two letters
  for (const ElementInfo& e : kElements) {
    if (e.symbol.size() != text.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < text.size(); ++i) same = same && upper(text[i]) == e.symbol[i];
    if (same) return &e;
  }
  return nullptr;
}

const ElementInfo* element_of(const AtomSite& atom) noexcept {
  for (const Text* t : {&atom.type_symbol, &atom.label_atom_id, &atom.auth_atom_id}) {
    if (!t->present()) continue;
    if (const ElementInfo* e = lookup_element(t->view())) return e;
  }
  return nullptr;
}

}  // namespace quarn
