#include "imaging/bitmap.h"
#include "imaging/bmp.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "imaging/checked.h"

namespace skalo {

// Everything that decides how a pixel is stored.
struct TBitmap::Layout {
  TPixelFormat format = TPixelFormat::Device;
  int bits = 24;
  TBitFields masks;  // 16- and 32-bit layouts only

  bool Indexed() const noexcept { return bits <= 8; }
  bool SameStorage(const Layout& o) const noexcept { return bits == o.bits && masks == o.masks; }
};

namespace {

constexpr TBitFields kMasks555{0x7C00, 0x03E0, 0x001F};
constexpr TBitFields kMasks565{0xF800, 0x07E0, 0x001F};
constexpr TBitFields kMasks888{0xFF0000, 0x00FF00, 0x0000FF};

int FormatBits(TPixelFormat f) noexcept {
  switch (f) {
    case TPixelFormat::Indexed1:
      return 1;
    case TPixelFormat::Indexed4:
      return 4;
    case TPixelFormat::Indexed8:
      return 8;
    case TPixelFormat::Rgb555:
    case TPixelFormat::Rgb565:
      return 16;
    case TPixelFormat::Bgrx32:
      return 32;
    default:
      return 24;
  }
}

TBitFields FormatMasks(TPixelFormat f) noexcept {
  switch (f) {
    case TPixelFormat::Rgb555:
      return kMasks555;
    case TPixelFormat::Rgb565:
      return kMasks565;
    case TPixelFormat::Bgrx32:
      return kMasks888;
    default:
      return {};
  }
}

// --- Component depth ---

// Widens a component of `width` bits to 8 by repeating its high bits below it.
std::uint8_t WidenTo8(std::uint32_t v, int width) noexcept {
  if (width <= 0) return 0;
  if (width >= 8) return static_cast<std::uint8_t>(v >> (width - 8));
  std::uint32_t x = v << (8 - width);
  for (int have = width; have < 8; have *= 2)
    x |= x >> have;
  return static_cast<std::uint8_t>(x);
}

// Brings an 8-bit component to `width` bits: truncation when narrowing,
// repetition of the high bits when widening (channels of more than 8 bits).
std::uint32_t FromEight(std::uint8_t v, int width) noexcept {
  if (width <= 0) return 0;
  if (width <= 8) return v >> (8 - width);
  std::uint32_t x = std::uint32_t{v} << (width - 8);
  for (int have = 8; have < width; have *= 2)
    x |= x >> have;
  return x;
}

struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  int width = 0;
};

Channel MakeChannel(std::uint32_t mask) noexcept {
  Channel c;
  c.mask = mask;
  if (mask != 0) {
    c.shift = std::countr_zero(mask);
    c.width = std::popcount(mask);
  }
  return c;
}

bool Contiguous(std::uint32_t mask) noexcept {
  if (mask == 0) return true;
  const std::uint32_t run = mask >> std::countr_zero(mask);
  return (run & (run + 1)) == 0;
}

// --- Raw pixel access ---

std::uint32_t ReadRaw(const std::uint8_t* row, int x, int bits) noexcept {
  switch (bits) {
    case 1:
      return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4:
      return (x & 1) ? row[x >> 1] & 0x0Fu : row[x >> 1] >> 4;
    case 8:
      return row[x];
    case 16:
      return row[2 * x] | std::uint32_t{row[2 * x + 1]} << 8;
    case 24:
      return row[3 * x] | std::uint32_t{row[3 * x + 1]} << 8 | std::uint32_t{row[3 * x + 2]} << 16;
    default: {
      const std::uint8_t* p = row + 4 * static_cast<std::size_t>(x);
      return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
             std::uint32_t{p[3]} << 24;
    }
  }
}

void WriteRaw(std::uint8_t* row, int x, int bits, std::uint32_t v) noexcept {
  switch (bits) {
    case 1: {
      const int shift = 7 - (x & 7);
      std::uint8_t& b = row[x >> 3];
      b = static_cast<std::uint8_t>((b & ~(1u << shift)) | (v & 1u) << shift);
      break;
    }
    case 4: {
      std::uint8_t& b = row[x >> 1];
      b = (x & 1) ? static_cast<std::uint8_t>((b & 0xF0) | (v & 0x0F))
                  : static_cast<std::uint8_t>((b & 0x0F) | (v & 0x0F) << 4);
      break;
    }
    case 8:
      row[x] = static_cast<std::uint8_t>(v);
      break;
    case 16:
      row[2 * x] = static_cast<std::uint8_t>(v);
      row[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
      break;
    case 24:
      row[3 * x] = static_cast<std::uint8_t>(v);
      row[3 * x + 1] = static_cast<std::uint8_t>(v >> 8);
      row[3 * x + 2] = static_cast<std::uint8_t>(v >> 16);
      break;
    default: {
      std::uint8_t* p = row + 4 * static_cast<std::size_t>(x);
      p[0] = static_cast<std::uint8_t>(v);
      p[1] = static_cast<std::uint8_t>(v >> 8);
      p[2] = static_cast<std::uint8_t>(v >> 16);
      p[3] = static_cast<std::uint8_t>(v >> 24);
      break;
    }
  }
}

// Writes `count` pixels of value v from pixel x0 on.
void FillRaw(std::uint8_t* row, int x0, int count, int bits, std::uint32_t v) noexcept {
  switch (bits) {
    case 8:
      std::memset(row + x0, static_cast<int>(v & 0xFF), static_cast<std::size_t>(count));
      return;
    case 16:
    case 24:
    case 32: {
      const int n = bits / 8;
      std::uint8_t px[4];
      for (int k = 0; k < n; ++k)
        px[k] = static_cast<std::uint8_t>(v >> (8 * k));
      std::uint8_t* p = row + static_cast<std::size_t>(x0) * n;
      for (int i = 0; i < count; ++i, p += n)
        std::memcpy(p, px, static_cast<std::size_t>(n));
      return;
    }
    default:
      for (int i = 0; i < count; ++i)
        WriteRaw(row, x0 + i, bits, v);
      return;
  }
}

// --- Palettes ---

TPalette MakeHalftonePalette() {
  TPalette p;
  p.reserve(256);
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        p.push_back({static_cast<std::uint8_t>(51 * r), static_cast<std::uint8_t>(51 * g),
                     static_cast<std::uint8_t>(51 * b)});
  // 40 greys between the cube's own, evenly spaced, none equal to a cube level.
  for (int k = 1; k <= 40; ++k) {
    const auto v = static_cast<std::uint8_t>((k * 255 * 2 + 41) / (2 * 41));
    p.push_back({v, v, v});
  }
  return p;
}

const TPalette kTwoColors{{0, 0, 0}, {255, 255, 255}};
const TPalette kSixteenColors{{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                              {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {128, 128, 128},
                              {192, 192, 192}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                              {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

const TPalette& EmptyPalette() {
  static const TPalette empty;
  return empty;
}

// Nearest palette entry by squared RGB distance, lowest index on ties, with a
// small direct-mapped cache: converted pictures rarely hold many colours.
class NearestColor {
 public:
  explicit NearestColor(const TPalette& palette) : palette_(palette) { keys_.fill(kNoKey); }

  std::uint8_t Find(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const std::uint32_t key = std::uint32_t{r} << 16 | std::uint32_t{g} << 8 | b;
    const std::size_t slot = (key * 2654435761u) >> 20;
    if (keys_[slot] == key) return values_[slot];
    std::uint8_t best = 0;
    int best_d = 1 << 30;
    for (std::size_t i = 0; i < palette_.size(); ++i) {
      const int dr = palette_[i].red - r, dg = palette_[i].green - g, db = palette_[i].blue - b;
      const int d = dr * dr + dg * dg + db * db;
      if (d < best_d) {
        best_d = d;
        best = static_cast<std::uint8_t>(i);
      }
    }
    keys_[slot] = key;
    values_[slot] = best;
    return best;
  }

 private:
  static constexpr std::uint32_t kNoKey = 0xFFFFFFFFu;
  const TPalette& palette_;
  std::array<std::uint32_t, 4096> keys_;
  std::array<std::uint8_t, 4096> values_{};
};

// Decodes pixels of one layout into blue, green, red bytes.
class PixelReader {
 public:
  PixelReader(int bits, const TBitFields& masks, const TPalette& palette) : bits_(bits) {
    if (bits <= 8) {
      lut_.fill(0);
      for (std::size_t i = 0; i < palette.size() && i < 256; ++i) {
        lut_[3 * i] = palette[i].blue;
        lut_[3 * i + 1] = palette[i].green;
        lut_[3 * i + 2] = palette[i].red;
      }
    } else if (bits == 16 || bits == 32) {
      plain32_ = bits == 32 && masks == kMasks888;
      const std::uint32_t m[3] = {masks.blue, masks.green, masks.red};
      for (int c = 0; c < 3; ++c) {
        ch_[c] = MakeChannel(m[c]);
        if (ch_[c].width <= 8)
          for (std::uint32_t v = 0; v < 256; ++v)
            widen_[c][v] = WidenTo8(v, ch_[c].width);
      }
    }
  }

  void Read(const std::uint8_t* row, int x0, int count, std::uint8_t* bgr) const {
    if (bits_ == 24) {
      std::memcpy(bgr, row + 3 * static_cast<std::size_t>(x0), 3 * static_cast<std::size_t>(count));
    } else if (bits_ <= 8) {
      for (int i = 0; i < count; ++i, bgr += 3) {
        const std::size_t idx = ReadRaw(row, x0 + i, bits_);
        bgr[0] = lut_[3 * idx];
        bgr[1] = lut_[3 * idx + 1];
        bgr[2] = lut_[3 * idx + 2];
      }
    } else if (plain32_) {
      const std::uint8_t* p = row + 4 * static_cast<std::size_t>(x0);
      for (int i = 0; i < count; ++i, bgr += 3, p += 4)
        std::memcpy(bgr, p, 3);
    } else {
      for (int i = 0; i < count; ++i, bgr += 3) {
        const std::uint32_t v = ReadRaw(row, x0 + i, bits_);
        for (int c = 0; c < 3; ++c) {
          const std::uint32_t raw = (v & ch_[c].mask) >> ch_[c].shift;
          bgr[c] = ch_[c].width <= 8 ? widen_[c][raw] : WidenTo8(raw, ch_[c].width);
        }
      }
    }
  }

 private:
  int bits_;
  bool plain32_ = false;
  std::array<std::uint8_t, 768> lut_{};
  Channel ch_[3];
  std::uint8_t widen_[3][256] = {};
};

// Encodes blue, green, red bytes into pixels of one layout.
class PixelWriter {
 public:
  PixelWriter(int bits, const TBitFields& masks, const TPalette& palette)
      : bits_(bits), nearest_(palette) {
    if (bits == 16 || bits == 32) {
      ch_[0] = MakeChannel(masks.blue);
      ch_[1] = MakeChannel(masks.green);
      ch_[2] = MakeChannel(masks.red);
    }
  }

  std::uint32_t Encode(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    if (bits_ <= 8) return nearest_.Find(r, g, b);
    if (bits_ == 24) return b | std::uint32_t{g} << 8 | std::uint32_t{r} << 16;
    const std::uint8_t v[3] = {b, g, r};
    std::uint32_t out = 0;
    for (int c = 0; c < 3; ++c)
      out |= (FromEight(v[c], ch_[c].width) << ch_[c].shift) & ch_[c].mask;
    return out;
  }

  std::uint32_t EncodeColor(TColor c) { return Encode(ColorBlue(c), ColorGreen(c), ColorRed(c)); }

  void Write(const std::uint8_t* bgr, int count, std::uint8_t* row, int x0) {
    if (bits_ == 24) {
      std::memcpy(row + 3 * static_cast<std::size_t>(x0), bgr, 3 * static_cast<std::size_t>(count));
      return;
    }
    for (int i = 0; i < count; ++i, bgr += 3)
      WriteRaw(row, x0 + i, bits_, Encode(bgr[0], bgr[1], bgr[2]));
  }

 private:
  int bits_;
  NearestColor nearest_;
  Channel ch_[3];
};

std::shared_ptr<std::uint8_t[]> AllocateStore(std::size_t bytes) {
  try {
    return std::make_shared_for_overwrite<std::uint8_t[]>(bytes);
  } catch (const std::bad_alloc&) {
    ThrowOutOfResources();
  }
}

// A new, uninitialised store of w x h pixels (both > 0).
std::shared_ptr<std::uint8_t[]> NewStore(int w, int h, int bits, std::size_t& row_bytes) {
  const std::size_t size = PixelStoreBytes(
      static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), static_cast<unsigned>(bits));
  row_bytes = size / static_cast<std::size_t>(h);
  return AllocateStore(size);
}

// Zeroes the bytes of a row from its last whole pixel byte on, so the padding
// (and the unused bits of a last partial byte) are zero before pixels go in.
void ZeroRowTail(std::uint8_t* row, int w, int bits, std::size_t row_bytes) noexcept {
  const std::size_t start = static_cast<std::size_t>(w) * static_cast<std::size_t>(bits) / 8;
  std::memset(row + start, 0, row_bytes - start);
}

// A new store of w x h pixels (both > 0) with every pixel `fill` and the row
// padding zero.
std::shared_ptr<std::uint8_t[]> NewFilledStore(int w, int h, int bits, std::uint32_t fill,
                                               std::size_t& row_bytes) {
  auto store = NewStore(w, h, bits, row_bytes);
  std::uint8_t* first = store.get();
  std::memset(first, 0, row_bytes);
  FillRaw(first, 0, w, bits, fill);
  for (int y = 1; y < h; ++y)
    std::memcpy(first + static_cast<std::size_t>(y) * row_bytes, first, row_bytes);
  return store;
}

}  // namespace

const TPalette& StandardPalette(TPixelFormat indexed_format) {
  static const TPalette halftone = MakeHalftonePalette();
  switch (indexed_format) {
    case TPixelFormat::Indexed1:
      return kTwoColors;
    case TPixelFormat::Indexed4:
      return kSixteenColors;
    case TPixelFormat::Indexed8:
      return halftone;
    default:
      return EmptyPalette();
  }
}

// ---------------------------------------------------------------- TBgrRowReader

struct TBgrRowReader::Impl {
  PixelReader reader;
};

TBgrRowReader::TBgrRowReader(const TBitmap& layout_of) {
  const TBitmap::Layout layout = layout_of.CurrentLayout();
  identity_ = layout.bits == 24;
  impl_ = std::make_unique<Impl>(Impl{PixelReader(layout.bits, layout.masks, layout_of.Palette())});
}

TBgrRowReader::~TBgrRowReader() = default;

void TBgrRowReader::Read(const std::uint8_t* row, int width, std::uint8_t* bgr) const {
  impl_->reader.Read(row, 0, width, bgr);
}

// ---------------------------------------------------------------- TBitmap

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::LoadFromStream(TStream& stream) {
  LoadBmp(stream, *this);
}

void TBitmap::SaveToStream(TStream& stream) {
  SaveBmp(*this, stream);
}

void TBitmap::Assign(const TBitmap& source) {
  if (&source == this) return;
  width_ = source.width_;
  height_ = source.height_;
  format_ = source.format_;
  custom_bits_ = source.custom_bits_;
  custom_masks_ = source.custom_masks_;
  row_bytes_ = source.row_bytes_;
  store_ = source.store_;
  palette_ = source.palette_;
  transparent_ = source.transparent_;
  transparent_color_ = source.transparent_color_;
}

void TBitmap::AssignTo(TBitmap& dest) {
  dest.Assign(*this);
}

void TBitmap::Assign(TGraphic& source) {
  if (auto* bitmap = dynamic_cast<TBitmap*>(&source))
    Assign(*bitmap);
  else
    source.AssignTo(*this);
}

void TBitmap::Draw(TCanvas& canvas, int x, int y) {
  canvas.owner_.CopyPixelsFrom(*this, x, y);
}

TBitmap::Layout TBitmap::CurrentLayout() const noexcept {
  if (format_ == TPixelFormat::Custom) return {format_, custom_bits_, custom_masks_};
  return {format_, FormatBits(format_), FormatMasks(format_)};
}

int TBitmap::BitsPerPixel() const noexcept {
  return CurrentLayout().bits;
}

TBitFields TBitmap::BitFields() const noexcept {
  return CurrentLayout().masks;
}

const TPalette& TBitmap::Palette() const noexcept {
  return palette_ ? *palette_ : EmptyPalette();
}

void TBitmap::SetPalette(TPalette palette) {
  if (palette.size() > kMaxPaletteEntries) throw EGraphicError("Invalid palette");
  palette_ = std::make_shared<const TPalette>(std::move(palette));
}

TColor TBitmap::FillColor() const noexcept {
  return canvas_ ? canvas_->Brush().Color() : kColorWhite;
}

TCanvas& TBitmap::Canvas() {
  if (!canvas_) canvas_ = std::make_unique<TCanvas>(*this);
  return *canvas_;
}

void TBitmap::CheckRow(int y) const {
  if (y < 0 || y >= height_ || !store_) throw EGraphicError(kScanLineRangeText);
}

std::uint8_t* TBitmap::Row(int y) {
  CheckRow(y);
  MakeUnique();
  return store_.get() + static_cast<std::size_t>(y) * row_bytes_;
}

const std::uint8_t* TBitmap::Row(int y) const {
  CheckRow(y);
  return store_.get() + static_cast<std::size_t>(y) * row_bytes_;
}

void TBitmap::MakeUnique() {
  if (!store_) return;
  if (store_.use_count() == 1) {
    // Pairs with the release in the other owner's reference drop, so its
    // last reads of the store happen before our writes.
    std::atomic_thread_fence(std::memory_order_acquire);
    return;
  }
  const std::size_t size = row_bytes_ * static_cast<std::size_t>(height_);
  auto copy = AllocateStore(size);
  std::memcpy(copy.get(), store_.get(), size);
  store_ = std::move(copy);
}

void TBitmap::SetWidth(int width) {
  SetSize(width, height_);
}
void TBitmap::SetHeight(int height) {
  SetSize(width_, height);
}

void TBitmap::SetSize(int width, int height) {
  if (width < 0 || height < 0) throw EGraphicError("Invalid image size");
  Reallocate(width, height);
}

void TBitmap::SetSizeForOverwrite(int width, int height) {
  if (width < 0 || height < 0) throw EGraphicError("Invalid image size");
  if (width == 0 || height == 0) {
    store_.reset();
    row_bytes_ = 0;
  } else {
    const int bits = CurrentLayout().bits;
    std::size_t row_bytes = 0;
    auto store = NewStore(width, height, bits, row_bytes);
    for (int y = 0; y < height; ++y)
      ZeroRowTail(store.get() + static_cast<std::size_t>(y) * row_bytes, width, bits, row_bytes);
    store_ = std::move(store);
    row_bytes_ = row_bytes;
  }
  width_ = width;
  height_ = height;
}

void TBitmap::Reallocate(int width, int height) {
  if (width == width_ && height == height_) return;
  if (width == 0 || height == 0) {
    store_.reset();
    row_bytes_ = 0;
    width_ = width;
    height_ = height;
    return;
  }
  const Layout layout = CurrentLayout();
  const TPalette& palette = layout.Indexed() ? Palette() : EmptyPalette();
  PixelWriter writer(layout.bits, layout.masks, palette);
  std::size_t row_bytes = 0;
  auto store =
      NewFilledStore(width, height, layout.bits, writer.EncodeColor(FillColor()), row_bytes);

  if (store_) {
    const int keep_w = std::min(width, width_);
    const int keep_h = std::min(height, height_);
    const std::size_t whole = static_cast<std::size_t>(keep_w) * layout.bits / 8;
    for (int y = 0; y < keep_h; ++y) {
      const std::uint8_t* from = store_.get() + static_cast<std::size_t>(y) * row_bytes_;
      std::uint8_t* to = store.get() + static_cast<std::size_t>(y) * row_bytes;
      std::memcpy(to, from, whole);
      // Pixels sharing the last partly kept byte (1- and 4-bit layouts).
      for (int x = static_cast<int>(whole * 8 / layout.bits); x < keep_w; ++x)
        WriteRaw(to, x, layout.bits, ReadRaw(from, x, layout.bits));
    }
  }
  store_ = std::move(store);
  row_bytes_ = row_bytes;
  width_ = width;
  height_ = height;
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
  if (format == TPixelFormat::Custom) throw EGraphicError(kInvalidPixelFormatText);
  if (format == format_) return;
  Convert(format, FormatBits(format), FormatMasks(format));
}

void TBitmap::SetBitFields(int bits_per_pixel, const TBitFields& masks) {
  if (bits_per_pixel != 16 && bits_per_pixel != 32) throw EGraphicError(kInvalidPixelFormatText);
  const std::uint32_t word = bits_per_pixel == 16 ? 0xFFFFu : 0xFFFFFFFFu;
  const std::uint32_t m[3] = {masks.red, masks.green, masks.blue};
  for (int i = 0; i < 3; ++i) {
    if (!Contiguous(m[i]) || (m[i] & ~word) != 0) throw EGraphicError(kInvalidPixelFormatText);
    for (int j = i + 1; j < 3; ++j)
      if (m[i] & m[j]) throw EGraphicError(kInvalidPixelFormatText);
  }
  TPixelFormat format = TPixelFormat::Custom;
  if (bits_per_pixel == 16 && masks == kMasks555) format = TPixelFormat::Rgb555;
  if (bits_per_pixel == 16 && masks == kMasks565) format = TPixelFormat::Rgb565;
  if (bits_per_pixel == 32 && masks == kMasks888) format = TPixelFormat::Bgrx32;
  const Layout now = CurrentLayout();
  if (format == now.format && bits_per_pixel == now.bits && masks == now.masks) return;
  Convert(format, bits_per_pixel, masks);
}

void TBitmap::Convert(TPixelFormat format, int bits, const TBitFields& masks) {
  const Layout from = CurrentLayout();
  const Layout to{format, bits, masks};
  // A smaller indexed layout widening into a larger one keeps indices and
  // palette; any other move into an indexed layout takes its standard palette.
  const bool widen_indices = from.Indexed() && to.Indexed() && to.bits > from.bits;
  std::shared_ptr<const TPalette> palette;
  if (to.Indexed())
    palette = widen_indices ? palette_ : std::make_shared<const TPalette>(StandardPalette(format));

  std::shared_ptr<std::uint8_t[]> store = store_;
  std::size_t row_bytes = row_bytes_;
  if (store_ && !from.SameStorage(to)) {
    const TPalette& to_palette = palette ? *palette : EmptyPalette();
    store = NewStore(width_, height_, to.bits, row_bytes);
    PixelReader reader(from.bits, from.masks, Palette());
    PixelWriter writer(to.bits, to.masks, to_palette);
    std::vector<std::uint8_t> bgr(widen_indices ? 0 : 3 * static_cast<std::size_t>(width_));
    for (int y = 0; y < height_; ++y) {
      const std::uint8_t* src = store_.get() + static_cast<std::size_t>(y) * row_bytes_;
      std::uint8_t* dst = store.get() + static_cast<std::size_t>(y) * row_bytes;
      ZeroRowTail(dst, width_, to.bits, row_bytes);
      if (widen_indices) {
        for (int x = 0; x < width_; ++x)
          WriteRaw(dst, x, to.bits, ReadRaw(src, x, from.bits));
      } else {
        reader.Read(src, 0, width_, bgr.data());
        writer.Write(bgr.data(), width_, dst, 0);
      }
    }
  }
  // Commit: nothing above changed the raster.
  store_ = std::move(store);
  row_bytes_ = row_bytes;
  palette_ = std::move(palette);
  format_ = format;
  custom_bits_ = format == TPixelFormat::Custom ? bits : 0;
  custom_masks_ = format == TPixelFormat::Custom ? masks : TBitFields{};
}

void TBitmap::CopyPixelsFrom(const TBitmap& source, int x, int y) {
  if (source.Empty() || Empty()) return;
  // Keeps the source's pixels alive and unchanged, also when a raster is
  // drawn onto itself or onto one sharing its store.
  TBitmap src;
  src.Assign(source);

  // Clip in 64 bits: x + width may not fit an int.
  const std::int64_t sx0 = std::max<std::int64_t>(0, -std::int64_t{x});
  const std::int64_t sy0 = std::max<std::int64_t>(0, -std::int64_t{y});
  const std::int64_t dx0 = std::max<std::int64_t>(0, x);
  const std::int64_t dy0 = std::max<std::int64_t>(0, y);
  const std::int64_t w = std::min<std::int64_t>(src.width_ - sx0, width_ - dx0);
  const std::int64_t h = std::min<std::int64_t>(src.height_ - sy0, height_ - dy0);
  if (w <= 0 || h <= 0) return;

  MakeUnique();
  const Layout from = src.CurrentLayout();
  const Layout to = CurrentLayout();
  const int sx = static_cast<int>(sx0), dx = static_cast<int>(dx0), n = static_cast<int>(w);
  const bool same =
      from.SameStorage(to) && from.bits >= 8 && (!from.Indexed() || src.Palette() == Palette());
  PixelReader reader(from.bits, from.masks, src.Palette());
  PixelWriter writer(to.bits, to.masks, to.Indexed() ? Palette() : EmptyPalette());
  std::vector<std::uint8_t> bgr(same ? 0 : 3 * static_cast<std::size_t>(n));
  for (std::int64_t row = 0; row < h; ++row) {
    const std::uint8_t* s = src.store_.get() + static_cast<std::size_t>(sy0 + row) * src.row_bytes_;
    std::uint8_t* d = store_.get() + static_cast<std::size_t>(dy0 + row) * row_bytes_;
    if (same) {
      const std::size_t bpp = static_cast<std::size_t>(to.bits / 8);
      std::memcpy(d + dx * bpp, s + sx * bpp, static_cast<std::size_t>(n) * bpp);
    } else if (from.bits == 24) {
      writer.Write(s + 3 * static_cast<std::size_t>(sx), n, d, dx);
    } else {
      reader.Read(s, sx, n, bgr.data());
      writer.Write(bgr.data(), n, d, dx);
    }
  }
}

// ---------------------------------------------------------------- TCanvas

TRect TCanvas::ClipRect() const {
  return {0, 0, owner_.width_, owner_.height_};
}

void TCanvas::FillRect(const TRect& rect) {
  if (brush_.Style() == TBrushStyle::Clear || owner_.Empty()) return;
  const int left = std::max(rect.left, 0), top = std::max(rect.top, 0);
  const int right = std::min(rect.right, owner_.width_),
            bottom = std::min(rect.bottom, owner_.height_);
  if (left >= right || top >= bottom) return;
  owner_.MakeUnique();
  const TBitmap::Layout layout = owner_.CurrentLayout();
  PixelWriter writer(layout.bits, layout.masks,
                     layout.Indexed() ? owner_.Palette() : EmptyPalette());
  const std::uint32_t fill = writer.EncodeColor(brush_.Color());
  for (int y = top; y < bottom; ++y)
    FillRaw(owner_.store_.get() + static_cast<std::size_t>(y) * owner_.row_bytes_, left,
            right - left, layout.bits, fill);
}

void TCanvas::FloodFill(int x, int y, TColor color, TFloodFillMode mode) {
  TBitmap& bmp = owner_;
  if (brush_.Style() == TBrushStyle::Clear) return;
  if (x < 0 || y < 0 || x >= bmp.width_ || y >= bmp.height_ || !bmp.store_) return;
  const TBitmap::Layout layout = bmp.CurrentLayout();
  const TPalette& palette = layout.Indexed() ? bmp.Palette() : EmptyPalette();
  PixelWriter writer(layout.bits, layout.masks, palette);

  // A pixel "has" the colour when it stores what the colour maps to in this
  // layout; for indexed rasters, when its entry shows the same colour.
  std::array<bool, 256> index_matches{};
  std::uint32_t used = 0, wanted = 0;
  if (layout.Indexed()) {
    const std::uint32_t target = writer.EncodeColor(color);
    const TPaletteEntry want = target < palette.size() ? palette[target] : TPaletteEntry{};
    for (std::size_t i = 0; i < 256; ++i)
      index_matches[i] = (i < palette.size() ? palette[i] : TPaletteEntry{}) == want;
  } else {
    used =
        layout.bits == 24 ? 0xFFFFFFu : layout.masks.red | layout.masks.green | layout.masks.blue;
    wanted = writer.EncodeColor(color) & used;
  }
  const std::size_t stride = bmp.row_bytes_;
  const int w = bmp.width_, h = bmp.height_, bits = layout.bits;
  const bool border = mode == TFloodFillMode::Border;
  auto matches = [&](const std::uint8_t* store, int px, int py) {
    const std::uint32_t v = ReadRaw(store + static_cast<std::size_t>(py) * stride, px, bits);
    return layout.Indexed() ? index_matches[v & 0xFF] : (v & used) == wanted;
  };
  if (matches(bmp.store_.get(), x, y) == border) return;

  bmp.MakeUnique();
  std::uint8_t* store = bmp.store_.get();
  const std::uint32_t fill = writer.EncodeColor(brush_.Color());
  std::vector<bool> visited(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  auto open = [&](int px, int py) {
    return !visited[static_cast<std::size_t>(py) * w + px] && matches(store, px, py) != border;
  };
  // Span fill with an explicit stack: no recursion a picture could deepen.
  std::vector<std::pair<int, int>> stack{{x, y}};
  while (!stack.empty()) {
    const auto [sx, sy] = stack.back();
    stack.pop_back();
    if (!open(sx, sy)) continue;
    int left = sx, right = sx;
    while (left > 0 && open(left - 1, sy))
      --left;
    while (right + 1 < w && open(right + 1, sy))
      ++right;
    std::uint8_t* row = store + static_cast<std::size_t>(sy) * stride;
    for (int i = left; i <= right; ++i) {
      visited[static_cast<std::size_t>(sy) * w + i] = true;
      WriteRaw(row, i, bits, fill);
    }
    for (const int ny : {sy - 1, sy + 1}) {
      if (ny < 0 || ny >= h) continue;
      for (int i = left; i <= right; ++i) {
        if (!open(i, ny)) continue;
        stack.emplace_back(i, ny);
        while (i + 1 <= right && open(i + 1, ny))
          ++i;
      }
    }
  }
}

void TCanvas::Draw(int x, int y, TGraphic& graphic) {
  if (graphic.Empty()) return;
  graphic.Draw(*this, x, y);
}

void RequireAlphaPlane(const TBitmap& picture, const TBitmap& alpha) {
  if (alpha.Width() != picture.Width() || alpha.Height() != picture.Height() ||
      alpha.BitsPerPixel() != 8)
    throw EGraphicError(kInvalidPixelFormatText);
}

}  // namespace skalo
