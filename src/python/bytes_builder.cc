#include "python/bytes_builder.h"

#include <cstring>

#include "python/errors.h"

namespace korvane::python {

PyRef BytesBuilder::bytes() {
  const std::string_view last = output_.view();
  PyRef result = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total_ + last.size())));
  char* w = PyBytes_AsString(result.get());
  for (const auto& [piece, size] : pieces_) {
    std::memcpy(w, piece.get(), size);
    w += size;
  }
  std::memcpy(w, last.data(), last.size());
  return result;
}

}  // namespace korvane::python
