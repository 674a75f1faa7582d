// skalo-httpd against slow, silent and greedy clients: the real binary over
// loopback, each test with its own host.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hosts/host_options.h"
#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"

namespace skalo::host::testing {
namespace {

using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kEchoModule = ECHO_MODULE_PATH;
// Larger than the socket buffers of both ends together, so that a client that
// does not read leaves the host in the middle of sending.
constexpr std::size_t kBigFileSize = std::size_t{32} << 20;

// Raises this process's open-file limit (which the host inherits) to the hard
// limit, and answers it.
rlim_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

class HostileClients : public ::testing::Test {
 protected:
  std::unique_ptr<HttpdProcess> StartHost(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--listen",  "127.0.0.1:0", "--root",
                                     temp_.str(), "--module",    kEchoModule};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<HttpdProcess>(args);
  }

  static std::string Get(std::string_view target, std::string_view connection = "keep-alive") {
    return "GET " + std::string(target) +
           " HTTP/1.1\r\nHost: x\r\nConnection: " + std::string(connection) + "\r\n\r\n";
  }

  static void ExpectCleanExit(int wait_status) {
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
        << "wait status " << wait_status;
  }

  TempDir temp_;
};

TEST_F(HostileClients, KeepAliveAnswersInSeveralPiecesDoNotStall) {
  // Over one write piece: the last piece must not wait for the client's
  // delayed acknowledgement of the first (some 40 ms each time).
  const std::string body(10000, 'k');
  temp_.Write("ten-k.bin", body);
  auto host = StartHost();
  Client client;
  ASSERT_EQ(client.Fetch(host->Url("/ten-k.bin")).body, body);
  const auto start = Clock::now();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(client.Fetch(host->Url("/ten-k.bin")).body, body);
  }
  const auto spent = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_EQ(client.new_connections(), 0);
  EXPECT_LT(spent.count(), 150) << "8 answers on a kept-alive connection";
  ExpectCleanExit(host->Stop());
}

TEST_F(HostileClients, SlowReadersAreCutOffAndDoNotHoldUpTheStop) {
  temp_.Write("big.bin", std::string(kBigFileSize, 'b'));
  {
    // The whole answer must be taken within the send timeout, however the
    // client paces its reading.
    auto host = StartHost({"--send-timeout", "1"});
    RawConnection reader(host->port());
    ASSERT_TRUE(reader.Send(Get("/big.bin", "close")));
    std::this_thread::sleep_for(milliseconds(2000));
    std::string received;
    EXPECT_TRUE(reader.ClosedWithin(std::chrono::seconds(20), &received));
    EXPECT_THAT(received, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_LT(received.size(), kBigFileSize) << "the answer was not cut off";
    ExpectCleanExit(host->Stop());
  }
  // A client that never reads gets a short grace once the host is told to stop.
  auto host = StartHost();
  RawConnection stalled(host->port());
  ASSERT_TRUE(stalled.Send(Get("/big.bin")));
  std::this_thread::sleep_for(milliseconds(300));  // the answer is under way
  const auto start = Clock::now();
  ExpectCleanExit(host->Stop(SIGTERM));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "the stop waited for the reader";
}

TEST_F(HostileClients, DropsHeadsSentTooSlowlyButNotIdleConnections) {
  temp_.Write("hello.txt", "hello\n");
  auto host = StartHost({"--header-timeout", "1"});

  // Waiting between requests is not sending a head.
  Client client;
  EXPECT_EQ(client.Fetch(host->Url("/hello.txt")).body, "hello\n");
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(client.Fetch(host->Url("/hello.txt")).body, "hello\n");
  EXPECT_EQ(client.new_connections(), 0);

  // One byte every 100 ms: each read is quick, the head never ends.
  RawConnection dribbler(host->port());
  const std::string head = "GET /hello.txt HTTP/1.1\r\nHost: x\r\nX-Pad: ";
  const auto start = Clock::now();
  bool closed = false;
  std::string received;
  for (std::size_t i = 0; !closed && Clock::now() - start < std::chrono::seconds(5); ++i) {
    closed = !dribbler.Send(i < head.size() ? head.substr(i, 1) : "a") ||
             dribbler.ClosedWithin(milliseconds(100), &received);
  }
  EXPECT_TRUE(closed) << "a head dribbled for 5 s was still being read";
  EXPECT_EQ(received, "");
  ExpectCleanExit(host->Stop());
}

TEST_F(HostileClients, MakesRoomForNewClientsByClosingIdleConnectionsFirst) {
  temp_.Write("hello.txt", "hello\n");
  constexpr int kCap = 50;
  constexpr int kHalfOpen = 3 * kCap - 1;
  auto host = StartHost({"--max-connections", std::to_string(kCap)});
  std::vector<std::unique_ptr<RawConnection>> heads;
  for (int i = 0; i < kHalfOpen; ++i) {
    heads.push_back(std::make_unique<RawConnection>(host->port()));
    heads.back()->Send("GET / HTTP/1.1\r\nHo");
  }
  // The newest connection, but the only idle one once answered.
  RawConnection idle(host->port());
  ASSERT_TRUE(idle.Send(Get("/hello.txt")));
  ASSERT_THAT(idle.ReadUntil("\r\n\r\nhello\n", milliseconds(5000)), StartsWith("HTTP/1.1 200 "));
  // Lets the host see the answer as sent before the next client comes.
  std::this_thread::sleep_for(milliseconds(100));

  const Reply reply = Client().Fetch(host->Url("/hello.txt"));
  EXPECT_EQ(reply.status, 200) << reply.error;
  EXPECT_TRUE(idle.ClosedWithin(milliseconds(5000))) << "the idle connection was kept";
  // Each newcomer over the cap displaced the oldest head; the idle connection
  // made room for the last.
  const int displaced = kHalfOpen + 1 - kCap;
  for (int i = 0; i < displaced; ++i) {
    EXPECT_TRUE(heads[i]->ClosedWithin(milliseconds(5000))) << "head " << i << " was kept";
  }
  for (int i = displaced; i < kHalfOpen; ++i) {
    EXPECT_FALSE(heads[i]->ClosedWithin(milliseconds(0))) << "head " << i << " was closed";
  }
  ExpectCleanExit(host->Stop());
}

TEST_F(HostileClients, AnswersBesideElevenHundredHalfOpenConnections) {
  constexpr rlim_t kHalfOpen = 1100;
  const rlim_t files = RaiseOpenFileLimit();
  if (files < kHalfOpen + 64) GTEST_SKIP() << "the open-file limit is too low";
  temp_.Write("hello.txt", "hello\n");
  auto host = StartHost();
  std::vector<std::unique_ptr<RawConnection>> heads;
  for (rlim_t i = 0; i < kHalfOpen; ++i) {
    heads.push_back(std::make_unique<RawConnection>(host->port()));
    heads.back()->Send("GET / HTTP/1.1\r\nHo");
  }
  const Reply reply = Client().Fetch(host->Url("/hello.txt"));
  EXPECT_EQ(reply.status, 200) << reply.error;
  EXPECT_EQ(reply.body, "hello\n");
  // Where the limit leaves room for all of them (two files each), the host
  // must not have made room by closing any.
  if (files >= 2 * (kHalfOpen + 1) + 64) {
    std::this_thread::sleep_for(milliseconds(100));
    int closed = 0;
    for (const auto& head : heads)
      closed += head->ClosedWithin(milliseconds(0)) ? 1 : 0;
    EXPECT_EQ(closed, 0) << "with an open-file limit of " << files;
  }
  ExpectCleanExit(host->Stop());
}

TEST(HostileClientOptions, ReadsTheLimitsAndRefusesBadValues) {
  const std::vector<std::string> base = {"--listen", "127.0.0.1:0", "--root", "www"};
  auto with = [&base](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const ParsedArgs parsed = ParseHostArgs(
      with({"--max-connections", "7", "--header-timeout=3", "--send-timeout", "86400"}));
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.max_connections, 7u);
  EXPECT_EQ(parsed.options.header_timeout, 3u);
  EXPECT_EQ(parsed.options.send_timeout, 86400u);
  const ParsedArgs defaults = ParseHostArgs(base);
  EXPECT_EQ(defaults.options.max_connections, 0u);
  EXPECT_EQ(defaults.options.header_timeout, 0u);
  EXPECT_EQ(defaults.options.send_timeout, 0u);

  for (const auto& args : std::vector<std::vector<std::string>>{
           with({"--max-connections", "0"}),
           with({"--max-connections", "1000001"}),
           with({"--max-connections", "-5"}),
           with({"--header-timeout", "0"}),
           with({"--header-timeout", "1s"}),
           with({"--send-timeout", "86401"}),
           with({"--send-timeout", "1", "--send-timeout", "2"}),
       }) {
    EXPECT_NE(ParseHostArgs(args).error, "") << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace skalo::host::testing
