/* Writes every certificate of the trusted roots that the chain engine reads (the current user's
 * Root store, which takes in the local machine's) to standard output as PEM, so that osslsigncode
 * can be given exactly the roots a Wine prefix trusts:
 *   export_root_certificates > roots.pem
 * Exit status 0 when at least one certificate was written, 1 with a message on stderr otherwise. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
/* wincrypt.h needs the types of windows.h first. */
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

static int Fail(const char *what) {
  fprintf(stderr, "export_root_certificates: %s (error %lu)\n", what, GetLastError());
  return 1;
}

int main(void) {
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (store == NULL) return Fail("cannot open the Root store");
  /* Binary mode: CryptBinaryToStringA already ends its lines with CR LF. */
  _setmode(_fileno(stdout), _O_BINARY);
  int written = 0;
  PCCERT_CONTEXT certificate = NULL;
  while ((certificate = CertEnumCertificatesInStore(store, certificate)) != NULL) {
    DWORD size = 0;
    if (!CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                              CRYPT_STRING_BASE64HEADER, NULL, &size)) {
      return Fail("cannot encode a certificate");
    }
    char *text = malloc(size);
    if (text == NULL ||
        !CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                              CRYPT_STRING_BASE64HEADER, text, &size)) {
      return Fail("cannot encode a certificate");
    }
    /* Up to the text's end: Wine counts its terminating zero in SIZE. */
    fwrite(text, 1, strlen(text), stdout);
    free(text);
    ++written;
  }
  CertCloseStore(store, 0);
  if (written == 0) return Fail("the Root store holds no certificate");
  return 0;
}
