#pragma once

#include <windows.h>
// clang-format off: wincrypt.h needs the types of windows.h first.
#include <wincrypt.h>
// clang-format on

#include "os/win32/scoped_resource.h"

// Owners of what crypt32 hands out, each released the way crypt32 asks.

namespace launcher {

struct CryptMessageTraits {
  using Value = HCRYPTMSG;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value message) { return message != nullptr; }
  static void Close(Value message) { CryptMsgClose(message); }
};
using ScopedCryptMessage = ScopedResource<CryptMessageTraits>;

struct CertStoreTraits {
  using Value = HCERTSTORE;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value store) { return store != nullptr; }
  static void Close(Value store) { CertCloseStore(store, 0); }
};
using ScopedCertStore = ScopedResource<CertStoreTraits>;

struct CertContextTraits {
  using Value = PCCERT_CONTEXT;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value certificate) { return certificate != nullptr; }
  static void Close(Value certificate) { CertFreeCertificateContext(certificate); }
};
using ScopedCertContext = ScopedResource<CertContextTraits>;

// Memory the system allocated for the caller to free with LocalFree (CRYPT_DECODE_ALLOC_FLAG).
template <typename T>
struct LocalMemoryTraits {
  using Value = T*;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value memory) { return memory != nullptr; }
  static void Close(Value memory) { LocalFree(memory); }
};
template <typename T>
using ScopedLocalMemory = ScopedResource<LocalMemoryTraits<T>>;

}  // namespace launcher
