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
//
// message() is the whole text, which may hold any character, U+0000
// included (it quotes trace content); what() stops at the first NUL.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace korvane {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace korvane
