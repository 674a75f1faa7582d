#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "hosts/access_log.h"
#include "hosts/metrics.h"

namespace skalo::host {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(HostAccessLog, WritesCombinedLogLinesWithHostileFieldsEscaped) {
  AccessRecord record;
  record.client = "::1";
  record.when = 1796910936;  // 10 Dec 2026 13:55:36 UTC
  record.request_line = "GET /a\"b\\c\x01\xff HTTP/1.1";
  record.status = 206;
  record.bytes = 512;
  record.user_agent = "agent\r\nforged line";
  EXPECT_EQ(CombinedLogLine(record),
            "::1 - - [10/Dec/2026:13:55:36 +0000] \"GET /a\\\"b\\\\c\\x01\\xff HTTP/1.1\" 206 512 "
            "\"-\" \"agent\\x0d\\x0aforged line\"\n");

  AccessRecord unread;  // a request that could not be read: nothing but the status
  unread.when = 0;
  unread.status = 400;
  EXPECT_EQ(CombinedLogLine(unread),
            "- - - [01/Jan/1970:00:00:00 +0000] \"-\" 400 - \"-\" \"-\"\n");
}

TEST(HostMetrics, GivesLabelsOnlyToModulePathsThatWorked) {
  HostMetrics metrics;
  metrics.RecordRequest("/bin", true, 200, 100, 0.002);
  metrics.RecordRequest("/bin", true, 500, 10, 0.2);
  metrics.RecordRequest("/made-up", true, 404, 10, 20);
  metrics.RecordRequest("/a\"b", true, 200, 0, 0.001);
  metrics.RecordRequest("", true, 200, 0, 0.001);
  for (int i = 0; i < 40; ++i)
    metrics.RecordRequest("/p" + std::to_string(i), true, 200, 0, 0.001);
  metrics.RecordRequest(kStaticAction, false, 304, 0, 0.001);
  const std::string page = metrics.Exposition();

  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"/bin\",status=\"200\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"/bin\",status=\"500\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"other\",status=\"404\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"/a\\\"b\",status=\"200\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"/\",status=\"200\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"static\",status=\"304\"} 1\n"));
  EXPECT_THAT(page, Not(HasSubstr("/made-up")));
  // /bin, /a"b and / leave room for 29 of the 40 paths; 11 count as other.
  EXPECT_THAT(page, HasSubstr("{action=\"/p28\",status=\"200\"} 1\n"));
  EXPECT_THAT(page, Not(HasSubstr("/p29\"")));
  EXPECT_THAT(page, HasSubstr("skalo_requests_total{action=\"other\",status=\"200\"} 11\n"));

  EXPECT_THAT(page, HasSubstr("skalo_request_duration_seconds_bucket{le=\"0.005\"} 44\n"));
  EXPECT_THAT(page, HasSubstr("skalo_request_duration_seconds_bucket{le=\"0.25\"} 45\n"));
  EXPECT_THAT(page, HasSubstr("skalo_request_duration_seconds_bucket{le=\"10\"} 45\n"));
  EXPECT_THAT(page, HasSubstr("skalo_request_duration_seconds_bucket{le=\"+Inf\"} 46\n"));
  EXPECT_THAT(page, HasSubstr("skalo_request_duration_seconds_count 46\n"));
  EXPECT_THAT(page, HasSubstr("skalo_response_bytes_total 120\n"));
}

}  // namespace
}  // namespace skalo::host
