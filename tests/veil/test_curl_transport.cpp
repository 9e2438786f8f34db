#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"
#include "veil/stop_points.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::LogCapture;
using kv_veil_test::settings_for;

constexpr const char* k_login_sig = "int curlAPI::login()";
constexpr const char* k_request_sig =
    "int curlAPI::process_curl_api_request(const string&, const RequestType&, std::string&, const string&, "
    "unsigned int*)";

std::string curl_text(CURLcode code) { return curl_easy_strerror(code); }

// Runs the request and returns libcurl's error text, or "" when nothing was thrown.
std::string thrown_by(curlAPI& api, const std::string& url, int* result = nullptr, unsigned int* timeout = nullptr) {
  std::string reply;
  try {
    const int code = api.process_curl_api_request(url, GET, reply, "", timeout);
    if (result) *result = code;
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return {};
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { controller.start(); }
  TestController controller;
};

TEST_F(Transport, LoginSendsTheExactBodyWithJsonHeadersAndNoAuthorization) {
  curlAPI api(settings_for(controller));
  ASSERT_EQ(api.login(), 0);
  const auto logins = controller.requests_to("POST", "/auth/");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].body, R"({"username": "kv-api","password": "kv-secret","ldap": false,"remember_me": true})");
  EXPECT_EQ(logins[0].header("Accept"), "application/json");
  EXPECT_EQ(logins[0].header("Content-Type"), "application/json");
  EXPECT_FALSE(logins[0].has_header("Authorization"));
}

TEST_F(Transport, CredentialsWithQuotesAndBackslashesAreEscapedInTheLoginBody) {
  TestController::Options options;
  options.username = "back\\slash";
  options.password = "pa\"ss\\word";
  TestController strict(options);
  strict.start();
  curlAPI api(settings_for(strict, options));
  ASSERT_EQ(api.login(), 0);
  const auto body = boost::json::parse(strict.requests_to("POST", "/auth/").at(0).body).as_object();
  EXPECT_EQ(body.at("password").as_string(), "pa\"ss\\word");
  EXPECT_EQ(body.at("username").as_string(), "back\\slash");
}

TEST_F(Transport, RequestLogsInLazilyOnceAndSendsTheTokenEveryTime) {
  curlAPI api(settings_for(controller));
  std::vector<veil_vm_info> domains;
  ASSERT_EQ(api.get_domain_list(domains), 0);
  ASSERT_EQ(api.get_domain_list(domains), 0);
  const auto all = controller.requests();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].path, "/auth/");
  for (size_t i = 1; i < all.size(); ++i) {
    EXPECT_EQ(all[i].header("Authorization"), "jwt token-1");
    EXPECT_EQ(all[i].header("Accept"), "application/json");
    EXPECT_EQ(all[i].header("Content-Type"), "application/json");
  }
  EXPECT_EQ(controller.login_count(), 1);
}

TEST_F(Transport, AFailedLazyLoginStillSendsTheRequestWithAnEmptyToken) {
  conf settings = settings_for(controller);
  settings.password = "wrong";
  curlAPI api(settings);
  LogCapture log;
  std::string reply;
  ASSERT_EQ(api.process_curl_api_request(settings.url + "/api/domains/", GET, reply, "", nullptr), 0);
  const auto gets = controller.requests_to("GET", "/api/domains/");
  ASSERT_FALSE(gets.empty());
  EXPECT_EQ(gets[0].header("Authorization").substr(0, 3), "jwt");
  EXPECT_LE(gets[0].header("Authorization").size(), 4u);
  EXPECT_TRUE(log.contains(std::string(k_login_sig) + ": got empty auth token"));
}

TEST_F(Transport, LoginFailsWithTwoOnEveryUnusableReply) {
  struct Case {
    int status;
    const char* body;
    std::string message;
  };
  const std::string parse_sig = "int curlAPI::parse_result_string(const string&, boost::json::value&)";
  const Case cases[] = {
      {400, R"({"errors": [{"detail": "Unable to log in"}]})", std::string(k_login_sig) + ": got empty auth token"},
      {200, "{}", std::string(k_login_sig) + ": object should contain auth token, but it is empty"},
      {200, R"({"token": 5})", std::string(k_login_sig) + ": exception:not a string"},
      {200, R"({"token": ""})", std::string(k_login_sig) + ": got empty auth token"},
      {200, R"({"Token": "abc"})", std::string(k_login_sig) + ": got empty auth token"},
      {500, "<html>oops</html>", parse_sig + ": json parsing failed: "},
      {200, "", parse_sig + ": json parsing failed: "},
      {200, "[1]", parse_sig + ": json value is not an object"},
  };
  for (const Case& c : cases) {
    controller.set_reply("POST", "/auth/", c.status, c.body);
    curlAPI api(settings_for(controller));
    LogCapture log;
    EXPECT_EQ(api.login(), 2) << c.body;
    EXPECT_TRUE(log.contains(c.message)) << c.body << "\n" << log.text();
  }
}

TEST_F(Transport, TransportErrorsAreThrownByTheRequestAndCaughtByLogin) {
  conf settings = settings_for(controller);
  controller.stop();  // nothing listens on the port any more
  curlAPI api(settings);
  LogCapture log;
  EXPECT_EQ(api.login(), 2);
  EXPECT_TRUE(log.contains(std::string(k_login_sig) + ": exception:" + curl_text(CURLE_COULDNT_CONNECT)));
  EXPECT_EQ(thrown_by(api, settings.url + "/api/domains/"), curl_text(CURLE_COULDNT_CONNECT));
}

TEST_F(Transport, AnHttpErrorWithAJsonBodyIsReturnedToTheCaller) {
  controller.set_reply("GET", "/api/broken/", 500, R"({"errors": [{"detail": "boom"}]})");
  curlAPI api(settings_for(controller));
  std::string reply;
  EXPECT_EQ(api.process_curl_api_request(controller.url() + "/api/broken/", GET, reply, "", nullptr), 0);
  EXPECT_EQ(reply, R"({"errors": [{"detail": "boom"}]})");
}

TEST_F(Transport, PostSendsTheBodyAsItIs) {
  curlAPI api(settings_for(controller));
  std::string reply;
  const std::string body = R"({"vdisk": "d-1", "serial": "abc"})";
  ASSERT_EQ(api.process_curl_api_request(controller.url() + "/api/anything/", POST, reply, body, nullptr), 0);
  const auto posts = controller.requests_to("POST", "/api/anything/");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, body);
  EXPECT_EQ(posts[0].header("Authorization"), "jwt token-1");
}

TEST_F(Transport, AnExpiredTokenIsRenewedOnceAndTheRequestRepeated) {
  curlAPI api(settings_for(controller));
  ASSERT_EQ(api.login(), 0);
  controller.expire_tokens();
  controller.clear_requests();
  std::vector<veil_vm_info> domains;
  EXPECT_EQ(api.get_domain_list(domains), 0);
  const auto all = controller.requests();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].header("Authorization"), "jwt token-1");
  EXPECT_EQ(all[1].path, "/auth/");
  EXPECT_EQ(all[2].header("Authorization"), "jwt token-2");
}

TEST_F(Transport, ATokenRefusedAgainAfterTheRenewalFailsTheReaderWithoutLooping) {
  controller.add_fault("GET", "/api/domains/", Fault{Fault::Kind::expired_token});
  curlAPI api(settings_for(controller));
  LogCapture log;
  std::vector<veil_vm_info> domains;
  EXPECT_EQ(api.get_domain_list(domains), 2);
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").size(), 2u);
  EXPECT_EQ(controller.login_count(), 2);
  EXPECT_TRUE(log.contains(": the controller answered with HTTP status 401: "));
}

TEST_F(Transport, TheTimeOutBoundsTheWholeExchange) {
  controller.add_fault("GET", "/api/slow/", Fault{Fault::Kind::slow, std::chrono::milliseconds(1500)});
  conf settings = settings_for(controller);
  settings.timeout = 1;
  curlAPI api(settings);
  ASSERT_EQ(api.login(), 0);
  EXPECT_EQ(thrown_by(api, controller.url() + "/api/slow/"), curl_text(CURLE_OPERATION_TIMEDOUT));
  // A guest command passes its own, longer time-out; 0 means no limit at all.
  unsigned int longer = 3;
  EXPECT_EQ(thrown_by(api, controller.url() + "/api/slow/", nullptr, &longer), "");
  settings.timeout = 0;
  curlAPI unlimited(settings);
  EXPECT_EQ(thrown_by(unlimited, controller.url() + "/api/slow/"), "");
}

std::atomic<bool> g_stop_now{false};

TEST_F(Transport, TheStopHookAbortsAStalledTransferWithinAboutASecond) {
  controller.add_fault("GET", "/api/slow/", Fault{Fault::Kind::slow, std::chrono::milliseconds(8000)});
  curlAPI api(settings_for(controller));
  ASSERT_EQ(api.login(), 0);
  g_stop_now = false;
  kv_veil::set_stop_hook([] { return g_stop_now.load(); });
  std::thread signaller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    g_stop_now = true;
  });
  const auto start = std::chrono::steady_clock::now();
  const std::string error = thrown_by(api, controller.url() + "/api/slow/");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  signaller.join();
  // A change request is not abandoned: its reply names the task that the stop's clean-up waits for.
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  controller.add_vdisk(TestController::make_vdisk("disk-1", "data", "", 1.0));
  controller.add_fault("POST", "/api/domains/vm-1/attach-vdisk/",
                       Fault{Fault::Kind::slow, std::chrono::milliseconds(1500)});
  std::string task;
  EXPECT_EQ(api.operate_with_disk("vm-1", "disk-1", "attach", task, ""), 0);
  kv_veil::set_stop_hook(nullptr);
  EXPECT_EQ(error, curl_text(CURLE_ABORTED_BY_CALLBACK));
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
  EXPECT_FALSE(task.empty());
}

TEST_F(Transport, VerboseModeLogsEachUrlButNeverTheSecrets) {
  // A password is masked where it stands, not wherever its letters occur: with "api" the URLs
  // must still be whole.
  for (const std::string password : {"Pa$$w0rd-\"unique\"", "api"}) {
    TestController::Options options;
    options.password = password;
    TestController strict(options);
    strict.start();
    conf settings = settings_for(strict, options);
    settings.curl_verbose = true;
    LogCapture log;
    {
      curlAPI api(settings);
      std::vector<veil_vm_info> domains;
      ASSERT_EQ(api.get_domain_list(domains), 0);
    }
    EXPECT_TRUE(log.contains(std::string(k_request_sig) + ": URL: " + strict.url() + "/api/domains/")) << log.text();
    EXPECT_TRUE(log.contains(std::string(k_login_sig) + ": URL: " + strict.url() + "/auth/"));
    EXPECT_TRUE(log.contains("> Authorization: ***"));  // libcurl's header dump went through the mask
    EXPECT_FALSE(log.contains("token-1")) << log.text();
    if (password != "api") {
      EXPECT_FALSE(log.contains(password)) << log.text();
    }
  }
}

TEST(Uuid, VersionFourInCanonicalLowerCaseFormAndFreshEachTime) {
  std::string first;
  std::string second;
  ASSERT_EQ(curlAPI::generate_uuid_v4(first), 0);
  ASSERT_EQ(curlAPI::generate_uuid_v4(second), 0);
  const std::regex canonical("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  EXPECT_TRUE(std::regex_match(first, canonical)) << first;
  EXPECT_NE(first, second);
}

}  // namespace
