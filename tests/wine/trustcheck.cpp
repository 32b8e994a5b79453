// Asks Windows whether it trusts each file's signature, as its security
// prompts ask: WinVerifyTrust with WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI,
// no revocation check. With /root CERT (a DER file) it first adds CERT to
// the machine's Root store, where a maker's own root would be installed.
// Prints "0xRESULT FILE" for each file (0 is trusted).
//
// Usage: trustcheck.exe [/root CERT] FILE...
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool AddRoot(const char *path) {
  std::vector<BYTE> der;
  if (FILE *file = std::fopen(path, "rb")) {
    BYTE buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
      der.insert(der.end(), buffer, buffer + got);
    }
    std::fclose(file);
  }
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  bool added = root && !der.empty() &&
               CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (root) {
    CertCloseStore(root, 0);
  }
  return added;
}

LONG Verify(const char *path) {
  wchar_t wide[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wide;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
  LONG result = WinVerifyTrust(noWindow, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(noWindow, &action, &data);
  return result;
}

} // namespace

int main(int argc, char **argv) {
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "/root") == 0) {
    if (!AddRoot(argv[2])) {
      std::printf("cannot add %s to the Root store\n", argv[2]);
      return 1;
    }
    first = 3;
  }
  for (int i = first; i < argc; ++i) {
    std::printf("0x%08lX %s\n", static_cast<unsigned long>(Verify(argv[i])), argv[i]);
  }
  return 0;
}
