// Binding call arguments to parameters, and the conversions of Python arguments to core values.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "py_ref.hpp"
#include "quarn/structure.hpp"

namespace quarn::py {

inline constexpr std::size_t kMaxParameters = 3;

// The parameters of one callable, every one positional or keyword; the first `required` must be given.
struct Signature {
  const char* callable;                           // as messages name it: "parse", "Structure.contacts"
  std::array<const char*, kMaxParameters> names;  // parameter names in order; unused ones nullptr
  std::size_t count;                              // number of parameters
  std::size_t required;                           // how many leading parameters are required
};

// The arguments of one call bound to a Signature, each held by a strong reference: a conversion runs
// user code (__index__, __float__) that could otherwise free a value still to be read. Every conversion
// returns false with a Python exception set on failure; a TypeError names the callable and the
// parameter. None of them throws, except index_list, which may throw std::bad_alloc.
class Arguments {
 public:
  explicit Arguments(const Signature& signature) noexcept : sig_(signature) {}

  // Positional and keyword arguments to parameters; TypeError for too many, unknown, repeated or
  // missing ones.
  bool bind(PyObject* args, PyObject* kwargs);

  // The argument of parameter i, or nullptr when an optional one was not given.
  PyObject* operator[](std::size_t i) const noexcept { return slots_[i].get(); }
  // True when parameter i was omitted or given as None.
  bool absent(std::size_t i) const noexcept { return !slots_[i] || slots_[i].get() == Py_None; }

  // The interpreter's float conversion: float, int, __float__ or __index__.
  bool real(std::size_t i, double* out) const noexcept;
  // int (bool included) or __index__, 0 to 2**64 - 1; a float is a TypeError, a value out of range an
  // OverflowError.
  bool count(std::size_t i, std::uint64_t* out) const noexcept;
  // Exactly True or False, or a numpy.bool_ read through its __bool__; an int is refused.
  bool flag(std::size_t i, bool* out) const noexcept;
  // A tuple (or tuple subclass) of exactly three reals.
  bool point(std::size_t i, Vec3* out) const noexcept;
  // Any sequence but str, each item a count.
  bool index_list(std::size_t i, std::vector<std::uint64_t>* out) const;

 private:
  bool count_of(PyObject* value, std::size_t i, std::uint64_t* out) const noexcept;
  bool real_of(PyObject* value, std::size_t i, double* out) const noexcept;
  // Raises TypeError "<callable>() argument '<name>': must be <expected>, not <type>".
  void refuse_type(std::size_t i, const char* expected, PyObject* value) const noexcept;
  // Re-raises a pending TypeError with the callable and parameter i named; other exceptions stay.
  void name_type_error(std::size_t i) const noexcept;

  const Signature& sig_;
  std::array<Ref, kMaxParameters> slots_;
};

// os.fspath, then str only, encoded with the file-system encoding and its error handler. Any failure
// raises OSError "path must be str or os.PathLike" and returns an empty Ref; bytes paths are refused.
// Exceptions that are not errors of the conversion (MemoryError, and those outside Exception such as
// KeyboardInterrupt and SystemExit) propagate unchanged instead.
Ref path_bytes(PyObject* value) noexcept;

}  // namespace quarn::py
