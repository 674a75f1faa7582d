// Resampler timings against a yardstick: a plain full decode of a baseline
// JPEG of the same source size with the floating-point inverse DCT. The decode
// is the least any request for a JPEG source costs, so the resample is judged
// as a fraction of it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "imaging/bitmap.h"
#include "imaging/resample.h"

namespace {

using skalo::TBitmap;

// A photo-like picture: value noise summed over octaves (the falling
// spectrum of natural images), a few hard edges, and sensor grain. At quality
// 90 it compresses to about 2.3 bits per pixel, like a detailed camera photo.
void FillPicture(TBitmap& bmp, int w, int h) {
  bmp.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  bmp.SetSize(w, h);
  std::mt19937 rng(12345);
  auto lattice = [](int x, int y, int c) {
    std::uint32_t v = static_cast<std::uint32_t>(x) * 73856093u ^
                      static_cast<std::uint32_t>(y) * 19349663u ^
                      static_cast<std::uint32_t>(c) * 83492791u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    v ^= v >> 15;
    return static_cast<int>(v & 255) - 128;
  };
  auto noise = [&](int x, int y, int c, int cell) {
    const int gx = x / cell, gy = y / cell, fx = x % cell, fy = y % cell;
    const int a = lattice(gx, gy, c), b = lattice(gx + 1, gy, c);
    const int d = lattice(gx, gy + 1, c), e = lattice(gx + 1, gy + 1, c);
    const int top = a * (cell - fx) + b * fx, bottom = d * (cell - fx) + e * fx;
    return (top * (cell - fy) + bottom * fy) / (cell * cell);
  };
  std::uniform_int_distribution<int> grain(-5, 5);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = bmp.Row(y);
    for (int x = 0; x < w; ++x) {
      const int edge = ((x / 211 + y / 157) % 4 == 0) ? 40 : 0;
      for (int c = 0; c < 3; ++c) {
        int v = 120 + edge + noise(x, y, c, 512) / 2 + noise(x, y, c, 128) / 3 +
                noise(x, y, c, 32) / 4 + noise(x, y, c, 8) / 5 + noise(x, y, c, 2) / 6 + grain(rng);
        row[3 * x + c] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
}

const TBitmap& Picture(int w, int h) {
  static TBitmap large, small;
  TBitmap& bmp = w == 4000 ? large : small;
  if (bmp.Empty()) FillPicture(bmp, w, h);
  return bmp;
}

// Nothing may unwind through libjpeg; a benchmark with a broken codec stops.
[[noreturn]] void JpegFail(j_common_ptr info) {
  (*info->err->output_message)(info);
  std::abort();
}

std::vector<std::uint8_t> EncodeJpeg(const TBitmap& bmp) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  err.error_exit = JpegFail;
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(bmp.Width());
  c.image_height = static_cast<JDIMENSION>(bmp.Height());
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> rgb(3 * static_cast<std::size_t>(bmp.Width()));
  while (c.next_scanline < c.image_height) {
    const std::uint8_t* row = bmp.ConstRow(static_cast<int>(c.next_scanline));
    for (int x = 0; x < bmp.Width(); ++x) {
      rgb[3 * x] = row[3 * x + 2];
      rgb[3 * x + 1] = row[3 * x + 1];
      rgb[3 * x + 2] = row[3 * x];
    }
    JSAMPROW p = rgb.data();
    jpeg_write_scanlines(&c, &p, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<std::uint8_t> bytes(out, out + size);
  std::free(out);
  return bytes;
}

void BM_JpegDecodeFloat_4000x3000(benchmark::State& state) {
  static const std::vector<std::uint8_t> jpeg = EncodeJpeg(Picture(4000, 3000));
  std::vector<std::uint8_t> rows(3 * 4000 * 16);
  for (auto _ : state) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    err.error_exit = JpegFail;
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&d, TRUE);
    d.dct_method = JDCT_FLOAT;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
      JSAMPROW p = rows.data();
      jpeg_read_scanlines(&d, &p, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}
BENCHMARK(BM_JpegDecodeFloat_4000x3000)->Unit(benchmark::kMillisecond);

void BM_Resample(benchmark::State& state) {
  const int sw = static_cast<int>(state.range(0)), sh = sw * 3 / 4;
  const auto tw = static_cast<std::uint32_t>(state.range(1)), th = tw * 3 / 4;
  const TBitmap& source = Picture(sw, sh);
  for (auto _ : state) {
    TBitmap bmp;
    bmp.Assign(source);
    skalo::Resample(tw, th, skalo::ResampleFilter::Lanczos3, 0, bmp);
    benchmark::DoNotOptimize(bmp.ConstRow(0));
  }
}
BENCHMARK(BM_Resample)->Args({4000, 800})->Args({1000, 200})->Unit(benchmark::kMillisecond);

// The same work through each engine, for comparison.
void BM_ResampleEngine(benchmark::State& state) {
  const auto engine = static_cast<skalo::ResampleEngine>(state.range(0));
  const TBitmap& source = Picture(4000, 3000);
  TBitmap target;
  target.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  target.SetSize(800, 600);
  for (auto _ : state) {
    skalo::ResampleCore(skalo::ResampleFilter::Lanczos3, source, target, 3.0f, engine);
    benchmark::DoNotOptimize(target.ConstRow(0));
  }
}
BENCHMARK(BM_ResampleEngine)
    ->ArgName("engine")
    ->Arg(static_cast<int>(skalo::ResampleEngine::Reference))
    ->Arg(static_cast<int>(skalo::ResampleEngine::Scalar))
    ->Arg(static_cast<int>(skalo::ResampleEngine::Avx2))
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
