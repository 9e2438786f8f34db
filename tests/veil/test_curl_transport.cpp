#include "veil/curl_api.h"

#include "veil/stop_points.h"

#include "tests/support/temp_dir.h"
#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::LogCapture;
using kv_veil_test::settings_for;

constexpr const char* k_login_sig = "int curlAPI::login()";

// "0", "2", or libcurl's error text when the request threw.
std::string get(curlAPI& api, const std::string& url) {
  std::string reply;
  try {
    return std::to_string(api.process_curl_api_request(url, GET, reply, "", nullptr));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

// Verbose mode logs each URL and libcurl's header dump, but never the secrets.
TEST(Transport, LoginBodyIsExactAndEscapedAndTheTokenGoesWithEveryRequest) {
  TestController::Options options;
  options.password = "pa\"ss\\word";
  TestController controller(options);
  controller.start();
  conf settings = settings_for(controller, options);
  settings.curl_verbose = true;
  curlAPI api(settings);
  std::vector<veil_vm_info> domains;
  LogCapture log;
  ASSERT_EQ(api.get_domain_list(domains), 0);
  ASSERT_EQ(api.get_domain_list(domains), 0);
  const auto all = controller.requests();
  ASSERT_EQ(all.size(), 3u);  // one lazy login for both
  EXPECT_EQ(all[0].body, R"({"username": "kv-api","password": "pa\"ss\\word","ldap": false,"remember_me": true})");
  EXPECT_FALSE(all[0].has_header("Authorization"));
  for (const auto& request : all) EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(all[2].header("Authorization"), "jwt token-1");
  EXPECT_TRUE(log.contains(": URL: " + controller.url() + "/api/domains/")) << log.text();
  EXPECT_TRUE(log.contains("> Authorization: ***"));
  EXPECT_FALSE(log.contains("\r")) << "a header's control character is shown as an escape";
  EXPECT_FALSE(log.contains("token-1"));
  EXPECT_FALSE(log.contains("pa\"ss")) << log.text();

  // An expired token is renewed once and the request repeated; refused again, the reader fails.
  controller.expire_tokens();
  controller.clear_requests();
  EXPECT_EQ(api.get_domain_list(domains), 0);
  ASSERT_EQ(controller.requests().size(), 3u);
  EXPECT_EQ(controller.requests()[2].header("Authorization"), "jwt token-2");
  controller.add_fault("GET", "/api/domains/", Fault{Fault::Kind::expired_token});
  controller.clear_requests();
  EXPECT_EQ(api.get_domain_list(domains), 2);
  EXPECT_EQ(controller.requests_to("GET", "/api/domains/").size(), 2u);
}

TEST(Transport, LoginFailsWithTwoOnEveryUnusableReply) {
  TestController controller;
  controller.start();
  const std::pair<const char*, std::string> cases[] = {
      {R"({"errors": [{"detail": "Unable to log in"}]})", ": got empty auth token"},
      {"{}", ": object should contain auth token, but it is empty"},
      {"<html>oops</html>", "json parsing failed: "},
      {R"({"token": "t\r\nX-Forwarded-For: 1"})", ": the auth token holds a control character"},
      {"", std::string(": exception:") + curl_easy_strerror(CURLE_COULDNT_CONNECT)},
  };
  for (const auto& [body, message] : cases) {
    if (*body)
      controller.set_reply("POST", "/auth/", 200, body);
    else
      controller.stop();  // nothing listens on the port any more
    curlAPI api(settings_for(controller));
    LogCapture log;
    EXPECT_EQ(api.login(), 2) << body;
    EXPECT_TRUE(log.contains(message)) << body << "\n" << log.text();
  }
}

// Even without a request time-out, a controller that keeps redirecting to itself ends the request.
TEST(Transport, RedirectsEndAtTheirBound) {
  TestController controller;
  controller.start();
  kv_test::Fault loop{Fault::Kind::redirect};
  loop.location = controller.url() + "/api/loop/";
  controller.add_fault("GET", "/api/loop/", loop);
  conf settings = settings_for(controller);
  settings.timeout = 3;
  curlAPI api(settings);
  EXPECT_EQ(get(api, loop.location), curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS));
  EXPECT_EQ(controller.requests_to("GET", "/api/loop/").size(), static_cast<size_t>(curlAPI::k_max_redirects) + 1);
}

// Plain http sent on to https on the same host is followed, the login and the token with it (in a
// network namespace of the test's own, where the default ports are free); other changes of
// scheme, host or port are not.
TEST(Transport, ARedirectFromHttpToHttpsOnTheSameHostIsFollowed) {
  std::thread([] {
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0);
    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    loopback.ifr_flags = IFF_UP;
    ASSERT_EQ(::ioctl(socket, SIOCSIFFLAGS, &loopback), 0);
    ::close(socket);
    kv_test::TempDir dir;
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
                           " -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1 >/dev/null 2>&1").c_str()),
              0);
    TestController::Options tls{true, dir / "cert.pem", dir / "key.pem", 443};
    TestController secure(tls);
    TestController plain(TestController::Options{false, "", "", 80});
    secure.start();
    plain.start();
    for (const char* path : {"/auth/", "/api/domains/"}) {
      Fault upgrade{Fault::Kind::redirect};
      upgrade.location = std::string("https://127.0.0.1") + path;
      upgrade.redirect_status = 301;
      plain.add_fault("*", path, upgrade);
    }
    curlAPI api(settings_for(plain));
    EXPECT_EQ(get(api, plain.url() + "/api/domains/"), "0");
    EXPECT_EQ(secure.login_count(), 1);
    EXPECT_EQ(secure.requests_to("GET", "/api/domains/").at(0).header("Authorization"), "jwt token-1");
  }).join();
  const std::pair<const char*, bool> targets[] = {
      {"http://h:8080", true}, {"https://h:8080", true}, {"https://h:443", false}, {"https://g:8080", false},
      {"ftp://h:8080", false}, {"", false}};
  for (const auto& [target, followed] : targets)
    EXPECT_EQ(curlAPI::redirect_origin_allowed("http://h:8080", target), followed) << target;
  EXPECT_FALSE(curlAPI::redirect_origin_allowed("https://h:443", "http://h:80"));
  EXPECT_FALSE(curlAPI::redirect_origin_allowed("http://h:80", "https://h:8443"));
}

// A server certificate for 127.0.0.1 signed by ca1; ca2 is another CA.
TEST(Transport, TlsVerifiesWithTheConfiguredCaOnly) {
  kv_test::TempDir dir;
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string script = "cd '" + dir.path() + "' && for ca in ca1 ca2; do openssl req -x509" + key +
                             " -keyout $ca.key -out $ca.pem -days 2 -subj /CN=$ca; done && openssl req" + key +
                             " -keyout server.key -out server.csr -subj /CN=127.0.0.1"
                             " && printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && openssl x509 -req -in server.csr"
                             " -CA ca1.pem -CAkey ca1.key -CAcreateserial -out server.pem -days 2 -extfile ext.cnf";
  ASSERT_EQ(std::system((script + " >/dev/null 2>&1").c_str()), 0);
  TestController::Options options;
  options.https = true;
  options.cert_file = dir / "server.pem";
  options.key_file = dir / "server.key";
  TestController controller(options);
  controller.start();
  const auto request = [&](bool enable_ssl, const std::string& ca) {
    conf settings = settings_for(controller);
    settings.enable_ssl = enable_ssl;
    settings.ca_info = ca;
    curlAPI api(settings);
    return get(api, settings.url + "/api/domains/");
  };
  EXPECT_EQ(request(true, dir / "ca1.pem"), "0");
  EXPECT_EQ(controller.login_count(), 1);
  EXPECT_EQ(request(true, dir / "ca2.pem"), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
  EXPECT_EQ(request(false, dir / "ca2.pem"), "0");
  controller.clear_requests();
  LogCapture log;
  EXPECT_EQ(request(true, dir / "missing.pem"), "2");
  EXPECT_TRUE(controller.requests().empty());
  EXPECT_TRUE(log.contains(std::string(k_login_sig) + ": CA file " + dir / "missing.pem" +
                           " does not exist on Kelvanor VM"));
}

std::atomic<bool> g_stop_now{false};

// Installs a stop hook that asks for a stop `delay` from now; join the thread before the hook is
// reset with set_stop_hook(nullptr).
std::thread stop_after(std::chrono::milliseconds delay) {
  g_stop_now = false;
  kv_veil::set_stop_hook([] { return g_stop_now.load(); });
  return std::thread([delay] {
    std::this_thread::sleep_for(delay);
    g_stop_now = true;
  });
}

// A stop aborts a stalled reading within about a second, but does not cut a change request short:
// its reply names the task that the stop's clean-up must let end. With no request time-out the
// change request still gets no more than the stop grace.
TEST(Transport, AStopAbortsAStalledReadingButGivesAChangeRequestItsGrace) {
  TestController controller;
  controller.start();
  controller.add_vm(TestController::make_vm("vm-1", "web"));
  controller.add_vdisk(TestController::make_vdisk("disk-1", "data", "", 1.0));
  controller.add_fault("GET", "/api/slow/", Fault{Fault::Kind::slow, std::chrono::milliseconds(8000)});
  controller.add_fault("POST", "/api/domains/vm-1/attach-vdisk/", Fault{Fault::Kind::slow, std::chrono::milliseconds(1500)});
  curlAPI api(settings_for(controller));
  ASSERT_EQ(api.login(), 0);
  std::thread signaller = stop_after(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get(api, controller.url() + "/api/slow/"), curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  signaller.join();
  std::string task;
  EXPECT_EQ(api.operate_with_disk("vm-1", "disk-1", "attach", task, ""), 0);
  kv_veil::set_stop_hook(nullptr);
  EXPECT_FALSE(task.empty());

  controller.clear_faults();
  controller.add_fault("POST", "/api/domains/vm-1/detach-vdisk/", Fault{Fault::Kind::late, std::chrono::seconds(20)});
  conf settings = settings_for(controller);
  settings.timeout = 0;
  curlAPI patient(settings);
  kv_veil::testing::set_stop_times_for_tests(std::chrono::milliseconds(500), std::chrono::seconds(5));
  signaller = stop_after(std::chrono::milliseconds(300));
  const auto detach_start = std::chrono::steady_clock::now();
  std::string error;
  try {
    (void)patient.operate_with_disk("vm-1", "disk-1", "detach", task, "");
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  const auto elapsed = std::chrono::steady_clock::now() - detach_start;
  signaller.join();
  kv_veil::set_stop_hook(nullptr);
  kv_veil::testing::set_stop_times_for_tests({}, {});
  EXPECT_EQ(error, "no reply within the time a stop of the program leaves");
  // libcurl asks its progress callback about once a second while nothing moves.
  EXPECT_LT(elapsed, std::chrono::seconds(4));
  EXPECT_EQ(patient.last_change_reply(), curlAPI::ChangeReply::lost);
}

}  // namespace
