// BytesBuilder: a bytes object of unknown length, written in pieces.
//
// Text is written to output(), which sets its bytes aside each time they
// fill json::kSpillBytes (see core/json/output.h); bytes() copies the pieces
// into one new bytes object. The whole text is thus copied once, and never
// held in one buffer that grows by copying itself: the pieces stay small
// enough to be reused from the heap rather than mapped afresh by the
// operating system.
#pragma once

#include "python/python_api.h"

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "core/json/output.h"
#include "python/object.h"

namespace korvane::python {

class BytesBuilder {
 public:
  BytesBuilder() {
    output_.spill_to([this](json::Output& full) {
      const size_t size = full.size();
      pieces_.emplace_back(full.take(), size);
      total_ += size;
    });
  }
  BytesBuilder(const BytesBuilder&) = delete;
  BytesBuilder& operator=(const BytesBuilder&) = delete;

  json::Output& output() { return output_; }

  // A new bytes object holding everything written; throws PythonError.
  PyRef bytes();

 private:
  json::Output output_;
  std::vector<std::pair<std::unique_ptr<char[]>, size_t>> pieces_;
  size_t total_ = 0;  // bytes in pieces_
};

}  // namespace korvane::python
