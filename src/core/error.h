// Failure types of the core.
//
// The core reports every failure by throwing one of two exceptions; nothing
// is logged and no error codes are returned.
//
//  - Error: a failure of the work itself (a trace that does not parse, a
//    value that is not a record, ...). Its message is the exact text the
//    user sees; the Python binding raises it as ValueError.
//  - InternalError: a state the code treats as impossible, or a failure of
//    the environment the code cannot recover from (no OS entropy). The
//    binding raises it as the module's dedicated BaseException subclass.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  explicit Error(const char* message) : std::runtime_error(message) {}
};

class InternalError : public std::logic_error {
 public:
  explicit InternalError(const std::string& message) : std::logic_error(message) {}
  explicit InternalError(const char* message) : std::logic_error(message) {}
};

}  // namespace korvane
