#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>

#include "service/application.h"
#include "tests/service/fake_ecb.h"

namespace skalo {
namespace {

using testing::FakeConnection;

// A module with the service's action table whose handlers report their name
// and the instance that ran them.
class RecordingModule : public TWebModule {
 public:
  explicit RecordingModule(int id) : id_(id) {
    for (const char* name : {"xml", "bin", "test", "loadsettings", "cachename"}) {
      AddAction({name, std::string("/") + name, "", std::string(name) == "bin", true,
                 [this, name](TWebRequest& request, TWebResponse& response, bool& handled) {
                   if (request.Query() == "fail") throw Exception("it <failed> & stopped");
                   if (request.Query() == "unhandled") {
                     handled = false;
                     return;
                   }
                   response.SetContent(std::string(name) + "#" + std::to_string(id_));
                 }});
    }
  }

 private:
  int id_;
};

TWebApplication::ModuleFactory RecordingFactory() {
  auto next = std::make_shared<std::atomic<int>>(0);
  return [next] { return std::make_unique<RecordingModule>((*next)++); };
}

std::string Serve(TWebApplication& app, const std::string& path_info, const std::string& query = "",
                  DWORD* result = nullptr) {
  FakeConnection conn;
  conn.path_info = path_info;
  conn.query = query;
  const DWORD r = app.HttpExtensionProc(conn.Ecb());
  if (result) *result = r;
  return conn.body;
}

TEST(Dispatch, MatchesWholePathInfoWithoutRegardToCase) {
  TWebApplication app(RecordingFactory());
  EXPECT_EQ(Serve(app, "/xml"), "xml#0");
  EXPECT_EQ(Serve(app, "/XML"), "xml#0");
  EXPECT_EQ(Serve(app, "/Bin"), "bin#0");
  EXPECT_EQ(Serve(app, "/LoadSettings"), "loadsettings#0");
  EXPECT_EQ(Serve(app, "/cachename"), "cachename#0");
  EXPECT_EQ(Serve(app, "/test"), "test#0");
}

TEST(Dispatch, AnythingElseRunsTheDefaultAction) {
  TWebApplication app(RecordingFactory());
  for (const char* path : {"", "/", "/xml/", "/xmlx", "/other", "/test/x"})
    EXPECT_EQ(Serve(app, path), "bin#0") << "path info \"" << path << "\"";
}

TEST(Dispatch, ServiceModuleHasTheFiveActionsInOrder) {
  TWebModule1 module;
  const auto& actions = module.Actions();
  ASSERT_EQ(actions.size(), 5u);
  const char* names[] = {"xml", "bin", "test", "loadsettings", "cachename"};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(actions[i].Name, names[i]);
    EXPECT_EQ(actions[i].PathInfo, std::string("/") + names[i]);
    EXPECT_EQ(actions[i].Default, i == 1);
    EXPECT_TRUE(actions[i].Enabled);
    EXPECT_TRUE(actions[i].MethodType.empty());
  }
  EXPECT_FALSE(module.SettingsLoaded());
}

TEST(Dispatch, HandledRequestAnswersSuccessUnhandledAnswersError) {
  TWebApplication app(RecordingFactory());
  DWORD result = 0;
  Serve(app, "/xml", "", &result);
  EXPECT_EQ(result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
  FakeConnection conn;
  conn.query = "unhandled";
  EXPECT_EQ(app.HttpExtensionProc(conn.Ecb()), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(conn.header_calls, 0);  // nobody sent anything
}

TEST(ErrorPages, ApplicationErrorPageIsEscapedAndSentWith500) {
  TWebApplication app(RecordingFactory());
  FakeConnection conn;
  conn.path_info = "/<script>alert(1)</script>";
  conn.query = "fail";
  EXPECT_EQ(app.HttpExtensionProc(conn.Ecb()), static_cast<DWORD>(HSE_STATUS_ERROR));
  const std::string body =
      "<html><body><h1>Internal Application Error</h1>\r\n<p>it &lt;failed&gt; &amp; stopped"
      "\r\n<p><hr width=\"100%\"><i>/&lt;script&gt;alert(1)&lt;/script&gt;</i></body></html>";
  EXPECT_EQ(conn.status, "500 Internal Server Error");
  EXPECT_EQ(conn.headers, "Content-Type: text/html\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n");
  EXPECT_EQ(conn.body, body);
}

TEST(ErrorPages, ApplicationErrorPageBytesForPlainTexts) {
  EXPECT_EQ(ApplicationErrorPage("boom", "/x"),
            "<html><body><h1>Internal Application Error</h1>\r\n<p>boom\r\n"
            "<p><hr width=\"100%\"><i>/x</i></body></html>");
}

TEST(ErrorPages, DecodingFailureOfTheServiceModuleShowsPathInfo) {
  // Settings load first, so the instance gets a settings file that sets nothing.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("skalo-dispatch-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "SkaloSettings.xml") << "<settings/>";
  TWebApplication app([&dir] {
    auto module = std::make_unique<TWebModule1>();
    module->SetSettingsDirectory(dir.string() + "/");
    return module;
  });
  FakeConnection conn;
  conn.path_info = "/{bad";
  conn.query = "Image=%4";
  EXPECT_EQ(app.HttpExtensionProc(conn.Ecb()), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(conn.status, "500 Internal Server Error");
  EXPECT_EQ(conn.body, ApplicationErrorPage(
                           "Error decoding URL style (%XX) encoded string at position 7", "/{bad"));
  std::filesystem::remove_all(dir);
}

TEST(ErrorPages, FallbackPageBytes) {
  FakeConnection conn;
  SendFallbackPage(conn.Ecb(), "Exception", "a <b> & \"c\"\r\nX: y");
  const std::string body =
      "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1><hr>"
      "\r\nException: Exception<br>\r\nMessage: a &lt;b&gt; &amp; &quot;c&quot;\r\nX: y<br>"
      "</html>\r\n";
  EXPECT_EQ(conn.status, "500 a <b> & \"c\"  X: y");
  EXPECT_EQ(conn.headers, "Content-Type: text/html\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n");
  EXPECT_EQ(conn.body, body);
}

// Handlers block until released, so requests stay in progress.
class Gate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(m_);
    ++inside_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void WaitForInside(int n) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return inside_ >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int inside_ = 0;
  bool open_ = false;
};

class BlockingModule : public TWebModule {
 public:
  BlockingModule(Gate& gate, int id) {
    AddAction(
        {"bin", "/bin", "", true, true, [&gate, id](TWebRequest& rq, TWebResponse& rs, bool&) {
           if (rq.Query() == "block") gate.Enter();
           rs.SetContent(std::to_string(id));
         }});
  }
};

TEST(Pool, TheThirtyThirdConcurrentRequestGetsTheFallbackPage) {
  Gate gate;
  std::atomic<int> next{0};
  TWebApplication app([&] { return std::make_unique<BlockingModule>(gate, next++); });

  std::vector<std::unique_ptr<FakeConnection>> conns;
  std::vector<std::thread> threads;
  for (int i = 0; i < 32; ++i) {
    conns.push_back(std::make_unique<FakeConnection>());
    conns.back()->query = "block";
    threads.emplace_back([&app, c = conns.back().get()] { app.HttpExtensionProc(c->Ecb()); });
  }
  gate.WaitForInside(32);
  EXPECT_EQ(app.ActiveCount(), 32u);

  FakeConnection extra;
  EXPECT_EQ(app.HttpExtensionProc(extra.Ecb()), static_cast<DWORD>(HSE_STATUS_ERROR));
  const std::string message =
      "Maximum number of concurrent connections exceeded.  Please try again later";
  EXPECT_EQ(extra.status, "500 " + message);
  EXPECT_EQ(extra.body,
            "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1>"
            "<hr>\r\nException: Exception<br>\r\nMessage: " +
                message + "<br></html>\r\n");

  gate.Open();
  for (auto& t : threads)
    t.join();
  for (auto& c : conns)
    EXPECT_EQ(c->status, "200 OK");
  EXPECT_EQ(app.ActiveCount(), 0u);
  EXPECT_EQ(app.InstanceCount(), 32u);

  FakeConnection after;
  EXPECT_EQ(app.HttpExtensionProc(after.Ecb()), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(app.InstanceCount(), 32u);  // an idle instance served it
}

TEST(Pool, IdleInstancesAreReusedFirstInFirstOut) {
  Gate gate;
  std::atomic<int> next{0};
  TWebApplication app([&] { return std::make_unique<BlockingModule>(gate, next++); });
  // Two concurrent requests create instances 0 and 1; 0 finishes first.
  FakeConnection a, b;
  a.query = "block";
  b.query = "block";
  std::thread ta([&] { app.HttpExtensionProc(a.Ecb()); });
  gate.WaitForInside(1);
  std::thread tb([&] { app.HttpExtensionProc(b.Ecb()); });
  gate.WaitForInside(2);
  gate.Open();
  ta.join();
  tb.join();
  // Whichever returned first is at the head of the idle list and serves next;
  // the following request then gets the other one.
  FakeConnection c, d;
  app.HttpExtensionProc(c.Ecb());
  app.HttpExtensionProc(d.Ecb());
  EXPECT_NE(c.body, d.body) << "both requests went to instance " << c.body;
  EXPECT_EQ(app.InstanceCount(), 2u);
}

}  // namespace
}  // namespace skalo
