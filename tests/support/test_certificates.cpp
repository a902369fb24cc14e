#include "tests/support/test_certificates.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/probe_runner.h"

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// An EC key keeps the making fast; the bulk cipher, not the key, sets the speed of a transfer.
const char* const kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

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
  const std::string san = " -addext subjectAltName=IP:127.0.0.1,DNS:localhost";
  certs.ok =
      run(std::string("openssl req -x509 ") + kNewKey + " -days 2 -subj '/CN=zantho test CA'" +
          " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign" +
          " -keyout " + shell_quote(ca_key.string()) + " -out " + shell_quote(certs.ca_file.string())) &&
      run(std::string("openssl req ") + kNewKey + " -subj '/CN=127.0.0.1' -keyout " + shell_quote(certs.key_file.string()) +
          " -out " + shell_quote(csr.string())) &&
      run("openssl x509 -req -days 2 -in " + shell_quote(csr.string()) + " -CA " + shell_quote(certs.ca_file.string()) + " -CAkey " +
          shell_quote(ca_key.string()) + " -CAcreateserial -extfile " + shell_quote(extensions.string()) + " -out " +
          shell_quote(certs.cert_file.string())) &&
      run(std::string("openssl req -x509 ") + kNewKey + " -days 2 -subj '/CN=127.0.0.1'" + san + " -keyout " +
          shell_quote(certs.untrusted_key_file.string()) + " -out " + shell_quote(certs.untrusted_cert_file.string()));
  return certs;
}
