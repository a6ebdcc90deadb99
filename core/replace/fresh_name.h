#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The names a new temporary beside a file is tried under, on every platform.

namespace launcher {

// How many fresh names a temporary is tried under before the folder is taken to be full of them.
inline constexpr int kTemporaryNameTries = 16;

// What one try to create a file under a name came to; any other failure is thrown.
enum class CreateOutcome { kCreated, kNameTaken };

// Tries to create a temporary for `destination` under up to kTemporaryNameTries names
// TemporaryNameFor(FileNameOf(destination), random()), one `try_create` each, until one is
// created. Returns the name created; nullopt when every name tried was taken. What `random` and
// `try_create` throw goes through.
std::optional<std::string> CreateWithFreshName(
    const std::string& destination, const std::function<std::uint64_t()>& random,
    const std::function<CreateOutcome(const std::string& name)>& try_create);

}  // namespace launcher
