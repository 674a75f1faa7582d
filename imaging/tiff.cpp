#include "imaging/tiff.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "imaging/gif_lzw.h"
#include "imaging/jpeg.h"
#include "imaging/tiff_ccitt.h"
#include "imaging/tiff_codecs.h"

namespace skalo {
namespace {

// --- Tags, field types and values (TIFF 6.0, sections 2 and 8) ---

enum Tag : std::uint16_t {
  kImageWidth = 256,
  kImageLength = 257,
  kBitsPerSample = 258,
  kCompression = 259,
  kPhotometric = 262,
  kFillOrder = 266,
  kStripOffsets = 273,
  kSamplesPerPixel = 277,
  kRowsPerStrip = 278,
  kStripByteCounts = 279,
  kPlanarConfiguration = 284,
  kT4Options = 292,
  kPredictor = 317,
  kColorMap = 320,
  kTileWidth = 322,
  kTileLength = 323,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kSampleFormat = 339,
  kJpegTables = 347,
  kYCbCrCoefficients = 529,
  kYCbCrSubSampling = 530,
  kReferenceBlackWhite = 532,
};

struct TagName {
  std::uint16_t tag;
  const char* name;
};

// The tags this reader reads; the directory skips all others.
constexpr TagName kUsedTags[] = {
    {kImageWidth, "ImageWidth"},
    {kImageLength, "ImageLength"},
    {kBitsPerSample, "BitsPerSample"},
    {kCompression, "Compression"},
    {kPhotometric, "PhotometricInterpretation"},
    {kFillOrder, "FillOrder"},
    {kStripOffsets, "StripOffsets"},
    {kSamplesPerPixel, "SamplesPerPixel"},
    {kRowsPerStrip, "RowsPerStrip"},
    {kStripByteCounts, "StripByteCounts"},
    {kPlanarConfiguration, "PlanarConfiguration"},
    {kT4Options, "T4Options"},
    {kPredictor, "Predictor"},
    {kColorMap, "ColorMap"},
    {kTileWidth, "TileWidth"},
    {kTileLength, "TileLength"},
    {kTileOffsets, "TileOffsets"},
    {kTileByteCounts, "TileByteCounts"},
    {kSampleFormat, "SampleFormat"},
    {kJpegTables, "JPEGTables"},
    {kYCbCrCoefficients, "YCbCrCoefficients"},
    {kYCbCrSubSampling, "YCbCrSubSampling"},
    {kReferenceBlackWhite, "ReferenceBlackWhite"},
};

const TagName* FindTag(std::uint16_t tag) {
  for (const TagName& t : kUsedTags)
    if (t.tag == tag) return &t;
  return nullptr;
}

std::string Field(std::uint16_t tag) {
  const TagName* t = FindTag(tag);
  return std::string("TIFF tag ") + (t != nullptr ? t->name : std::to_string(tag));
}

enum FieldType : std::uint16_t {
  kByte = 1,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kSRational = 10,
};

// Bytes of one value of the field types 1 to 13 (BYTE ... DOUBLE, IFD).
constexpr std::uint8_t kTypeSizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};

// Bytes of one value of a field type; 0 for unknown types.
std::uint64_t TypeSize(std::uint16_t type) {
  return type < 14 ? kTypeSizes[type] : 0;
}

enum Compression : std::uint32_t {
  kNone = 1,
  kCcittHuffman = 2,
  kCcittGroup3 = 3,
  kLzw = 5,
  kJpeg = 7,
  kDeflate = 8,
  kCcittHuffmanWord = 32771,
  kPackBits = 32773,
  kThunderScan = 32809,
  kDeflateOld = 32946,
};

enum Photometric : std::uint32_t {
  kWhiteIsZero = 0,
  kBlackIsZero = 1,
  kRgb = 2,
  kPalette = 3,
  kSeparated = 5,  // CMYK
  kYCbCr = 6,
  kCieLab = 8,
};

// --- Limits checked before anything is allocated ---
//
// The declared picture must pass the reader's limits (TImageLimits) first.
// Then no strip may decode to more than its data allows: these are the
// largest expansions each coding can reach, so a tiny file that declares a
// huge image fails before its buffers exist. CCITT strips are held to
// tiff::CcittMinStripBytes, LZW strips to LzwMaxOutput.
constexpr std::uint64_t kPackBitsRunBytes = 128;  // a 2-byte repeat run at most
constexpr std::uint64_t kDeflateMaxRatio = 1032;  // zlib's documented limit
constexpr std::uint64_t kDeflateSlack = 1024;
constexpr std::uint64_t kThunderMaxPixelsPerByte = 63;  // one run code
constexpr std::uint64_t kJpegMaxPixelsPerByte = 1024;   // a DC code of a bit per 8 x 8 block
// A tile may be larger than the picture (writers keep a default tile size,
// often 256 x 256, for small pictures), but its buffer holds no more pixels
// than the picture or than this, whichever is more.
constexpr std::uint64_t kSmallTilePixels = std::uint64_t{1} << 20;

[[noreturn]] void Fail(const std::string& message) {
  throw ETIFFError(message);
}
[[noreturn]] void InvalidPixelFormat() {
  throw ETIFFError(kInvalidPixelFormatText);
}

// --- Directory ---

struct Entry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::size_t offset = 0;  // absolute offset of the value bytes
  std::size_t size = 0;    // count * TypeSize(type)
};

// The fields of the first image directory that this reader uses. The whole
// entry table and every used entry's value bytes are checked against the file
// before any value is read; entries of other tags are skipped unread.
class Directory {
 public:
  Directory(std::span<const std::uint8_t> file, bool big_endian, std::uint32_t ifd)
      : file_(file), big_endian_(big_endian) {
    ByteReader in(file);
    if (ifd > file.size() || file.size() - ifd < 2) Fail("TIFF directory lies outside the file");
    in.seek(ifd);
    const std::uint16_t count = U16(in);
    if (count == 0) Fail("TIFF directory is empty");
    if (in.remaining() / 12 < count) Fail("TIFF directory runs past the end of the file");
    ByteReader table = in.sub(in.offset(), std::size_t{count} * 12);
    for (std::uint16_t i = 0; i < count; ++i) {
      Entry e;
      e.tag = U16(table);
      e.type = U16(table);
      e.count = U32(table);
      const std::size_t value_field = table.offset() + in.offset();
      const std::uint32_t value_offset = U32(table);
      if (FindTag(e.tag) == nullptr || Find(e.tag) != nullptr)
        continue;  // the first of duplicates counts
      const std::uint64_t unit = TypeSize(e.type);
      if (unit == 0) continue;  // unknown type: TIFF 6.0 readers skip the field
      const std::uint64_t size = std::uint64_t{e.count} * unit;
      e.offset = size <= 4 ? value_field : value_offset;
      if (e.offset > file.size() || file.size() - e.offset < size)
        Fail(Field(e.tag) + " lies outside the file");
      e.size = static_cast<std::size_t>(size);
      entries_.push_back(e);
    }
  }

  bool Has(std::uint16_t tag) const { return Find(tag) != nullptr; }

  // The first value of an integer field, or `fallback` when it is absent.
  std::uint32_t Scalar(std::uint16_t tag, std::uint32_t fallback) const {
    const Entry* e = Find(tag);
    if (e == nullptr) return fallback;
    if (e->count == 0) Fail(Field(tag) + " has no value");
    return Integers(*e, 1)[0];
  }

  // Every value of an integer field (BYTE, SHORT or LONG); empty when absent.
  std::vector<std::uint32_t> Array(std::uint16_t tag) const {
    const Entry* e = Find(tag);
    return e == nullptr ? std::vector<std::uint32_t>{} : Integers(*e, e->count);
  }

  // Every value of a RATIONAL or SRATIONAL field; empty when absent.
  std::vector<double> Rationals(std::uint16_t tag) const {
    const Entry* e = Find(tag);
    if (e == nullptr) return {};
    if (e->type != kRational && e->type != kSRational) Fail(Field(tag) + " is not a rational");
    ByteReader in(file_.subspan(e->offset, e->size));
    std::vector<double> out;
    for (std::uint32_t i = 0; i < e->count; ++i) {
      const std::uint32_t num = U32(in);
      const std::uint32_t den = U32(in);
      if (den == 0) Fail(Field(tag) + " divides by zero");
      out.push_back(e->type == kSRational ? static_cast<double>(static_cast<std::int32_t>(num)) /
                                                static_cast<std::int32_t>(den)
                                          : static_cast<double>(num) / den);
    }
    return out;
  }

  // The raw value bytes of a field; empty when absent.
  std::span<const std::uint8_t> Bytes(std::uint16_t tag) const {
    const Entry* e = Find(tag);
    return e == nullptr ? std::span<const std::uint8_t>{} : file_.subspan(e->offset, e->size);
  }

 private:
  const Entry* Find(std::uint16_t tag) const {
    for (const Entry& e : entries_)
      if (e.tag == tag) return &e;
    return nullptr;
  }
  std::uint16_t U16(ByteReader& in) const { return big_endian_ ? in.u16be() : in.u16le(); }
  std::uint32_t U32(ByteReader& in) const { return big_endian_ ? in.u32be() : in.u32le(); }

  std::vector<std::uint32_t> Integers(const Entry& e, std::uint32_t n) const {
    if (e.type != kByte && e.type != kShort && e.type != kLong)
      Fail(Field(e.tag) + " is not an integer");
    ByteReader in(file_.subspan(e.offset, e.size));
    std::vector<std::uint32_t> out;
    out.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i)
      out.push_back(e.type == kByte ? in.u8() : e.type == kShort ? U16(in) : U32(in));
    return out;
  }

  std::span<const std::uint8_t> file_;
  bool big_endian_;
  std::vector<Entry> entries_;
};

// --- Image description ---

// How the samples are stored, as the directory says (after validation).
struct Layout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t compression = kNone;
  std::uint32_t photometric = kBlackIsZero;
  std::uint32_t samples = 1;  // samples per pixel
  std::uint32_t colour = 1;   // samples of the photometric interpretation
  std::uint32_t bits = 1;     // bits of every sample
  bool planar = false;        // planar configuration 2, more than one sample
  bool big_endian = false;
  bool reversed_bits = false;  // FillOrder 2
  bool predictor = false;      // horizontal differencing to undo
  std::uint32_t sub_h = 1;     // YCbCr subsampling of the stored data
  std::uint32_t sub_v = 1;
  bool two_dimensional = false;  // T4Options bit 0
};

std::uint32_t ColourSamples(std::uint32_t photometric) {
  switch (photometric) {
    case kWhiteIsZero:
    case kBlackIsZero:
    case kPalette:
      return 1;
    case kRgb:
    case kYCbCr:
    case kCieLab:
      return 3;
    case kSeparated:
      return 4;
    default:
      Fail("Unsupported TIFF photometric interpretation " + std::to_string(photometric));
  }
}

bool Supported(std::uint32_t compression) {
  switch (compression) {
    case kNone:
    case kPackBits:
    case kLzw:
    case kCcittHuffman:
    case kCcittHuffmanWord:
    case kCcittGroup3:
    case kDeflate:
    case kDeflateOld:
    case kJpeg:
    case kThunderScan:
      return true;
    default:
      return false;
  }
}

bool IsCcitt(std::uint32_t compression) {
  return compression == kCcittHuffman || compression == kCcittHuffmanWord ||
         compression == kCcittGroup3;
}

Layout Describe(const Directory& dir, bool big_endian, std::uint32_t width, std::uint32_t height) {
  Layout l;
  l.width = width;
  l.height = height;
  l.big_endian = big_endian;
  l.compression = dir.Scalar(kCompression, kNone);
  if (!Supported(l.compression))
    Fail("Unsupported TIFF compression " + std::to_string(l.compression));

  l.samples = dir.Scalar(kSamplesPerPixel, 1);
  if (l.samples == 0) Fail("TIFF image has no samples");
  const std::vector<std::uint32_t> bits = dir.Array(kBitsPerSample);
  l.bits = bits.empty() ? 1 : bits[0];
  // One value stands for every sample; otherwise all must agree.
  if (bits.size() >= l.samples && !std::all_of(bits.begin(), bits.begin() + l.samples,
                                               [&](std::uint32_t b) { return b == l.bits; }))
    InvalidPixelFormat();
  if (l.bits == 0 || l.bits > 16) InvalidPixelFormat();
  const std::uint32_t format = dir.Scalar(kSampleFormat, 1);
  if (format != 1 && format != 4) InvalidPixelFormat();  // only unsigned integers

  // Bilevel fax files often leave the interpretation out.
  const std::uint32_t fallback = IsCcitt(l.compression) ? kWhiteIsZero
                                 : l.samples >= 3       ? kRgb
                                                        : kBlackIsZero;
  l.photometric = dir.Scalar(kPhotometric, fallback);
  l.colour = ColourSamples(l.photometric);
  if (l.samples < l.colour) InvalidPixelFormat();

  l.planar = dir.Scalar(kPlanarConfiguration, 1) == 2 && l.samples > 1;
  l.reversed_bits = dir.Scalar(kFillOrder, 1) == 2;
  const std::uint32_t predictor = dir.Scalar(kPredictor, 1);
  if (predictor == 3) Fail("Unsupported TIFF predictor 3 (floating point)");
  if (predictor != 1 && predictor != 2)
    Fail("Unsupported TIFF predictor " + std::to_string(predictor));
  // Differencing applies to the codings that carry sample bytes losslessly.
  l.predictor = predictor == 2 && (l.compression == kPackBits || l.compression == kLzw ||
                                   l.compression == kDeflate || l.compression == kDeflateOld);
  if (l.predictor && l.bits != 8 && l.bits != 16)
    Fail("TIFF predictor 2 needs 8 or 16 bits per sample");

  if (IsCcitt(l.compression) && (l.samples != 1 || l.bits != 1))
    Fail("CCITT coding needs one sample of 1 bit");
  if (l.compression == kThunderScan && (l.samples != 1 || l.bits != 4))
    Fail("ThunderScan coding needs one sample of 4 bits");
  l.two_dimensional = l.compression == kCcittGroup3 && (dir.Scalar(kT4Options, 0) & 1) != 0;

  if (l.photometric == kYCbCr && l.compression != kJpeg) {
    if (l.bits != 8) InvalidPixelFormat();
    const std::vector<std::uint32_t> sub = dir.Array(kYCbCrSubSampling);
    l.sub_h = sub.size() >= 1 ? sub[0] : 2;
    l.sub_v = sub.size() >= 2 ? sub[1] : 2;
    auto valid = [](std::uint32_t s) { return s == 1 || s == 2 || s == 4; };
    if (!valid(l.sub_h) || !valid(l.sub_v)) Fail("Invalid TIFF YCbCr subsampling");
    if ((l.sub_h != 1 || l.sub_v != 1) && (l.planar || l.samples != 3 || l.predictor))
      Fail("Unsupported layout of subsampled TIFF YCbCr data");
  }
  if (l.photometric == kCieLab && l.bits != 8 && l.bits != 16) InvalidPixelFormat();
  if (l.photometric == kPalette && l.bits > 8) InvalidPixelFormat();
  return l;
}

bool Subsampled(const Layout& l) {
  return l.sub_h != 1 || l.sub_v != 1;
}

// JPEG strips decode into 8-bit chunky samples: one gray sample, or three
// red, green, blue samples.
Layout JpegDecodedLayout(const Layout& stored) {
  if (stored.planar || stored.bits != 8) InvalidPixelFormat();
  Layout l = stored;
  l.predictor = false;
  l.reversed_bits = false;
  if (stored.samples == 1 && stored.colour == 1) return l;
  if (stored.samples != 3 || (stored.photometric != kRgb && stored.photometric != kYCbCr))
    InvalidPixelFormat();
  l.photometric = kRgb;
  l.samples = l.colour = 3;
  return l;
}

// The raster format for the samples after colour conversion.
TPixelFormat RasterFormat(const Layout& l) {
  const std::uint32_t converted = (l.colour == 4 ? 3 : l.colour) + (l.samples - l.colour);
  // Gray or palette samples with extra samples (alpha): the extras are dropped.
  if (l.colour == 1 && l.samples > 1 && l.bits >= 8) return TPixelFormat::Indexed8;
  if (converted == 1) {
    if (l.bits == 1) return TPixelFormat::Indexed1;
    if (l.bits >= 2 && l.bits <= 4) return TPixelFormat::Indexed4;
    if (l.bits >= 8) return TPixelFormat::Indexed8;
  } else if (converted == 3) {
    return l.bits <= 5 ? TPixelFormat::Rgb555 : TPixelFormat::Bgr24;
  } else if (converted == 4 && l.bits >= 8) {
    return TPixelFormat::Bgrx32;
  }
  InvalidPixelFormat();
}

// --- Strips and tiles ---

// Bytes of one decoded row of `width` pixels of one plane. A row of
// subsampled YCbCr data is a row of data units covering sub_v image rows.
std::uint64_t DecodedRowBytes(const Layout& l, std::uint32_t width) {
  if (Subsampled(l)) {
    const std::uint64_t units = (std::uint64_t{width} + l.sub_h - 1) / l.sub_h;
    return MulOrThrow(units, l.sub_h * l.sub_v + 2);
  }
  const std::uint64_t samples = MulOrThrow(width, l.planar ? 1 : l.samples);
  return (MulOrThrow(samples, l.bits) + 7) / 8;
}

// Geometry of the decoded sample buffer: one block per plane, each of
// `rows` rows of `row_bytes` bytes.
struct Planes {
  std::uint32_t count = 1;
  std::uint32_t rows = 0;
  std::size_t row_bytes = 0;
  std::size_t plane_bytes = 0;
};

Planes PlaneGeometry(const Layout& l) {
  Planes p;
  p.count = l.planar ? l.samples : 1;
  p.row_bytes = static_cast<std::size_t>(DecodedRowBytes(l, l.width));
  p.rows = (l.height + l.sub_v - 1) / l.sub_v;
  const std::uint64_t plane = MulOrThrow(p.row_bytes, p.rows);
  CheckAllocation(MulOrThrow(plane, p.count));
  p.plane_bytes = static_cast<std::size_t>(plane);
  return p;
}

// A strip or a tile: one coded block of one plane covering image columns
// [x, x + width) (clipped to the image) and rows [first_row, first_row +
// rows). A strip spans the image's width; a tile is `width` wide however
// little of it lies inside the image, and only its rows inside the image are
// decoded.
struct Block {
  std::uint32_t plane = 0;
  std::uint32_t x = 0;
  std::uint32_t width = 0;  // pixels per decoded row
  std::uint32_t first_row = 0;
  std::uint32_t rows = 0;
  std::uint32_t full_rows = 0;   // rows it declares: RowsPerStrip or TileLength
  std::uint32_t buffer_row = 0;  // first decoded row in the plane's buffer
  std::uint32_t buffer_rows = 0;
  std::span<const std::uint8_t> data;
};

// The strips or tiles of the image, numbered in the file's order (plane
// after plane, each left to right, top to bottom). A file may list millions
// of them, so only their offsets and byte counts are kept, each checked
// against the file, and a Block is worked out when it is needed.
class Blocks {
 public:
  Blocks(const Directory& dir, std::span<const std::uint8_t> file, const Layout& l,
         const Planes& planes, const TImageLimits& limits)
      : file_(file), l_(l), tiled_(dir.Has(kTileWidth) && dir.Has(kTileLength)) {
    if (tiled_) {
      width_ = dir.Scalar(kTileWidth, 0);
      full_rows_ = dir.Scalar(kTileLength, 0);
      CheckTileSize(width_, full_rows_, limits);
      across_ = (l.width - 1) / width_ + 1;
    } else {
      width_ = l.width;
      full_rows_ = dir.Scalar(kRowsPerStrip, l.height);
      if (full_rows_ == 0 || full_rows_ > l.height) full_rows_ = l.height;
      if (full_rows_ % l.sub_v != 0 && full_rows_ < l.height)
        Fail("TIFF RowsPerStrip is not a multiple of the YCbCr subsampling");
    }
    down_ = (l.height - 1) / full_rows_ + 1;
    row_bytes_ = static_cast<std::size_t>(DecodedRowBytes(l, width_));
    ReadData(dir, MulOrThrow(MulOrThrow(across_, down_), planes.count));
  }

  bool tiled() const noexcept { return tiled_; }
  std::size_t size() const noexcept { return offsets_.size(); }
  std::size_t row_bytes() const noexcept { return row_bytes_; }  // of a decoded row
  std::uint32_t full_rows() const noexcept { return full_rows_; }

  Block operator[](std::size_t i) const {
    const std::size_t per_plane = std::size_t{across_} * down_;
    Block b;
    b.plane = static_cast<std::uint32_t>(i / per_plane);
    b.x = static_cast<std::uint32_t>(i % per_plane % across_) * width_;
    b.width = width_;
    b.first_row = static_cast<std::uint32_t>(i % per_plane / across_) * full_rows_;
    b.rows = std::min(full_rows_, l_.height - b.first_row);
    b.full_rows = full_rows_;
    b.buffer_row = b.first_row / l_.sub_v;
    b.buffer_rows = (b.rows + l_.sub_v - 1) / l_.sub_v;
    b.data = file_.subspan(offsets_[i], Size(i));
    return b;
  }

  std::string Name(std::size_t i) const {
    return std::string(tiled_ ? "TIFF tile " : "TIFF strip ") + std::to_string(i);
  }

 private:
  // The tile size, refused when it is zero, breaks the YCbCr data units, or
  // would make the reader allocate or decode much beyond the picture: a
  // tile's rows inside the image may hold no more pixels than the picture or
  // kSmallTilePixels, and a tile wider than the picture may not make the
  // decoded rows hold more pixels than the pixel limit or twice the picture.
  void CheckTileSize(std::uint32_t width, std::uint32_t length, const TImageLimits& limits) const {
    if (width == 0 || length == 0) Fail("TIFF tile size is zero");
    if (width % l_.sub_h != 0 || length % l_.sub_v != 0)
      Fail("TIFF tile size is not a multiple of the YCbCr subsampling");
    const std::uint64_t picture = std::uint64_t{l_.width} * l_.height;
    const std::uint64_t tile = std::uint64_t{width} * std::min(length, l_.height);
    if (tile > std::max(picture, kSmallTilePixels)) throw ESourceTooLarge(kSourceTooLargeText);
    if (width > l_.width &&
        std::uint64_t{width} * l_.height > std::max(limits.max_pixels, 2 * picture))
      throw ESourceTooLarge(kSourceTooLargeText);
  }

  // Reads the offsets and byte counts of `total` blocks and checks them
  // against the file. Without byte counts a block may use the rest of the
  // file. Tiles listed under StripOffsets (and StripByteCounts) are taken
  // from there when TileOffsets is absent.
  void ReadData(const Directory& dir, std::uint64_t total) {
    const bool tile_tags = tiled_ && (dir.Has(kTileOffsets) || !dir.Has(kStripOffsets));
    const std::uint16_t offsets_tag = tile_tags ? kTileOffsets : kStripOffsets;
    const std::uint16_t counts_tag = tile_tags ? kTileByteCounts : kStripByteCounts;
    const std::string too_few = tiled_ ? " lists too few tiles" : " lists too few strips";
    // Each listed offset takes bytes of the file, so `total` is checked
    // against the list before anything of its size exists.
    offsets_ = dir.Array(offsets_tag);
    if (offsets_.empty()) Fail(std::string("TIFF image has no ") + FindTag(offsets_tag)->name);
    if (offsets_.size() < total) Fail(std::string("TIFF ") + FindTag(offsets_tag)->name + too_few);
    offsets_.resize(static_cast<std::size_t>(total));
    if (dir.Has(counts_tag)) {
      counts_ = dir.Array(counts_tag);
      if (counts_.size() < total) Fail(std::string("TIFF ") + FindTag(counts_tag)->name + too_few);
      counts_.resize(static_cast<std::size_t>(total));
    }
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
      if (offsets_[i] > file_.size()) Fail(Name(i) + " lies outside the file");
      if (file_.size() - offsets_[i] < Size(i)) Fail(Name(i) + " runs past the end of the file");
    }
  }

  std::size_t Size(std::size_t i) const {
    return counts_.empty() ? file_.size() - offsets_[i] : counts_[i];
  }

  std::span<const std::uint8_t> file_;
  const Layout& l_;
  bool tiled_;
  std::uint32_t width_ = 0;
  std::uint32_t full_rows_ = 0;
  std::uint32_t across_ = 1;
  std::uint32_t down_ = 1;
  std::size_t row_bytes_ = 0;
  std::vector<std::uint32_t> offsets_;
  std::vector<std::uint32_t> counts_;  // empty: each block runs to the end of the file
};

tiff::CcittParams CcittParamsFor(const Layout& l, const Block& b, std::size_t row_bytes) {
  tiff::CcittParams p;
  p.coding = l.compression == kCcittHuffman       ? tiff::CcittCoding::ModifiedHuffman
             : l.compression == kCcittHuffmanWord ? tiff::CcittCoding::ModifiedHuffmanWord
                                                  : tiff::CcittCoding::Group3;
  p.two_dimensional = l.two_dimensional;
  p.width = b.width;
  p.rows = b.rows;
  p.row_bytes = row_bytes;
  return p;
}

// Refuses blocks whose data cannot hold what they declare (see the limits
// above), before the buffers are allocated.
void CheckBlockSizes(const Blocks& blocks, const Layout& l) {
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const Block b = blocks[i];
    const std::uint64_t in = b.data.size();
    const std::uint64_t decoded = std::uint64_t{b.buffer_rows} * blocks.row_bytes();
    const std::uint64_t pixels = std::uint64_t{b.rows} * b.width;
    bool plausible = true;
    switch (l.compression) {
      case kNone:
        plausible = in >= decoded;
        break;
      case kPackBits:
        plausible = (decoded + kPackBitsRunBytes - 1) / kPackBitsRunBytes * 2 <= in;
        break;
      case kLzw:
        plausible = decoded <= LzwMaxOutput(in, 8);
        break;
      case kDeflate:
      case kDeflateOld:
        plausible = decoded <= in * kDeflateMaxRatio + kDeflateSlack;
        break;
      case kCcittHuffman:
      case kCcittHuffmanWord:
      case kCcittGroup3:
        plausible = tiff::CcittMinStripBytes(CcittParamsFor(l, b, blocks.row_bytes())) <= in;
        break;
      case kThunderScan:
        plausible = pixels <= in * kThunderMaxPixelsPerByte;
        break;
      case kJpeg:
        plausible = pixels <= in * kJpegMaxPixelsPerByte;
        break;
    }
    if (!plausible) Fail(blocks.Name(i) + " is too short for the declared image size");
  }
}

constexpr std::array<std::uint8_t, 256> kReversedBits = [] {
  std::array<std::uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int b = 0; b < 8; ++b)
      if (i & (1 << b)) r |= 0x80 >> b;
    t[i] = static_cast<std::uint8_t>(r);
  }
  return t;
}();

// A JPEG block is a stream of its own whose header could claim any size: it
// must declare the block's width and rows, the rows padded at most to the
// next MCU row. The last strip may declare the full RowsPerStrip instead of
// the rows left (some writers do so), as a tile does its full TileLength;
// decoding stops after the rows inside the image either way.
void DecodeJpegBlock(std::span<const std::uint8_t> tables, const Block& b,
                     std::span<const std::uint8_t> data, const Layout& stored,
                     const Layout& decoded, std::span<std::uint8_t> out, std::size_t row_bytes,
                     const std::string& mismatch) {
  auto check = [&](const TJPEGFrame& frame) {
    const std::uint64_t most =
        (std::uint64_t{b.full_rows} + frame.mcu_height - 1) / frame.mcu_height * frame.mcu_height;
    if (frame.width > b.width || frame.height > most) throw ESourceTooLarge(kSourceTooLargeText);
    if (frame.width != b.width || frame.height < b.rows) Fail(mismatch);
  };
  TBitmap picture;
  DecodeJpegRows(tables, data, picture, stored.photometric == kRgb, b.rows, check);
  if (picture.PixelFormat() != TPixelFormat::Bgr24 ||
      static_cast<std::uint32_t>(picture.Width()) != b.width ||
      static_cast<std::uint32_t>(picture.Height()) != b.rows)
    Fail(mismatch);
  for (std::uint32_t y = 0; y < b.rows; ++y) {
    const std::uint8_t* from = picture.ConstRow(static_cast<int>(y));
    std::uint8_t* to = out.data() + std::size_t{y} * row_bytes;
    if (decoded.samples == 1) {
      for (std::uint32_t x = 0; x < b.width; ++x)
        to[x] = from[std::size_t{x} * 3 + 1];
    } else {
      for (std::uint32_t x = 0; x < b.width; ++x) {
        to[std::size_t{x} * 3] = from[std::size_t{x} * 3 + 2];
        to[std::size_t{x} * 3 + 1] = from[std::size_t{x} * 3 + 1];
        to[std::size_t{x} * 3 + 2] = from[std::size_t{x} * 3];
      }
    }
  }
}

// FillOrder 2 matters to the codings that read bits or bytes in order;
// Deflate and JPEG streams carry their own bit order.
bool ReversesBits(const Layout& l) {
  return l.reversed_bits && l.compression != kJpeg && l.compression != kDeflate &&
         l.compression != kDeflateOld;
}

// Decodes block `b` from `in` (its bytes, bit-reversed when the layout asks)
// into `out`, its rows inside the image.
void DecodeBlock(const Block& b, std::span<const std::uint8_t> in, const Layout& l,
                 const Blocks& blocks, std::span<const std::uint8_t> jpeg_tables,
                 const Layout& jpeg_layout, std::span<std::uint8_t> out) {
  const std::size_t row_bytes = blocks.row_bytes();
  switch (l.compression) {
    case kNone:
      std::memcpy(out.data(), in.data(), out.size());  // size checked by CheckBlockSizes
      break;
    case kPackBits:
      tiff::DecodePackBits(in, out);
      break;
    case kLzw:
      tiff::DecodeLzw(in, out);
      break;
    case kDeflate:
    case kDeflateOld:
      tiff::DecodeDeflate(in, out);
      break;
    case kThunderScan:
      tiff::DecodeThunderScan(in, out, b.width, b.rows, row_bytes);
      break;
    case kCcittHuffman:
    case kCcittHuffmanWord:
    case kCcittGroup3:
      tiff::DecodeCcitt(in, out, CcittParamsFor(l, b, row_bytes));
      break;
    case kJpeg:
      DecodeJpegBlock(jpeg_tables, b, in, l, jpeg_layout, out, row_bytes,
                      std::string("TIFF JPEG ") + (blocks.tiled() ? "tile" : "strip") +
                          " does not match the image size");
      break;
  }
}

// Undoes horizontal differencing (TIFF 6.0, section 14) in `rows` rows of
// `width` pixels; 16-bit samples are differences of whole values in the
// file's byte order.
void UndoPredictor(std::span<std::uint8_t> rows, std::size_t row_bytes, std::uint32_t width,
                   const Layout& l) {
  const std::size_t stride = l.planar ? 1 : l.samples;
  const std::size_t count = std::size_t{width} * stride;
  for (std::size_t at = 0; at + row_bytes <= rows.size(); at += row_bytes) {
    std::uint8_t* row = rows.data() + at;
    if (l.bits == 8) {
      for (std::size_t i = stride; i < count; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + row[i - stride]);
    } else {
      auto get = [&](std::size_t i) -> std::uint16_t {
        return l.big_endian ? static_cast<std::uint16_t>(row[2 * i] << 8 | row[2 * i + 1])
                            : static_cast<std::uint16_t>(row[2 * i] | row[2 * i + 1] << 8);
      };
      for (std::size_t i = stride; i < count; ++i) {
        const auto v = static_cast<std::uint16_t>(get(i) + get(i - stride));
        if (l.big_endian) {
          row[2 * i] = static_cast<std::uint8_t>(v >> 8);
          row[2 * i + 1] = static_cast<std::uint8_t>(v);
        } else {
          row[2 * i] = static_cast<std::uint8_t>(v);
          row[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
      }
    }
  }
}

// Copies `bits` bits from the start of `from` to bit `at` of `to`, leaving
// the other bits of `to` as they are (bits numbered from each byte's top).
void CopyBits(const std::uint8_t* from, std::uint8_t* to, std::size_t at, std::size_t bits) {
  if (at % 8 == 0) {
    to += at / 8;
    std::memcpy(to, from, bits / 8);
    if (bits % 8 != 0) {
      const auto keep = static_cast<std::uint8_t>(0xFFu >> (bits % 8));
      to[bits / 8] = static_cast<std::uint8_t>((to[bits / 8] & keep) | (from[bits / 8] & ~keep));
    }
    return;
  }
  // Tiles whose rows end inside a byte: bit by bit.
  for (std::size_t i = 0; i < bits; ++i) {
    const std::size_t t = at + i;
    const auto mask = static_cast<std::uint8_t>(0x80u >> (t % 8));
    if (from[i / 8] >> (7 - i % 8) & 1)
      to[t / 8] |= mask;
    else
      to[t / 8] &= static_cast<std::uint8_t>(~mask);
  }
}

// Copies the part of a decoded tile that lies inside the image into the
// plane's buffer.
void PlaceTile(const Block& tile, std::span<const std::uint8_t> decoded, std::size_t tile_row_bytes,
               const Layout& l, const Planes& planes, std::vector<std::uint8_t>& buffer) {
  // Columns are pixels of `bits` bits, or data units of subsampled YCbCr.
  const std::uint32_t visible = std::min(tile.width, l.width - tile.x);
  std::size_t unit_bits = std::size_t{l.bits} * (l.planar ? 1 : l.samples);
  std::size_t first = tile.x, units = visible;
  if (Subsampled(l)) {
    unit_bits = std::size_t{l.sub_h * l.sub_v + 2} * 8;
    first = tile.x / l.sub_h;
    units = (visible + l.sub_h - 1) / l.sub_h;
  }
  std::uint8_t* plane = buffer.data() + std::size_t{tile.plane} * planes.plane_bytes;
  for (std::uint32_t r = 0; r < tile.buffer_rows; ++r)
    CopyBits(decoded.data() + std::size_t{r} * tile_row_bytes,
             plane + std::size_t{tile.buffer_row + r} * planes.row_bytes, first * unit_bits,
             units * unit_bits);
}

// --- Conversion into the raster ---

// Sample i of a row of `bits`-bit samples packed most significant bit first
// (TIFF 6.0, section 2); 16-bit samples in the file's byte order.
class SampleRow {
 public:
  SampleRow(const std::uint8_t* row, std::size_t row_bytes, std::uint32_t bits, bool big_endian)
      : row_(row), row_bytes_(row_bytes), bits_(bits), big_endian_(big_endian) {}

  std::uint16_t operator[](std::size_t i) const {
    if (bits_ == 8) return row_[i];
    if (bits_ == 16) {
      return big_endian_ ? static_cast<std::uint16_t>(row_[2 * i] << 8 | row_[2 * i + 1])
                         : static_cast<std::uint16_t>(row_[2 * i] | row_[2 * i + 1] << 8);
    }
    const std::size_t bit = i * bits_;
    const std::size_t byte = bit / 8;
    std::uint32_t window = 0;
    for (std::size_t k = 0; k < 3; ++k)
      window = window << 8 | (byte + k < row_bytes_ ? row_[byte + k] : 0u);
    const unsigned shift = static_cast<unsigned>(24 - bits_ - bit % 8);
    return static_cast<std::uint16_t>(window >> shift & ((1u << bits_) - 1));
  }

 private:
  const std::uint8_t* row_;
  std::size_t row_bytes_;
  std::uint32_t bits_;
  bool big_endian_;
};

// A sample value widened or narrowed to 8 bits.
std::uint8_t To8(std::uint32_t v, std::uint32_t bits) {
  if (bits == 8) return static_cast<std::uint8_t>(v);
  if (bits > 8) return static_cast<std::uint8_t>(v >> (bits - 8));
  const std::uint32_t max = (1u << bits) - 1;
  return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
}

std::uint8_t Clamp8(double v) {
  return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

struct Rgba {
  std::uint8_t r = 0, g = 0, b = 0, a = 0;
};

// Turns the samples of one pixel into red, green, blue and the first extra
// sample.
class ColourConverter {
 public:
  ColourConverter(const Directory& dir, const Layout& l) : l_(l) {
    if (l.photometric != kYCbCr) return;
    const std::vector<double> luma = dir.Rationals(kYCbCrCoefficients);
    if (luma.size() >= 3) {
      luma_r_ = luma[0];
      luma_g_ = luma[1];
      luma_b_ = luma[2];
    }
    if (luma_g_ == 0) Fail("Invalid TIFF YCbCrCoefficients");
    const std::vector<double> ref = dir.Rationals(kReferenceBlackWhite);
    if (ref.size() >= 6) std::copy(ref.begin(), ref.begin() + 6, ref_.begin());
    if (ref_[1] == ref_[0] || ref_[3] == ref_[2] || ref_[5] == ref_[4])
      Fail("Invalid TIFF ReferenceBlackWhite");
  }

  // `px` holds the pixel's samples in file order.
  Rgba Convert(const std::uint16_t* px) const {
    Rgba out;
    const std::uint32_t bits = l_.bits;
    switch (l_.photometric) {
      case kSeparated: {
        // Ink amounts: each of cyan, magenta, yellow removes its complement,
        // black removes all three.
        const std::uint32_t k = 255 - To8(px[3], bits);
        out.r = static_cast<std::uint8_t>(((255 - To8(px[0], bits)) * k + 127) / 255);
        out.g = static_cast<std::uint8_t>(((255 - To8(px[1], bits)) * k + 127) / 255);
        out.b = static_cast<std::uint8_t>(((255 - To8(px[2], bits)) * k + 127) / 255);
        break;
      }
      case kYCbCr:
        YCbCrToRgb(px[0], px[1], px[2], out);
        break;
      case kCieLab:
        LabToRgb(px, out);
        break;
      default:  // RGB
        out.r = To8(px[0], bits);
        out.g = To8(px[1], bits);
        out.b = To8(px[2], bits);
        break;
    }
    if (l_.samples > l_.colour) out.a = To8(px[l_.colour], bits);
    return out;
  }

 private:
  // TIFF 6.0, section 21: undo the reference black and white scaling, then
  // invert the luma equation.
  void YCbCrToRgb(double y, double cb, double cr, Rgba& out) const {
    y = (y - ref_[0]) * 255.0 / (ref_[1] - ref_[0]);
    cb = (cb - ref_[2]) * 127.0 / (ref_[3] - ref_[2]);
    cr = (cr - ref_[4]) * 127.0 / (ref_[5] - ref_[4]);
    const double r = y + cr * (2 - 2 * luma_r_);
    const double b = y + cb * (2 - 2 * luma_b_);
    const double g = (y - luma_b_ * b - luma_r_ * r) / luma_g_;
    out.r = Clamp8(r);
    out.g = Clamp8(g);
    out.b = Clamp8(b);
  }

  // TIFF 6.0, section 23: L* unsigned over 0..100, a* and b* signed; taken
  // relative to D65 and shown in sRGB.
  void LabToRgb(const std::uint16_t* px, Rgba& out) const {
    double lightness, a, b;
    if (l_.bits == 8) {
      lightness = px[0] * 100.0 / 255.0;
      a = static_cast<std::int8_t>(px[1]);
      b = static_cast<std::int8_t>(px[2]);
    } else {
      lightness = px[0] * 100.0 / 65535.0;
      a = static_cast<std::int16_t>(px[1]) / 256.0;
      b = static_cast<std::int16_t>(px[2]) / 256.0;
    }
    const double fy = (lightness + 16) / 116;
    const double fx = fy + a / 500;
    const double fz = fy - b / 200;
    auto finv = [](double t) {
      constexpr double d = 6.0 / 29.0;
      return t > d ? t * t * t : 3 * d * d * (t - 4.0 / 29.0);
    };
    const double x = 0.95047 * finv(fx);
    const double yy = finv(fy);
    const double z = 1.08883 * finv(fz);
    auto gamma = [](double c) {
      c = std::clamp(c, 0.0, 1.0);
      return 255.0 * (c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055);
    };
    out.r = Clamp8(gamma(3.2404542 * x - 1.5371385 * yy - 0.4985314 * z));
    out.g = Clamp8(gamma(-0.9692660 * x + 1.8760108 * yy + 0.0415560 * z));
    out.b = Clamp8(gamma(0.0556434 * x - 0.2040259 * yy + 1.0572252 * z));
  }

  const Layout& l_;
  double luma_r_ = 0.299, luma_g_ = 0.587, luma_b_ = 0.114;
  std::array<double, 6> ref_ = {0, 255, 128, 255, 128, 255};
};

TPalette GrayPalette(std::uint32_t index_bits, bool white_is_zero) {
  const std::uint32_t n = 1u << index_bits;
  TPalette palette(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    auto level = static_cast<std::uint8_t>(i * 255 / (n - 1));
    if (white_is_zero) level = static_cast<std::uint8_t>(255 - level);
    palette[i] = {level, level, level};
  }
  return palette;
}

TPalette ColourMapPalette(const Directory& dir, std::uint32_t bits) {
  const std::size_t n = std::size_t{1} << bits;
  const std::vector<std::uint32_t> map = dir.Array(kColorMap);
  if (map.size() < 3 * n) Fail("TIFF palette image has no complete ColorMap");
  TPalette palette(n);
  for (std::size_t i = 0; i < n; ++i)
    palette[i] = {static_cast<std::uint8_t>(map[i] >> 8),
                  static_cast<std::uint8_t>(map[n + i] >> 8),
                  static_cast<std::uint8_t>(map[2 * n + i] >> 8)};
  return palette;
}

void WriteRaster(const Directory& dir, const Layout& l, const Planes& planes,
                 const std::vector<std::uint8_t>& buffer, TPixelFormat format, TBitmap& raster) {
  raster.SetPixelFormat(format);
  const bool indexed = format == TPixelFormat::Indexed1 || format == TPixelFormat::Indexed4 ||
                       format == TPixelFormat::Indexed8;
  if (indexed) {
    const std::uint32_t index_bits = format == TPixelFormat::Indexed8 ? 8 : l.bits;
    raster.SetPalette(l.photometric == kPalette
                          ? ColourMapPalette(dir, l.bits)
                          : GrayPalette(index_bits, l.photometric == kWhiteIsZero));
  }
  raster.SetSize(static_cast<int>(l.width), static_cast<int>(l.height));

  const std::size_t samples_per_row = MulOrThrow(l.width, l.samples);
  CheckAllocation(MulOrThrow(samples_per_row, sizeof(std::uint16_t)));
  std::vector<std::uint16_t> px(samples_per_row);
  const ColourConverter colour(dir, l);

  for (std::uint32_t y = 0; y < l.height; ++y) {
    std::uint8_t* out = raster.Row(static_cast<int>(y));
    // Gather the row's samples in chunky order.
    if (Subsampled(l)) {
      const std::uint8_t* units = buffer.data() + std::size_t{y / l.sub_v} * planes.row_bytes;
      const std::size_t unit_bytes = l.sub_h * l.sub_v + 2;
      const std::uint32_t j = y % l.sub_v;
      for (std::uint32_t x = 0; x < l.width; ++x) {
        const std::uint8_t* unit = units + std::size_t{x / l.sub_h} * unit_bytes;
        px[std::size_t{x} * 3] = unit[j * l.sub_h + x % l.sub_h];
        px[std::size_t{x} * 3 + 1] = unit[l.sub_h * l.sub_v];
        px[std::size_t{x} * 3 + 2] = unit[l.sub_h * l.sub_v + 1];
      }
    } else if (!l.planar) {
      const SampleRow row(buffer.data() + std::size_t{y} * planes.row_bytes, planes.row_bytes,
                          l.bits, l.big_endian);
      if (indexed && l.samples == 1 && static_cast<int>(l.bits) == raster.BitsPerPixel()) {
        // Stored exactly in the raster's layout.
        std::memcpy(out, buffer.data() + std::size_t{y} * planes.row_bytes, planes.row_bytes);
        continue;
      }
      for (std::size_t i = 0; i < samples_per_row; ++i)
        px[i] = row[i];
    } else {
      for (std::uint32_t p = 0; p < l.samples; ++p) {
        const std::size_t at =
            std::size_t{p} * planes.plane_bytes + std::size_t{y} * planes.row_bytes;
        const SampleRow row(buffer.data() + at, planes.row_bytes, l.bits, l.big_endian);
        for (std::uint32_t x = 0; x < l.width; ++x)
          px[std::size_t{x} * l.samples + p] = row[x];
      }
    }

    switch (format) {
      case TPixelFormat::Indexed1:
        for (std::uint32_t x = 0; x < l.width; ++x)
          if (px[x] & 1)
            out[x >> 3] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
          else
            out[x >> 3] &= static_cast<std::uint8_t>(~(0x80u >> (x & 7)));
        break;
      case TPixelFormat::Indexed4:
        for (std::uint32_t x = 0; x < l.width; ++x) {
          std::uint8_t& b = out[x >> 1];
          b = (x & 1) ? static_cast<std::uint8_t>((b & 0xF0) | px[x])
                      : static_cast<std::uint8_t>((b & 0x0F) | px[x] << 4);
        }
        break;
      case TPixelFormat::Indexed8:
        // The first sample of each pixel; extra samples are dropped.
        for (std::uint32_t x = 0; x < l.width; ++x) {
          const std::uint16_t v = px[std::size_t{x} * l.samples];
          out[x] = l.bits <= 8 ? static_cast<std::uint8_t>(v) : To8(v, l.bits);
        }
        break;
      default: {
        const std::size_t step = l.samples;
        for (std::uint32_t x = 0; x < l.width; ++x) {
          const Rgba c = colour.Convert(&px[x * step]);
          if (format == TPixelFormat::Rgb555) {
            const auto word =
                static_cast<std::uint16_t>((c.r >> 3) << 10 | (c.g >> 3) << 5 | c.b >> 3);
            out[2 * std::size_t{x}] = static_cast<std::uint8_t>(word);
            out[2 * std::size_t{x} + 1] = static_cast<std::uint8_t>(word >> 8);
          } else if (format == TPixelFormat::Bgr24) {
            std::uint8_t* p = out + 3 * std::size_t{x};
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
          } else {
            std::uint8_t* p = out + 4 * std::size_t{x};
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
            p[3] = c.a;
          }
        }
        break;
      }
    }
  }
}

void Decode(std::span<const std::uint8_t> file, TBitmap& out, const TImageLimits& limits) {
  // TIFF 6.0, section 2: the 8-byte header.
  ByteReader header(file);
  if (file.size() < 8) Fail("Not a TIFF file");
  const std::uint8_t b0 = header.u8();
  const std::uint8_t b1 = header.u8();
  bool big_endian = false;
  if (b0 == 'I' && b1 == 'I')
    big_endian = false;
  else if (b0 == 'M' && b1 == 'M')
    big_endian = true;
  else
    Fail("Not a TIFF file");
  const std::uint16_t version = big_endian ? header.u16be() : header.u16le();
  if (version != 42) Fail("Not a TIFF file (version " + std::to_string(version) + ")");
  const std::uint32_t ifd = big_endian ? header.u32be() : header.u32le();

  const Directory dir(file, big_endian, ifd);
  if (!dir.Has(kImageWidth) || !dir.Has(kImageLength)) Fail("TIFF image has no size");
  const std::uint32_t width = dir.Scalar(kImageWidth, 0);
  const std::uint32_t height = dir.Scalar(kImageLength, 0);
  if (width == 0 || height == 0) Fail("TIFF image has a zero width or height");
  limits.CheckDeclared(width, height);
  constexpr auto kMaxSide = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  if (width > kMaxSide || height > kMaxSide) ThrowOutOfResources();

  const Layout stored = Describe(dir, big_endian, width, height);
  const Layout decoded = stored.compression == kJpeg ? JpegDecodedLayout(stored) : stored;
  const Planes planes = PlaneGeometry(decoded);
  const Blocks blocks(dir, file, decoded, planes, limits);
  CheckBlockSizes(blocks, stored);
  const TPixelFormat format = RasterFormat(decoded);
  {
    TBitmap probe;
    probe.SetPixelFormat(format);
    // The raster's size against the cap, before any buffer exists.
    PixelStoreBytes(width, height, static_cast<unsigned>(probe.BitsPerPixel()));
  }

  // Bit-reversed data is reversed once for the whole file: blocks may
  // overlap, and each reversed on its own would cost its whole length again.
  std::vector<std::uint8_t> reversed;
  if (ReversesBits(stored)) {
    reversed.resize(file.size());
    std::transform(file.begin(), file.end(), reversed.begin(),
                   [](std::uint8_t b) { return kReversedBits[b]; });
  }

  std::vector<std::uint8_t> buffer(std::size_t{planes.count} * planes.plane_bytes);
  // Tiles decode one at a time into `scratch`, then their part inside the
  // image is copied into the buffer.
  std::vector<std::uint8_t> scratch;
  if (blocks.tiled()) {
    const std::uint64_t rows =
        (std::min(blocks.full_rows(), height) + decoded.sub_v - 1) / decoded.sub_v;
    const std::uint64_t bytes = MulOrThrow(rows, blocks.row_bytes());
    CheckAllocation(bytes);
    scratch.resize(static_cast<std::size_t>(bytes));
  }

  // Blocks that share their bytes decode alike, so each stretch of bytes is
  // decoded once, for the block of the most rows that uses it, and the
  // others copy a prefix of its rows (every coding decodes rows in order).
  // Nothing forbids sharing (a writer may store identical blocks once), and
  // the copies cost no more than the declared picture, which passed the
  // limits; decoding again would cost the coding's work again, for JPEG a
  // whole stream per block. The blocks are visited sorted by their bytes.
  std::vector<std::uint32_t> order(blocks.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = static_cast<std::uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](std::uint32_t i, std::uint32_t j) {
    const Block a = blocks[i], b = blocks[j];
    if (a.data.data() != b.data.data()) return a.data.data() < b.data.data();
    if (a.data.size() != b.data.size()) return a.data.size() < b.data.size();
    return a.rows != b.rows ? a.rows > b.rows : i < j;
  });

  const std::span<const std::uint8_t> tables = dir.Bytes(kJpegTables);
  std::span<const std::uint8_t> decoded_bytes;  // of the last block decoded
  std::size_t decoded_at = 0;                   // its buffer offset (strips)
  for (const std::uint32_t i : order) {
    const Block b = blocks[i];
    const std::size_t bytes = std::size_t{b.buffer_rows} * blocks.row_bytes();
    const std::size_t at =
        std::size_t{b.plane} * planes.plane_bytes + std::size_t{b.buffer_row} * planes.row_bytes;
    const std::span<std::uint8_t> target(blocks.tiled() ? scratch.data() : buffer.data() + at,
                                         bytes);
    const bool shared =
        decoded_bytes.data() == b.data.data() && decoded_bytes.size() == b.data.size();
    if (!shared) {
      const std::span<const std::uint8_t> in =
          reversed.empty()
              ? b.data
              : std::span<const std::uint8_t>(reversed).subspan(
                    static_cast<std::size_t>(b.data.data() - file.data()), b.data.size());
      DecodeBlock(b, in, stored, blocks, tables, decoded, target);
      if (decoded.predictor) UndoPredictor(target, blocks.row_bytes(), b.width, decoded);
      decoded_bytes = b.data;
      decoded_at = at;
    } else if (!blocks.tiled()) {
      std::memcpy(target.data(), buffer.data() + decoded_at, bytes);
    }
    if (blocks.tiled()) PlaceTile(b, target, blocks.row_bytes(), decoded, planes, buffer);
  }

  TBitmap raster;
  WriteRaster(dir, decoded, planes, buffer, format, raster);
  out.Assign(raster);
}

}  // namespace

void DecodeTiff(std::span<const std::uint8_t> file, TBitmap& out, const TImageLimits& limits) {
  try {
    Decode(file, out, limits);
  } catch (const ETIFFError&) {
    throw;
  } catch (const EEndOfData&) {
    throw ETIFFError("TIFF data ends early");
  } catch (const EGraphicError& e) {
    throw ETIFFError(e.Message());
  } catch (const EJPEG& e) {
    throw ETIFFError("TIFF JPEG data is damaged (" + e.Message() + ")");
  }
}

void TTIFFGraphic::LoadFromStream(TStream& stream) {
  TBitmap::Assign(TBitmap());
  const std::vector<std::uint8_t> file = ReadStreamRest(stream);
  TBitmap picture;
  DecodeTiff(file, picture, Limits());
  TBitmap::Assign(picture);
}

void TTIFFGraphic::SaveToStream(TStream&) {
  throw ETIFFError("TIFF images cannot be saved");
}

}  // namespace skalo
