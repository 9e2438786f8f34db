#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

using kv_test::TestController;
using kv_veil_test::LogCapture;
using kv_veil_test::TempDir;

// Two test CAs; the server certificate (for IP 127.0.0.1) is signed by the first.
class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string dir = m_dir.path().string();
    const std::string quiet = " >/dev/null 2>&1";
    const std::string ec_key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    for (const char* ca : {"ca1", "ca2"})
      kv_veil_test::run_shell("cd '" + dir + "' && openssl req -x509" + ec_key + " -keyout " + ca + ".key -out " + ca +
                              ".pem -days 2 -subj /CN=kv-test-" + ca + quiet);
    kv_veil_test::run_shell("cd '" + dir + "' && openssl req" + ec_key +
                            " -keyout server.key -out server.csr -subj /CN=127.0.0.1" + quiet +
                            " && printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf" +
                            " && openssl x509 -req -in server.csr -CA ca1.pem -CAkey ca1.key -CAcreateserial"
                            " -out server.pem -days 2 -extfile ext.cnf" + quiet);
    TestController::Options options;
    options.https = true;
    options.cert_file = m_dir.file("server.pem");
    options.key_file = m_dir.file("server.key");
    m_controller = std::make_unique<TestController>(options);
    m_controller->start();
  }

  conf settings(bool enable_ssl, const std::string& ca_info) const {
    conf result = kv_veil_test::settings_for(*m_controller);
    result.enable_ssl = enable_ssl;
    result.ca_info = ca_info;
    return result;
  }

  // 0, 2, or libcurl's error text when the request threw.
  std::string request(const conf& settings) const {
    curlAPI api(settings);
    std::string reply;
    try {
      return std::to_string(api.process_curl_api_request(settings.url + "/api/domains/", GET, reply, "", nullptr));
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  }

  TempDir m_dir;
  std::unique_ptr<TestController> m_controller;
};

TEST_F(Tls, TheRightCaVerifiesTheController) {
  EXPECT_EQ(request(settings(true, m_dir.file("ca1.pem"))), "0");
  EXPECT_EQ(m_controller->requests_to("GET", "/api/domains/").size(), 1u);
  EXPECT_EQ(m_controller->login_count(), 1);
}

TEST_F(Tls, AnotherCaFailsTheTransferWithLibcurlsError) {
  LogCapture log;
  EXPECT_EQ(request(settings(true, m_dir.file("ca2.pem"))), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
  EXPECT_TRUE(log.contains("int curlAPI::login(): exception:" +
                           std::string(curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION))));
  EXPECT_TRUE(m_controller->requests().empty());
}

TEST_F(Tls, AMissingCaFileRefusesTheRequestBeforeAnythingIsSent) {
  const std::string missing = m_dir.file("missing.pem");
  LogCapture log;
  EXPECT_EQ(request(settings(true, missing)), "2");
  EXPECT_TRUE(m_controller->requests().empty());
  const std::string message = ": CA file " + missing + " does not exist on Kelvanor VM";
  EXPECT_TRUE(log.contains("int curlAPI::login()" + message));
  EXPECT_TRUE(log.contains("unsigned int*)" + message));
  EXPECT_EQ(log.count(message), 2u);
}

TEST_F(Tls, WithoutVerificationAnyCertificateIsAccepted) {
  LogCapture log;
  EXPECT_EQ(request(settings(false, m_dir.file("ca2.pem"))), "0");
  EXPECT_EQ(request(settings(false, m_dir.file("missing.pem"))), "0");
  // Enabled but without a CA file: no verification and no message either.
  EXPECT_EQ(request(settings(true, "")), "0");
  EXPECT_FALSE(log.contains("Error"));
}

}  // namespace
