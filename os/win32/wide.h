#pragma once

#include <windows.h>

#include <string>

#include "core/service_error.h"

namespace launcher {

// UTF-8 to UTF-16 and back. Throws ServiceError(operation, text, ...) for text that is not valid.
std::wstring Wide(const std::string& text, const char* operation);
std::string Utf8(const std::wstring& text);

}  // namespace launcher
