// skalo-httpd end to end: the real binary, serving a temporary site and the
// echo test module over loopback.
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"

namespace skalo::host::testing {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kEchoModule = ECHO_MODULE_PATH;
const std::string kIncompleteModule = INCOMPLETE_MODULE_PATH;
const std::string kPng("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);

std::string Line(const std::string& body, const std::string& key) {
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(key + "=")) return line.substr(key.size() + 1);
  }
  return "<missing " + key + ">";
}

// Waits until the echo module has created `file` (it does on entering /slow
// and /gate). False when that has not happened within a minute, which only a
// badly broken host would cause.
bool AwaitFile(const std::filesystem::path& file) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!std::filesystem::exists(file)) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string StatusText(int wait_status) {
  if (WIFEXITED(wait_status)) return "exit code " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) return "signal " + std::to_string(WTERMSIG(wait_status));
  return "wait status " + std::to_string(wait_status);
}

// "skalo-httpd listening on http://127.0.0.1:PORT/"
bool IsReadyLine(std::string_view line) {
  constexpr std::string_view kStart = "skalo-httpd listening on http://127.0.0.1:";
  if (!line.starts_with(kStart) || !line.ends_with('/')) return false;
  const std::string_view port = line.substr(kStart.size(), line.size() - kStart.size() - 1);
  return !port.empty() && port.find_first_not_of("0123456789") == std::string_view::npos;
}

void ExpectCleanExit(int wait_status) {
  EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
      << "got " << StatusText(wait_status) << ", want exit code 0";
}

// A site with static files and aliases, plus a secret beside it that must never
// be served:
//   <tmp>/secret.txt
//   <tmp>/www/...      root
//   <tmp>/cache/...    /cache
//   <tmp>/deep/...     /cache/deep
class ServedSite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>();
    temp_->Write("secret.txt", "top secret");
    temp_->Write("www/index.html", "<h1>home</h1>");
    temp_->Write("www/hello.txt", "hello\n");
    temp_->Write("www/image.PNG", kPng);
    temp_->Write("www/data.bin", std::string("\0\1\2\3", 4));
    temp_->Write("www/with space.txt", "spaced");
    temp_->Write("www/sub/index.html", "<h1>sub</h1>");
    temp_->Write("www/sub/page.css", "body{}");
    temp_->Write("www/cachefoo/x.txt", "root cachefoo");
    temp_->MakeDir("www/empty");
    temp_->Write("cache/x.txt", "from alias");
    temp_->Write("deep/y.txt", "from deep alias");
    server_ = std::make_unique<HttpdProcess>(std::vector<std::string>{
        "--listen", "127.0.0.1:0", "--root", www(), "--alias", "/cache=" + temp_->str() + "/cache",
        "--alias", "/cache/deep=" + temp_->str() + "/deep", "--module", kEchoModule, "--threads",
        "2"});
  }

  static void TearDownTestSuite() {
    if (server_) ExpectCleanExit(server_->Stop());
    server_.reset();
    temp_.reset();
  }

  static std::string www() { return temp_->str() + "/www"; }
  static std::string Url(std::string_view target) { return server_->Url(target); }
  static Reply Get(std::string_view target, const Request& request = {}) {
    return Client().Fetch(Url(target), request);
  }

  static std::unique_ptr<TempDir> temp_;
  static std::unique_ptr<HttpdProcess> server_;
};

std::unique_ptr<TempDir> ServedSite::temp_;
std::unique_ptr<HttpdProcess> ServedSite::server_;

class HostHttpdStatic : public ServedSite {};
class HostHttpdModule : public ServedSite {};
class HostHttpdConnection : public ServedSite {};

TEST_F(HostHttpdStatic, ServesFilesWithTheirContentType) {
  struct Case {
    std::string target, body, type;
  };
  for (const Case& c :
       std::vector<Case>{{"/hello.txt", "hello\n", "text/plain; charset=utf-8"},
                         {"/image.PNG", kPng, "image/png"},
                         {"/data.bin", std::string("\0\1\2\3", 4), "application/octet-stream"},
                         {"/sub/page.css", "body{}", "text/css; charset=utf-8"}}) {
    const Reply reply = Get(c.target);
    EXPECT_EQ(reply.status, 200) << c.target << " " << reply.error;
    EXPECT_EQ(reply.body, c.body) << c.target;
    EXPECT_EQ(reply.Header("Content-Type"), c.type) << c.target;
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.body.size())) << c.target;
  }
}

TEST_F(HostHttpdStatic, HeadSendsTheHeadersWithoutTheBody) {
  Request head;
  head.head = true;
  const Reply reply = Get("/hello.txt", head);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Header("Content-Length"), "6");
  EXPECT_EQ(reply.Header("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(reply.body, "");
}

TEST_F(HostHttpdStatic, ServesIndexHtmlForFolders) {
  for (const auto& [target, body] : std::vector<std::pair<std::string, std::string>>{
           {"/", "<h1>home</h1>"}, {"/sub/", "<h1>sub</h1>"}}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, body) << target;
    EXPECT_EQ(reply.Header("Content-Type"), "text/html; charset=utf-8") << target;
  }
}

TEST_F(HostHttpdStatic, AnswersNotFoundForWhatIsNotThere) {
  for (const char* target : {"/nope.txt", "/empty/", "/hello.txt/more", "/sub/nope/"}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.status, 404) << target;
  }
}

TEST_F(HostHttpdStatic, AllowsOnlyGetAndHead) {
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    Request request;
    request.method = method;
    const Reply reply = Get("/hello.txt", request);
    EXPECT_EQ(reply.status, 405) << method;
    EXPECT_EQ(reply.Header("Allow"), "GET, HEAD") << method;
  }
}

TEST_F(HostHttpdStatic, NeverServesFilesOutsideTheSite) {
  for (const char* target : {
           "/../secret.txt",
           "/../etc/passwd",
           "/%2e%2e/",
           "/%2e%2e/secret.txt",
           "/%2E%2E/secret.txt",
           "/.%2e/secret.txt",
           "/a/%2e%2e/%2e%2e/x",
           "/a/%2e%2e/%2e%2e/secret.txt",
           "/..%2fsecret.txt",
           "/..%2Fsecret.txt",
           "/..%5csecret.txt",
           "/..\\secret.txt",
           "/sub/../../secret.txt",
           "/cache/../../secret.txt",
           "/cache/deep/../../../secret.txt",
           "//../secret.txt",
           "/%252e%252e/secret.txt",
           "/..%00/secret.txt",
       }) {
    const Reply reply = Get(target);
    EXPECT_THAT(reply.status, AnyOf(400, 404)) << target;
    EXPECT_THAT(reply.body, Not(HasSubstr("top secret"))) << target;
    EXPECT_THAT(reply.body, Not(HasSubstr("root:"))) << target;
  }
}

TEST_F(HostHttpdStatic, ServesAliasesOnSegmentBoundaries) {
  for (const auto& [target, body] :
       std::vector<std::pair<std::string, std::string>>{{"/cache/x.txt", "from alias"},
                                                        {"/cache/deep/y.txt", "from deep alias"},
                                                        {"/cachefoo/x.txt", "root cachefoo"},
                                                        {"/cache/../hello.txt", "hello\n"},
                                                        {"/cache/deep/../x.txt", "from alias"}}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, body) << target;
  }
  EXPECT_EQ(Get("/CACHE/x.txt").status, 404) << "aliases are case-sensitive";
  EXPECT_EQ(Get("/cache/y.txt").status, 404) << "/cache/deep's files are not under /cache";
}

TEST_F(HostHttpdStatic, DecodesPercentEscapesInPaths) {
  const Reply spaced = Get("/with%20space.txt");
  EXPECT_EQ(spaced.status, 200);
  EXPECT_EQ(spaced.body, "spaced");
  EXPECT_EQ(Get("/%68ello.txt").body, "hello\n");
  for (const char* target : {"/%zz", "/hello.txt%", "/a%00b", "/%4"}) {
    EXPECT_EQ(Get(target).status, 400) << target;
  }
}

TEST_F(HostHttpdModule, SplitsTheMountFromThePathInfo) {
  struct Case {
    std::string target, path_info, query;
  };
  for (const Case& c : std::vector<Case>{
           {"/skalo/xml?Image=/images/a%20b.jpg&Width=10", "/xml",
            "Image=/images/a%20b.jpg&Width=10"},
           {"/skalo?x=1", "", "x=1"},
           {"/skalo", "", ""},
           {"/skalo/", "/", ""},
           {"/skalo/a%2Fb+c%20d", "/a/b+c d", ""},
           {"/skalo/bin/?a=%2F+b", "/bin/", "a=%2F+b"},
       }) {
    const Reply reply = Get(c.target);
    ASSERT_EQ(reply.status, 200) << c.target << " " << reply.error;
    EXPECT_EQ(Line(reply.body, "path_info"), c.path_info) << c.target;
    EXPECT_EQ(Line(reply.body, "path_info_var"), c.path_info) << c.target;
    EXPECT_EQ(Line(reply.body, "query"), c.query) << c.target;
    EXPECT_EQ(Line(reply.body, "query_var"), c.query) << c.target;
    EXPECT_EQ(Line(reply.body, "script_name"), "/skalo") << c.target;
  }
}

TEST_F(HostHttpdModule, LeavesOtherPathsToTheStaticFiles) {
  for (const char* target : {"/skalofoo", "/skalofoo/xml", "/Skalo/xml", "/x/skalo/xml"}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.status, 404) << target;
    EXPECT_THAT(reply.body, Not(HasSubstr("path_info="))) << target;
  }
}

TEST_F(HostHttpdModule, PassesTheServerVariables) {
  const Reply reply = Get("/skalo/echo");
  EXPECT_EQ(Line(reply.body, "http_host"), "127.0.0.1:" + std::to_string(server_->port()));
  EXPECT_EQ(Line(reply.body, "protocol"), "HTTP/1.1");
  EXPECT_EQ(Line(reply.body, "request_method"), "GET");

  Request old;
  old.http10 = true;
  EXPECT_EQ(Line(Get("/skalo/echo", old).body, "protocol"), "HTTP/1.0");
}

TEST_F(HostHttpdModule, PassesAnyMethodAndIgnoresTheBody) {
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PURGE"}) {
    Request request;
    request.method = method;
    request.body = "some=data";
    const Reply reply = Get("/skalo/echo?q", request);
    EXPECT_EQ(reply.status, 200) << method;
    EXPECT_EQ(Line(reply.body, "method"), method);
    EXPECT_EQ(Line(reply.body, "request_method"), method);
  }
}

TEST_F(HostHttpdModule, RefusesPathInfoThatCannotBeDecoded) {
  for (const char* target : {"/skalo/%zz", "/skalo/a%00", "/skalo/%4", "/skalo/%"}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.status, 400) << target;
    EXPECT_THAT(reply.body, Not(HasSubstr("path_info="))) << target;
  }
}

TEST_F(HostHttpdModule, RefusesBodiesOverOneMebibyte) {
  const std::string limit(1 << 20, 'x');
  Request at_limit;
  at_limit.method = "POST";
  at_limit.body = limit;
  at_limit.headers = {"Expect:"};
  EXPECT_EQ(Get("/skalo/echo", at_limit).status, 200);

  Request over = at_limit;
  over.body += "y";
  EXPECT_EQ(Get("/skalo/echo", over).status, 413) << "without Expect";
  over.headers = {"Expect: 100-continue"};
  EXPECT_EQ(Get("/skalo/echo", over).status, 413) << "with Expect: 100-continue";

  // A chunked body is only found too large while reading it.
  const std::string chunked =
      "POST /skalo/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
      "\r\n100000\r\n" +
      limit + "\r\n1\r\ny\r\n0\r\n\r\n";
  EXPECT_THAT(RawExchange(server_->port(), chunked), StartsWith("HTTP/1.1 413 "));
}

TEST_F(HostHttpdModule, AnswersAContinueBeforeReadingTheBody) {
  Request request;
  request.method = "POST";
  request.body = std::string(4096, 'x');
  request.headers = {"Expect: 100-continue"};
  const Reply reply = Get("/skalo/echo", request);
  EXPECT_EQ(reply.status, 200) << reply.error;
  EXPECT_EQ(Line(reply.body, "method"), "POST");
}

TEST_F(HostHttpdModule, MapsUrlsLikeTheStaticFiles) {
  const std::string site = temp_->str();
  for (const auto& [map, want] : std::vector<std::pair<std::string, std::string>>{
           {"/hello.txt", site + "/www/hello.txt"},
           {"images/a.jpg", site + "/www/images/a.jpg"},
           {"/cache/x.txt", site + "/cache/x.txt"},
           {"/cache/deep/y.txt", site + "/deep/y.txt"},
           {"/cache/../z", site + "/www/z"},
           {"/../secret.txt", "<failed>"},
           {"/%252e%252e/secret.txt", "<failed>"},
           {"/a%255cb", "<failed>"}}) {
    const Reply reply = Get("/skalo/echo?map=" + map);
    EXPECT_EQ(Line(reply.body, "map"), want) << map;
  }
}

TEST_F(HostHttpdModule, KeepsTheModulesStatusAndReason) {
  const std::string long_reason =
      "Error: the image /images/x.jpg could not be read: unexpected end of data at offset 1234";
  for (const auto& [code, reason] : std::vector<std::pair<long, std::string>>{
           {503, "Busy right now"}, {500, long_reason}, {299, "Custom"}}) {
    std::string query_reason;
    for (char c : reason)
      query_reason += c == ' ' ? '+' : c;
    const Reply reply =
        Get("/skalo/status?code=" + std::to_string(code) + "&reason=" + query_reason);
    EXPECT_EQ(reply.status, code);
    EXPECT_EQ(reply.reason, reason);
    EXPECT_EQ(reply.body, "custom\n");
  }
}

TEST_F(HostHttpdModule, AnswersInternalErrorWhenTheModuleSendsNothing) {
  const Reply reply = Get("/skalo/silent");
  EXPECT_EQ(reply.status, 500) << reply.error;
}

TEST_F(HostHttpdModule, NeverPassesAModuleFailureOffAsSuccess) {
  const Reply failed = Get("/skalo/fail");
  EXPECT_EQ(failed.status, 500);
  EXPECT_THAT(failed.body, Not(HasSubstr("partial")));

  const Reply page = Get("/skalo/error-page");
  EXPECT_EQ(page.status, 502);
  EXPECT_EQ(page.reason, "Upstream Trouble");
  EXPECT_EQ(page.body, "upstream trouble\n");
}

TEST_F(HostHttpdModule, FramesTheBodyAndDropsBadHeaderLines) {
  Client client;
  const Reply reply = client.Fetch(Url("/skalo/headers"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "framed\n");
  EXPECT_EQ(reply.Header("Content-Length"), "7");
  EXPECT_EQ(reply.HeaderCount("X-Echo"), 2);
  EXPECT_EQ(reply.Header("X-Last"), "padded value");
  EXPECT_EQ(reply.HeaderCount("Bad Name"), 0);
  EXPECT_EQ(reply.HeaderCount("X-Split"), 0);
  EXPECT_EQ(reply.HeaderCount("Transfer-Encoding"), 0);
  EXPECT_EQ(reply.HeaderCount("Connection"), 0);
  // The module's "Connection: close" does not end the connection: the host owns it.
  EXPECT_EQ(client.Fetch(Url("/hello.txt")).body, "hello\n");
  EXPECT_EQ(client.new_connections(), 0);
}

TEST_F(HostHttpdModule, HeadAnswersCarryNoBody) {
  Client client;
  Request head;
  head.head = true;
  const Reply reply = client.Fetch(Url("/skalo/echo"), head);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "");
  EXPECT_NE(reply.Header("Content-Length"), "");
  // Had a body been sent, it would be read as the next answer.
  const Reply next = client.Fetch(Url("/skalo/echo?after"));
  EXPECT_EQ(Line(next.body, "query"), "after");
  EXPECT_EQ(client.new_connections(), 0);
}

TEST_F(HostHttpdModule, SendsTheFileTheModuleAnswersWith) {
  std::string old_bytes(300000, '\0'), new_bytes(1000, 'n');
  for (std::size_t i = 0; i < old_bytes.size(); ++i)
    old_bytes[i] = static_cast<char>(i * 13 + i / 256);
  const std::string entry = temp_->Write("file/entry.bin", old_bytes).string();
  const std::string fresh = temp_->Write("file/fresh.bin", new_bytes).string();
  const std::string target = "/skalo/file?path=" + entry;
  Client client;
  // The entry is replaced as soon as the module's call returns: what goes out
  // is still the file the module opened, whole.
  const Reply first = client.Fetch(
      Url(target + "&offset=7&size=" + std::to_string(old_bytes.size() - 7) + "&replace=" + fresh));
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.Header("Content-Type"), "application/x-test");
  EXPECT_EQ(first.Header("X-File"), "yes");
  EXPECT_EQ(first.Header("Content-Length"), std::to_string(old_bytes.size() - 7));
  EXPECT_TRUE(first.body == old_bytes.substr(7)) << first.body.size() << " bytes";
  Request head;
  head.head = true;
  const Reply headers = client.Fetch(Url(target + "&offset=0&size=1000"), head);
  EXPECT_EQ(headers.body, "");
  EXPECT_EQ(headers.Header("Content-Length"), "1000");
  EXPECT_EQ(client.Fetch(Url(target + "&offset=0&size=1000")).body, new_bytes);
  EXPECT_EQ(client.Fetch(Url(target + "&offset=1&size=1000")).body, "refused\n");
  EXPECT_EQ(client.Fetch(Url("/hello.txt")).body, "hello\n");
  EXPECT_EQ(client.new_connections(), 0);
  // Emptied in place once the call returns: the connection ends rather than
  // the answer coming out short.
  EXPECT_NE(client.Fetch(Url(target + "&offset=0&size=1000&truncate=1")).error, "");
  EXPECT_EQ(client.Fetch(Url("/hello.txt")).body, "hello\n");
}

TEST_F(HostHttpdModule, RunsModuleCallsSideBySide) {
  // /gate waits inside the module until /open comes through another
  // connection. Run one after the other, /gate would time out and /open would
  // find no one waiting.
  std::string gate_body;
  std::thread gate([&] { gate_body = Get("/skalo/gate?name=g1").body; });
  const std::string open_body = Get("/skalo/open?name=g1").body;
  gate.join();
  EXPECT_EQ(gate_body, "opened\n");
  EXPECT_EQ(open_body, "opened\n");
}

TEST_F(HostHttpdModule, SlowModuleCallsDoNotHoldUpOthers) {
  const std::filesystem::path mark = temp_->path() / "slow-entered";
  std::mutex mutex;
  std::vector<std::string> finished;
  std::thread slow([&] {
    const Reply reply = Get("/skalo/slow?ms=1500&mark=" + mark.string());
    std::lock_guard lock(mutex);
    finished.push_back("slow:" + std::to_string(reply.status));
  });
  ASSERT_TRUE(AwaitFile(mark)) << "the module call never started";
  const Reply fast = Get("/skalo/echo");
  {
    std::lock_guard lock(mutex);
    finished.push_back("fast:" + std::to_string(fast.status));
  }
  slow.join();
  EXPECT_THAT(finished, ::testing::ElementsAre("fast:200", "slow:200"));
}

TEST_F(HostHttpdConnection, KeepsTheConnectionAliveBetweenRequests) {
  Client client;
  EXPECT_EQ(client.Fetch(Url("/hello.txt")).status, 200);
  EXPECT_EQ(client.new_connections(), 1);
  const long port = client.local_port();
  EXPECT_EQ(client.Fetch(Url("/skalo/echo")).status, 200);
  EXPECT_EQ(client.new_connections(), 0) << "the module answer did not reuse the connection";
  EXPECT_EQ(client.Fetch(Url("/nope")).status, 404);
  EXPECT_EQ(client.Fetch(Url("/index.html")).status, 200);
  EXPECT_EQ(client.new_connections(), 0) << "an error answer ended the connection";
  EXPECT_EQ(client.local_port(), port);
}

TEST_F(HostHttpdConnection, AnswersPipelinedRequestsInOrder) {
  const std::string answers =
      RawExchange(server_->port(),
                  "GET /skalo/echo?first HTTP/1.1\r\nHost: x\r\n\r\n"
                  "GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                  "GET /skalo/echo?third HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::size_t first = answers.find("query=first");
  const std::size_t second = answers.find("hello\n");
  const std::size_t third = answers.find("query=third");
  ASSERT_NE(first, std::string::npos) << answers;
  ASSERT_NE(second, std::string::npos) << answers;
  ASSERT_NE(third, std::string::npos) << answers;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_THAT(answers, HasSubstr("Connection: close"));
}

TEST_F(HostHttpdConnection, ClosesWhenTheClientAsks) {
  const std::string answer = RawExchange(
      server_->port(), "GET /hello.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(answer, HasSubstr("\r\n\r\nhello\n"));
}

TEST_F(HostHttpdConnection, ServesHttp10ClientsWithoutHost) {
  const std::string answer = RawExchange(server_->port(), "GET /skalo/echo HTTP/1.0\r\n\r\n");
  EXPECT_THAT(answer, StartsWith("HTTP/1.0 200 OK\r\n"));
  EXPECT_THAT(answer, HasSubstr("http_host=\n"));
  EXPECT_THAT(answer, HasSubstr("protocol=HTTP/1.0\n"));
}

TEST_F(HostHttpdConnection, AcceptsAbsoluteFormTargets) {
  const std::string answer =
      RawExchange(server_->port(),
                  "GET " + Url("/hello.txt") + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(answer, HasSubstr("hello\n"));
}

TEST_F(HostHttpdConnection, RefusesOversizedHeaders) {
  Request big;
  big.headers = {"X-Big: " + std::string(64 * 1024, 'b')};
  const Reply reply = Get("/hello.txt", big);
  EXPECT_EQ(reply.status, 431) << reply.error;
}

TEST_F(HostHttpdConnection, RefusesMalformedRequests) {
  EXPECT_THAT(RawExchange(server_->port(), "GARBAGE\r\n\r\n"), StartsWith("HTTP/1.1 400 "));
  // Well-formed messages with unusable targets: the connection may stay open.
  EXPECT_THAT(
      RawExchange(server_->port(), "OPTIONS * HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
      StartsWith("HTTP/1.1 400 "));
  EXPECT_THAT(RawExchange(server_->port(),
                          "GET relative/path HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
              StartsWith("HTTP/1.1 400 "));
}

// Each of these starts its own host.
class HostHttpdLifecycle : public ::testing::Test {
 protected:
  std::vector<std::string> Args(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"--listen",  "127.0.0.1:0", "--root",
                                     temp_.str(), "--module",    kEchoModule};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempDir temp_;
};

TEST_F(HostHttpdLifecycle, PrintsTheReadyLineAndStopsCleanlyOnSignals) {
  for (const int signal : {SIGTERM, SIGINT}) {
    const std::string mark = temp_.str() + "/terminated-" + std::to_string(signal);
    HttpdProcess server(Args(), {"ECHO_MODULE_TERMINATE_MARK=" + mark});
    EXPECT_TRUE(IsReadyLine(server.ready_line()))
        << "got \"" << server.ready_line()
        << "\", want \"skalo-httpd listening on http://127.0.0.1:PORT/\"";
    EXPECT_GT(server.port(), 0);
    EXPECT_EQ(Client().Fetch(server.Url("/skalo/echo")).status, 200);
    ExpectCleanExit(server.Stop(signal));
    EXPECT_TRUE(std::filesystem::exists(mark)) << "TerminateExtension was not called";
  }
}

TEST_F(HostHttpdLifecycle, StopsCleanlyWhileConnectionsAreOpen) {
  HttpdProcess server(Args());
  RawConnection idle(server.port());
  RawConnection partial(server.port());
  partial.Send("GET /hello.txt HTTP/1.1\r\nHost: x\r\n");
  Client keep_alive;
  EXPECT_EQ(keep_alive.Fetch(server.Url("/skalo/echo")).status, 200);
  ExpectCleanExit(server.Stop());
  EXPECT_EQ(idle.ReadToEnd(), "");
  EXPECT_EQ(partial.ReadToEnd(), "");
}

TEST_F(HostHttpdLifecycle, FinishesRunningModuleCallsWhenStopping) {
  HttpdProcess server(Args());
  const std::filesystem::path mark = temp_.path() / "entered";
  Reply reply;
  std::thread slow(
      [&] { reply = Client().Fetch(server.Url("/skalo/slow?ms=1000&mark=" + mark.string())); });
  ASSERT_TRUE(AwaitFile(mark)) << "the module call never started";
  ExpectCleanExit(server.Stop());
  slow.join();
  EXPECT_EQ(reply.status, 200) << reply.error;
  EXPECT_EQ(Line(reply.body, "path_info"), "/slow");
  EXPECT_EQ(reply.Header("Connection"), "close");
}

TEST_F(HostHttpdLifecycle, ASecondSignalStopsAtOnce) {
  HttpdProcess server(Args());
  const std::filesystem::path mark = temp_.path() / "entered";
  Reply reply;
  std::thread slow(
      [&] { reply = Client().Fetch(server.Url("/skalo/slow?ms=10000&mark=" + mark.string())); });
  ASSERT_TRUE(AwaitFile(mark)) << "the module call never started";
  server.Signal(SIGTERM);
  // Signals of one kind do not queue: the second may only be sent once the
  // first has been handled, which shows as the host no longer accepting.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (CanConnect(server.port()) && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const int status = server.Stop(SIGTERM);
  slow.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1)
      << "got " << StatusText(status) << ", want exit code 1 without waiting for the module";
  EXPECT_NE(reply.error, "") << "the interrupted call got an answer";
}

TEST_F(HostHttpdLifecycle, ServesStaticFilesWhileModuleCallsAreBlocked) {
  // More blocked module calls at once than the host has I/O threads (at most
  // 4); had they run on those threads, nothing else would be served until they
  // gave up waiting, and their answers would say so.
  constexpr int kBlocked = 5;
  temp_.Write("quick.txt", "quick");
  HttpdProcess server(Args({"--threads", std::to_string(kBlocked + 1)}));
  std::vector<std::string> gate_bodies(kBlocked);
  std::vector<std::thread> gates;
  for (int i = 0; i < kBlocked; ++i) {
    const std::string mark = (temp_.path() / ("entered-" + std::to_string(i))).string();
    gates.emplace_back([&, i, mark] {
      const std::string target = "/skalo/gate?name=g" + std::to_string(i) + "&mark=" + mark;
      gate_bodies[i] = Client().Fetch(server.Url(target)).body;
    });
  }
  bool all_entered = true;
  for (int i = 0; i < kBlocked; ++i) {
    all_entered = AwaitFile(temp_.path() / ("entered-" + std::to_string(i))) && all_entered;
  }
  EXPECT_TRUE(all_entered);
  const Reply quick = Client().Fetch(server.Url("/quick.txt"));
  for (int i = 0; i < kBlocked; ++i) {
    const std::string target = "/skalo/open?name=g" + std::to_string(i);
    EXPECT_EQ(Client().Fetch(server.Url(target)).body, "opened\n");
  }
  for (std::thread& thread : gates)
    thread.join();
  EXPECT_EQ(quick.body, "quick");
  for (int i = 0; i < kBlocked; ++i)
    EXPECT_EQ(gate_bodies[i], "opened\n") << "gate " << i;
  ExpectCleanExit(server.Stop());
}

TEST_F(HostHttpdLifecycle, RefusesBadArgumentsWithUsageAndCode2) {
  const std::string root = temp_.str();
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--root", root},
      {"--listen", "127.0.0.1:0"},
      {"--listen", "127.0.0.1", "--root", root},
      {"--listen", "127.0.0.1:99999", "--root", root},
      {"--listen", "127.0.0.1:0", "--root", root + "/missing"},
      {"--listen", "127.0.0.1:0", "--root", root, "--alias", "/c=" + root + "/missing"},
      {"--listen", "127.0.0.1:0", "--root", root, "--threads", "0"},
      {"--listen", "127.0.0.1:0", "--root", root, "--bogus"},
  };
  for (const auto& args : bad) {
    const Finished run = RunToExit(HttpdPath(), args);
    EXPECT_TRUE(run.Exited(2)) << "got " << StatusText(run.wait_status) << ", want exit code 2\n"
                               << run.err;
    EXPECT_THAT(run.err, HasSubstr("usage: skalo-httpd"));
    EXPECT_EQ(run.out, "");
  }
  const Finished help = RunToExit(HttpdPath(), {"--help"});
  EXPECT_TRUE(help.Exited(0)) << StatusText(help.wait_status);
  EXPECT_THAT(help.out, HasSubstr("usage: skalo-httpd"));
}

TEST_F(HostHttpdLifecycle, RefusesToStartWithoutAUsableModule) {
  temp_.Write("not-a-module.so", "plain text");
  struct Case {
    std::string module;
    std::vector<std::string> env;
    std::string complaint;
  };
  for (const Case& c : std::vector<Case>{
           {temp_.str() + "/missing.so", {}, "missing.so"},
           {temp_.str() + "/not-a-module.so", {}, "not-a-module.so"},
           {kIncompleteModule, {}, "TerminateExtension"},
           {kEchoModule, {"ECHO_MODULE_REFUSE=1"}, "GetExtensionVersion"},
       }) {
    const Finished run =
        RunToExit(HttpdPath(),
                  {"--listen", "127.0.0.1:0", "--root", temp_.str(), "--module", c.module}, c.env);
    EXPECT_TRUE(run.Exited(1)) << c.module << ": got " << StatusText(run.wait_status)
                               << ", want exit code 1";
    EXPECT_THAT(run.err, HasSubstr(c.complaint)) << c.module;
    EXPECT_EQ(run.out, "") << "no ready line for " << c.module;
  }
}

TEST_F(HostHttpdLifecycle, RefusesToStartOnAPortInUse) {
  HttpdProcess first(Args());
  const Finished second =
      RunToExit(HttpdPath(), {"--listen", "127.0.0.1:" + std::to_string(first.port()), "--root",
                              temp_.str(), "--module", kEchoModule});
  EXPECT_TRUE(second.Exited(1)) << "got " << StatusText(second.wait_status);
  EXPECT_EQ(second.out, "");
  ExpectCleanExit(first.Stop());
}

TEST_F(HostHttpdLifecycle, LoadsSkaloSoBesideTheProgramByDefault) {
  const std::filesystem::path bin = temp_.MakeDir("bin");
  std::filesystem::copy_file(HttpdPath(), bin / "skalo-httpd");
  std::filesystem::copy_file(kEchoModule, bin / "skalo.so");
  HttpdProcess server({"--listen", "127.0.0.1:0", "--root", temp_.str()}, {},
                      (bin / "skalo-httpd").string());
  const Reply reply = Client().Fetch(server.Url("/skalo/default?x"));
  EXPECT_EQ(Line(reply.body, "path_info"), "/default");
  ExpectCleanExit(server.Stop());
}

TEST_F(HostHttpdLifecycle, ServesUnderAnotherMount) {
  temp_.Write("skalo/file.txt", "static under the old mount");
  HttpdProcess server(Args({"--mount", "/img/resize"}));
  Client client;
  const Reply module = client.Fetch(server.Url("/img/resize/xml?a=1"));
  EXPECT_EQ(Line(module.body, "script_name"), "/img/resize");
  EXPECT_EQ(Line(module.body, "path_info"), "/xml");
  EXPECT_EQ(client.Fetch(server.Url("/skalo/file.txt")).body, "static under the old mount");
  ExpectCleanExit(server.Stop());
}

}  // namespace
}  // namespace skalo::host::testing
