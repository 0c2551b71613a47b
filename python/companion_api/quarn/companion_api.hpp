// The private bridge from quarn_parser to its companion package quarn: a versioned table of functions
// that quarn_parser publishes as the capsule quarn_parser._companion_api. Both extension modules
// include this header; each links its own copy of the core, so the table carries what the two sides
// must agree on (this header's version, the model's size, the project version they were built as).
#pragma once

#include <Python.h>

#include <cstdint>

#include "quarn/structure.hpp"

namespace quarn::companion {

inline constexpr const char* kCapsuleName = "quarn_parser._companion_api";

// Raised whenever an entry is added, removed or changes meaning; the companion refuses a table of
// another version at import.
inline constexpr std::uint32_t kApiVersion = 1;

// Every function needs the interpreter lock, never throws, and reports failure as nullptr with a
// Python exception set.
struct Api {
  std::uint32_t version;          // kApiVersion of the quarn_parser that made the table
  std::uint32_t structure_bytes;  // sizeof(quarn::Structure) there
  const char* project_version;    // the project version quarn_parser was built as

  // The core model of a quarn_parser.Structure object, borrowed: valid while the object lives.
  // TypeError for any other object.
  const Structure* (*structure_of)(PyObject* object) noexcept;

  // A new quarn_parser.Structure object that owns `model` from now on (moved from; released when the
  // object cannot be made).
  PyObject* (*new_structure)(Structure&& model) noexcept;
};

}  // namespace quarn::companion
