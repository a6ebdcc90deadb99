/* Adds a certificate to the local machine's trusted roots, so that signatures under a test root
 * verify in a test Wine prefix:
 *   add_root_certificate CERTIFICATE_FILE
 * The file holds one certificate, DER or PEM. Exit status 0 when the store holds it afterwards,
 * 1 with a message on stderr otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <wincrypt.h>

static int Fail(const char *what) {
  fprintf(stderr, "add_root_certificate: %s (error %lu)\n", what, GetLastError());
  return 1;
}

/* The whole file in a buffer of its own; NULL when it cannot be read. */
static BYTE *ReadWhole(const wchar_t *path, DWORD *size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return NULL;
  BYTE *data = NULL;
  LARGE_INTEGER length;
  DWORD got = 0;
  if (GetFileSizeEx(file, &length) && length.QuadPart > 0 && length.QuadPart < (1 << 20)) {
    data = malloc((size_t)length.QuadPart);
    if (data != NULL && (!ReadFile(file, data, (DWORD)length.QuadPart, &got, NULL) ||
                         got != (DWORD)length.QuadPart)) {
      free(data);
      data = NULL;
    }
  }
  CloseHandle(file);
  *size = got;
  return data;
}

int wmain(int argc, wchar_t **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: add_root_certificate CERTIFICATE_FILE\n");
    return 1;
  }
  DWORD size = 0;
  BYTE *data = ReadWhole(argv[1], &size);
  if (data == NULL) return Fail("cannot read the certificate file");

  static const char kPemStart[] = "-----BEGIN";
  BYTE *der = data;
  DWORD der_size = size;
  if (size >= sizeof kPemStart - 1 && memcmp(data, kPemStart, sizeof kPemStart - 1) == 0) {
    der_size = 0;
    if (!CryptStringToBinaryA((const char *)data, size, CRYPT_STRING_BASE64HEADER, NULL, &der_size,
                              NULL, NULL)) {
      return Fail("the PEM text does not decode");
    }
    der = malloc(der_size);
    if (der == NULL || !CryptStringToBinaryA((const char *)data, size, CRYPT_STRING_BASE64HEADER,
                                             der, &der_size, NULL, NULL)) {
      return Fail("the PEM text does not decode");
    }
  }

  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == NULL) return Fail("cannot open the local machine's Root store");
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der,
                                        der_size, CERT_STORE_ADD_REPLACE_EXISTING, NULL)) {
    return Fail("cannot add the certificate to the Root store");
  }
  CertCloseStore(store, 0);
  return 0;
}
