#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>

#include "service/web.h"
#include "tests/service/fake_ecb.h"

namespace skalo {
namespace {

using testing::FakeConnection;

TEST(Response, InitialValuesAndTextBody) {
  FakeConnection conn;
  TWebRequest request(conn.Ecb());
  TWebResponse response(request);
  EXPECT_EQ(response.StatusCode(), 200);
  EXPECT_EQ(response.ContentType(), "text/html");
  response.SetContent("hello");
  response.SendResponse();
  EXPECT_EQ(conn.Wire(), "200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(conn.ecb.dwHttpStatusCode, 200u);
  EXPECT_TRUE(response.Sent());
}

TEST(Response, HeaderBlockOrderCustomThenTypeThenLength) {
  FakeConnection conn;
  TWebRequest request(conn.Ecb());
  TWebResponse response(request);
  response.SetCustomHeader("Content-Disposition", "filename=\"a.jpg\"");
  response.SetCustomHeader("X-Second", "2");
  response.SetCustomHeader("content-disposition", "filename=\"b.jpg\"");  // replaced in place
  response.SetContentType("image/jpeg");
  response.SetStatusCode(500);
  response.SetContent("xy");
  response.SendResponse();
  EXPECT_EQ(conn.status, "500 Internal Server Error");
  EXPECT_EQ(conn.headers,
            "Content-Disposition: filename=\"b.jpg\"\r\nX-Second: 2\r\n"
            "Content-Type: image/jpeg\r\nContent-Length: 2\r\n\r\n");
}

TEST(Response, EmptyTypeAndEmptyBodySendNeitherHeader) {
  FakeConnection conn;
  TWebRequest request(conn.Ecb());
  TWebResponse response(request);
  response.SetContentType("");
  response.SendResponse();
  EXPECT_EQ(conn.headers, "\r\n");
  EXPECT_EQ(conn.body, "");
}

TEST(Response, HeaderValuesCannotStartNewLines) {
  FakeConnection conn;
  TWebRequest request(conn.Ecb());
  TWebResponse response(request);
  response.SetCustomHeader("Content-Disposition", "filename=\"a\r\nSet-Cookie: x=1\"");
  response.SetContentType("text/plain\nX-Injected: 1");
  response.SendResponse();
  EXPECT_EQ(conn.headers,
            "Content-Disposition: filename=\"a  Set-Cookie: x=1\"\r\n"
            "Content-Type: text/plain X-Injected: 1\r\n\r\n");
}

TEST(Response, StreamGoesOutInPiecesFromItsPosition) {
  FakeConnection conn;
  TWebRequest request(conn.Ecb());
  TWebResponse response(request);
  std::vector<std::uint8_t> bytes(20000);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  response.SetContent("ignored text");
  response.SetContentStream(std::make_unique<TMemoryStream>(bytes));
  EXPECT_EQ(response.ContentLength(), 20000u);
  response.SendResponse();
  EXPECT_EQ(conn.headers, "Content-Type: text/html\r\nContent-Length: 20000\r\n\r\n");
  ASSERT_EQ(conn.body.size(), bytes.size());
  EXPECT_EQ(0, std::memcmp(conn.body.data(), bytes.data(), bytes.size()));
  EXPECT_EQ(conn.write_calls, 3);
  EXPECT_EQ(conn.largest_write, 8192u);
  EXPECT_EQ(response.ContentStream(), nullptr);  // freed after sending
}

// A file body, sent by a host that offers TransmitFile, by one that does not,
// by an older one whose shorter control block ends before it, and by one that
// refuses the file.
TEST(Response, FileGoesOutTheSameThroughEveryHost) {
  namespace fs = std::filesystem;
  const fs::path path =
      fs::temp_directory_path() / ("skalo-response-" + std::to_string(::getpid()) + ".bin");
  std::string bytes(20000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 7);
  enum class Host { kTransmits, kWrites, kOlder, kRefuses };
  for (const std::string& content : {bytes, std::string()}) {
    std::ofstream(path, std::ios::binary) << content;
    for (Host host : {Host::kTransmits, Host::kWrites, Host::kOlder, Host::kRefuses}) {
      SCOPED_TRACE(static_cast<int>(host));
      FakeConnection conn;
      conn.transmit_file = host != Host::kWrites;
      conn.refuse_transmit = host == Host::kRefuses;
      EXTENSION_CONTROL_BLOCK* ecb = conn.Ecb();
      if (host == Host::kOlder) ecb->cbSize = offsetof(EXTENSION_CONTROL_BLOCK, TransmitFile);
      TWebRequest request(ecb);
      TWebResponse response(request);
      response.SetContent("ignored text");
      response.SetContentFile(TContentFile::Open(path.string()));
      response.SendResponse();
      EXPECT_EQ(conn.status, "200 OK");
      EXPECT_EQ(conn.headers, "Content-Type: text/html\r\nContent-Length: " +
                                  std::to_string(content.size()) + "\r\n\r\n");
      EXPECT_EQ(conn.body, content);
      EXPECT_EQ(conn.transmit_calls, host == Host::kTransmits || host == Host::kRefuses ? 1 : 0);
      EXPECT_LE(conn.largest_write, 8192u);
      EXPECT_FALSE(response.ContentFile());  // closed after sending
    }
  }
  fs::remove(path);
  // Only a regular file opens.
  EXPECT_FALSE(TContentFile::Open(path.string()));
  EXPECT_FALSE(TContentFile::Open(fs::temp_directory_path().string()));
}

TEST(Response, SendsOnlyOnce) {
  FakeConnection conn;
  TWebRequest request(conn.Ecb());
  TWebResponse response(request);
  response.SetContent("first");
  response.SendResponse();
  response.SetContent("second");
  response.SetStatusCode(500);
  response.SendResponse();
  EXPECT_EQ(conn.header_calls, 1);
  EXPECT_EQ(conn.body, "first");
}

TEST(Request, ReadsControlBlockAndServerVariables) {
  FakeConnection conn;
  conn.method = "HEAD";
  conn.path_info = "/xml";
  conn.query = "Image=%41";
  conn.variables["HTTP_HOST"] = std::string(600, 'h');  // longer than the first buffer
  TWebRequest request(conn.Ecb());
  EXPECT_EQ(request.Method(), "HEAD");
  EXPECT_EQ(request.PathInfo(), "/xml");
  EXPECT_EQ(request.Query(), "Image=%41");
  EXPECT_EQ(request.ScriptName(), "/skalo");
  EXPECT_EQ(request.Host(), std::string(600, 'h'));
  EXPECT_EQ(request.ProtocolVersion(), "HTTP/1.1");
  EXPECT_EQ(request.ContentFields().Value("image"), "A");
}

TEST(Request, TranslateUriThroughTheHostWithABoundedBuffer) {
  FakeConnection conn;
  conn.map_url = [](const std::string& url) {
    return url == "/bad" ? std::string() : "/srv/www" + url;
  };
  TWebRequest request(conn.Ecb());
  EXPECT_EQ(request.TranslateURI("/img/a.jpg"), "/srv/www/img/a.jpg");
  EXPECT_EQ(request.TranslateURI("/bad"), "");
  EXPECT_EQ(request.TranslateURI("/" + std::string(1022, 'a')), "");  // 1023 + NUL fits, result not
  EXPECT_EQ(request.TranslateURI("/" + std::string(1023, 'a')), "");  // input too long
  conn.map_url = [](const std::string& url) { return url; };
  EXPECT_EQ(request.TranslateURI("/" + std::string(1022, 'a')), "/" + std::string(1022, 'a'));
}

}  // namespace
}  // namespace skalo
