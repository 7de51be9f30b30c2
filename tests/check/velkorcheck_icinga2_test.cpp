// A real Icinga 2 (the icinga2 fixture) runs velkor-check through the
// CheckCommand of contrib/icinga2: two services of host 127.0.0.1, one on
// the healthy TCP peers and one with a closed port, checked on request
// through the API. Their states, plugin output and performance data are read
// back as Icinga holds them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/casefile.h"
#include "support/checkpeers.h"

namespace {

std::map<std::string, std::string> ReadEnv(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

class Icinga : public ::testing::Test {
 protected:
  void SetUp() override {
    if (api.count("API_PORT") == 0)
      GTEST_SKIP() << "SKIPPED: Icinga 2 is not running (no " << VELKOR_ICINGA2_DIR
                   << "/api.env): the icinga2 fixture needs root and the TCP peers; run the suite as root (CI does).";
  }

  // One API request through curl, against the fixture's own CA.
  std::string Api(const std::string& path, const std::string& postBody = "") const {
    const std::string node = api.at("API_NODE") + ":" + api.at("API_PORT");
    std::string cmd = "curl -sS --max-time 20 --cacert '" + api.at("API_CA") + "' --resolve '" + node +
                      ":127.0.0.1' -u '" + api.at("API_USER") + ":" + api.at("API_PASSWORD") +
                      "' -H 'Accept: application/json'";
    if (!postBody.empty()) cmd += " -X POST -d '" + postBody + "'";
    return RunShell(cmd + " 'https://" + node + path + "'").out;
  }

  std::map<std::string, std::string> api = ReadEnv(std::string(VELKOR_ICINGA2_DIR) + "/api.env");
};

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

TEST_F(Icinga, ServicesRunVelkorCheckAndShowItsStateOutputAndPerformanceData) {
  const std::vector<Case> cases = LoadCases("icinga-services.cases", api);
  const double asked = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string answer = Api("/v1/actions/reschedule-check",
                                 R"({"type":"Service","filter":"host.name==\"127.0.0.1\"","force":true})");
  ASSERT_THAT(answer, ::testing::HasSubstr("Successfully rescheduled check for object '127.0.0.1!velkor-closed'"));
  for (const Case& c : cases) {
    CASE_TRACE(c);
    const std::string path = "/v1/objects/services/127.0.0.1!" + c.get("service");
    std::string result;
    for (int i = 0; i < 150; ++i) {  // at most 30 s
      result = Api(path + "?attrs=last_check_result");
      const std::string end = JsonValue(result, "execution_end");
      if (!end.empty() && end != "null" && std::stod(end) >= asked) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(JsonValue(Api(path + "?attrs=state"), "state").substr(0, 1), c.get("state")) << result;
    EXPECT_EQ(JsonValue(result, "exit_status"), c.get("state"));
    const std::string output = JsonValue(result, "output");
    EXPECT_EQ(output.substr(0, output.find('\n')), c.get("status"));
    EXPECT_THAT(output, ::testing::HasSubstr(c.get("has")));
    // Parsed by Icinga: one value per check and the whole time, in seconds.
    std::smatch perf;
    ASSERT_TRUE(std::regex_search(result, perf, std::regex(R"("performance_data":\[([^\]]*)\])"))) << result;
    std::string want;
    for (const std::string& label : c.all("perf")) want += (want.empty() ? "\"" : ",\"") + label + "=#s;;;0\"";
    EXPECT_EQ(std::regex_replace(perf[1].str(), std::regex(R"(=[0-9]+\.[0-9]{6}s)"), "=#s"), want);
  }
}

}  // namespace
