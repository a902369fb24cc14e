#include <memory>

#include "download/engine_test_fixture.h"
#include "platform/environment.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/test_certificates.h"

namespace {

struct TlsCase {
  const char* name;
  bool trusted_certificate;  // the server's certificate is signed by the test CA (else self-signed)
  bool bundle_set;           // CURL_CA_BUNDLE names the test CA
  bool plain_server;         // HTTPS spoken to a plain HTTP port
  DownloadResult result;
};

void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

class TlsTest : public EngineTest, public testing::WithParamInterface<TlsCase> {};

TEST_P(TlsTest, PeerIsVerifiedOnEveryTransfer) {
  const TlsCase& c = GetParam();
  const TestCertificates certs = make_test_certificates(scratch_ / "certs");
  ASSERT_TRUE(certs.ok);
  std::unique_ptr<FaultServer> tls;
  if (c.trusted_certificate) {
    tls = std::make_unique<FaultServer>(certs.cert_file.string(), certs.key_file.string());
  } else {
    tls = std::make_unique<FaultServer>(certs.untrusted_cert_file.string(), certs.untrusted_key_file.string());
  }
  ASSERT_TRUE(tls->ok());
  const std::string content = patterned_content(600000);
  tls->serve("f", content);
  server_.serve("f", content);
  ASSERT_TRUE(platform::set_environment_variable("CURL_CA_BUNDLE", c.bundle_set ? certs.ca_file.c_str() : nullptr));
  const std::string url =
      c.plain_server ? "https://127.0.0.1:" + std::to_string(server_.port()) + "/f" : tls->url("f");
  ASSERT_EQ(engine_.add_file_task(url, "f"), 0);
  EXPECT_EQ(engine_.run_downloads(), c.result);
  if (c.result == DOWNLOAD_OK) {
    EXPECT_TRUE(file("f") == content);
    // The probe and three ranges.
    EXPECT_EQ(tls->requests().size(), 4u);
  } else {
    EXPECT_EQ(file("f"), "");
    EXPECT_TRUE(tls->requests().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsTest,
                         testing::Values(TlsCase{"TrustedThroughTheBundle", true, true, false, DOWNLOAD_OK},
                                         TlsCase{"SelfSigned", false, true, false, DOWNLOAD_TLS_FAILED},
                                         TlsCase{"TestCaUnknownWithoutBundle", true, false, false,
                                                 DOWNLOAD_TLS_FAILED},
                                         TlsCase{"HandshakeWithAPlainServer", true, true, true,
                                                 DOWNLOAD_TLS_FAILED}),
                         [](const testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

}  // namespace
