// PNG codec timings on photo-like pictures: decoding a 4 MP RGB file (written
// here with the adaptive per-row filter choice most encoders use, and with
// each single filter type, so that every unfiltering loop is seen), through
// DecodeRows and through AssignTo; and encoding an 800 x 533 picture, the
// size of a typical resized result, at the default level and at 9. The
// counters give the file sizes. With SKALO_PNG_BENCH_FILE set, that file is
// decoded too.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/png.h"
#include "imaging/rows.h"

namespace {

using skalo::TBitmap;
using Bytes = std::vector<std::uint8_t>;

// A photo-like picture as rows of RGB: slow colour gradients, a texture that
// shifts from row to row, and bell-shaped grain of +-`grain`.
Bytes PhotoRgb(int w, int h, int grain, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> phase(0, 6.2832);
  const double p[6] = {phase(rng), phase(rng), phase(rng), phase(rng), phase(rng), phase(rng)};
  std::uniform_int_distribution<int> noise(-grain, grain);
  Bytes rgb(static_cast<std::size_t>(w) * h * 3);
  std::size_t i = 0;
  for (int y = 0; y < h; ++y) {
    const int shift = static_cast<int>(300 * std::sin(y / 700.0) + 60 * std::sin(y / 37.0));
    for (int x = 0; x < w; ++x) {
      const int u = x + shift;
      const double texture = 10 * std::sin(u / 15.0 + p[0]) + 6 * std::sin(u / 3.0 + p[1]);
      for (int c = 0; c < 3; ++c) {
        const double tone = 60 * std::sin(u / (400.0 + 150 * c) + p[2 + c]) +
                            30 * std::sin(y / (300.0 + 90 * c) + p[5]);
        const int v = static_cast<int>(120 + tone + texture) + (noise(rng) + noise(rng)) / 2;
        rgb[i++] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
  return rgb;
}

void PutU32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void PutChunk(Bytes& out, const char* type, const Bytes& data) {
  PutU32(out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(type), 4);
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  PutU32(out, static_cast<std::uint32_t>(crc));
}

int Paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// An 8-bit RGB PNG of the picture, deflated at level 6 in IDAT chunks of
// 8 KB. `filter` 0..4 puts that filter on every row; 5 picks per row the
// filter with the least sum of absolute filtered values.
Bytes EncodeReference(const Bytes& rgb, int w, int h, int filter) {
  const std::size_t n = static_cast<std::size_t>(w) * 3;
  Bytes raw;
  raw.reserve((n + 1) * h);
  const Bytes zero(n, 0);
  Bytes out(n);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = rgb.data() + n * y;
    const std::uint8_t* up = y > 0 ? row - n : zero.data();
    std::uint64_t best_sum = UINT64_MAX;
    Bytes best;
    for (int f = 0; f < 5; ++f) {
      if (filter != 5 && f != filter) continue;
      std::uint64_t sum = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const int a = i >= 3 ? row[i - 3] : 0, b = up[i], c = i >= 3 ? up[i - 3] : 0;
        const int pred = f == 0   ? 0
                         : f == 1 ? a
                         : f == 2 ? b
                         : f == 3 ? (a + b) / 2
                                  : Paeth(a, b, c);
        out[i] = static_cast<std::uint8_t>(row[i] - pred);
        sum += out[i] < 128 ? out[i] : 256 - out[i];
      }
      if (sum < best_sum) {
        best_sum = sum;
        best.assign(1, static_cast<std::uint8_t>(f));
        best.insert(best.end(), out.begin(), out.end());
      }
    }
    raw.insert(raw.end(), best.begin(), best.end());
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes z(size);
  if (compress2(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
    std::abort();
  z.resize(size);

  Bytes file = {137, 80, 78, 71, 13, 10, 26, 10};
  Bytes ihdr;
  PutU32(ihdr, static_cast<std::uint32_t>(w));
  PutU32(ihdr, static_cast<std::uint32_t>(h));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  PutChunk(file, "IHDR", ihdr);
  for (std::size_t i = 0; i < z.size(); i += 8192)
    PutChunk(file, "IDAT",
             Bytes(z.begin() + static_cast<std::ptrdiff_t>(i),
                   z.begin() + static_cast<std::ptrdiff_t>(std::min(z.size(), i + 8192))));
  PutChunk(file, "IEND", {});
  return file;
}

constexpr int kDecodeWidth = 2304, kDecodeHeight = 1728;

const Bytes& DecodeSource(int filter) {
  static const Bytes rgb = PhotoRgb(kDecodeWidth, kDecodeHeight, 22, 4);
  static std::vector<Bytes> files(6);
  Bytes& file = files[static_cast<std::size_t>(filter)];
  if (file.empty()) file = EncodeReference(rgb, kDecodeWidth, kDecodeHeight, filter);
  return file;
}

class Discard final : public skalo::TRowConsumer {
 public:
  void Begin(const skalo::TRowLayout&) override {}
  void Rows(int, const std::uint8_t* const* rows, int count) override {
    benchmark::DoNotOptimize(rows[count - 1][0]);
  }
};

// Argument: the filter of every row (0 None .. 4 Paeth), 5 adaptive.
void BM_PngDecodeRows_4MP(benchmark::State& state) {
  const Bytes& file = DecodeSource(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    skalo::TPNGObject png;
    png.LoadFromBuffer(file);
    Discard discard;
    png.DecodeRows(discard);
  }
  state.counters["png_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_PngDecodeRows_4MP)->ArgName("filter")->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

void BM_PngAssignTo_4MP(benchmark::State& state) {
  const Bytes& file = DecodeSource(5);
  for (auto _ : state) {
    skalo::TPNGObject png;
    png.LoadFromBuffer(file);
    TBitmap bmp;
    png.AssignTo(bmp);
    benchmark::DoNotOptimize(bmp.ConstRow(0));
  }
}
BENCHMARK(BM_PngAssignTo_4MP)->Unit(benchmark::kMillisecond);

void BM_PngDecodeRows_File(benchmark::State& state) {
  const char* path = std::getenv("SKALO_PNG_BENCH_FILE");
  if (path == nullptr) {
    state.SkipWithError("SKALO_PNG_BENCH_FILE is not set");
    return;
  }
  std::ifstream in(path, std::ios::binary);
  const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (auto _ : state) {
    skalo::TPNGObject png;
    png.LoadFromBuffer(file);
    Discard discard;
    png.DecodeRows(discard);
  }
  state.counters["png_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_PngDecodeRows_File)->Unit(benchmark::kMillisecond);

// A resized result: the 4 MP picture's look at 800 x 533 (grain averaged
// down by a 3 x 3 box).
const TBitmap& EncodeSource() {
  static TBitmap bmp;
  if (!bmp.Empty()) return bmp;
  constexpr int w = 800, h = 533;
  const Bytes rgb = PhotoRgb(3 * w, 3 * h, 22, 4);
  bmp.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  bmp.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = bmp.Row(y);
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int dy = 0; dy < 3; ++dy)
          for (int dx = 0; dx < 3; ++dx)
            sum += rgb[(static_cast<std::size_t>(3 * y + dy) * 3 * w + 3 * x + dx) * 3 + c];
        row[3 * x + 2 - c] = static_cast<std::uint8_t>((sum + 4) / 9);
      }
  }
  return bmp;
}

// Argument: the zlib level.
void BM_PngEncode_800x533(benchmark::State& state) {
  const TBitmap& source = EncodeSource();
  std::size_t bytes = 0;
  for (auto _ : state) {
    skalo::TPNGObject png;
    png.Assign(source);
    png.SetCompressionLevel(static_cast<std::uint8_t>(state.range(0)));
    skalo::TMemoryStream out;
    png.SaveToStream(out);
    bytes = static_cast<std::size_t>(out.Size());
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PngEncode_800x533)->ArgName("level")->Arg(7)->Arg(9)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
