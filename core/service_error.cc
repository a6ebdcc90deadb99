#include "core/service_error.h"

#include <utility>

namespace launcher {

ServiceError::ServiceError(std::string operation, std::string path, std::string system_text,
                           FailureCause cause)
    : std::runtime_error(operation + "(\"" + path + "\"): " + system_text),
      operation_(std::move(operation)),
      path_(std::move(path)),
      system_text_(std::move(system_text)),
      cause_(cause) {}

}  // namespace launcher
