// The fault server over TLS: cpp-httplib's SSLServer needs the build machine's OpenSSL.
#include "tests/support/fault_server.h"

#include <httplib.h>

FaultServer::FaultServer(const std::string& cert_file, const std::string& key_file)
    : server_(std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str())), scheme_("https") {
  start(true);
}
