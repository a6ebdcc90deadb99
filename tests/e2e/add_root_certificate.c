/* Adds a certificate to the local machine's trusted roots, so that signatures under a test root
 * verify in a test Wine prefix:
 *   add_root_certificate CERTIFICATE_FILE
 * The file holds one certificate, DER or PEM. Exit status 0 when the store holds it afterwards,
 * 1 with a message on stderr otherwise. */
#include <stdio.h>
#include <string.h>
/* wincrypt.h needs the types of windows.h first. */
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

/* A certificate is a few kilobytes; anything near this size is no certificate. */
#define kMaxCertificate (64 * 1024)

static BYTE file_bytes[kMaxCertificate];
static BYTE der[kMaxCertificate];

static int Fail(const char *what) {
  fprintf(stderr, "add_root_certificate: %s (error %lu)\n", what, GetLastError());
  return 1;
}

int wmain(int argc, wchar_t **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: add_root_certificate CERTIFICATE_FILE\n");
    return 1;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return Fail("cannot open the certificate file");
  DWORD size = 0;
  const BOOL read = ReadFile(file, file_bytes, sizeof file_bytes, &size, NULL);
  CloseHandle(file);
  if (!read || size == 0 || size == sizeof file_bytes) {
    return Fail("cannot read a certificate from the file");
  }

  static const char kPemStart[] = "-----BEGIN";
  const BYTE *encoded = file_bytes;
  DWORD encoded_size = size;
  if (size >= sizeof kPemStart - 1 && memcmp(file_bytes, kPemStart, sizeof kPemStart - 1) == 0) {
    encoded_size = sizeof der;
    if (!CryptStringToBinaryA((const char *)file_bytes, size, CRYPT_STRING_BASE64HEADER, der,
                              &encoded_size, NULL, NULL)) {
      return Fail("the PEM text does not decode");
    }
    encoded = der;
  }

  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == NULL) return Fail("cannot open the local machine's Root store");
  const BOOL added =
      CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded,
                                       encoded_size, CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  if (!added) return Fail("cannot add the certificate to the Root store");
  CertCloseStore(store, 0);
  return 0;
}
