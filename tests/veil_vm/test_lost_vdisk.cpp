// A disk creation whose reply was lost: a disk is taken for the request's only when it surely is;
// in every doubt the disks of that name are left and named for the operator.
#include "tests/veil_vm/veil_vm_test_support.h"

#include "veil/curl_api.h"
#include "veil/json_values.h"
#include "veil/stop_points.h"
#include "veil_vm/lost_vdisk.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

using kv_test::Fault;
using kv_test::TestController;

constexpr const char* k_sig = "std::string find_lost_vdisk(curlAPI&, const vdisk&)";

enum class Other {
  none,
  first_differs,  // another's disk of the name, of another size, came first: the request was refused
  twin_after,     // another's disk just like the request's came after it
};

struct LostCase {
  const char* what;
  std::string controller_name;  // the name of the disk the restore copies, as the controller held it
  Other other;
  bool attached;        // the request's disk is attached to a VM
  bool listing_fails;   // the page after the request's disk fails
  bool stop_requested;  // a stop waits to be carried out
  bool found;           // the request's disk is named
};

class LostVdisk : public ControllerTest, public ::testing::WithParamInterface<LostCase> {};

TEST_P(LostVdisk, IsNamedOnlyWhenSurelyTheRequests) {
  const LostCase& c = GetParam();
  controller.set_page_size(2);
  const auto add_fillers = [&](int from, int to) {
    for (int i = from; i < to; ++i)
      controller.add_vdisk(TestController::make_vdisk("filler-" + std::to_string(i), "filler", "", 10.0));
  };
  add_fillers(0, 3);
  if (c.other == Other::first_differs) controller.set_rival_vdisk({{"size", 20.0}});
  auto module = module_with();
  curlAPI api(module->conf);
  // The saved record of the disk, its texts quote-stripped as the reader keeps them.
  vdisk disk;
  disk.id = "saved-1";
  disk.verbose_name = kv_veil::quote_stripped(boost::json::value(c.controller_name));
  disk.description = "copy";
  disk.datapool.id = "1f2e3d4c-0000-4000-8000-000000000007";
  disk.size = "10.0";
  disk.virtual_size = "21474836480";
  std::string task;
  const std::string ours = api.create_vdisk(disk, task) == 0 ? disk.id : "";
  disk.id = "saved-1";  // as the record stands when the reply is lost
  add_fillers(3, 5);

  std::vector<std::string> named;  // the disks the error line must name
  for (const auto& other : controller.vdisks())
    if (c.other == Other::first_differs && other.at("verbose_name") == "web")
      named.push_back(std::string(other.at("id").as_string()));
  if (c.other == Other::twin_after) {
    boost::json::object twin = *controller.vdisk(ours);
    twin["id"] = "twin-1";
    controller.add_vdisk(twin);
    named = {ours, "twin-1"};
  }
  if (c.attached) {
    ASSERT_EQ(api.wait_for_task_completion(task), 0);
    ASSERT_EQ(api.operate_with_disk(k_module_vm, ours, "attach", task, ""), 0);
    ASSERT_EQ(api.wait_for_task_completion(task), 0);
    named = {ours};
  }
  if (c.listing_fails) {
    Fault fault{Fault::Kind::html_500};
    fault.after = 2;
    controller.add_fault("GET", "/api/vdisks/", fault);
    named = {ours};
  }
  if (c.stop_requested) kv_veil::set_stop_hook([] { return true; });
  const std::string found = find_lost_vdisk(api, disk);
  kv_veil::set_stop_hook(nullptr);

  EXPECT_EQ(found, c.found ? ours : "");
  std::vector<std::string> lines;
  for (const std::string& line : errors())
    if (line.rfind(std::string(k_sig) + ": the vdisk ", 0) == 0) lines.push_back(line);
  if (c.found) {
    EXPECT_FALSE(ours.empty());
    EXPECT_TRUE(lines.empty()) << lines.front();
    return;
  }
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_FALSE(named.empty());
  for (const std::string& id : named) EXPECT_NE(lines[0].find("vdisk '" + id + "' named \"web\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LostVdisk,
    ::testing::Values(LostCase{"found on a later page", "web", Other::none, false, false, false, true},
                      LostCase{"a name with a backslash and a quote", "C:\\disks \"x\"", Other::none, false, false,
                               false, true},
                      LostCase{"another's disk differs", "web", Other::first_differs, false, false, false, false},
                      LostCase{"two alike", "web", Other::twin_after, false, false, false, false},
                      LostCase{"attached", "web", Other::none, true, false, false, false},
                      LostCase{"the list fails", "web", Other::none, false, true, false, false},
                      LostCase{"a stop is requested", "web", Other::none, false, false, true, true}),
    [](const ::testing::TestParamInfo<LostCase>& param) {
      std::string name = param.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

// What find_lost_vdisk names for the operator in its one Error line (empty: none).
class LostVdiskBounds : public ControllerTest {
 protected:
  std::string looked_up(const std::string& name, bool reply_lost = false) {
    boost::json::object record = TestController::make_vdisk("made-1", name, "", 10.0);
    vdisk disk;
    EXPECT_EQ(curlAPI::read_vdisk_info(boost::json::serialize(record), disk), 0);
    auto module = module_with();
    curlAPI api(module->conf);
    EXPECT_EQ(find_lost_vdisk(api, disk, reply_lost), "");
    for (const std::string& line : errors())
      if (line.rfind(std::string(k_sig) + ": the vdisk \"" + name + "\"", 0) == 0) return line;
    return {};
  }
};

// The controller may carry out a request whose reply was lost after any look-up: finding no
// disk then proves nothing.
TEST_F(LostVdiskBounds, ALookUpAfterALostReplyNamesTheRequestedName) {
  const std::string line = looked_up("early", true);
  EXPECT_NE(line.find("may still be made"), std::string::npos) << line;
}

// The one disk of the name is listed under the id "..", which would aim its record's read and its
// removal elsewhere ("/api/vdisks/../" is "/api/").
TEST_F(LostVdiskBounds, AnUnusableIdIsLeftToTheOperator) {
  boost::json::object odd = TestController::make_vdisk("..", "odd", "", 10.0);
  controller.add_vdisk(odd);
  controller.set_reply("GET", "/api/", 200, boost::json::serialize(odd));
  EXPECT_NE(looked_up("odd").find("vdisk '..' named \"odd\""), std::string::npos);
}

// Past a stop's deadline the whole look-up gets one late grace, not one per page.
TEST_F(LostVdiskBounds, PastTheStopsDeadlineTheLookUpIsBoundedAsAWhole) {
  controller.set_page_size(1);
  for (int i = 0; i < 10; ++i)
    controller.add_vdisk(TestController::make_vdisk("filler-" + std::to_string(i), "filler", "", 10.0));
  controller.add_fault("GET", "/api/vdisks/", Fault{Fault::Kind::slow, std::chrono::milliseconds(200)});
  kv_veil::testing::set_stop_times_for_tests(std::chrono::seconds(1), std::chrono::milliseconds(1),
                                             std::chrono::milliseconds(300));
  kv_veil::note_stop();
  const auto start = std::chrono::steady_clock::now();
  const std::string line = looked_up("late");
  const auto took = std::chrono::steady_clock::now() - start;
  kv_veil::set_stop_hook(nullptr);
  kv_veil::testing::set_stop_times_for_tests({}, {});
  EXPECT_NE(line.find("left no time"), std::string::npos) << line;
  EXPECT_LT(took, std::chrono::milliseconds(1500));
}

}  // namespace
}  // namespace veil_vm_test
