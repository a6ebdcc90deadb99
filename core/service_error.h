#pragma once

#include <stdexcept>
#include <string>

// The one failure type of every operation on the system, portable rules and OS layers alike.

namespace launcher {

// Why an operation failed, as far as a caller acts on it.
enum class FailureCause {
  kOther,
  // Another process holds the file for now: the system said sharing violation or access denied
  // (or, on POSIX, text file busy), as while a scanner looks at a new program or another
  // launcher finishes its move. Access denied may also be for good; a retry cannot tell.
  kHeld,
};

// The one failure type of operations on the system: which operation failed, on which path, and the
// system's own explanation.
class ServiceError : public std::runtime_error {
 public:
  ServiceError(std::string operation, std::string path, std::string system_text,
               FailureCause cause = FailureCause::kOther);

  const std::string& operation() const { return operation_; }
  const std::string& path() const { return path_; }
  const std::string& system_text() const { return system_text_; }
  FailureCause cause() const { return cause_; }

 private:
  std::string operation_;
  std::string path_;
  std::string system_text_;
  FailureCause cause_;
};

}  // namespace launcher
