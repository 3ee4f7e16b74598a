// ebbmark_write_secret: writes one password file of a settings folder as the
// Windows configuration program saves it (the platform's secret store: DPAPI
// in the machine's scope, SYSTEM and Administrators only), for the black-box
// tests. The file is encrypted for the machine, so a test cannot write the
// bytes itself; run it under the same Wine prefix as the service.
//
//   ebbmark_write_secret PATH < password     (nothing on stdin: remove the file)
//
// The password is taken from stdin byte for byte (no newline is dropped), so
// what a test writes is exactly what the service compares.
// Exit status: 0 written, 1 could not be written, 2 bad usage.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <system_error>

#include "platform/secret_store.h"
#include "platform/windows/text_windows.h"

namespace {

// Larger than any password the programs accept: the store itself decides.
constexpr std::size_t kMaxInput = 64 * 1024;

bool ReadAll(std::string& out) {
  char buf[4096];
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, stdin);
    out.append(buf, n);
    if (out.size() > kMaxInput) return false;
    if (n < sizeof buf) return std::ferror(stdin) == 0;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: ebbmark_write_secret PATH < password\n", stderr);
    return 2;
  }
  // Text mode would turn a CR LF in the password into LF.
  _setmode(_fileno(stdin), _O_BINARY);
  std::string password;
  if (!ReadAll(password)) {
    std::fputs("ebbmark_write_secret: could not read the password\n", stderr);
    return 1;
  }
  const std::string path = ebbmark::win::Narrow(argv[1]);
  ebbmark::SecretStore& store = ebbmark::RealSecretStore();
  // The same two calls as the configuration program's save.
  const std::error_code error = password.empty() ? store.Remove(path) : store.Write(path, password);
  if (error) {
    std::fprintf(stderr, "ebbmark_write_secret: %s: %s\n", path.c_str(), error.message().c_str());
    return 1;
  }
  return 0;
}
