// One resize job repeated in this process, for profiling the pipeline
// without the HTTP host:
//   job_bench FILE WIDTH HEIGHT [pad] [raster] [reps]
// prints the mean CPU milliseconds per job and the result's size in bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "engine/skalo.h"
#include "imaging/framework.h"
#include "imaging/graphic.h"

namespace {

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: job_bench FILE WIDTH HEIGHT [pad] [raster] [reps]\n");
    return 2;
  }
  bool pad = false, raster = false;
  int reps = 10;
  for (int i = 4; i < argc; ++i) {
    if (std::strcmp(argv[i], "pad") == 0)
      pad = true;
    else if (std::strcmp(argv[i], "raster") == 0)
      raster = true;
    else
      reps = std::atoi(argv[i]);
  }
  std::size_t bytes = 0;
  double total = 0, wall = 0;
  for (int r = 0; r < reps; ++r) {
    skalo::TSkalo job;
    job.SetWidth(std::atoi(argv[2]));
    job.SetHeight(std::atoi(argv[3]));
    job.SetCompression(90);
    job.SetMaxWidth(-1);
    job.SetMaxHeight(-1);
    job.SetWhitespace(pad);
    job.SetProcessBinary(true);
    job.SetStreaming(!raster);
    const double start = CpuSeconds(), wall_start = WallSeconds();
    std::unique_ptr<skalo::TGraphic> result;
    job.doResize(result, argv[1]);
    if (job.ErrorCode() != 0) {
      std::fprintf(stderr, "error %d: %s\n", job.ErrorCode(), job.ErrorText().c_str());
      return 1;
    }
    skalo::TMemoryStream out;
    result->SaveToStream(out);
    total += CpuSeconds() - start;
    wall += WallSeconds() - wall_start;
    bytes = out.Bytes().size();
  }
  std::printf("%.2f ms CPU/job, %.2f ms wall/job, %zu bytes\n", total * 1000 / reps,
              wall * 1000 / reps, bytes);
  return 0;
}
