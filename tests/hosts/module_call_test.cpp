#include "hosts/module_call.h"

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/hosts/temp_dir.h"

namespace skalo::host {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

ModuleRequest SampleRequest() {
  return {"GET", "Image=/a%20b.jpg&x=1", "/xml", "/skalo", "example.org:8080", "HTTP/1.1", "", ""};
}

const SiteMap kSite{"/srv/www", {{"/cache", "/var/cache/skalo"}}};

TEST(HostStatusText, KeepsCodeAndReasonAsGiven) {
  struct Case {
    std::string text;
    unsigned code;
    std::string reason;
  };
  const std::string long_reason(2000, 'x');
  for (const Case& c : std::vector<Case>{
           {"200 OK", 200, "OK"},
           {"500 Some long message: with colons, commas", 500,
            "Some long message: with colons, commas"},
           {"404", 404, ""},
           {"599 X", 599, "X"},
           {"200  two spaces", 200, " two spaces"},
           {"500 " + long_reason, 500, long_reason},
           {"500 a\x01"
            "b\x7f"
            "c",
            500, "a b c"},
           {"500 a\r\nInjected: yes", 500, "a  Injected: yes"},
       }) {
    const auto got = ParseStatusText(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(got->code, c.code) << c.text;
    EXPECT_EQ(got->reason, c.reason) << c.text;
  }
}

TEST(HostStatusText, RefusesMalformedAndNonFinalStatuses) {
  for (const char* text : {"", "20", "abc OK", "200OK", "1000 X", "099 X", "100 Continue", "199 X",
                           "600 X", " 200 OK", "2x0 OK"}) {
    EXPECT_FALSE(ParseStatusText(text).has_value()) << "\"" << text << "\"";
  }
}

TEST(HostHeaderBlock, ParsesFieldsUpToTheEmptyLine) {
  EXPECT_THAT(
      ParseHeaderBlock("Content-Type: image/png\r\n"
                       "Set-Cookie: a=1\r\n"
                       "Set-Cookie: b=2\r\n"
                       "X-Pad: \t padded \t\r\n"
                       "X-Empty:\r\n"
                       "X-Colon: a: b\r\n"
                       "\r\n"
                       "After-End: ignored\r\n"),
      ElementsAre(HeaderField{"Content-Type", "image/png"}, HeaderField{"Set-Cookie", "a=1"},
                  HeaderField{"Set-Cookie", "b=2"}, HeaderField{"X-Pad", "padded"},
                  HeaderField{"X-Empty", ""}, HeaderField{"X-Colon", "a: b"}));
  EXPECT_THAT(ParseHeaderBlock("X-Last: no final line end"),
              ElementsAre(HeaderField{"X-Last", "no final line end"}));
  EXPECT_THAT(ParseHeaderBlock(""), IsEmpty());
  EXPECT_THAT(ParseHeaderBlock("\r\n"), IsEmpty());
}

TEST(HostHeaderBlock, DropsLinesThatCouldBreakTheResponse) {
  EXPECT_THAT(ParseHeaderBlock("Bad Name: x\r\n"
                               ": no name\r\n"
                               "NoColon\r\n"
                               "X(y): bad token\r\n"
                               "X-Cr: a\rb\r\n"
                               "X-Lf: a\nInjected: b\r\n"
                               "X-Nul: a" +
                               std::string(1, '\0') +
                               "b\r\n"
                               "X-Good: kept\r\n"
                               "\r\n"),
              ElementsAre(HeaderField{"X-Good", "kept"}));
}

TEST(HostModuleCall, FillsTheControlBlock) {
  ModuleCall call(SampleRequest(), kSite);
  const EXTENSION_CONTROL_BLOCK& ecb = call.ecb();
  EXPECT_EQ(ecb.cbSize, sizeof(EXTENSION_CONTROL_BLOCK));
  EXPECT_EQ(ecb.dwVersion, HSE_MAKE_VERSION(2, 0));
  EXPECT_EQ(ecb.ConnID, static_cast<HCONN>(&call));
  EXPECT_STREQ(ecb.lpszMethod, "GET");
  EXPECT_STREQ(ecb.lpszQueryString, "Image=/a%20b.jpg&x=1");
  EXPECT_STREQ(ecb.lpszPathInfo, "/xml");
  EXPECT_NE(ecb.GetServerVariable, nullptr);
  EXPECT_NE(ecb.MapUrlToPath, nullptr);
  EXPECT_NE(ecb.SendResponseHeaders, nullptr);
  EXPECT_NE(ecb.WriteClient, nullptr);
  EXPECT_TRUE(HSE_ECB_HAS(&ecb, TransmitFile));
}

TEST(HostModuleCall, ServerVariablesReportTheSizeTheyNeed) {
  ModuleRequest request = SampleRequest();
  request.host = "";
  ModuleCall call(std::move(request), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();

  DWORD size = 0;
  EXPECT_EQ(ecb.GetServerVariable(ecb.ConnID, "SCRIPT_NAME", nullptr, &size), 0);
  EXPECT_EQ(size, 7u) << "\"/skalo\" plus the terminator";

  char small[4] = {};
  size = sizeof small;
  EXPECT_EQ(ecb.GetServerVariable(ecb.ConnID, "QUERY_STRING", small, &size), 0);
  EXPECT_EQ(size, 21u);

  char exact[7];
  size = sizeof exact;
  ASSERT_EQ(ecb.GetServerVariable(ecb.ConnID, "SCRIPT_NAME", exact, &size), 1);
  EXPECT_STREQ(exact, "/skalo");
  EXPECT_EQ(size, 7u);

  char buffer[64];
  const std::vector<std::pair<const char*, const char*>> expected = {
      {"HTTP_HOST", ""},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"REQUEST_METHOD", "GET"},
      {"PATH_INFO", "/xml"},
      {"QUERY_STRING", "Image=/a%20b.jpg&x=1"}};
  for (const auto& [name, value] : expected) {
    size = sizeof buffer;
    ASSERT_EQ(ecb.GetServerVariable(ecb.ConnID, name, buffer, &size), 1) << name;
    EXPECT_STREQ(buffer, value) << name;
    EXPECT_EQ(size, std::strlen(value) + 1) << name;
  }

  size = sizeof buffer;
  EXPECT_EQ(ecb.GetServerVariable(ecb.ConnID, "REMOTE_USER", buffer, &size), 0);
  EXPECT_EQ(size, 0u) << "an unknown variable needs no buffer";
  EXPECT_EQ(ecb.GetServerVariable(ecb.ConnID, "SCRIPT_NAME", buffer, nullptr), 0);
}

TEST(HostModuleCall, MapsUrlsInPlace) {
  ModuleCall call(SampleRequest(), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();
  char buffer[HSE_MAP_URL_BUFFER];

  std::strcpy(buffer, "/cache/../images/a.jpg");
  DWORD size = sizeof buffer;
  ASSERT_EQ(ecb.MapUrlToPath(ecb.ConnID, buffer, &size), 1);
  EXPECT_STREQ(buffer, "/srv/www/images/a.jpg");
  EXPECT_EQ(size, std::strlen("/srv/www/images/a.jpg") + 1);

  std::strcpy(buffer, "/cache/x.png");
  size = sizeof buffer;
  ASSERT_EQ(ecb.MapUrlToPath(ecb.ConnID, buffer, &size), 1);
  EXPECT_STREQ(buffer, "/var/cache/skalo/x.png");

  for (const char* refused : {"/../etc/passwd", "/%2e%2e/x", "/a/%2F/b"}) {
    std::strcpy(buffer, refused);
    size = sizeof buffer;
    EXPECT_EQ(ecb.MapUrlToPath(ecb.ConnID, buffer, &size), 0) << refused;
    EXPECT_STREQ(buffer, "") << refused;
  }
}

TEST(HostModuleCall, MapUrlToPathNeverWritesPastTheBuffer) {
  ModuleCall call(SampleRequest(), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();

  // The result "/srv/www/abc" needs 13 bytes.
  char buffer[16] = "/abc";
  DWORD size = 12;
  EXPECT_EQ(ecb.MapUrlToPath(ecb.ConnID, buffer, &size), 0);
  size = 13;
  std::strcpy(buffer, "/abc");
  EXPECT_EQ(ecb.MapUrlToPath(ecb.ConnID, buffer, &size), 1);
  EXPECT_STREQ(buffer, "/srv/www/abc");

  // No terminator inside the stated size: refused without reading further.
  char unterminated[4] = {'/', 'a', 'b', 'c'};
  size = sizeof unterminated;
  EXPECT_EQ(ecb.MapUrlToPath(ecb.ConnID, unterminated, &size), 0);
}

TEST(HostModuleCall, TakesHeadersOnceAndBodyOnlyAfterThem) {
  ModuleCall call(SampleRequest(), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();

  DWORD bytes = 5;
  EXPECT_EQ(ecb.WriteClient(ecb.ConnID, "early", &bytes), 0) << "body before the status";
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(ecb.SendResponseHeaders(ecb.ConnID, "OK 200", ""), 0) << "malformed status";
  EXPECT_FALSE(call.output().headers_sent);

  ASSERT_EQ(ecb.SendResponseHeaders(ecb.ConnID, "201 Made", "X-A: 1\r\n\r\n"), 1);
  EXPECT_EQ(ecb.SendResponseHeaders(ecb.ConnID, "500 Again", ""), 0) << "a second status";

  bytes = 5;
  ASSERT_EQ(ecb.WriteClient(ecb.ConnID, "hello", &bytes), 1);
  EXPECT_EQ(bytes, 5u);
  bytes = 3;
  ASSERT_EQ(ecb.WriteClient(ecb.ConnID, "\0\1\2", &bytes), 1);
  bytes = 0;
  EXPECT_EQ(ecb.WriteClient(ecb.ConnID, nullptr, &bytes), 1);
  bytes = 1;
  EXPECT_EQ(ecb.WriteClient(ecb.ConnID, nullptr, &bytes), 0);

  const ModuleOutput& output = call.output();
  EXPECT_EQ(output.status, 201u);
  EXPECT_EQ(output.reason, "Made");
  EXPECT_THAT(output.headers, ElementsAre(HeaderField{"X-A", "1"}));
  EXPECT_EQ(output.body, std::string("hello\0\1\2", 8));
}

TEST(HostModuleCall, NullStatusMeansOk) {
  ModuleCall call(SampleRequest(), kSite);
  ASSERT_EQ(call.ecb().SendResponseHeaders(call.ecb().ConnID, nullptr, nullptr), 1);
  EXPECT_EQ(call.output().status, 200u);
  EXPECT_EQ(call.output().reason, "OK");
}

TEST(HostModuleCall, RefusesBodiesBeyondTheLimit) {
  ModuleCall call(SampleRequest(), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();
  ASSERT_EQ(ecb.SendResponseHeaders(ecb.ConnID, "200 OK", ""), 1);
  // The size is checked before anything is read from the buffer.
  DWORD bytes = static_cast<DWORD>(kMaxModuleBody + 1);
  EXPECT_EQ(ecb.WriteClient(ecb.ConnID, "x", &bytes), 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(call.output().body_overflow);
  EXPECT_EQ(FinishModuleAnswer(call.TakeOutput(), HSE_STATUS_SUCCESS, false).status, 500u);
}

TEST(HostModuleCall, ExceptionsFromTheModuleCountAsErrors) {
  ModuleCall call(SampleRequest(), kSite);
  const PFN_HTTPEXTENSIONPROC throwing = [](EXTENSION_CONTROL_BLOCK*) -> DWORD {
    throw std::runtime_error("boom");
  };
  EXPECT_EQ(call.Run(throwing), static_cast<DWORD>(HSE_STATUS_ERROR));

  ModuleCall passing(SampleRequest(), kSite);
  const PFN_HTTPEXTENSIONPROC answering = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    return ecb->SendResponseHeaders(ecb->ConnID, "204 No Content", "") ? HSE_STATUS_SUCCESS
                                                                       : HSE_STATUS_ERROR;
  };
  EXPECT_EQ(passing.Run(answering), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(passing.output().status, 204u);
}

std::string Pread(int fd, std::uint64_t offset, std::uint64_t size) {
  std::string bytes(size, '\0');
  const ssize_t got = pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

TEST(HostModuleCall, TakesAnOpenFileRangeAsTheWholeAnswer) {
  testing::TempDir temp;
  const std::string path = temp.Write("entry.bin", "0123456789").string();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int write_only = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const int folder = open(temp.str().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ModuleCall call(SampleRequest(), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();
  HSE_TF_INFO info{"206 Part", "Content-Type: a/b\r\nContent-Length: 4\r\n\r\n", fd, 3, 4};

  // Refused, with nothing taken: what is not a readable regular file holding
  // the range, and a bad status.
  for (const auto& [name, bad] : std::vector<std::pair<std::string, HSE_TF_INFO>>{
           {"past the end", {"200 OK", "", fd, 7, 4}},
           {"offset past the end", {"200 OK", "", fd, 11, 0}},
           {"wrapping range", {"200 OK", "", fd, 5, ~std::uint64_t{0}}},
           {"closed", {"200 OK", "", -1, 0, 1}},
           {"write-only", {"200 OK", "", write_only, 0, 1}},
           {"folder", {"200 OK", "", folder, 0, 0}},
           {"bad status", {"OK", "", fd, 0, 1}},
       }) {
    EXPECT_EQ(ecb.TransmitFile(ecb.ConnID, &bad), 0) << name;
    EXPECT_FALSE(call.output().headers_sent) << name;
  }
  EXPECT_EQ(ecb.TransmitFile(ecb.ConnID, nullptr), 0);

  ASSERT_EQ(ecb.TransmitFile(ecb.ConnID, &info), 1);
  // The host holds its own reference: the module's descriptor may go at once.
  close(fd);
  close(write_only);
  close(folder);
  EXPECT_EQ(ecb.TransmitFile(ecb.ConnID, &info), 0) << "a second answer";
  EXPECT_EQ(ecb.SendResponseHeaders(ecb.ConnID, "200 OK", ""), 0);
  DWORD bytes = 4;
  EXPECT_EQ(ecb.WriteClient(ecb.ConnID, "more", &bytes), 0) << "the file is the whole body";

  const ModuleOutput& output = call.output();
  EXPECT_EQ(output.status, 206u);
  EXPECT_EQ(output.reason, "Part");
  ASSERT_TRUE(output.file.has_value());
  EXPECT_EQ(Pread(output.file->fd.get(), output.file->offset, output.file->size), "3456");
  EXPECT_EQ(output.body, "");
}

TEST(HostModuleCall, AFileAnsweredAfterTheHeadersIsRefused) {
  testing::TempDir temp;
  const std::string path = temp.Write("entry.bin", "abc").string();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ModuleCall call(SampleRequest(), kSite);
  EXTENSION_CONTROL_BLOCK& ecb = call.ecb();
  ASSERT_EQ(ecb.SendResponseHeaders(ecb.ConnID, "200 OK", ""), 1);
  const HSE_TF_INFO info{"200 OK", "", fd, 0, 3};
  EXPECT_EQ(ecb.TransmitFile(ecb.ConnID, &info), 0);
  EXPECT_FALSE(call.output().file.has_value());
  close(fd);
}

ModuleOutput Sent(unsigned status, std::string reason, std::vector<HeaderField> headers,
                  std::string body) {
  ModuleOutput output;
  output.headers_sent = true;
  output.status = status;
  output.reason = std::move(reason);
  output.headers = std::move(headers);
  output.body = std::move(body);
  return output;
}

TEST(HostModuleAnswer, IsAnInternalErrorWhenTheModuleNeverAnswered) {
  const HostAnswer answer = FinishModuleAnswer(ModuleOutput{}, HSE_STATUS_SUCCESS, false);
  EXPECT_EQ(answer.status, 500u);
  EXPECT_EQ(answer.content_length, std::optional<std::uint64_t>(answer.body.size()));
  EXPECT_FALSE(answer.body.empty());
}

TEST(HostModuleAnswer, NeverPassesAFailureOffAsSuccess) {
  const HostAnswer failed =
      FinishModuleAnswer(Sent(200, "OK", {}, "partial"), HSE_STATUS_ERROR, false);
  EXPECT_EQ(failed.status, 500u);
  EXPECT_EQ(failed.body.find("partial"), std::string::npos);

  const HostAnswer redirect = FinishModuleAnswer(Sent(302, "Found", {}, ""), 2, false);
  EXPECT_EQ(redirect.status, 500u) << "only HSE_STATUS_SUCCESS is success";

  const HostAnswer error_page =
      FinishModuleAnswer(Sent(503, "Busy", {}, "try later"), HSE_STATUS_ERROR, false);
  EXPECT_EQ(error_page.status, 503u) << "the module's own error page is delivered";
  EXPECT_EQ(error_page.reason, "Busy");
  EXPECT_EQ(error_page.body, "try later");
}

TEST(HostModuleAnswer, FramesTheBodyItselfAndKeepsTheRest) {
  const HostAnswer answer = FinishModuleAnswer(Sent(500, "A long message from the module",
                                                    {{"Content-Type", "text/xml"},
                                                     {"content-length", "9999"},
                                                     {"Transfer-Encoding", "chunked"},
                                                     {"Connection", "close"},
                                                     {"Keep-Alive", "timeout=5"},
                                                     {"X-Kept", "yes"}},
                                                    "<a/>"),
                                               HSE_STATUS_SUCCESS, false);
  EXPECT_EQ(answer.status, 500u);
  EXPECT_EQ(answer.reason, "A long message from the module");
  EXPECT_THAT(answer.headers,
              ElementsAre(HeaderField{"Content-Type", "text/xml"}, HeaderField{"X-Kept", "yes"}));
  EXPECT_EQ(answer.body, "<a/>");
  EXPECT_EQ(answer.content_length, std::optional<std::uint64_t>(4));
}

TEST(HostModuleAnswer, HeadAnswersCarryNoBody) {
  const HostAnswer declared = FinishModuleAnswer(Sent(200, "OK", {{"Content-Length", "1234"}}, ""),
                                                 HSE_STATUS_SUCCESS, true);
  EXPECT_EQ(declared.body, "");
  EXPECT_EQ(declared.content_length, std::optional<std::uint64_t>(1234));

  const HostAnswer written =
      FinishModuleAnswer(Sent(200, "OK", {}, "twelve bytes"), HSE_STATUS_SUCCESS, true);
  EXPECT_EQ(written.body, "");
  EXPECT_EQ(written.content_length, std::optional<std::uint64_t>(12));

  const HostAnswer bad_length = FinishModuleAnswer(Sent(200, "OK", {{"Content-Length", "12x"}}, ""),
                                                   HSE_STATUS_SUCCESS, true);
  EXPECT_EQ(bad_length.content_length, std::nullopt);
}

TEST(HostModuleAnswer, NoContentAndNotModifiedHaveNoBody) {
  for (unsigned status : {204u, 304u}) {
    const HostAnswer answer = FinishModuleAnswer(
        Sent(status, "", {{"Content-Length", "5"}}, "stray"), HSE_STATUS_SUCCESS, false);
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(answer.body, "") << status;
    EXPECT_EQ(answer.content_length, std::nullopt) << status;
  }
}

TEST(HostModuleAnswer, LeavesTheFileToTheHost) {
  testing::TempDir temp;
  const std::string path = temp.Write("entry.bin", "0123456789").string();
  const auto output = [&](unsigned status, std::vector<HeaderField> headers) {
    ModuleOutput sent = Sent(status, "", std::move(headers), "");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    sent.file = TakeFileBody(fd, 2, 5);
    close(fd);
    return sent;
  };
  const HostAnswer get = FinishModuleAnswer(output(200, {{"Content-Length", "5"}, {"X-A", "1"}}),
                                            HSE_STATUS_SUCCESS, false);
  EXPECT_THAT(get.headers, ElementsAre(HeaderField{"X-A", "1"}));
  EXPECT_EQ(get.content_length, std::optional<std::uint64_t>(5));
  EXPECT_EQ(get.body, "");
  ASSERT_TRUE(get.file.has_value());
  EXPECT_EQ(Pread(get.file->fd.get(), get.file->offset, get.file->size), "23456");

  const HostAnswer head = FinishModuleAnswer(output(200, {}), HSE_STATUS_SUCCESS, true);
  EXPECT_EQ(head.content_length, std::optional<std::uint64_t>(5));
  EXPECT_FALSE(head.file.has_value());

  for (unsigned status : {204u, 304u}) {
    const HostAnswer empty = FinishModuleAnswer(output(status, {}), HSE_STATUS_SUCCESS, false);
    EXPECT_FALSE(empty.file.has_value()) << status;
    EXPECT_EQ(empty.content_length, std::nullopt) << status;
  }
  const HostAnswer failed = FinishModuleAnswer(output(200, {}), HSE_STATUS_ERROR, false);
  EXPECT_EQ(failed.status, 500u);
  EXPECT_FALSE(failed.file.has_value());
}

}  // namespace
}  // namespace skalo::host
