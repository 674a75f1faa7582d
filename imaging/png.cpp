#include "imaging/png.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "imaging/rows.h"

namespace skalo {
namespace {

// Section numbers below refer to ISO/IEC 15948 (the W3C PNG recommendation).

constexpr std::array<std::uint8_t, 8> kSignature = {137, 80, 78, 71, 13, 10, 26, 10};

enum ColorType : std::uint8_t {
  kGray = 0,
  kRgb = 2,
  kPalette = 3,
  kGrayAlpha = 4,
  kRgbAlpha = 6,
};

enum FilterType : std::uint8_t { kFilterNone, kFilterSub, kFilterUp, kFilterAverage, kFilterPaeth };

[[noreturn]] void Fail(const char* text) {
  throw EPNGError(text);
}

void PutU32(std::uint8_t* out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

// --- CRC-32 of the chunks (section 5.5), as zlib's crc32 computes it ---

#if defined(__x86_64__)
// The CRC of whole 16-byte blocks (at least 4) by carry-less multiplication:
// four 128-bit lanes folded forward 64 bytes a step, folded into one, then
// reduced to 32 bits (Barrett). `crc` and the result without zlib's
// inversions. The constants are powers of x modulo the reflected CRC-32
// polynomial (Gopal et al., "Fast CRC Computation for Generic Polynomials
// Using PCLMULQDQ Instruction", Intel, 2009).
__attribute__((target("pclmul,sse4.1"), always_inline)) inline __m128i Fold(__m128i x, __m128i k,
                                                                            __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse4.1"))) std::uint32_t Crc32Folded(std::uint32_t crc,
                                                                   const std::uint8_t* p,
                                                                   std::size_t n) {
  const auto load = [](const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  p += 64;
  n -= 64;
  const __m128i k64 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  for (; n >= 64; n -= 64, p += 64) {
    x1 = Fold(x1, k64, load(p));
    x2 = Fold(x2, k64, load(p + 16));
    x3 = Fold(x3, k64, load(p + 32));
    x4 = Fold(x4, k64, load(p + 48));
  }
  const __m128i k16 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  x1 = Fold(x1, k16, x2);
  x1 = Fold(x1, k16, x3);
  x1 = Fold(x1, k16, x4);
  for (; n >= 16; n -= 16, p += 16)
    x1 = Fold(x1, k16, load(p));
  // 128 to 64 bits, then 64 to 32 (each appending 32 zero bits).
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(k16, x1, 0x01));
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  x1 = _mm_xor_si128(
      _mm_srli_si128(x1, 4),
      _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), _mm_set_epi64x(0, 0x163cd6124), 0x00));
  const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool HavePclmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

// zlib's crc32 (pre- and post-inverted), whole blocks folded where the
// processor multiplies carry-less.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> data) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
#if defined(__x86_64__)
  static const bool pclmul = HavePclmul();
  if (pclmul && n >= 64) {
    const std::size_t blocks = n & ~std::size_t{15};
    crc = ~Crc32Folded(~crc, p, blocks);
    p += blocks;
    n -= blocks;
  }
#endif
  // crc32 answers its initial value for a null buffer, so empty data is skipped.
  if (n > 0) crc = static_cast<std::uint32_t>(crc32(crc, p, static_cast<uInt>(n)));
  return crc;
}

std::uint32_t ChunkCrc(std::string_view type, std::span<const std::uint8_t> data) {
  const std::uint32_t crc =
      static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(type.data()), 4));
  return Crc32(crc, data);
}

// --- Gamma (section 11.3.3.2: gAMA holds the image gamma times 100000) ---

using GammaTable = std::array<std::uint8_t, 256>;

GammaTable IdentityGamma() {
  GammaTable table;
  for (int i = 0; i < 256; ++i)
    table[i] = static_cast<std::uint8_t>(i);
  return table;
}

// Display exponent 1 / (gamma * 2.2); nearbyint rounds halves to even.
GammaTable GammaFromValue(std::uint32_t value) {
  const double exponent = 1.0 / (value / 100000.0 * 2.2);
  GammaTable table;
  for (int i = 0; i < 256; ++i) {
    const double v = std::nearbyint(std::pow(i / 255.0, exponent) * 255.0);
    table[i] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
  }
  return table;
}

// --- Header (section 11.2.2) ---

struct Ihdr {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint8_t depth = 0;
  std::uint8_t color_type = 0;
  std::uint8_t interlace = 0;
};

bool ValidDepth(std::uint8_t color_type, std::uint8_t depth) {
  switch (color_type) {
    case kGray:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case kPalette:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case kRgb:
    case kGrayAlpha:
    case kRgbAlpha:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

unsigned Channels(std::uint8_t color_type) {
  switch (color_type) {
    case kRgb:
      return 3;
    case kGrayAlpha:
      return 2;
    case kRgbAlpha:
      return 4;
    default:
      return 1;
  }
}

Ihdr ParseIhdr(std::span<const std::uint8_t> data) {
  if (data.size() < 13) Fail(kPngIhdrCorruptText);
  ByteReader in(data);
  Ihdr h;
  h.width = in.u32be();
  h.height = in.u32be();
  h.depth = in.u8();
  h.color_type = in.u8();
  const std::uint8_t compression = in.u8();
  in.skip(1);  // filter method: only method 0 exists
  h.interlace = in.u8();
  if (h.width > kPngMaxDimension || h.height > kPngMaxDimension) Fail(kPngSizeExceededText);
  if (compression != 0) Fail(kPngUnknownCompressionText);
  if (h.interlace > 1) Fail(kPngUnknownInterlaceText);
  if (h.width == 0 || h.height == 0 || !ValidDepth(h.color_type, h.depth))
    Fail(kPngIhdrCorruptText);
  return h;
}

TPalette ParsePalette(std::span<const std::uint8_t> data, const GammaTable& gamma) {
  if (data.size() % 3 != 0 || data.size() > 3 * kMaxPaletteEntries) Fail(kPngInvalidPaletteText);
  TPalette palette(data.size() / 3);
  for (std::size_t i = 0; i < palette.size(); ++i)
    palette[i] = {gamma[data[3 * i]], gamma[data[3 * i + 1]], gamma[data[3 * i + 2]]};
  return palette;
}

// --- Image data ---

// Adam7 passes (section 8.2): first column and row, column and row steps.
struct Pass {
  std::uint32_t x0, y0, dx, dy;
};
constexpr std::array<Pass, 7> kAdam7 = {{
    {0, 0, 8, 8},
    {4, 0, 8, 8},
    {0, 4, 4, 8},
    {2, 0, 4, 4},
    {0, 2, 2, 4},
    {1, 0, 2, 2},
    {0, 1, 1, 2},
}};
constexpr Pass kWholeImage = {0, 0, 1, 1};

// Bits per pixel of the raster that holds an image of this type.
unsigned RasterBits(const Ihdr& h) {
  if (h.color_type == kRgb || h.color_type == kRgbAlpha) return 24;
  if (h.color_type == kGrayAlpha || h.depth >= 8) return 8;
  return h.depth == 1 ? 1 : 4;
}

TPixelFormat RasterFormat(unsigned bits) {
  switch (bits) {
    case 1:
      return TPixelFormat::Indexed1;
    case 4:
      return TPixelFormat::Indexed4;
    case 8:
      return TPixelFormat::Indexed8;
    default:
      return TPixelFormat::Bgr24;
  }
}

// Value of sample `index` of a row of `depth`-bit samples (1, 2, 4, 8), or the
// high byte of a 16-bit sample. Samples are packed from the high bit down.
std::uint8_t Sample(const std::uint8_t* row, std::uint32_t index, unsigned depth) {
  if (depth == 16) return row[2 * std::size_t{index}];
  if (depth == 8) return row[index];
  const std::size_t bit = std::size_t{index} * depth;
  const unsigned shift = 8 - depth - static_cast<unsigned>(bit & 7);
  return static_cast<std::uint8_t>((row[bit >> 3] >> shift) & ((1u << depth) - 1));
}

// Stores palette index `v` at pixel x of a raster row of 1, 4 or 8 bits.
void PutIndex(std::uint8_t* row, unsigned bits, std::uint32_t x, std::uint8_t v) {
  if (bits == 8) {
    row[x] = v;
  } else if (bits == 4) {
    std::uint8_t& b = row[x >> 1];
    b = (x & 1) ? static_cast<std::uint8_t>((b & 0xF0) | v)
                : static_cast<std::uint8_t>((b & 0x0F) | v << 4);
  } else {
    std::uint8_t& b = row[x >> 3];
    const unsigned shift = 7 - (x & 7);
    b = static_cast<std::uint8_t>((b & ~(1u << shift)) | unsigned{v} << shift);
  }
}

// --- Row filters (section 9.2) ---
//
// Decoding reverses them in place: each byte of a row plus the prediction
// from the unfiltered bytes to its left (a), above (b) and above-left (c),
// `bpp` bytes per complete pixel (at least 1), zeros left of the first pixel
// and above the first row. Sub, Average and Paeth run from pixel to pixel,
// so the vector forms (SSE2, part of every x86-64) hold one whole pixel per
// register; the scalar forms are the reference. Both read up to 8 bytes
// past the end of `row` and `prior` (kRowSlack), never write there.

constexpr std::size_t kRowSlack = 8;

// Paeth's predictor without branches: a when pa <= pb and pa <= pc, else b
// when pb <= pc, else c.
inline int PaethPredictor(int a, int b, int c) {
  const int pa = std::abs(b - c);
  const int pb = std::abs(a - c);
  const int pc = std::abs(a + b - 2 * c);
  const int bc = pb <= pc ? b : c;
  return pa <= pb && pa <= pc ? a : bc;
}

inline void UnfilterUp(std::uint8_t* row, const std::uint8_t* prior, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
}

template <std::size_t kBpp>
void UnfilterScalar(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior,
                    std::size_t n) {
  const std::size_t first = std::min(kBpp, n);
  switch (type) {
    case kFilterSub:
      for (std::size_t i = kBpp; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + row[i - kBpp]);
      break;
    case kFilterUp:
      UnfilterUp(row, prior, n);
      break;
    case kFilterAverage:
      for (std::size_t i = 0; i < first; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + (prior[i] >> 1));
      for (std::size_t i = kBpp; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + ((row[i - kBpp] + prior[i]) >> 1));
      break;
    case kFilterPaeth:
      for (std::size_t i = 0; i < first; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
      for (std::size_t i = kBpp; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(
            row[i] + PaethPredictor(row[i - kBpp], prior[i], prior[i - kBpp]));
      break;
    default:
      break;
  }
}

#if defined(__SSE2__)

inline __m128i LoadPixel(const std::uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

template <std::size_t kBpp>
inline void StorePixel(std::uint8_t* p, __m128i v) {
  const auto bytes = static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
  std::memcpy(p, &bytes, kBpp);
}

// The pixel in one store of 4 or 8 bytes, running into the next pixel.
template <std::size_t kBpp>
inline void StorePixelWide(std::uint8_t* p, __m128i v) {
  if constexpr (kBpp <= 4) {
    const auto bytes = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &bytes, 4);
  } else {
    StorePixel<8>(p, v);
  }
}

// Runs `unfilter(i, x)` (the pixel at byte i from its filtered bytes x) over
// a row, pixel by pixel. Each pixel is stored in one wide store, which may
// overwrite the start of the next pixel, read beforehand; the last pixel is
// stored exactly.
template <std::size_t kBpp, typename Unfilter>
inline void EachPixel(std::uint8_t* row, std::size_t n, Unfilter unfilter) {
  __m128i x = LoadPixel(row);
  std::size_t i = 0;
  for (; i + kBpp < n; i += kBpp) {
    const __m128i next = LoadPixel(row + i + kBpp);
    StorePixelWide<kBpp>(row + i, unfilter(i, x));
    x = next;
  }
  StorePixel<kBpp>(row + i, unfilter(i, x));
}

// Lanes where `mask` is set from `yes`, the others from `no`.
inline __m128i Select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

inline __m128i Abs16(__m128i v) {
  return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

// Paeth's predictor on 16-bit lanes.
inline __m128i Paeth16(__m128i a, __m128i b, __m128i c) {
  const __m128i pa_signed = _mm_sub_epi16(b, c);
  const __m128i pb_signed = _mm_sub_epi16(a, c);
  const __m128i pa = Abs16(pa_signed);
  const __m128i pb = Abs16(pb_signed);
  const __m128i pc = Abs16(_mm_add_epi16(pa_signed, pb_signed));
  const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  const __m128i bc = Select(_mm_cmpgt_epi16(pb, pc), c, b);
  return Select(not_a, bc, a);
}

// floor((a + b) / 2) of unsigned bytes: the rounded-up average less the
// dropped half.
inline __m128i FloorAverage8(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

// One pixel of kBpp (3, 4, 6 or 8) bytes per step; lanes past the pixel hold
// whatever follows it and are never stored.
template <std::size_t kBpp>
void UnfilterSse2(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  switch (type) {
    case kFilterSub: {
      __m128i a = zero;
      EachPixel<kBpp>(row, n, [&](std::size_t, __m128i x) { return a = _mm_add_epi8(x, a); });
      break;
    }
    case kFilterUp:
      UnfilterUp(row, prior, n);
      break;
    case kFilterAverage: {
      // floor((a + b) / 2) = ~avg(~a, ~b), and x + ~v = ~(v - x): carried
      // as ~a, each pixel costs a rounded average and a subtraction.
      const __m128i ones = _mm_set1_epi8(-1);
      __m128i not_a = ones;
      EachPixel<kBpp>(row, n, [&](std::size_t i, __m128i x) {
        const __m128i not_b = _mm_xor_si128(LoadPixel(prior + i), ones);
        not_a = _mm_sub_epi8(_mm_avg_epu8(not_a, not_b), x);
        return _mm_xor_si128(not_a, ones);
      });
      break;
    }
    case kFilterPaeth: {
      __m128i a = zero;
      __m128i c = zero;
      EachPixel<kBpp>(row, n, [&](std::size_t i, __m128i x) {
        const __m128i b = _mm_unpacklo_epi8(LoadPixel(prior + i), zero);
        a = _mm_and_si128(_mm_add_epi16(_mm_unpacklo_epi8(x, zero), Paeth16(a, b, c)),
                          _mm_set1_epi16(0xFF));
        c = b;
        return _mm_packus_epi16(a, a);
      });
      break;
    }
    default:
      break;
  }
}

#endif  // __SSE2__

// Reverses filter `type` on a row of n bytes (an unknown type leaves the row
// as it is). `prior` is the previous unfiltered row of the same pass (zeros
// for the first).
void Unfilter(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
              std::size_t bpp) {
  switch (bpp) {
    case 1:
      return UnfilterScalar<1>(type, row, prior, n);
    case 2:
      return UnfilterScalar<2>(type, row, prior, n);
#if defined(__SSE2__)
    case 3:
      return UnfilterSse2<3>(type, row, prior, n);
    case 4:
      return UnfilterSse2<4>(type, row, prior, n);
    case 6:
      return UnfilterSse2<6>(type, row, prior, n);
    default:
      return UnfilterSse2<8>(type, row, prior, n);
#else
    case 3:
      return UnfilterScalar<3>(type, row, prior, n);
    case 4:
      return UnfilterScalar<4>(type, row, prior, n);
    case 6:
      return UnfilterScalar<6>(type, row, prior, n);
    default:
      return UnfilterScalar<8>(type, row, prior, n);
#endif
  }
}

// --- Red and blue swapped: PNG's RGB and the raster's BGR ---

void SwapRedBlueScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t pixels) {
  for (std::size_t i = 0; i < 3 * pixels; i += 3) {
    const std::uint8_t first = src[i];
    dst[i] = src[i + 2];
    dst[i + 1] = src[i + 1];
    dst[i + 2] = first;
  }
}

#if defined(__x86_64__)
// Five pixels per step; the 16th byte stored is put right by the next step
// or the scalar tail.
__attribute__((target("ssse3"))) void SwapRedBlueSsse3(const std::uint8_t* src, std::uint8_t* dst,
                                                       std::size_t pixels) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  std::size_t i = 0;
  for (; 3 * i + 16 <= 3 * pixels; i += 5) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * i), _mm_shuffle_epi8(v, order));
  }
  SwapRedBlueScalar(src + 3 * i, dst + 3 * i, pixels - i);
}

bool HaveSsse3() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}
#endif

// RGB to BGR and back: `pixels` pixels of 3 bytes from src to dst (which
// may be the same).
void SwapRedBlue(const std::uint8_t* src, std::uint8_t* dst, std::size_t pixels) {
#if defined(__x86_64__)
  static const bool ssse3 = HaveSsse3();
  if (ssse3) return SwapRedBlueSsse3(src, dst, pixels);
#endif
  SwapRedBlueScalar(src, dst, pixels);
}

// --- Adler-32 (RFC 1950, section 8) of the inflated data ---
//
// zlib's own is byte by byte; this one sums 32 bytes a step where SSSE3
// exists. zlib is asked not to compute it, and the stream's check value is
// compared here instead.

constexpr std::uint32_t kAdlerBase = 65521;
// The most bytes that can be summed before s2 may overflow 32 bits.
constexpr std::size_t kAdlerMaxRun = 5552;

std::uint32_t Adler32Scalar(std::uint32_t adler, const std::uint8_t* p, std::size_t n) {
  std::uint32_t s1 = adler & 0xFFFF;
  std::uint32_t s2 = adler >> 16;
  while (n > 0) {
    const std::size_t run = std::min(n, kAdlerMaxRun);
    n -= run;
    for (std::size_t i = 0; i < run; ++i) {
      s1 += p[i];
      s2 += s1;
    }
    p += run;
    s1 %= kAdlerBase;
    s2 %= kAdlerBase;
  }
  return s2 << 16 | s1;
}

#if defined(__x86_64__)
// Per 32 bytes: s1 gains their sum; s2 gains 32 times s1 before them plus
// each byte weighted by 32 - its index.
__attribute__((target("ssse3"))) std::uint32_t Adler32Ssse3(std::uint32_t adler,
                                                            const std::uint8_t* p, std::size_t n) {
  std::uint32_t s1 = adler & 0xFFFF;
  std::uint32_t s2 = adler >> 16;
  const __m128i weights_first =
      _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
  const __m128i weights_second =
      _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();
  while (n >= 32) {
    std::size_t blocks = std::min(n, kAdlerMaxRun) / 32;
    n -= blocks * 32;
    __m128i prior_sums = _mm_cvtsi32_si128(static_cast<int>(s1 * blocks));
    __m128i sums = zero;
    __m128i weighted = _mm_cvtsi32_si128(static_cast<int>(s2));
    for (; blocks > 0; --blocks, p += 32) {
      const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
      prior_sums = _mm_add_epi32(prior_sums, sums);
      sums =
          _mm_add_epi32(sums, _mm_add_epi32(_mm_sad_epu8(first, zero), _mm_sad_epu8(second, zero)));
      weighted =
          _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(first, weights_first), ones));
      weighted =
          _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(second, weights_second), ones));
    }
    weighted = _mm_add_epi32(weighted, _mm_slli_epi32(prior_sums, 5));
    const auto sum_lanes = [](__m128i v) {
      v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
      v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
      return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    };
    s1 = (s1 + sum_lanes(sums)) % kAdlerBase;
    s2 = sum_lanes(weighted) % kAdlerBase;
  }
  return Adler32Scalar(s2 << 16 | s1, p, n);
}
#endif

std::uint32_t Adler32(std::uint32_t adler, const std::uint8_t* p, std::size_t n) {
#if defined(__x86_64__)
  static const bool ssse3 = HaveSsse3();
  if (ssse3) return Adler32Ssse3(adler, p, n);
#endif
  return Adler32Scalar(adler, p, n);
}

// --- Image data ---

struct InflateStream {
  z_stream zs{};
  bool open = false;
  InflateStream() = default;
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  ~InflateStream() {
    if (open) inflateEnd(&zs);
  }
};

[[noreturn]] void FailInflate(int code, const char* msg) {
  if (code == Z_MEM_ERROR) ThrowOutOfResources();
  throw EPNGError(std::string(kPngInflateErrorText) + (msg != nullptr ? msg : zError(code)));
}

// The zlib stream of a run of IDAT chunks, inflated on demand.
class ImageDataReader {
 public:
  explicit ImageDataReader(std::span<const std::span<const std::uint8_t>> chunks)
      : chunks_(chunks) {
    if (inflateInit(&z_.zs) != Z_OK) FailInflate(Z_MEM_ERROR, nullptr);
    z_.open = true;
    // zlib still reads the check value at the stream's end, Read compares it.
    if (inflateValidate(&z_.zs, 0) != Z_OK) FailInflate(Z_STREAM_ERROR, nullptr);
  }

  // Fills out[0, n) with the next n bytes of the stream. A stream (or run of
  // chunks) that ends first raises kPngMissingPartsText, after the check
  // value. Data after the last byte asked for is inflated only as far as
  // zlib goes in the same call, as zlib would check it.
  void Read(std::uint8_t* out, std::size_t n) {
    if (ended_) Fail(kPngMissingPartsText);
    z_.zs.next_out = out;
    z_.zs.avail_out = static_cast<uInt>(n);
    while (z_.zs.avail_out > 0) {
      if (z_.zs.avail_in == 0) {
        if (next_ == chunks_.size()) Fail(kPngMissingPartsText);
        const std::span<const std::uint8_t> chunk = chunks_[next_++];
        z_.zs.next_in = const_cast<Bytef*>(chunk.data());
        z_.zs.avail_in = static_cast<uInt>(chunk.size());
        continue;
      }
      const Bytef* in = z_.zs.next_in;
      const int ret = inflate(&z_.zs, Z_NO_FLUSH);
      KeepLastBytes(in, static_cast<std::size_t>(z_.zs.next_in - in));
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) FailInflate(ret, z_.zs.msg);
      if (ret == Z_STREAM_END) {
        // The check value is the 4 bytes zlib read last (RFC 1950).
        ended_ = true;
        const std::uint32_t adler = Adler32(adler_, out, n - z_.zs.avail_out);
        if (adler != ByteReader(last_).u32be())
          throw EPNGError(std::string(kPngInflateErrorText) + "incorrect data check");
        if (z_.zs.avail_out > 0) Fail(kPngMissingPartsText);
        return;
      }
    }
    adler_ = Adler32(adler_, out, n);
  }

 private:
  void KeepLastBytes(const std::uint8_t* p, std::size_t n) {
    const std::size_t keep = std::min(n, last_.size());
    std::copy(last_.begin() + static_cast<std::ptrdiff_t>(keep), last_.end(), last_.begin());
    std::copy(p + n - keep, p + n, last_.end() - static_cast<std::ptrdiff_t>(keep));
  }

  std::span<const std::span<const std::uint8_t>> chunks_;
  std::size_t next_ = 0;
  InflateStream z_;
  std::uint32_t adler_ = 1;                // of all bytes inflated so far
  std::array<std::uint8_t, 4> last_ = {};  // the last bytes zlib read
  bool ended_ = false;                     // the stream's end was read
};

// The gray palette of a gray image: one entry per sample value s of an n-bit
// sample (of the high byte for 16 bits), level s * 255 / (2^n - 1).
TPalette GrayPalette(unsigned depth, const GammaTable& gamma) {
  const unsigned bits = std::min(depth, 8u);
  const unsigned max = (1u << bits) - 1;
  TPalette palette(max + 1);
  for (unsigned s = 0; s <= max; ++s) {
    const std::uint8_t level = gamma[s * 255 / max];
    palette[s] = {level, level, level};
  }
  return palette;
}

// Marks the raster Transparent when tRNS names a single colour (section
// 11.3.2.1), taking the colour that the pixels concerned have in the raster.
void ApplyTransparency(const Ihdr& h, std::span<const std::uint8_t> trns, const GammaTable& gamma,
                       TBitmap& raster) {
  const TPalette& palette = raster.Palette();
  switch (h.color_type) {
    case kGray: {
      if (trns.size() < 2) return;
      const unsigned value = ByteReader(trns).u16be();
      if (h.depth < 16 && value >= (1u << h.depth)) return;  // matches no pixel
      const unsigned index = h.depth == 16 ? value >> 8 : value;
      const TPaletteEntry& e = palette[index];
      raster.SetTransparent(true);
      raster.SetTransparentColor(MakeColor(e.red, e.green, e.blue));
      break;
    }
    case kRgb: {
      if (trns.size() < 6) return;
      ByteReader in(trns);
      std::array<std::uint8_t, 3> rgb{};
      for (std::uint8_t& c : rgb) {
        const unsigned value = in.u16be();
        if (h.depth == 8 && value > 255) return;
        c = gamma[h.depth == 16 ? value >> 8 : value];
      }
      raster.SetTransparent(true);
      raster.SetTransparentColor(MakeColor(rgb[0], rgb[1], rgb[2]));
      break;
    }
    case kPalette: {
      const std::size_t n = std::min(trns.size(), palette.size());
      std::size_t count = 0;
      std::size_t found = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (trns[i] < 255) {
          ++count;
          found = i;
        }
      }
      if (count != 1) return;
      const TPaletteEntry& e = palette[found];
      raster.SetTransparent(true);
      raster.SetTransparentColor(MakeColor(e.red, e.green, e.blue));
      break;
    }
    default:  // alpha channel images carry no tRNS
      break;
  }
}

// --- Compositing over a backdrop ---

// round(x / 255) for 0 <= x <= 255 * 255, given y = x + 128: (y + (y >> 8))
// >> 8 is exact there (checked for every x; x / 255 never falls on a half,
// 255 being odd).
inline std::uint8_t Round255(unsigned y) {
  return static_cast<std::uint8_t>((y + (y >> 8)) >> 8);
}

// Colour c over the backdrop's bg at opacity a: round((c * a + bg * (255 -
// a)) / 255).
inline std::uint8_t Blend(unsigned c, unsigned a, unsigned bg) {
  return Round255(c * a + bg * (255 - a) + 128);
}

// What the decoder does to the samples beyond converting them: blend by the
// alpha channel, or show the backdrop where a pixel equals the tRNS key.
// Palette images and gray images of up to 8 bits need neither: their
// palette is composited instead.
struct Composite {
  enum Mode : std::uint8_t { kOff, kAlpha, kKey };
  Mode mode = kOff;
  // The key as the row stores it: one byte per sample of 8 bits, two (high
  // first) per sample of 16 bits.
  std::array<std::uint8_t, 6> key{};
  std::array<std::uint8_t, 3> bgr{};  // the backdrop in the raster's order
  // Per alpha a, per channel of bgr: bg * (255 - a) + 128, Blend's part that
  // does not depend on the colour (kAlpha only).
  std::array<std::array<std::uint16_t, 3>, 256> terms{};
};

// Bits per pixel of the raster a decode with `composite` fills: the decoder
// composites into Bgr24 only.
unsigned RasterBits(const Ihdr& h, const Composite& composite) {
  return composite.mode == Composite::kOff ? RasterBits(h) : 24;
}

// Where decoded rows go: raster rows, or a batch handed to a consumer.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // The raster row y is written to (all of its pixels, nothing past them).
  virtual std::uint8_t* Row(std::uint32_t y) = 0;
  // Rows first .. first + count - 1 are complete.
  virtual void Done(std::uint32_t first, std::uint32_t count) = 0;
};

class RasterSink final : public RowSink {
 public:
  explicit RasterSink(TBitmap& raster) : raster_(raster) {}
  std::uint8_t* Row(std::uint32_t y) override { return raster_.Row(static_cast<int>(y)); }
  void Done(std::uint32_t, std::uint32_t) override {}

 private:
  TBitmap& raster_;
};

// Decodes the first run of IDAT chunks row by row, pass by pass, into a
// sink: inflated straight into a batch of filtered rows, unfiltered in
// place, converted into the sink's rows.
class ImageDecoder {
 public:
  static constexpr std::uint32_t kBatchRows = 16;

  ImageDecoder(const Ihdr& ihdr, const GammaTable& gamma, const Composite& composite,
               std::span<const std::span<const std::uint8_t>> idat)
      : h_(ihdr),
        gamma_(gamma),
        identity_gamma_(gamma == IdentityGamma()),
        composite_(composite),
        raster_bits_(RasterBits(ihdr, composite)),
        pixel_bits_(Channels(ihdr.color_type) * ihdr.depth),
        filter_bpp_(std::max<std::size_t>(1, pixel_bits_ / 8)),
        data_(idat) {
    // A row is at most 65535 * 64 bits, so these sizes cannot overflow.
    const std::size_t row = RowBytes(h_.width);
    const std::size_t batch = std::min<std::size_t>(kBatchRows, h_.height);
    filtered_.resize(batch * (1 + row) + kRowSlack);
    prior_.resize(row + kRowSlack);
  }

  void Decode(RowSink& sink) {
    if (h_.interlace) {
      for (const Pass& p : kAdam7)
        DecodePass(p, sink);
    } else {
      DecodePass(kWholeImage, sink);
    }
  }

 private:
  std::size_t RowBytes(std::uint32_t pixels) const {
    return (std::size_t{pixels} * pixel_bits_ + 7) / 8;
  }

  // Section 8.2: an empty pass has no rows and no filter bytes.
  void DecodePass(const Pass& p, RowSink& sink) {
    if (p.x0 >= h_.width || p.y0 >= h_.height) return;
    const std::uint32_t width = (h_.width - p.x0 + p.dx - 1) / p.dx;
    const std::uint32_t height = (h_.height - p.y0 + p.dy - 1) / p.dy;
    const std::size_t n = RowBytes(width);
    const std::size_t stride = 1 + n;
    std::fill(prior_.begin(), prior_.end(), std::uint8_t{0});
    for (std::uint32_t row = 0; row < height; row += kBatchRows) {
      const std::uint32_t count = std::min(kBatchRows, height - row);
      data_.Read(filtered_.data(), count * stride);
      for (std::uint32_t k = 0; k < count; ++k) {
        std::uint8_t* line = filtered_.data() + k * stride;
        const std::uint8_t* above = k == 0 ? prior_.data() : line + 1 - stride;
        Unfilter(line[0], line + 1, above, n, filter_bpp_);
        StoreRow(line + 1, sink.Row(p.y0 + (row + k) * p.dy), p, width);
      }
      std::memcpy(prior_.data(), filtered_.data() + (count - 1) * stride + 1, n);
      if (p.dy == 1) sink.Done(row, count);
    }
  }

  // Writes one unfiltered row of `width` pixels of pass p into a raster row.
  void StoreRow(const std::uint8_t* src, std::uint8_t* dst, const Pass& p,
                std::uint32_t width) const {
    if (composite_.mode != Composite::kOff) return StoreComposited(src, dst, p, width);
    const unsigned depth = h_.depth;
    const bool whole = p.dx == 1;
    switch (h_.color_type) {
      case kRgb:
      case kRgbAlpha: {
        if (whole && identity_gamma_ && depth == 8 && h_.color_type == kRgb) {
          SwapRedBlue(src, dst, width);
          return;
        }
        const std::size_t sample = depth / 8;
        const std::size_t step = Channels(h_.color_type) * sample;
        for (std::uint32_t i = 0; i < width; ++i, src += step) {
          std::uint8_t* out = dst + 3 * std::size_t{p.x0 + i * p.dx};
          out[0] = gamma_[src[2 * sample]];
          out[1] = gamma_[src[sample]];
          out[2] = gamma_[src[0]];
        }
        return;
      }
      case kGrayAlpha: {
        const std::size_t step = 2 * (depth / 8);
        for (std::uint32_t i = 0; i < width; ++i)
          PutIndex(dst, raster_bits_, p.x0 + i * p.dx, src[i * step]);
        return;
      }
      default:  // gray and palette: one sample, an index into the raster's palette
        if (whole && depth == raster_bits_) {
          // The same packing: the row as it is, the unused low bits cleared.
          const std::size_t n = RowBytes(width);
          std::memcpy(dst, src, n);
          const unsigned used = (width * depth) % 8;
          if (used != 0) dst[n - 1] &= static_cast<std::uint8_t>(0xFF00u >> used);
          return;
        }
        for (std::uint32_t i = 0; i < width; ++i)
          PutIndex(dst, raster_bits_, p.x0 + i * p.dx, Sample(src, i, depth));
        return;
    }
  }

  // StoreRow for a Bgr24 raster composited over the backdrop: RGB or gray
  // with alpha, RGB or 16-bit gray with a key. Colours are gamma-mapped
  // first, the backdrop and alpha never.
  void StoreComposited(const std::uint8_t* src, std::uint8_t* dst, const Pass& p,
                       std::uint32_t width) const {
    const std::size_t sample = h_.depth / 8;
    const std::size_t step = Channels(h_.color_type) * sample;
    const bool gray = h_.color_type == kGray || h_.color_type == kGrayAlpha;
    // Offsets of blue, green and red in the source pixel (gray: all one).
    const std::size_t blue = gray ? 0 : 2 * sample;
    const std::size_t green = gray ? 0 : sample;
    const std::array<std::uint8_t, 3>& bg = composite_.bgr;
    if (composite_.mode == Composite::kKey) {
      for (std::uint32_t i = 0; i < width; ++i, src += step) {
        std::uint8_t* out = dst + 3 * std::size_t{p.x0 + i * p.dx};
        const bool clear = std::equal(src, src + step, composite_.key.begin());
        out[0] = clear ? bg[0] : gamma_[src[blue]];
        out[1] = clear ? bg[1] : gamma_[src[green]];
        out[2] = clear ? bg[2] : gamma_[src[0]];
      }
      return;
    }
    const std::size_t alpha = step - sample;  // 16 bits: the high byte
    // `colour` maps a sample; without gAMA the table is left out.
    const auto blend = [&](auto colour) {
      for (std::uint32_t i = 0; i < width; ++i, src += step) {
        std::uint8_t* out = dst + 3 * std::size_t{p.x0 + i * p.dx};
        const unsigned a = src[alpha];
        const std::array<std::uint16_t, 3>& t = composite_.terms[a];
        out[0] = Round255(colour(src[blue]) * a + t[0]);
        out[1] = Round255(colour(src[green]) * a + t[1]);
        out[2] = Round255(colour(src[0]) * a + t[2]);
      }
    };
    if (identity_gamma_)
      blend([](std::uint8_t s) { return unsigned{s}; });
    else
      blend([this](std::uint8_t s) { return unsigned{gamma_[s]}; });
  }

  const Ihdr h_;
  const GammaTable gamma_;
  const bool identity_gamma_;
  const Composite composite_;
  const unsigned raster_bits_;
  const unsigned pixel_bits_;
  const std::size_t filter_bpp_;
  ImageDataReader data_;
  std::vector<std::uint8_t> filtered_;  // a batch of rows: filter byte, row
  std::vector<std::uint8_t> prior_;     // the last unfiltered row of the batch before
};

// Hands each batch of rows to a consumer.
class ConsumerSink final : public RowSink {
 public:
  ConsumerSink(TRowConsumer& consumer, const TRowLayout& layout) : consumer_(consumer) {
    std::uint64_t row_bytes = 0;
    if (!skalo::RowBytes(static_cast<std::uint64_t>(layout.width),
                         static_cast<unsigned>(layout.sample.BitsPerPixel()), row_bytes))
      ThrowOutOfResources();
    row_bytes_ = static_cast<std::size_t>(row_bytes);
    const auto batch =
        std::min<std::size_t>(ImageDecoder::kBatchRows, static_cast<std::size_t>(layout.height));
    CheckAllocation(MulOrThrow(batch, row_bytes_));
    rows_.resize(batch * row_bytes_);
    for (std::size_t k = 0; k < batch; ++k)
      pointers_[k] = rows_.data() + k * row_bytes_;
  }

  std::uint8_t* Row(std::uint32_t y) override {
    return rows_.data() + (y % ImageDecoder::kBatchRows) * row_bytes_;
  }
  void Done(std::uint32_t first, std::uint32_t count) override {
    consumer_.Rows(static_cast<int>(first), pointers_.data(), static_cast<int>(count));
  }

 private:
  TRowConsumer& consumer_;
  std::size_t row_bytes_ = 0;
  // Zero-filled once: the row padding stays zero, every pixel is written.
  std::vector<std::uint8_t> rows_;
  std::array<const std::uint8_t*, ImageDecoder::kBatchRows> pointers_{};
};

bool IsCritical(std::string_view type) {
  return (static_cast<unsigned char>(type[0]) & 0x20) == 0;
}

// The most bytes deflate data inflates to, per byte: a length-258 match
// coded in 2 bits (one 1-bit length code, one 1-bit distance code). Plus a
// little for the first bytes a stream must spell out.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateSlack = 1024;

// Bytes of the filtered rows of the whole image (filter byte and packed
// samples of every row of every pass): what the image data must inflate to.
std::uint64_t ScanlineBytes(const Ihdr& h) {
  const std::uint64_t pixel_bits = std::uint64_t{Channels(h.color_type)} * h.depth;
  std::uint64_t total = 0;
  for (const Pass& p : h.interlace ? std::span<const Pass>(kAdam7) : std::span(&kWholeImage, 1)) {
    if (p.x0 >= h.width || p.y0 >= h.height) continue;
    const std::uint64_t width = (h.width - p.x0 + p.dx - 1) / p.dx;
    const std::uint64_t height = (h.height - p.y0 + p.dy - 1) / p.dy;
    total += height * (1 + (width * pixel_bits + 7) / 8);
  }
  return total;
}

// Data bytes of the run of consecutive IDAT chunks that starts at `in`'s
// position (chunk lengths only; CRCs are checked when the chunks are read).
std::uint64_t IdatRunBytes(ByteReader in) {
  std::uint64_t total = 0;
  while (in.remaining() >= 12) {
    const std::uint32_t length = in.u32be();
    const auto type = in.bytes(4);
    if (std::memcmp(type.data(), "IDAT", 4) != 0 || in.remaining() - 4 < length) break;
    in.skip(std::size_t{length} + 4);
    total += length;
  }
  return total;
}

}  // namespace

// What loading found out: the header, the gamma in force at the image data,
// the palette (palette images: PLTE gamma-mapped, cut to 2^depth entries),
// the last tRNS chunk, and the first run of IDAT chunks' data.
struct TPngSource {
  Ihdr ihdr;
  GammaTable gamma;
  TPalette palette;
  std::span<const std::uint8_t> trns;
  std::vector<std::span<const std::uint8_t>> idat;
};

namespace {

// How a loaded image is decoded with or without a backdrop: the layout of
// the rows and what the decoder composites.
struct DecodePlan {
  TRowLayout layout;
  Composite composite;
};

// The file comment's table, and with a backdrop: alpha channels blended,
// palette entries blended by their tRNS alpha, a gray key's palette entry
// replaced, RGB and 16-bit gray keys matched by the decoder (section
// 11.3.2.1: the whole sample, 16 bits for 16-bit images). Throws
// EOutOfResources when the raster would exceed kMaxPixelStoreBytes.
void PlanDecode(const TPngSource& source, const std::optional<TColor>& backdrop, DecodePlan& plan) {
  const Ihdr& h = source.ihdr;
  const std::span<const std::uint8_t> trns = source.trns;
  Composite& composite = plan.composite;
  TPalette palette;
  if (h.color_type == kPalette)
    palette = source.palette;
  else if (h.color_type == kGray || h.color_type == kGrayAlpha)
    palette = GrayPalette(h.color_type == kGray ? h.depth : 8, source.gamma);
  if (backdrop) {
    const TPaletteEntry bg = {ColorRed(*backdrop), ColorGreen(*backdrop), ColorBlue(*backdrop)};
    composite.bgr = {bg.blue, bg.green, bg.red};
    switch (h.color_type) {
      case kRgbAlpha:
      case kGrayAlpha:
        composite.mode = Composite::kAlpha;
        for (unsigned a = 0; a < 256; ++a)
          for (std::size_t k = 0; k < 3; ++k)
            composite.terms[a][k] = static_cast<std::uint16_t>(composite.bgr[k] * (255 - a) + 128);
        break;
      case kPalette:
        for (std::size_t i = 0; i < std::min(trns.size(), palette.size()); ++i) {
          TPaletteEntry& e = palette[i];
          e = {Blend(e.red, trns[i], bg.red), Blend(e.green, trns[i], bg.green),
               Blend(e.blue, trns[i], bg.blue)};
        }
        break;
      case kGray:
        if (trns.size() < 2) break;
        if (h.depth == 16) {
          composite.mode = Composite::kKey;
          std::copy_n(trns.begin(), 2, composite.key.begin());
        } else if (const unsigned value = ByteReader(trns).u16be(); value < palette.size()) {
          palette[value] = bg;
        }
        break;
      case kRgb: {
        if (trns.size() < 6) break;
        ByteReader in(trns);
        bool matches = true;
        for (std::size_t c = 0; c < 3; ++c) {
          const unsigned value = in.u16be();
          if (h.depth == 16) {
            composite.key[2 * c] = static_cast<std::uint8_t>(value >> 8);
            composite.key[2 * c + 1] = static_cast<std::uint8_t>(value);
          } else {
            matches = matches && value <= 255;
            composite.key[c] = static_cast<std::uint8_t>(value);
          }
        }
        if (matches) composite.mode = Composite::kKey;
        break;
      }
      default:
        break;
    }
  }
  const unsigned bits = RasterBits(h, composite);
  PixelStoreBytes(h.width, h.height, bits);
  plan.layout.width = static_cast<int>(h.width);
  plan.layout.height = static_cast<int>(h.height);
  TBitmap& sample = plan.layout.sample;
  sample.SetPixelFormat(RasterFormat(bits));
  if (bits < 24) sample.SetPalette(std::move(palette));
  if (!backdrop) ApplyTransparency(h, trns, source.gamma, sample);
}

// Decodes a loaded image into a new raster.
std::unique_ptr<TBitmap> DecodeRaster(const TPngSource& source, const DecodePlan& plan) {
  auto raster = std::make_unique<TBitmap>();
  raster->Assign(plan.layout.sample);
  raster->SetSizeForOverwrite(plan.layout.width, plan.layout.height);
  RasterSink sink(*raster);
  ImageDecoder(source.ihdr, source.gamma, plan.composite, source.idat).Decode(sink);
  return raster;
}

struct ReadResult {
  std::vector<TPNGObject::Chunk> chunks;
  std::unique_ptr<TPngSource> loaded;
};

// Walks a whole file (section 5: signature, then chunks up to IEND) without
// decoding the image data.
ReadResult ReadPng(std::span<const std::uint8_t> file, const TImageLimits& limits) {
  ByteReader in(file);
  if (in.remaining() < kSignature.size() ||
      !std::equal(kSignature.begin(), kSignature.end(), file.begin()))
    Fail(kPngInvalidHeaderText);
  in.skip(kSignature.size());

  ReadResult out;
  auto loaded = std::make_unique<TPngSource>();
  Ihdr& h = loaded->ihdr;
  GammaTable gamma = IdentityGamma();
  TPalette plte;
  bool have_plte = false;
  std::span<const std::uint8_t> trns;
  bool have_image = false;
  bool in_image_data = false;

  for (bool first = true;; first = false) {
    if (in.remaining() < 8) Fail(kPngUnexpectedEndText);
    const std::uint32_t length = in.u32be();
    const auto type_bytes = in.bytes(4);
    const std::string_view type(reinterpret_cast<const char*>(type_bytes.data()), 4);
    if (first && type != "IHDR") Fail(kPngIhdrNotFirstText);
    if (in.remaining() < length || in.remaining() - length < 4) Fail(kPngUnexpectedEndText);
    const auto data = in.bytes(length);
    if (in.u32be() != ChunkCrc(type, data)) Fail(kPngCrcErrorText);

    // The image data comes in consecutive IDAT chunks; only the first run
    // is decoded.
    if (type != "IDAT") in_image_data = false;

    if (type == "IHDR") {
      if (!first) Fail(kPngIhdrCorruptText);
      h = ParseIhdr(data);
      limits.CheckDeclared(h.width, h.height);
    } else if (type == "PLTE") {
      plte = ParsePalette(data, gamma);
      have_plte = true;
    } else if (type == "IDAT") {
      if (!have_image) {
        if (h.color_type == kPalette && !have_plte) Fail(kPngInvalidPaletteText);
        // Only rows that the image data can inflate to are worth decoding:
        // this chunk and the IDAT chunks right after it.
        const std::uint64_t idat_bytes = data.size() + IdatRunBytes(in);
        if (ScanlineBytes(h) > kMaxInflateRatio * idat_bytes + kInflateSlack)
          Fail(kPngMissingPartsText);
        PixelStoreBytes(h.width, h.height, RasterBits(h));
        loaded->gamma = gamma;
        if (h.color_type == kPalette) {
          plte.resize(std::min<std::size_t>(plte.size(), std::size_t{1} << h.depth));
          loaded->palette = std::move(plte);
        }
        have_image = true;
        in_image_data = true;
      }
      if (in_image_data) loaded->idat.push_back(data);
    } else if (type == "gAMA") {
      if (data.size() >= 4) {
        const std::uint32_t value = ByteReader(data).u32be();
        if (value != 0) gamma = GammaFromValue(value);
      }
    } else if (type == "tRNS") {
      if (data.size() > kMaxPaletteEntries) Fail(kPngInvalidPaletteText);
      trns = data;
    } else if (type == "cHRM") {
      continue;  // not kept
    } else if (type != "IEND" && IsCritical(type)) {
      Fail(kPngUnknownCriticalText);
    }
    out.chunks.push_back({std::string(type), data, false});
    if (type == "IEND") break;
  }
  if (!have_image) Fail(kPngNoDataText);
  loaded->trns = trns;
  out.loaded = std::move(loaded);
  return out;
}

// --- Writing ---

void WriteChunk(TStream& stream, std::string_view type, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 8> head{};
  PutU32(head.data(), static_cast<std::uint32_t>(data.size()));
  std::memcpy(head.data() + 4, type.data(), 4);
  std::array<std::uint8_t, 4> crc{};
  PutU32(crc.data(), ChunkCrc(type, data));
  stream.WriteBytes(head);
  stream.WriteBytes(data);
  stream.WriteBytes(crc);
}

struct DeflateStream {
  z_stream zs{};
  bool open = false;
  DeflateStream() = default;
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;
  ~DeflateStream() {
    if (open) deflateEnd(&zs);
  }
};

// Deflates what it is given and writes the output as IDAT chunks of exactly
// kPngIdatChunkBytes, the rest as a last, non-empty chunk.
class IdatWriter {
 public:
  IdatWriter(TStream& stream, int level, int strategy)
      : stream_(stream), buffer_(kPngIdatChunkBytes) {
    if (deflateInit2(&z_.zs, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) ThrowOutOfResources();
    z_.open = true;
    z_.zs.next_out = buffer_.data();
    z_.zs.avail_out = static_cast<uInt>(buffer_.size());
  }

  void Write(const std::uint8_t* data, std::size_t n) { Run(data, n, Z_NO_FLUSH); }

  void Finish() {
    Run(nullptr, 0, Z_FINISH);
    const std::size_t rest = buffer_.size() - z_.zs.avail_out;
    if (rest > 0) WriteChunk(stream_, "IDAT", {buffer_.data(), rest});
  }

 private:
  void Run(const std::uint8_t* data, std::size_t n, int flush) {
    z_.zs.next_in = const_cast<Bytef*>(data);
    z_.zs.avail_in = static_cast<uInt>(n);
    for (;;) {
      const int ret = deflate(&z_.zs, flush);
      if (ret == Z_STREAM_ERROR) ThrowOutOfResources();
      if (z_.zs.avail_out == 0) {
        WriteChunk(stream_, "IDAT", buffer_);
        z_.zs.next_out = buffer_.data();
        z_.zs.avail_out = static_cast<uInt>(buffer_.size());
        continue;
      }
      if (flush == Z_FINISH ? ret == Z_STREAM_END : z_.zs.avail_in == 0) return;
    }
  }

  TStream& stream_;
  std::vector<std::uint8_t> buffer_;
  DeflateStream z_;
};

// Filtering for the encoder (section 9.2): every prediction comes from the
// unfiltered rows, so the bytes of a row are independent and go 16 at a
// time. `row` and `up` have kFilterPad zero bytes before them (the pixels
// left of the first) and kRowSlack after them; `up` is all zeros above the
// first row.
constexpr std::size_t kFilterPad = 16;

// The filtered row and, in the return value, its cost: the sum of the
// filtered bytes' magnitudes as signed bytes (section 12.8).
template <std::size_t kBpp>
std::uint64_t FilterRowScalar(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* up,
                              std::size_t begin, std::size_t n, std::uint8_t* out) {
  std::uint64_t cost = 0;
  for (std::size_t i = begin; i < n; ++i) {
    // Left of the first pixel lies the pad: (row + i) - kBpp, as an
    // unsigned i - kBpp would wrap.
    const int a = *(row + i - kBpp);
    const int b = up[i];
    const int c = *(up + i - kBpp);
    int prediction = 0;
    switch (type) {
      case kFilterSub:
        prediction = a;
        break;
      case kFilterUp:
        prediction = b;
        break;
      case kFilterAverage:
        prediction = (a + b) >> 1;
        break;
      case kFilterPaeth:
        prediction = PaethPredictor(a, b, c);
        break;
      default:
        break;
    }
    const auto v = static_cast<std::uint8_t>(row[i] - prediction);
    out[i] = v;
    cost += v < 128 ? v : 256 - v;
  }
  return cost;
}

#if defined(__SSE2__)
inline __m128i Load16(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

template <std::size_t kBpp>
std::uint64_t FilterRow(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* up,
                        std::size_t n, std::uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  __m128i cost = zero;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i x = Load16(row + i);
    __m128i prediction = zero;
    switch (type) {
      case kFilterSub:
        prediction = Load16(row + i - kBpp);
        break;
      case kFilterUp:
        prediction = Load16(up + i);
        break;
      case kFilterAverage:
        prediction = FloorAverage8(Load16(row + i - kBpp), Load16(up + i));
        break;
      case kFilterPaeth: {
        const __m128i a = Load16(row + i - kBpp);
        const __m128i b = Load16(up + i);
        const __m128i c = Load16(up + i - kBpp);
        prediction =
            _mm_packus_epi16(Paeth16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                     _mm_unpacklo_epi8(c, zero)),
                             Paeth16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                     _mm_unpackhi_epi8(c, zero)));
        break;
      }
      default:
        break;
    }
    const __m128i v = _mm_sub_epi8(x, prediction);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    // min(v, 256 - v) per byte, summed.
    cost = _mm_add_epi64(cost, _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero));
  }
  std::array<std::uint64_t, 2> halves{};
  std::memcpy(halves.data(), &cost, sizeof halves);
  return halves[0] + halves[1] + FilterRowScalar<kBpp>(type, row, up, i, n, out);
}
#else
template <std::size_t kBpp>
std::uint64_t FilterRow(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* up,
                        std::size_t n, std::uint8_t* out) {
  return FilterRowScalar<kBpp>(type, row, up, 0, n, out);
}
#endif

std::size_t CountZeros(const std::uint8_t* p, std::size_t n) {
  std::size_t zeros = 0;
  for (std::size_t i = 0; i < n; ++i)
    zeros += p[i] == 0;
  return zeros;
}

// The rows of a raster in the byte order of the file: palette indices with
// the unused bits of a last partial byte cleared, or RGB.
class FileRows {
 public:
  // `alpha`: one opacity byte per pixel of a colour image, written as RGBA.
  FileRows(const TBitmap& image, const TBitmap* alpha)
      : image_(image),
        alpha_(alpha),
        indexed_(image.BitsPerPixel() < 16),
        bgr_(image),
        width_(static_cast<std::size_t>(image.Width())) {
    const auto bits = static_cast<unsigned>(image.BitsPerPixel());
    row_bytes_ = indexed_ ? (width_ * bits + 7) / 8 : width_ * (alpha_ ? 4 : 3);
    if (alpha_) rgb_.resize(3 * width_);
    const unsigned tail_bits = static_cast<unsigned>((width_ * bits) % 8);
    tail_mask_ = static_cast<std::uint8_t>(tail_bits == 0 ? 0xFF : 0xFF00u >> tail_bits);
    if (!indexed_ && !bgr_.Identity()) converted_.resize(row_bytes_);
  }

  bool Indexed() const noexcept { return indexed_; }
  bool Alpha() const noexcept { return alpha_ != nullptr; }
  std::size_t RowBytes() const noexcept { return row_bytes_; }

  // Row y into out[0, RowBytes()).
  void Read(int y, std::uint8_t* out) {
    const std::uint8_t* src = image_.ConstRow(y);
    if (indexed_) {
      std::memcpy(out, src, row_bytes_);
      out[row_bytes_ - 1] &= tail_mask_;
      return;
    }
    if (!bgr_.Identity()) {
      bgr_.Read(src, image_.Width(), converted_.data());
      src = converted_.data();
    }
    if (!alpha_) return SwapRedBlue(src, out, width_);
    SwapRedBlue(src, rgb_.data(), width_);
    const std::uint8_t* a = alpha_->ConstRow(y);
    for (std::size_t x = 0; x < width_; ++x) {
      std::memcpy(out + 4 * x, rgb_.data() + 3 * x, 3);
      out[4 * x + 3] = a[x];
    }
  }

 private:
  const TBitmap& image_;
  const TBitmap* alpha_;
  std::vector<std::uint8_t> rgb_;
  const bool indexed_;
  TBgrRowReader bgr_;
  const std::size_t width_;
  std::size_t row_bytes_ = 0;
  std::uint8_t tail_mask_ = 0xFF;
  std::vector<std::uint8_t> converted_;
};

// Rows filtered by the rules of the file comment, then deflated.
class ImageDataWriter {
 public:
  ImageDataWriter(const TBitmap& image, const TBitmap* alpha, int level)
      : image_(image), rows_(image, alpha), level_(level), n_(rows_.RowBytes()) {
    // The pad before, the row, the slack after (the vector loads read past
    // the row's end), for the current and the previous row.
    for (std::vector<std::uint8_t>* buffer : {&row_, &up_})
      buffer->assign(kFilterPad + n_ + kRowSlack, 0);
    for (std::vector<std::uint8_t>& candidate : candidates_)
      candidate.resize(n_ + kRowSlack);
  }

  void Write(TStream& stream) {
    const auto height = static_cast<std::size_t>(image_.Height());
    std::vector<std::uint8_t> filters(height, kFilterNone);
    std::size_t zeros = 0;
    if (!rows_.Indexed() && level_ > 0) {
      // First pass: each row's filter, and how many filtered bytes are 0.
      for (std::size_t y = 0; y < height; ++y) {
        NextRow(y);
        filters[y] = BestFilter();
        zeros += CountZeros(candidates_[filters[y]].data(), n_);
      }
      // Zeros above the first row again: NextRow swaps this in as up_.
      std::fill(row_.begin(), row_.end(), std::uint8_t{0});
    }
    const bool continuous_tone = 4 * zeros < 3 * (height * n_);
    IdatWriter out(stream, level_,
                   !rows_.Indexed() && continuous_tone ? Z_RLE : Z_DEFAULT_STRATEGY);
    // Rows go to zlib in runs of about 64 KB.
    const std::size_t run_rows = std::clamp<std::size_t>((std::size_t{1} << 16) / (1 + n_), 1, 64);
    std::vector<std::uint8_t> run;
    run.reserve(run_rows * (1 + n_));
    for (std::size_t y = 0; y < height; ++y) {
      NextRow(y);
      const std::uint8_t type = filters[y];
      if (type != kFilterNone) Filter(type, candidates_[type].data());
      const std::uint8_t* filtered = type == kFilterNone ? Current() : candidates_[type].data();
      run.push_back(type);
      run.insert(run.end(), filtered, filtered + n_);
      if (run.size() >= run_rows * (1 + n_) || y + 1 == height) {
        out.Write(run.data(), run.size());
        run.clear();
      }
    }
    out.Finish();
  }

 private:
  const std::uint8_t* Current() const { return row_.data() + kFilterPad; }

  void NextRow(std::size_t y) {
    std::swap(row_, up_);
    rows_.Read(static_cast<int>(y), row_.data() + kFilterPad);
  }

  std::uint64_t Filter(std::uint8_t type, std::uint8_t* out) const {
    const std::uint8_t* row = row_.data() + kFilterPad;
    const std::uint8_t* up = up_.data() + kFilterPad;
    if (rows_.Indexed()) return FilterRow<1>(type, row, up, n_, out);
    return rows_.Alpha() ? FilterRow<4>(type, row, up, n_, out)
                         : FilterRow<3>(type, row, up, n_, out);
  }

  // The filter of least cost, the first of equals; candidates_ holds each
  // filtered row.
  std::uint8_t BestFilter() {
    std::uint8_t best = kFilterNone;
    std::uint64_t best_cost = Filter(kFilterNone, candidates_[kFilterNone].data());
    for (std::uint8_t type = kFilterSub; type <= kFilterPaeth; ++type) {
      const std::uint64_t cost = Filter(type, candidates_[type].data());
      if (cost < best_cost) {
        best_cost = cost;
        best = type;
      }
    }
    return best;
  }

  const TBitmap& image_;
  FileRows rows_;
  const int level_;
  const std::size_t n_;
  std::vector<std::uint8_t> row_;
  std::vector<std::uint8_t> up_;
  std::array<std::vector<std::uint8_t>, 5> candidates_;
};

std::vector<std::uint8_t> IhdrData(std::uint32_t width, std::uint32_t height, std::uint8_t depth,
                                   std::uint8_t color_type) {
  std::vector<std::uint8_t> data(13, 0);
  PutU32(data.data(), width);
  PutU32(data.data() + 4, height);
  data[8] = depth;
  data[9] = color_type;
  // Compression, filter and interlace methods 0.
  return data;
}

}  // namespace

TPNGObject::TPNGObject() = default;
TPNGObject::~TPNGObject() = default;

void TPNGObject::Clear() noexcept {
  chunks_.clear();
  bytes_.clear();
  width_ = 0;
  height_ = 0;
  loaded_.reset();
  image_.reset();
  image_backdrop_.reset();
  alpha_.reset();
}

void TPNGObject::LoadFromStream(TStream& stream) {
  LoadFromBuffer(ReadStreamRest(stream));
}

void TPNGObject::LoadFromBytes(std::span<const std::uint8_t> bytes) {
  LoadFromBuffer({bytes.begin(), bytes.end()});
}

void TPNGObject::LoadFromBuffer(std::vector<std::uint8_t> bytes) {
  Clear();
  ReadResult read = ReadPng(bytes, Limits());
  // A raster beyond kMaxPixelStoreBytes for the backdrop set now fails the
  // load (gray with alpha or a 16-bit key grows to Bgr24).
  DecodePlan plan;
  PlanDecode(*read.loaded, Backdrop(), plan);
  // The chunks' spans point into the vector's block, which moving keeps.
  bytes_ = std::move(bytes);
  chunks_ = std::move(read.chunks);
  loaded_ = std::move(read.loaded);
  width_ = static_cast<int>(loaded_->ihdr.width);
  height_ = static_cast<int>(loaded_->ihdr.height);
}

bool TPNGObject::KeptRasterCurrent() const {
  return image_ && (!loaded_ || image_backdrop_ == Backdrop());
}

void TPNGObject::DecodeRows(TRowConsumer& consumer) {
  if (KeptRasterCurrent()) return DeliverRows(*image_, consumer);
  if (!loaded_) return DeliverRows(TBitmap(), consumer);
  DecodePlan plan;
  PlanDecode(*loaded_, Backdrop(), plan);
  if (loaded_->ihdr.interlace) return DeliverRows(*DecodeRaster(*loaded_, plan), consumer);
  consumer.Begin(plan.layout);
  ConsumerSink sink(consumer, plan.layout);
  ImageDecoder(loaded_->ihdr, loaded_->gamma, plan.composite, loaded_->idat).Decode(sink);
}

void TPNGObject::AssignTo(TBitmap& dest) {
  if (loaded_ && !KeptRasterCurrent()) {
    image_.reset();
    DecodePlan plan;
    PlanDecode(*loaded_, Backdrop(), plan);
    image_ = DecodeRaster(*loaded_, plan);
    image_backdrop_ = Backdrop();
  }
  if (image_) {
    dest.Assign(*image_);
  } else {
    const TBitmap empty;
    dest.Assign(empty);
  }
}

void TPNGObject::Assign(const TBitmap& source) {
  auto image = std::make_unique<TBitmap>();
  image->Assign(source);
  // The chunks' data, laid end to end in one block.
  std::vector<std::uint8_t> bytes;
  std::vector<std::pair<std::string, std::size_t>> parts;  // type, size
  const auto add = [&](const char* type, const std::vector<std::uint8_t>& data) {
    bytes.insert(bytes.end(), data.begin(), data.end());
    parts.emplace_back(type, data.size());
  };
  const int width = source.Width();
  const int height = source.Height();
  if (!source.Empty()) {
    const int bits = source.BitsPerPixel();
    const bool indexed = bits < 16;
    const auto depth = static_cast<std::uint8_t>(indexed ? bits : 8);
    add("IHDR", IhdrData(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         depth, indexed ? kPalette : kRgb));
    std::vector<std::uint8_t> plte;
    if (indexed) {
      // 2^depth entries; indices without a palette entry show black.
      const TPalette& palette = source.Palette();
      const std::size_t entries = std::size_t{1} << depth;
      plte.assign(3 * entries, 0);
      for (std::size_t i = 0; i < std::min(entries, palette.size()); ++i) {
        plte[3 * i] = palette[i].red;
        plte[3 * i + 1] = palette[i].green;
        plte[3 * i + 2] = palette[i].blue;
      }
      add("PLTE", plte);
    }
    if (source.Transparent()) {
      const TColor color = source.TransparentColor() & 0xFFFFFF;
      std::vector<std::uint8_t> trns;
      if (indexed) {
        // Opaque entries up to the first of the transparent colour, which
        // gets alpha 0 and ends the chunk.
        for (std::size_t i = 0; i < plte.size() / 3; ++i) {
          const bool match = MakeColor(plte[3 * i], plte[3 * i + 1], plte[3 * i + 2]) == color;
          trns.push_back(match ? 0 : 255);
          if (match) break;
        }
      } else {
        trns = {0, ColorRed(color), 0, ColorGreen(color), 0, ColorBlue(color)};
      }
      add("tRNS", trns);
    }
  }
  Clear();
  bytes_ = std::move(bytes);
  if (!source.Empty()) {
    std::size_t at = 0;
    for (const auto& [type, size] : parts) {
      chunks_.push_back({type, std::span(bytes_).subspan(at, size), false});
      at += size;
    }
    chunks_.push_back({"IDAT", {}, true});
    chunks_.push_back({"IEND", {}, false});
    width_ = width;
    height_ = height;
  }
  image_ = std::move(image);
}

void TPNGObject::SaveToStream(TStream& stream) {
  if (chunks_.empty()) return;
  stream.WriteBytes(kSignature);
  for (const Chunk& chunk : chunks_) {
    if (chunk.image_data)
      WriteImageData(stream);
    else
      WriteChunk(stream, chunk.type, chunk.data);
  }
}

void TPNGObject::WriteImageData(TStream& stream) const {
  ImageDataWriter(*image_, alpha_.get(), std::min<int>(compression_level_, 9)).Write(stream);
}

void TPNGObject::AssignWithAlpha(const TBitmap& source, const TBitmap& alpha) {
  RequireAlphaPlane(source, alpha);
  TBitmap colour;
  colour.Assign(source);
  colour.SetPixelFormat(TPixelFormat::Bgr24);
  colour.SetTransparent(false);
  Assign(colour);
  if (colour.Empty()) return;
  // IHDR leads the chunk data: width, height, bit depth, then colour type.
  bytes_[9] = kRgbAlpha;
  alpha_ = std::make_unique<TBitmap>();
  alpha_->Assign(alpha);
}

}  // namespace skalo
