// skalo-httpd's operations side end to end: validators, conditional requests
// and byte ranges on static files, folder redirects, the access log and the
// metrics page.
// GCC 12 with the sanitizers warns of an uninitialised member deep inside
// <regex>'s own state machine, a known false alarm.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"

namespace skalo::host::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kEchoModule = ECHO_MODULE_PATH;
const std::string kDigits = "0123456789";

class HostHttpdOps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>();
    temp_->Write("www/digits.txt", kDigits);
    temp_->Write("www/sub/index.html", "<h1>sub</h1>");
    server_ = std::make_unique<HttpdProcess>(std::vector<std::string>{
        "--listen", "127.0.0.1:0", "--root", temp_->str() + "/www", "--module", kEchoModule,
        "--access-log", log_path(), "--metrics", "/metrics", "--healthz", "/healthz"});
  }

  static void TearDownTestSuite() {
    if (server_) server_->Stop();
    server_.reset();
    temp_.reset();
  }

  static std::string log_path() { return temp_->str() + "/access.log"; }

  static Reply Get(std::string_view target, std::vector<std::string> headers = {},
                   bool head = false) {
    Request request;
    request.headers = std::move(headers);
    request.head = head;
    return Client().Fetch(server_->Url(target), request);
  }

  // The access log's lines holding `mark`, once there are `count` of them
  // (the log is written out about once a second). Gives up after a minute.
  static std::vector<std::string> LogLines(const std::string& mark, std::size_t count) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (;;) {
      std::vector<std::string> lines;
      std::ifstream log(log_path());
      for (std::string line; std::getline(log, line);) {
        if (line.find(mark) != std::string::npos) lines.push_back(line);
      }
      if (lines.size() >= count || std::chrono::steady_clock::now() > give_up) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // The value of the sample `series` on the metrics page, -1 when absent.
  static double Sample(const std::string& page, const std::string& series) {
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with(series + " ")) return std::stod(line.substr(series.size() + 1));
    }
    return -1;
  }

  static std::unique_ptr<TempDir> temp_;
  static std::unique_ptr<HttpdProcess> server_;
};

std::unique_ptr<TempDir> HostHttpdOps::temp_;
std::unique_ptr<HttpdProcess> HostHttpdOps::server_;

TEST_F(HostHttpdOps, AnswersNotModifiedToEitherValidator) {
  const Reply full = Get("/digits.txt");
  ASSERT_EQ(full.status, 200) << full.error;
  const std::string tag = full.Header("ETag");
  const std::string modified = full.Header("Last-Modified");
  EXPECT_THAT(tag, ::testing::MatchesRegex("\"[0-9a-f]+-a\""));
  EXPECT_THAT(modified, ::testing::MatchesRegex("[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                                "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT"));
  EXPECT_EQ(full.Header("Accept-Ranges"), "bytes");

  struct Case {
    const char* what;
    std::vector<std::string> headers;
    bool head;
    long status;
  };
  for (const Case& c : std::vector<Case>{
           {"tag", {"If-None-Match: " + tag}, false, 304},
           {"tag in a list", {"If-None-Match: \"x\", W/" + tag}, false, 304},
           {"date", {"If-Modified-Since: " + modified}, false, 304},
           {"head and date", {"If-Modified-Since: " + modified}, true, 304},
           {"other tag beats the date",
            {"If-None-Match: \"x\"", "If-Modified-Since: " + modified},
            false,
            200},
           {"older date", {"If-Modified-Since: Thu, 01 Jan 1970 00:00:01 GMT"}, false, 200},
       }) {
    const Reply reply = Get("/digits.txt", c.headers, c.head);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.Header("ETag"), tag) << c.what;
    if (c.status == 304) {
      EXPECT_EQ(reply.body, "") << c.what;
      EXPECT_EQ(reply.HeaderCount("Content-Length"), 0) << c.what;
    } else {
      EXPECT_EQ(reply.body, kDigits) << c.what;
    }
  }
}

TEST_F(HostHttpdOps, AnswersSingleByteRanges) {
  const std::string tag = Get("/digits.txt").Header("ETag");
  struct Case {
    std::vector<std::string> headers;
    long status;
    std::string body, content_range;
  };
  for (const Case& c : std::vector<Case>{
           {{"Range: bytes=2-4"}, 206, "234", "bytes 2-4/10"},
           {{"Range: bytes=-3"}, 206, "789", "bytes 7-9/10"},
           {{"Range: bytes=6-"}, 206, "6789", "bytes 6-9/10"},
           {{"Range: bytes=8-100"}, 206, "89", "bytes 8-9/10"},
           {{"Range: bytes=10-"}, 416, "416 Range Not Satisfiable\n", "bytes */10"},
           {{"Range: bytes=-0"}, 416, "416 Range Not Satisfiable\n", "bytes */10"},
           {{"Range: bytes=0-1,4-5"}, 200, kDigits, ""},
           {{"Range: bytes=5-2"}, 200, kDigits, ""},
           {{"Range: bytes=0-0", "If-Range: " + tag}, 206, "0", "bytes 0-0/10"},
           {{"Range: bytes=0-0", "If-Range: \"stale\""}, 200, kDigits, ""},
       }) {
    const Reply reply = Get("/digits.txt", c.headers);
    EXPECT_EQ(reply.status, c.status) << c.headers[0];
    EXPECT_EQ(reply.body, c.body) << c.headers[0];
    EXPECT_EQ(reply.Header("Content-Range"), c.content_range) << c.headers[0];
    EXPECT_EQ(reply.Header("Accept-Ranges"), "bytes") << c.headers[0];
  }
}

TEST_F(HostHttpdOps, RedirectsFoldersToTheirSlashedName) {
  for (const auto& [target, location] : std::vector<std::pair<std::string, std::string>>{
           {"/sub", "/sub/"}, {"/sub?a=1&b", "/sub/?a=1&b"}, {"//sub", "/sub/"}}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.status, 301) << target;
    EXPECT_EQ(reply.Header("Location"), location) << target;
  }
  EXPECT_EQ(Get("/sub/").body, "<h1>sub</h1>");
}

TEST_F(HostHttpdOps, WritesOneCombinedLogLinePerAnswer) {
  const std::vector<std::string> who = {"User-Agent: ops-test \"quoted\"",
                                        "Referer: http://example.test/page"};
  Get("/digits.txt?x=1", who);
  Get("/nope.txt", who);
  Get("/digits.txt", who, /*head=*/true);
  const auto lines = LogLines("ops-test", 3);
  ASSERT_EQ(lines.size(), 3u);
  // Lines are written as answers finish, which need not be the order the
  // requests were made in.
  const std::string date =
      R"(\[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2} \+0000\])";
  const std::string tail = R"( "http://example\.test/page" "ops-test \\"quoted\\"")";
  for (const char* middle :
       {R"( "GET /digits\.txt\?x=1 HTTP/1\.1" 200 10)", R"( "GET /nope\.txt HTTP/1\.1" 404 [0-9]+)",
        R"( "HEAD /digits\.txt HTTP/1\.1" 200 -)"}) {
    const std::regex pattern("127\\.0\\.0\\.1 - - " + date + std::string(middle) + tail);
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& line) { return std::regex_match(line, pattern); }),
        1)
        << middle << " in\n"
        << lines[0] << "\n"
        << lines[1] << "\n"
        << lines[2];
  }
}

TEST_F(HostHttpdOps, CountsRequestsOnTheMetricsPage) {
  const std::string static_ok = R"(skalo_requests_total{action="static",status="200"})";
  const std::string module_ok = R"(skalo_requests_total{action="/echo",status="200"})";
  const std::string module_teapot = R"(skalo_requests_total{action="/status",status="418"})";
  // One connection throughout: each answer is counted before the next
  // request on it is read.
  Client client;
  auto get = [&client](std::string_view target) { return client.Fetch(server_->Url(target)); };
  const Reply before = get("/metrics");
  ASSERT_EQ(before.status, 200);
  EXPECT_EQ(before.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");

  get("/digits.txt");
  get("/digits.txt");
  get("/skalo/echo");
  get("/skalo/status?code=418&reason=Teapot");  // an error first: no label of its own
  const Reply after = get("/metrics");
  const std::string& page = after.body;

  // Answers on other connections of earlier tests may still be counted
  // meanwhile, hence "at least" for the shared series.
  EXPECT_GE(Sample(page, static_ok), std::max(0.0, Sample(before.body, static_ok)) + 2) << page;
  EXPECT_EQ(Sample(page, module_ok), 1) << page;
  EXPECT_EQ(Sample(page, module_teapot), -1) << page;
  EXPECT_GE(Sample(page, R"(skalo_requests_total{action="other",status="418"})"), 1) << page;
  EXPECT_GE(Sample(page, R"(skalo_requests_total{action="metrics",status="200"})"), 1) << page;
  const std::string count = "skalo_request_duration_seconds_count";
  EXPECT_GE(Sample(page, count), Sample(before.body, count) + 5) << page;
  EXPECT_EQ(Sample(page, R"(skalo_request_duration_seconds_bucket{le="+Inf"})"),
            Sample(page, count));
  EXPECT_GE(Sample(page, "skalo_response_bytes_total"),
            Sample(before.body, "skalo_response_bytes_total") + 2 * 10 + before.body.size());
  EXPECT_GE(Sample(page, "skalo_open_connections"), 1) << page;
  EXPECT_EQ(Sample(page, R"(skalo_module_calls{state="running"})"), 0) << page;
  EXPECT_THAT(page, HasSubstr("# TYPE skalo_request_duration_seconds histogram\n"));
  // The module's own figures: what it reports within the rules, once.
  EXPECT_THAT(page, HasSubstr("# TYPE echo_module_answers_total counter\n"
                              "echo_module_answers_total 42\n"));
  EXPECT_THAT(page, Not(HasSubstr("echo_module_answers_total 1\n")));
  EXPECT_THAT(page, Not(HasSubstr("echo bad")));
  EXPECT_THAT(page, Not(HasSubstr("odd_type")));
  EXPECT_THAT(page, Not(HasSubstr("skalo_open_connections -5")));

  const Reply health = Get("/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ok\n");
}

}  // namespace
}  // namespace skalo::host::testing
