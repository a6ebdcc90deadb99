#pragma once

#include <utility>

namespace launcher {

// Owns one resource of the system and releases it once, when this ends or at reset(). Move-only.
// `Traits` names the resource's type (Value), the value that owns nothing (Invalid), which values
// own something (IsValid) and how one is released (Close).
template <typename Traits>
class ScopedResource {
 public:
  using Value = typename Traits::Value;

  ScopedResource() = default;
  explicit ScopedResource(Value value) : value_(value) {}
  ~ScopedResource() { reset(); }

  ScopedResource(ScopedResource&& other) noexcept : value_(other.release()) {}
  ScopedResource& operator=(ScopedResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedResource(const ScopedResource&) = delete;
  ScopedResource& operator=(const ScopedResource&) = delete;

  Value get() const { return value_; }
  bool is_valid() const { return Traits::IsValid(value_); }

  // Gives the resource up without releasing it.
  Value release() { return std::exchange(value_, Traits::Invalid()); }

  // Releases what is owned now, if anything, and owns `value` instead.
  void reset(Value value = Traits::Invalid()) {
    const Value old = std::exchange(value_, value);
    if (Traits::IsValid(old)) Traits::Close(old);
  }

 private:
  Value value_ = Traits::Invalid();
};

}  // namespace launcher
