#include "tests/support/test_certificates.h"

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/linux_tool.h"

namespace {

bool run(std::vector<std::string> arguments, std::string* error) {
  arguments.insert(arguments.begin(), "openssl");
  const LinuxToolResult result = run_linux_tool(arguments);
  if (result.exit_code != 0) *error = result.output;
  return result.exit_code == 0;
}

// An EC key keeps the making fast; the bulk cipher, not the key, sets the speed of a transfer.
std::vector<std::string> new_key(const std::filesystem::path& key_file) {
  return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", linux_path(key_file)};
}

std::vector<std::string> operator+(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace

TestCertificates make_test_certificates(const std::filesystem::path& dir) {
  TestCertificates certs;
  std::filesystem::create_directories(dir);
  certs.ca_file = dir / "ca.pem";
  certs.cert_file = dir / "server.pem";
  certs.key_file = dir / "server.key";
  certs.untrusted_cert_file = dir / "untrusted.pem";
  certs.untrusted_key_file = dir / "untrusted.key";
  const auto ca_key = dir / "ca.key";
  const auto csr = dir / "server.csr";
  const auto extensions = dir / "server.ext";
  std::ofstream(extensions) << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                               "basicConstraints=CA:FALSE\n"
                               "keyUsage=critical,digitalSignature,keyEncipherment\n"
                               "extendedKeyUsage=serverAuth\n";
  const std::vector<std::string> days = {"-days", "2"};
  certs.ok =
      run(std::vector<std::string>{"req", "-x509"} + new_key(ca_key) + days +
          std::vector<std::string>{"-subj", "/CN=zantho test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                                   "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out",
                                   linux_path(certs.ca_file)},
          &certs.error) &&
      run(std::vector<std::string>{"req"} + new_key(certs.key_file) +
          std::vector<std::string>{"-subj", "/CN=127.0.0.1", "-out", linux_path(csr)}, &certs.error) &&
      run(std::vector<std::string>{"x509", "-req"} + days +
          std::vector<std::string>{"-in", linux_path(csr), "-CA", linux_path(certs.ca_file), "-CAkey",
                                   linux_path(ca_key), "-CAcreateserial", "-extfile", linux_path(extensions), "-out",
                                   linux_path(certs.cert_file)},
          &certs.error) &&
      run(std::vector<std::string>{"req", "-x509"} + new_key(certs.untrusted_key_file) + days +
          std::vector<std::string>{"-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                                   "-out", linux_path(certs.untrusted_cert_file)},
          &certs.error);
  return certs;
}
