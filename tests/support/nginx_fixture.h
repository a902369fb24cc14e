// nginx on 127.0.0.1 serving one directory over HTTP and HTTPS (a certificate of a test CA made at
// start; "/slow/<path>" serves the same files at 1 MiB/s a connection), with its configuration, pid,
// logs and temporary files in a directory of the test's own. Run through run_linux_tool, so that a Windows
// test program under Wine has it too.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_certificates.h"

class NginxFixture {
 public:
  // Starts nginx on free ports; ok() tells whether it runs. State goes to `work_dir` (made when missing).
  NginxFixture(const std::filesystem::path& root, const std::filesystem::path& work_dir, int workers = 1);
  // Stops nginx and waits until it has gone.
  ~NginxFixture();
  NginxFixture(const NginxFixture&) = delete;
  NginxFixture& operator=(const NginxFixture&) = delete;

  bool ok() const { return running_; }
  // Why the start failed (the last attempt's error log).
  const std::string& error() const { return error_; }
  int http_port() const { return http_port_; }
  int https_port() const { return https_port_; }
  // "http://<test_host()>:<port>/" + path, and the same over HTTPS.
  std::string http_url(const std::string& path = "") const;
  std::string https_url(const std::string& path = "") const;
  // The test CA (PEM): set CURL_CA_BUNDLE to it so the server's certificate is trusted.
  const std::filesystem::path& ca_file() const { return certs_.ca_file; }
  const TestCertificates& certificates() const { return certs_; }
  // One line per request: "<method> <uri> <Range header or -> <protocol> <status>".
  std::filesystem::path access_log() const { return work_dir_ / "access.log"; }

 private:
  bool start_once();
  void write_config() const;
  std::vector<std::string> nginx_command() const;

  std::filesystem::path root_;
  std::filesystem::path work_dir_;
  std::string work_dir_linux_;  // as nginx sees it
  int workers_;
  TestCertificates certs_;
  int http_port_ = 0;
  int https_port_ = 0;
  bool running_ = false;
  std::string error_;
};
