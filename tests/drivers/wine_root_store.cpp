// wine_root_store: adds a CA certificate to the machine's trusted root store of the
// Windows system it runs on, or removes it, so that the tests can try the system-store
// path of certificate verification with a private CA. It is meant for a private Wine
// prefix, whose store belongs to the tests alone.
//   wine_root_store add|remove FILE.pem
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wine_root_store add|remove FILE.pem\n");
    return 2;
  }
  std::string action = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr)) {
    std::fprintf(stderr, "wine_root_store: %s is not PEM\n", argv[2]);
    return 1;
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                       der.data(), &size, nullptr, nullptr);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  if (store == nullptr) {
    std::fprintf(stderr, "wine_root_store: the ROOT store cannot be opened (%lu)\n",
                 GetLastError());
    return 1;
  }
  bool done = false;
  if (action == "add") {
    done = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
  } else if (action == "remove") {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    PCCERT_CONTEXT found = wanted == nullptr ? nullptr
        : CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted,
                                     nullptr);
    done = found == nullptr || CertDeleteCertificateFromStore(found) != 0;  // frees found
    if (wanted != nullptr) CertFreeCertificateContext(wanted);
  }
  CertCloseStore(store, 0);
  if (!done) {
    std::fprintf(stderr, "wine_root_store: %s failed (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  return 0;
}
