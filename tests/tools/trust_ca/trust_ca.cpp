// Adds a certificate (DER file) to the LocalMachine "Root" store of the Wine prefix it runs
// in, so that the test update hosts' certificates are trusted there like an enterprise root.
// Usage: trust_ca.exe <certificate.der>. Exit code 0 on success, 1 otherwise.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: trust_ca.exe <certificate.der>\n");
    return 1;
  }
  std::ifstream in(std::filesystem::path(argv[1]), std::ios::binary);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fwprintf(stderr, L"cannot read %ls\n", argv[1]);
    return 1;
  }

  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (root == nullptr) {
    std::fwprintf(stderr, L"CertOpenStore failed: %lu\n", GetLastError());
    return 1;
  }
  const BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(root, 0);
  if (!added) {
    std::fwprintf(stderr, L"CertAddEncodedCertificateToStore failed: %lu\n", error);
    return 1;
  }
  return 0;
}
