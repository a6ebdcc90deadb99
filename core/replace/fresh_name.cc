#include "core/replace/fresh_name.h"

#include "core/replace/replace_file.h"

namespace launcher {

std::optional<std::string> CreateWithFreshName(
    const std::string& destination, const std::function<std::uint64_t()>& random,
    const std::function<CreateOutcome(const std::string& name)>& try_create) {
  const std::string file_name = FileNameOf(destination);
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    const std::string name = TemporaryNameFor(file_name, random());
    if (try_create(name) == CreateOutcome::kCreated) return name;
  }
  return std::nullopt;
}

}  // namespace launcher
