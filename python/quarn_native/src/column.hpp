// quarn.Column: a read-only typed array over memory that a shared owner keeps alive, handed to numpy
// without a copy through the array interface, and readable without numpy.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quarn::py {

// Element types, as numpy names them in an array interface.
enum class Kind : std::uint8_t { f8, i8, i4, i1, u1, b1 };

struct ColumnData {
  std::shared_ptr<const void> owner;  // keeps the memory under `data` alive, shared between columns
  const std::byte* data = nullptr;    // the first element; never null for a made column
  int ndim = 0;                       // 1 or 2; 0 only in an object that was never filled
  Py_ssize_t shape[2] = {0, 0};
  Py_ssize_t strides[2] = {0, 0};     // bytes between neighbours along each axis
  Kind kind = Kind::f8;
};

// A 1-D column of `n` elements of `kind` at `data`, `stride` bytes apart, kept alive by `owner`
// (data may be null when n is 0). Never throws.
ColumnData column_1d(std::shared_ptr<const void> owner, const void* data, Kind kind, std::size_t n,
                     std::size_t stride) noexcept;

// A 1-D column over a contiguous array of T that `owner` holds.
template <class T>
ColumnData column_over(std::shared_ptr<const void> owner, const T* data, Kind kind, std::size_t n) noexcept {
  return column_1d(std::move(owner), data, kind, n, sizeof(T));
}

// A new Column object; nullptr with an exception set on failure. Needs the interpreter lock.
PyObject* new_column(ColumnData&& data) noexcept;

// The data of a Column object, or nullptr with TypeError set for anything else (also for a Column
// that was never filled).
const ColumnData* column_data(PyObject* object) noexcept;

// The type object, created on first call; nullptr with an exception set when that fails.
PyObject* column_type() noexcept;

}  // namespace quarn::py
