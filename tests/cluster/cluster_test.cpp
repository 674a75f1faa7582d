// Three skalo-httpd instances on one cache folder behind nginx, set up by
// deploy/run-cluster.sh: each result is computed once in the whole cluster,
// and losing an instance loses no request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "imaging/jpeg.h"
#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo::host::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kInstances = 3;
constexpr int kPictures = 6;  // the same photo under several names, spread by the hash

std::string Photo() {
  // Large enough that a job takes tens of milliseconds, so that requests meet.
  skalo::testing::Noise noise(7);
  const skalo::testing::Raster picture = skalo::testing::MakeBgr24(2000, 1500, [&](int x, int y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x / 8 + noise.Next() / 8),
                                       static_cast<std::uint8_t>(y / 6 + noise.Next() / 8),
                                       static_cast<std::uint8_t>((x + y) / 14)};
  });
  TJPEGImage jpeg;
  jpeg.Assign(picture);
  const auto bytes = skalo::testing::SaveToBytes(jpeg);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The value of a sample without labels on a metrics page; 0 when absent.
double Sample(const std::string& page, const std::string& name) {
  const std::size_t at = page.find("\n" + name + " ");
  return at == std::string::npos ? 0 : std::strtod(page.c_str() + at + name.size() + 2, nullptr);
}

Reply Success() {
  Reply reply;
  reply.status = 200;
  return reply;
}

std::string BinUrl(int picture, int width) {
  return "/skalo/bin?Image=/img/p" + std::to_string(picture) +
         ".jpg&Width=" + std::to_string(width);
}

// The module with the cache on at /skalo-cache, a site with the photo, the
// files deploy/run-cluster.sh generates for free loopback ports, the
// instances started from the generated command lines, and nginx.
class Cluster : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "four servers and hundreds of requests a test are too slow with sanitizers; "
                    "the Release build runs this suite";
#endif
    if (std::string(SKALO_NGINX_BINARY).empty() || access(SKALO_NGINX_BINARY, X_OK) != 0)
      GTEST_SKIP() << "nginx is missing (make deps installs it)";
    fs::create_directories(dir_.path() / "module");
    fs::copy_file(SKALO_MODULE_FILE, dir_.path() / "module" / "skalo.so");
    dir_.Write("module/SkaloSettings.xml",
               "<s><skalocachepath>/skalo-cache</skalocachepath><skalocacheenabled>true"
               "</skalocacheenabled><usecachesubfolders>true</usecachesubfolders></s>");
    const std::string photo = Photo();
    for (int i = 0; i < kPictures; ++i)
      dir_.Write("www/img/p" + std::to_string(i) + ".jpg", photo);
    cache_ = dir_.MakeDir("cache");
    out_ = dir_.path() / "cluster";

    // Four different free ports.
    std::vector<int> ports;
    while (ports.size() < kInstances + 1) {
      const int port = FreeLoopbackPort();
      if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    }
    const int nginx_port = ports.back();
    std::string instance_ports;
    for (int i = 0; i < kInstances; ++i)
      instance_ports += std::to_string(ports[static_cast<std::size_t>(i)]) + ",";
    instance_ports.pop_back();
    const Finished generated = RunToExit(
        "/bin/bash", {std::string(SKALO_SOURCE_ROOT) + "/deploy/run-cluster.sh", "--generate-only",
                      "--build", BuildDir(), "--out", out_.string(), "--module",
                      (dir_.path() / "module" / "skalo.so").string(), "--root",
                      (dir_.path() / "www").string(), "--cache", cache_.string(), "--listen",
                      "127.0.0.1:" + std::to_string(nginx_port), "--ports", instance_ports});
    ASSERT_TRUE(generated.Exited(0)) << generated.out << generated.err;

    for (int i = 0; i < kInstances; ++i)
      instances_.push_back(std::make_unique<HttpdProcess>(Args(i)));
    const std::string logs = (out_ / "logs").string();
    nginx_ = std::make_unique<NginxProcess>(
        NginxProcess::Files{SKALO_NGINX_BINARY, out_.string(), (out_ / "nginx.conf").string(),
                            (out_ / "nginx.pid").string(), logs + "/nginx-output.log",
                            logs + "/nginx-error.log"},
        nginx_port);
  }

  void TearDown() override {
    if (nginx_) {
      EXPECT_EQ(nginx_->Stop(), 0);
    }
    for (auto& instance : instances_) {
      EXPECT_EQ(instance->Stop(), 0);
    }
  }

  // Instance i's command line, as the script would start it.
  std::vector<std::string> Args(int i) const {
    return Lines(out_ / ("instance-" + std::to_string(i + 1) + ".args"));
  }

  std::string Metrics(int i) const {
    Client client;
    return client.Fetch(instances_[i]->Url("/metrics")).body;
  }
  // Jobs run by the whole cluster.
  double Misses() const {
    double sum = 0;
    for (int i = 0; i < kInstances; ++i)
      sum += Sample(Metrics(i), "skalo_cache_misses_total");
    return sum;
  }

  // Every file in the cache folder (entries, and whatever else is left).
  std::vector<fs::path> CacheFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(cache_))
      if (entry.is_regular_file()) files.push_back(entry.path());
    return files;
  }

  // Runs `requests` threads at once, each with a client of its own, and
  // answers their replies.
  static std::vector<Reply> Concurrently(int requests,
                                         const std::function<Reply(int, Client&)>& request) {
    std::vector<Reply> replies(static_cast<std::size_t>(requests));
    std::latch start(requests);
    std::vector<std::thread> threads;
    for (int i = 0; i < requests; ++i) {
      threads.emplace_back([&, i] {
        Client client;
        start.arrive_and_wait();
        replies[static_cast<std::size_t>(i)] = request(i, client);
      });
    }
    for (auto& thread : threads)
      thread.join();
    return replies;
  }

  TempDir dir_;
  fs::path cache_;
  fs::path out_;
  std::vector<std::unique_ptr<HttpdProcess>> instances_;
  std::unique_ptr<NginxProcess> nginx_;
};

// The hash sends them all to one instance, which runs one job for them.
TEST_F(Cluster, ManyIdenticalColdRequestsRunOneJob) {
  const std::vector<Reply> replies = Concurrently(
      64, [&](int, Client& client) { return client.Fetch(nginx_->Url(BinUrl(0, 640))); });
  for (const Reply& reply : replies) {
    ASSERT_EQ(reply.status, 200) << reply.error << reply.body;
    ASSERT_EQ(reply.body, replies.front().body);
  }
  EXPECT_EQ(replies.front().body.substr(0, 2), "\xff\xd8");
  EXPECT_EQ(CacheFiles().size(), 1u);
  EXPECT_EQ(Misses(), 1);
}

// Two instances asked directly (as after a failover) for the same results.
TEST_F(Cluster, InstancesOnOneCacheFolderComputeEachResultOnce) {
  constexpr int kKeys = 32, kThreadsPerInstance = 4;
  // Every thread walks the keys in the same order, so that each key is asked
  // for by all of them at about the same time.
  std::vector<std::vector<std::string>> bodies(2 * kThreadsPerInstance);
  const std::vector<Reply> failures = Concurrently(2 * kThreadsPerInstance, [&](int t, Client& c) {
    const HttpdProcess& instance = *instances_[t % 2];
    for (int key = 0; key < kKeys; ++key) {
      Reply reply = c.Fetch(instance.Url(BinUrl(1, 100 + key)));
      if (reply.status != 200) return reply;
      bodies[static_cast<std::size_t>(t)].push_back(std::move(reply.body));
    }
    return Success();
  });
  for (const Reply& failure : failures)
    ASSERT_EQ(failure.status, 200) << failure.error << failure.body;
  for (const auto& thread : bodies) {
    for (int key = 0; key < kKeys; ++key)
      EXPECT_TRUE(thread[key] == bodies.front()[key]) << "Width=" << 100 + key;
  }
  EXPECT_EQ(CacheFiles().size(), std::size_t{kKeys});
  EXPECT_EQ(Misses(), kKeys);
}

TEST_F(Cluster, LosingAnInstanceLosesNoRequest) {
  // The victim: the instance that the hash gives the most pictures.
  Client client;
  for (int p = 0; p < kPictures; ++p)
    ASSERT_EQ(client.Fetch(nginx_->Url(BinUrl(p, 200))).status, 200);
  int victim = 0;
  double most = -1;
  for (int i = 0; i < kInstances; ++i) {
    const double misses = Sample(Metrics(i), "skalo_cache_misses_total");
    if (misses > most) {
      most = misses;
      victim = i;
    }
  }

  // Cold results, each asked for by several threads; the victim dies with
  // jobs in flight, whose requests nginx hands on and whose locks the others
  // take over.
  constexpr int kThreads = 8, kRounds = 24;
  std::atomic<int> answered = 0;
  std::atomic<bool> done = false;
  std::thread killer([&] {
    while (answered < kThreads && !done)
      std::this_thread::yield();
    instances_[victim]->Stop(SIGKILL);
  });
  std::mutex mutex;
  std::map<std::string, std::string> bodies;
  const std::vector<Reply> failures = Concurrently(kThreads, [&](int t, Client& c) {
    for (int round = 0; round < kRounds; ++round) {
      const std::string url = BinUrl((t + round) % kPictures, 300 + round % 4);
      Reply reply = c.Fetch(nginx_->Url(url));
      ++answered;
      if (reply.status != 200) return reply;
      std::lock_guard guard(mutex);
      if (const auto [known, added] = bodies.emplace(url, reply.body);
          !added && known->second != reply.body) {
        reply.status = 0;
        reply.error = "other bytes than before for " + url;
        return reply;
      }
    }
    return Success();
  });
  done = true;
  killer.join();
  for (const Reply& failure : failures)
    EXPECT_EQ(failure.status, 200) << failure.error << failure.body;
  for (const fs::path& file : CacheFiles())
    EXPECT_NE(file.extension(), ".lock") << file;

  // Back on its port, it gets its share again once nginx tries it anew.
  instances_[victim] = std::make_unique<HttpdProcess>(Args(victim));
  const std::string served = "skalo_requests_total{action=\"/bin\"";
  for (int round = 0; Metrics(victim).find(served) == std::string::npos; ++round) {
    ASSERT_LT(round, 300) << "no request reached the restarted instance";
    for (int p = 0; p < kPictures; ++p)
      ASSERT_EQ(client.Fetch(nginx_->Url(BinUrl(p, 200))).status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST_F(Cluster, StaleLockIsTakenOver) {
  Client client;
  const std::string url = instances_[0]->Url(BinUrl(2, 300));
  const Reply first = client.Fetch(url);
  ASSERT_EQ(first.status, 200) << first.body;
  const std::vector<fs::path> files = CacheFiles();
  ASSERT_EQ(files.size(), 1u);
  const fs::path entry = files.front();
  const fs::path lock = entry.string() + ".lock";

  // Taken 90 s ago by a process that still runs (this one): stuck, say.
  fs::remove(entry);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::ofstream(lock) << host << " " << getpid() << "\n";
  const timespec times[2] = {{time(nullptr) - 90, 0}, {time(nullptr) - 90, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, lock.c_str(), times, 0), 0);

  const auto start = std::chrono::steady_clock::now();
  const Reply again = client.Fetch(url);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(again.status, 200) << again.body;
  EXPECT_EQ(again.body, first.body);
  // Taken over at once rather than waited out: only a hang comes near this.
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_TRUE(fs::exists(entry));
}

}  // namespace
}  // namespace skalo::host::testing
