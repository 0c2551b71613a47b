#include "column.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "py_ref.hpp"
#include "results.hpp"

namespace quarn::py {

namespace {

struct KindInfo {
  const char* typestr;  // the array interface's name
  const char* name;     // numpy's dtype name, for repr
  std::size_t size;
};

KindInfo info(Kind kind) noexcept {
  switch (kind) {
    case Kind::f8: return {"<f8", "float64", 8};
    case Kind::i8: return {"<i8", "int64", 8};
    case Kind::i4: return {"<i4", "int32", 4};
    case Kind::i1: return {"|i1", "int8", 1};
    case Kind::u1: return {"|u1", "uint8", 1};
    case Kind::b1: return {"|b1", "bool", 1};
  }
  return {"|V1", "void", 1};
}

// A valid address for columns without elements: the array interface wants one.
alignas(8) const std::byte kNoElements[8] = {};

template <class T>
T load(const std::byte* at) noexcept {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

PyObject* scalar(Kind kind, const std::byte* at) noexcept {
  switch (kind) {
    case Kind::f8: return PyFloat_FromDouble(load<double>(at));
    case Kind::i8: return PyLong_FromLongLong(load<std::int64_t>(at));
    case Kind::i4: return PyLong_FromLong(load<std::int32_t>(at));
    case Kind::i1: return PyLong_FromLong(load<std::int8_t>(at));
    case Kind::u1: return PyLong_FromLong(load<std::uint8_t>(at));
    case Kind::b1: return PyBool_FromLong(load<std::uint8_t>(at));
  }
  return nullptr;
}

// A new tuple of n items, item k made by make(k).
template <class Make>
PyObject* new_tuple(Py_ssize_t n, Make&& make) noexcept {
  Ref tuple(PyTuple_New(n));
  if (!tuple) return nullptr;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = make(k);
    if (item == nullptr || PyTuple_SetItem(tuple.get(), k, item) != 0) return nullptr;
  }
  return tuple.release();
}

// Row i: a scalar of a 1-D column, a tuple of a 2-D column's row.
PyObject* row(const ColumnData& c, Py_ssize_t i) noexcept {
  const std::byte* at = c.data + i * c.strides[0];
  if (c.ndim == 1) return scalar(c.kind, at);
  return new_tuple(c.shape[1], [&](Py_ssize_t k) { return scalar(c.kind, at + k * c.strides[1]); });
}

const ColumnData* filled(PyObject* self) noexcept {
  const ColumnData& c = value_of<ColumnData>(self);
  if (c.ndim != 0) return &c;
  PyErr_SetString(PyExc_TypeError, "this Column was never filled: columns come only from quarn's functions");
  return nullptr;
}

Py_ssize_t length(PyObject* self) noexcept {
  const ColumnData* c = filled(self);
  return c == nullptr ? -1 : c->shape[0];
}

PyObject* item(PyObject* self, Py_ssize_t i) noexcept {
  const ColumnData* c = filled(self);
  if (c == nullptr) return nullptr;
  if (i < 0 || i >= c->shape[0]) {
    PyErr_SetString(PyExc_IndexError, "Column index out of range");
    return nullptr;
  }
  return row(*c, i);
}

// column[i] for an integer (negative ones count from the end), and column[start:stop:step] as a Column
// that views the same memory.
PyObject* subscript(PyObject* self, PyObject* key) noexcept {
  const ColumnData* c = filled(self);
  if (c == nullptr) return nullptr;
  if (!PySlice_Check(key)) {
    const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    return item(self, i < 0 ? i + c->shape[0] : i);
  }
  Py_ssize_t start = 0, stop = 0, step = 0;
  if (PySlice_Unpack(key, &start, &stop, &step) != 0) return nullptr;
  const Py_ssize_t length = PySlice_AdjustIndices(c->shape[0], &start, &stop, step);
  return guarded([&] {
    ColumnData view = *c;  // shares the owner
    view.data += start * c->strides[0];
    view.shape[0] = length;
    view.strides[0] = c->strides[0] * step;
    return new_column(std::move(view));
  });
}

PyObject* tolist(PyObject* self, PyObject*) noexcept {
  const ColumnData* c = filled(self);
  if (c == nullptr) return nullptr;
  return guarded([&] { return new_list(static_cast<std::size_t>(c->shape[0]), [&](std::size_t i) {
                       return row(*c, static_cast<Py_ssize_t>(i));
                     }); });
}

PyObject* shape_of(const ColumnData& c) noexcept {
  return new_tuple(c.ndim, [&](Py_ssize_t k) { return PyLong_FromSsize_t(c.shape[k]); });
}

bool contiguous(const ColumnData& c) noexcept {
  const auto size = static_cast<Py_ssize_t>(info(c.kind).size);
  return c.ndim == 1 ? c.strides[0] == size : c.strides[1] == size && c.strides[0] == size * c.shape[1];
}

PyObject* read_interface(PyObject* self, void*) noexcept {
  const ColumnData* c = filled(self);
  if (c == nullptr) return nullptr;
  Ref shape(shape_of(*c));
  Ref strides;
  if (contiguous(*c)) {
    strides = Ref::borrow(Py_None);
  } else {
    strides = Ref(new_tuple(c->ndim, [&](Py_ssize_t k) { return PyLong_FromSsize_t(c->strides[k]); }));
  }
  if (!shape || !strides) return nullptr;
  // Read-only: numpy's arrays over it refuse writes, so the shared memory never changes.
  return Py_BuildValue("{s:i,s:O,s:s,s:(Ni),s:O}", "version", 3, "shape", shape.get(), "typestr",
                       info(c->kind).typestr, "data", PyLong_FromVoidPtr(const_cast<std::byte*>(c->data)), 1,
                       "strides", strides.get());
}

PyObject* read_shape(PyObject* self, void*) noexcept {
  const ColumnData* c = filled(self);
  return c == nullptr ? nullptr : shape_of(*c);
}

PyObject* read_typestr(PyObject* self, void*) noexcept {
  const ColumnData* c = filled(self);
  return c == nullptr ? nullptr : PyUnicode_FromString(info(c->kind).typestr);
}

// numpy.asarray(self) reads the array interface before it would call __array__, so this never
// recurses; it serves callers such as pandas that look for __array__ alone. numpy is taken from
// sys.modules: whoever calls __array__ has loaded it.
PyObject* as_array(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  static const char* names[] = {"dtype", "copy", nullptr};
  PyObject* dtype = Py_None;
  PyObject* copy = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(names), &dtype, &copy)) {
    return nullptr;
  }
  if (filled(self) == nullptr) return nullptr;
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  Ref numpy(modules != nullptr ? PyMapping_GetItemString(modules, "numpy") : nullptr);
  if (!numpy) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "Column.__array__ is for numpy, which is not loaded");
    return nullptr;
  }
  const bool copied = copy == Py_True;
  Ref make(PyObject_GetAttrString(numpy.get(), copied ? "array" : "asarray"));
  Ref call_args(PyTuple_Pack(1, self));
  Ref call_kwargs(Py_BuildValue("{s:O}", "dtype", dtype));
  if (!make || !call_args || !call_kwargs) return nullptr;
  return PyObject_Call(make.get(), call_args.get(), call_kwargs.get());
}

PyObject* repr(PyObject* self) noexcept {
  const ColumnData* c = filled(self);
  if (c == nullptr) return nullptr;
  if (c->ndim == 1) return PyUnicode_FromFormat("<quarn.Column %s (%zd,)>", info(c->kind).name, c->shape[0]);
  return PyUnicode_FromFormat("<quarn.Column %s (%zd, %zd)>", info(c->kind).name, c->shape[0], c->shape[1]);
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "quarn.Column cannot be made directly: columns come from quarn's functions");
  return nullptr;
}

PyMethodDef methods[] = {
    {"tolist", tolist, METH_NOARGS,
     "tolist($self)\n--\n\nEvery value as a list of Python numbers (of tuples, for a 2-D column)."},
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(as_array)), METH_VARARGS | METH_KEYWORDS,
     "__array__($self, dtype=None, copy=None)\n--\n\nThe column as a numpy array, for callers that ask for "
     "__array__; without dtype and copy, no copy is made."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__array_interface__", read_interface, nullptr,
     "The array interface (version 3): numpy.asarray(column) shares the column's memory, read-only.", nullptr},
    {"shape", read_shape, nullptr, "(rows,) or (rows, columns).", nullptr},
    {"typestr", read_typestr, nullptr, "The element type as the array interface names it: '<f8', '<i8', ...",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "A read-only column of numbers: one field of every atom, or one field of every row of a result.\n\n"
    "numpy.asarray(column) makes no copy: the array reads the memory that quarn filled, which stays\n"
    "valid as long as any array or column refers to it, also after the Structure is gone. Without\n"
    "numpy every value can still be read: len(column), column[i] (a tuple for a 2-D column),\n"
    "iteration, and column.tolist(); column[start:stop:step] is a column over the same memory.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ColumnData>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_iter, reinterpret_cast<void*>(PySeqIter_New)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_item, reinterpret_cast<void*>(item)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {0, nullptr},
};

PyType_Spec spec = {"quarn.Column", sizeof(Boxed<ColumnData>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

ColumnData column_1d(std::shared_ptr<const void> owner, const void* data, Kind kind, std::size_t n,
                     std::size_t stride) noexcept {
  ColumnData c;
  c.owner = std::move(owner);
  c.data = data != nullptr ? static_cast<const std::byte*>(data) : kNoElements;
  c.ndim = 1;
  c.shape[0] = static_cast<Py_ssize_t>(n);
  c.strides[0] = static_cast<Py_ssize_t>(stride);
  c.kind = kind;
  return c;
}

PyObject* column_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return type;
}

PyObject* new_column(ColumnData&& data) noexcept {
  PyObject* type = column_type();
  return type == nullptr ? nullptr : box(type, std::move(data));
}

const ColumnData* column_data(PyObject* object) noexcept {
  PyObject* type = column_type();
  if (type == nullptr) return nullptr;
  if (reinterpret_cast<PyObject*>(Py_TYPE(object)) != type) {
    PyErr_SetString(PyExc_TypeError, "expected a quarn.Column");
    return nullptr;
  }
  return filled(object);
}

}  // namespace quarn::py
