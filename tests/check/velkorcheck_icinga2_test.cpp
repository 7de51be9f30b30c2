// A real Icinga 2 (the icinga2 fixture) runs velkor-check through the
// CheckCommand of contrib/icinga2: two services of host 127.0.0.1, one on
// the healthy TCP peers and one with a closed port, checked on request
// through the API. Their states, plugin output and performance data are read
// back as Icinga holds them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "support/casefile.h"
#include "support/checkpeers.h"

namespace {

// The first value of "key" in the answer: a string (its escapes \n, \"
// and \\ undone) or a number as written. Icinga's answers hold ASCII here.
std::string JsonValue(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + R"re(":("((\\.|[^"\\])*)"|[^,}\]]*))re"))) return "";
  if (!m[2].matched) return m[1];
  std::string s;
  const std::string raw = m[2];
  for (size_t i = 0; i < raw.size(); ++i) s += raw[i] != '\\' ? raw[i] : raw[++i] == 'n' ? '\n' : raw[i];
  return s;
}

TEST(Icinga, ServicesRunVelkorCheckAndShowItsStateOutputAndPerformanceData) {
  CaseVars api;  // the fixture's api.env: its API's node, port, CA, user and password, and the ports it checks
  std::ifstream env(std::string(VELKOR_ICINGA2_DIR) + "/api.env");
  for (std::string line; std::getline(env, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos) api[line.substr(0, eq)] = line.substr(eq + 1);
  if (api.count("API_PORT") == 0)
    GTEST_SKIP() << "SKIPPED: Icinga 2 is not running (no " << VELKOR_ICINGA2_DIR
                 << "/api.env): the icinga2 fixture needs root and the TCP peers; run the suite as root (CI does).";
  // An API request through curl, against the fixture's own CA; the path (and a POST's -d) follow.
  const std::string node = api["API_NODE"] + ":" + api["API_PORT"];
  const std::string curl = "curl -sS --max-time 20 --cacert '" + api["API_CA"] + "' --resolve '" + node +
                           ":127.0.0.1' -u '" + api["API_USER"] + ":" + api["API_PASSWORD"] +
                           "' -H 'Accept: application/json' 'https://" + node;
  const double asked = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string now = R"( -X POST -d '{"type":"Service","filter":"host.name==\"127.0.0.1\"","force":true}')";
  ASSERT_THAT(RunShell(curl + "/v1/actions/reschedule-check'" + now).out,
              ::testing::HasSubstr("Successfully rescheduled check for object '127.0.0.1!velkor-closed'"));
  for (const Case& c : LoadCases("icinga-services.cases", api)) {
    CASE_TRACE(c);
    const std::string service = curl + "/v1/objects/services/127.0.0.1!" + c.get("service");
    std::string result;
    for (int i = 0; i < 150; ++i) {  // at most 30 s
      result = RunShell(service + "?attrs=last_check_result'").out;
      const std::string end = JsonValue(result, "execution_end");
      if (!end.empty() && end != "null" && std::stod(end) >= asked) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(JsonValue(RunShell(service + "?attrs=state'").out, "state").substr(0, 1), c.get("state")) << result;
    EXPECT_EQ(JsonValue(result, "exit_status"), c.get("state"));
    const std::string output = JsonValue(result, "output");
    EXPECT_EQ(output.substr(0, output.find('\n')), c.get("status"));
    EXPECT_THAT(output, ::testing::HasSubstr(c.get("has")));
    // Parsed by Icinga: one value per check and the whole time, in seconds.
    std::smatch perf;
    ASSERT_TRUE(std::regex_search(result, perf, std::regex(R"("performance_data":\[([^\]]*)\])"))) << result;
    EXPECT_EQ(std::regex_replace(perf[1].str(), std::regex(R"(=[0-9]+\.[0-9]{6}s)"), "=#s"), c.get("perf"));
  }
}

}  // namespace
