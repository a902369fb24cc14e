// Certificates made with the openssl command at test time: a test CA with a server certificate for
// 127.0.0.1 and localhost signed by it, and a self-signed one that no CA vouches for.
#pragma once

#include <filesystem>
#include <string>

struct TestCertificates {
  bool ok = false;
  std::string error;  // what the failing openssl run said
  std::filesystem::path ca_file;  // PEM; what CURL_CA_BUNDLE points at
  std::filesystem::path cert_file;
  std::filesystem::path key_file;
  std::filesystem::path untrusted_cert_file;
  std::filesystem::path untrusted_key_file;
};

// Writes everything into `dir` (made when missing).
TestCertificates make_test_certificates(const std::filesystem::path& dir);
