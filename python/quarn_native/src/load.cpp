#include "load.hpp"

#include <string_view>
#include <utility>

#include "py_ref.hpp"
#include "quarn/reader.hpp"
#include "structure_arg.hpp"
#include "unlocked.hpp"

namespace quarn::py {

namespace {

PyObject* failure(const ReaderError& e) {
  Ref message(text(e.message));
  Ref detail(e.detail ? PyBytes_FromStringAndSize(e.detail->data(), static_cast<Py_ssize_t>(e.detail->size()))
                      : Ref::borrow(Py_None).release());
  Ref os_error(PyLong_FromLong(e.source ? e.source->os_error : 0));
  Ref shown(text(e.display()));
  Ref kind(text(reader_error_kind_text(e.kind)));
  Ref line(e.line ? PyLong_FromUnsignedLongLong(*e.line) : Ref::borrow(Py_None).release());
  if (!message || !detail || !os_error || !shown || !kind || !line) return nullptr;
  return Py_BuildValue("(O(OOOOOO))", Py_None, kind.get(), message.get(), detail.get(), os_error.get(),
                       line.get(), shown.get());
}

PyObject* load_body(PyObject* args) {
  PyObject* path = nullptr;
  if (!PyArg_ParseTuple(args, "O!:load", &PyBytes_Type, &path)) return nullptr;
  char* data = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(path, &data, &length) != 0) return nullptr;
  // The bytes object is immutable and `args` keeps it alive, so its buffer may be read unlocked.
  const std::string_view bytes(data, static_cast<std::size_t>(length));
  auto loaded = without_lock([&] { return load_structure(bytes); });
  if (!loaded) return failure(loaded.error());
  Ref structure(quarn_parser_api().new_structure(std::move(*loaded)));
  if (!structure) return nullptr;
  return Py_BuildValue("(OO)", structure.get(), Py_None);
}

}  // namespace

PyObject* load_file(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return load_body(args); });
}

}  // namespace quarn::py
