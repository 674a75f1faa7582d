#include "imaging/jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "imaging/rows.h"

// jpeglib.h needs FILE and size_t declared first; jerror.h comes after it.
#include <jpeglib.h>
// clang-format off
#include <jerror.h>
// clang-format on

// The library reports fatal errors through error_exit, which must not return.
// Ours longjmps back into the function that started the library call. To
// keep that jump well defined, every library call is made from a "phase"
// function below that holds no C++ object with a destructor, and the library
// callbacks hold none either; the phase answers the library's message code
// (0 for success) and only its caller, back in C++ land, throws. The library
// objects themselves are released by holder objects that live in the callers.
// Our own checks that run inside the library (the scan limit) stop it the same
// way, with a code of ours; checks that may call back into the caller (the
// limits' size hook) run between phases, never inside one.

namespace skalo {
namespace {

// Blocks handed to the decompressor and gathered from the compressor.
constexpr std::size_t kBlockBytes = 4096;

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}
// Warnings and trace messages never stop decoding and are never shown.
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}
void FormatMessage(j_common_ptr, char* buffer) {
  buffer[0] = '\0';
}

void InstallErrorManager(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.emit_message = EmitMessage;
  err.pub.output_message = OutputMessage;
  err.pub.format_message = FormatMessage;
}

// The message code of a file stopped for having more than kJpegMaxScans
// scans; the library's own codes are never negative.
constexpr int kTooManyScans = -1;

[[noreturn]] void ThrowJpegError(int code) {
  if (code == kTooManyScans) throw ESourceTooLarge(kSourceTooLargeText);
  throw EJPEG("JPEG error #" + std::to_string(code));
}

void Check(int code) {
  if (code != 0) ThrowJpegError(code);
}

// Called by the library before each piece of input it decodes (an MCU row of
// a scan) and each output row. The scan number counts start of scan markers
// read so far, so the file stops as soon as its first scan beyond the limit
// begins, before any of that scan is decoded.
void MonitorProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kJpegMaxScans) {
    cinfo->err->msg_code = kTooManyScans;
    cinfo->err->error_exit(cinfo);
  }
}

// --- Source: a byte span handed out in blocks ---

struct SourceManager {
  jpeg_source_mgr pub;
  const JOCTET* data;
  std::size_t size;
  std::size_t pos;
  bool supplied;  // at least one byte was handed out
  JOCTET eoi[2];
};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<SourceManager*>(cinfo->src);
  const std::size_t left = src->size - src->pos;
  if (left == 0) {
    if (!src->supplied) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    // A file that ends early: warn (silently) and end the image with an
    // inserted EOI marker, so the library fills in what is missing.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->eoi[0] = 0xFF;
    src->eoi[1] = JPEG_EOI;
    src->pub.next_input_byte = src->eoi;
    src->pub.bytes_in_buffer = 2;
    return TRUE;
  }
  const std::size_t n = std::min(left, kBlockBytes);
  src->pub.next_input_byte = src->data + src->pos;
  src->pub.bytes_in_buffer = n;
  src->pos += n;
  src->supplied = true;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long num_bytes) {
  if (num_bytes <= 0) return;
  auto* src = reinterpret_cast<SourceManager*>(cinfo->src);
  auto n = static_cast<std::size_t>(num_bytes);
  while (n > src->pub.bytes_in_buffer) {
    n -= src->pub.bytes_in_buffer;
    FillInputBuffer(cinfo);
  }
  src->pub.next_input_byte += n;
  src->pub.bytes_in_buffer -= n;
}

void SetSource(SourceManager& src, std::span<const std::uint8_t> bytes) {
  src.pub.next_input_byte = nullptr;
  src.pub.bytes_in_buffer = 0;
  src.data = bytes.data();
  src.size = bytes.size();
  src.pos = 0;
  src.supplied = false;
}

// --- Destination: blocks appended to a byte vector ---

struct DestinationManager {
  jpeg_destination_mgr pub;
  std::vector<std::uint8_t>* out;
  JOCTET buffer[kBlockBytes];
};

// Kept apart from the callbacks so that no try block is open when they jump.
bool AppendBlock(DestinationManager* dest, std::size_t n) noexcept {
  try {
    dest->out->insert(dest->out->end(), dest->buffer, dest->buffer + n);
    return true;
  } catch (...) {
    return false;
  }
}

void InitDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<DestinationManager*>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kBlockBytes;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<DestinationManager*>(cinfo->dest);
  if (!AppendBlock(dest, kBlockBytes)) ERREXIT(cinfo, JERR_FILE_WRITE);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kBlockBytes;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<DestinationManager*>(cinfo->dest);
  if (!AppendBlock(dest, kBlockBytes - dest->pub.free_in_buffer)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

// --- Decompression ---

struct Decompressor {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  SourceManager src;
  jpeg_progress_mgr progress;
};

// Owns a Decompressor and destroys the library object on every path.
struct DecompressorHolder {
  Decompressor d{};
  DecompressorHolder() = default;
  DecompressorHolder(const DecompressorHolder&) = delete;
  DecompressorHolder& operator=(const DecompressorHolder&) = delete;
  ~DecompressorHolder() { jpeg_destroy_decompress(&d.cinfo); }
};

struct DecodeParams {
  bool gray_indexed = true;     // gray output as Indexed8 over 256 gray levels
  bool rgb_components = false;  // three components are RGB, not YCbCr
  // Sees the declared frame before anything is allocated for it; throws to
  // refuse it.
  std::function<void(const TJPEGFrame&)> check;
  std::uint32_t rows = 0;  // rows to decode from the top; 0: all
};

enum class OutputKind { Bgr, GrayIndex, Cmyk };

int CreateDecompressor(Decompressor* d) {
  InstallErrorManager(d->err);
  d->cinfo.err = &d->err.pub;
  if (setjmp(d->err.jump) != 0) return d->err.pub.msg_code;
  jpeg_create_decompress(&d->cinfo);
  // Bounds the library's whole-picture buffers (the coefficients of a
  // multi-scan file): beyond it the library fails instead of allocating.
  d->cinfo.mem->max_memory_to_use = static_cast<long>(kMaxPixelStoreBytes);
  d->progress.progress_monitor = MonitorProgress;
  d->cinfo.progress = &d->progress;
  d->src.pub.init_source = InitSource;
  d->src.pub.fill_input_buffer = FillInputBuffer;
  d->src.pub.skip_input_data = SkipInputData;
  d->src.pub.resync_to_restart = jpeg_resync_to_restart;
  d->src.pub.term_source = TermSource;
  d->cinfo.src = &d->src.pub;
  return 0;
}

// Reads the optional tables-only stream, then the image's own header.
int ReadHeaders(Decompressor* d, std::span<const std::uint8_t> tables,
                std::span<const std::uint8_t> data, TJPEGHeader* header) {
  if (setjmp(d->err.jump) != 0) return d->err.pub.msg_code;
  if (!tables.empty()) {
    SetSource(d->src, tables);
    // Tables-only streams leave the object ready for the next stream; one
    // that holds a whole image is dropped after its tables were taken.
    if (jpeg_read_header(&d->cinfo, FALSE) != JPEG_HEADER_TABLES_ONLY)
      jpeg_abort_decompress(&d->cinfo);
  }
  SetSource(d->src, data);
  jpeg_read_header(&d->cinfo, TRUE);
  header->width = static_cast<int>(d->cinfo.image_width);
  header->height = static_cast<int>(d->cinfo.image_height);
  header->components = d->cinfo.num_components;
  header->grayscale = d->cinfo.jpeg_color_space == JCS_GRAYSCALE;
  header->progressive = jpeg_has_multiple_scans(&d->cinfo) != 0;
  return 0;
}

int Configure(Decompressor* d, const DecodeParams* p, OutputKind* kind) {
  if (setjmp(d->err.jump) != 0) return d->err.pub.msg_code;
  jpeg_decompress_struct& c = d->cinfo;
  if (p->rgb_components && c.num_components == 3) c.jpeg_color_space = JCS_RGB;
  switch (c.jpeg_color_space) {
    case JCS_CMYK:
    case JCS_YCCK:
      c.out_color_space = JCS_CMYK;
      *kind = OutputKind::Cmyk;
      break;
    case JCS_GRAYSCALE:
      c.out_color_space = p->gray_indexed ? JCS_GRAYSCALE : JCS_EXT_BGR;
      *kind = p->gray_indexed ? OutputKind::GrayIndex : OutputKind::Bgr;
      break;
    default:
      // Anything the library cannot turn into BGR fails in
      // jpeg_calc_output_dimensions with its conversion error.
      c.out_color_space = JCS_EXT_BGR;
      *kind = OutputKind::Bgr;
      break;
  }
  c.scale_num = 1;
  c.scale_denom = 1;
  c.do_block_smoothing = TRUE;
  c.dct_method = JDCT_FLOAT;
  c.do_fancy_upsampling = TRUE;
  jpeg_calc_output_dimensions(&c);
  return 0;
}

int StartDecompress(Decompressor* d) {
  if (setjmp(d->err.jump) != 0) return d->err.pub.msg_code;
  jpeg_start_decompress(&d->cinfo);
  return 0;
}

// Inverted (Adobe-style) CMYK, as stored by most CMYK JPEG writers: each
// sample holds 255 minus the ink, so red = C' * K' / 255 and so on.
void CmykRowToBgr(const JSAMPLE* cmyk, std::uint8_t* bgr, JDIMENSION width) {
  for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
    const unsigned k = cmyk[3];
    bgr[0] = static_cast<std::uint8_t>((cmyk[2] * k + 127) / 255);
    bgr[1] = static_cast<std::uint8_t>((cmyk[1] * k + 127) / 255);
    bgr[2] = static_cast<std::uint8_t>((cmyk[0] * k + 127) / 255);
  }
}

// Reads the next `count` scan lines into `rows` (one pointer per row); CMYK
// rows pass through `cmyk_row` (4 bytes per pixel) first. Rows the library
// does not deliver (only a suspending source stops early; ours never
// suspends) are left white.
int ReadBatch(Decompressor* d, JSAMPROW* rows, JSAMPROW cmyk_row, JDIMENSION count,
              std::size_t row_bytes) {
  if (setjmp(d->err.jump) != 0) return d->err.pub.msg_code;
  jpeg_decompress_struct& c = d->cinfo;
  JDIMENSION done = 0;
  while (done < count) {
    if (cmyk_row != nullptr) {
      if (jpeg_read_scanlines(&c, &cmyk_row, 1) != 1) break;
      CmykRowToBgr(cmyk_row, rows[done], c.output_width);
      ++done;
    } else {
      const JDIMENSION n = jpeg_read_scanlines(&c, rows + done, count - done);
      if (n == 0) break;
      done += n;
    }
  }
  for (; done < count; ++done)
    std::memset(rows[done], 0xFF, row_bytes);
  return 0;
}

// Ends the library's work: finished when every row was read, else stopped.
int EndDecompress(Decompressor* d, bool whole) {
  if (setjmp(d->err.jump) != 0) return d->err.pub.msg_code;
  if (whole)
    jpeg_finish_decompress(&d->cinfo);
  else
    jpeg_abort_decompress(&d->cinfo);
  return 0;
}

TJPEGHeader ReadHeaderOnly(std::span<const std::uint8_t> data) {
  auto holder = std::make_unique<DecompressorHolder>();
  TJPEGHeader header;
  Check(CreateDecompressor(&holder->d));
  Check(ReadHeaders(&holder->d, {}, data, &header));
  return header;
}

// The checks of a whole-picture decode: the limits on the declared size.
std::function<void(const TJPEGFrame&)> CheckLimits(const TImageLimits& limits) {
  return [&limits](const TJPEGFrame& frame) { limits.CheckDeclared(frame.width, frame.height); };
}

// A decompression started and ready to deliver rows, with the layout they
// come in: Bgr24, or Indexed8 over the 256 gray levels.
struct Session {
  std::unique_ptr<DecompressorHolder> holder = std::make_unique<DecompressorHolder>();
  OutputKind kind = OutputKind::Bgr;
  JDIMENSION width = 0;
  JDIMENSION height = 0;  // rows to deliver
  TBitmap sample;         // format and palette of the rows
  std::vector<JSAMPLE> cmyk;

  Decompressor* D() { return &holder->d; }
  std::size_t RowBytes() const {
    return std::size_t{width} * (kind == OutputKind::GrayIndex ? 1 : 3);
  }
  JSAMPROW CmykRow() { return cmyk.empty() ? nullptr : cmyk.data(); }
  void Read(JSAMPROW* rows, JDIMENSION count) {
    Check(ReadBatch(D(), rows, CmykRow(), count, RowBytes()));
  }
  void End() { Check(EndDecompress(D(), height == D()->cinfo.output_height)); }
};

void StartSession(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                  const DecodeParams& params, Session& s) {
  Decompressor* d = s.D();
  TJPEGHeader header;
  Check(CreateDecompressor(d));
  Check(ReadHeaders(d, tables, data, &header));
  if (params.check) {
    TJPEGFrame frame;
    frame.width = d->cinfo.image_width;
    frame.height = d->cinfo.image_height;
    frame.mcu_height = static_cast<std::uint32_t>(d->cinfo.max_v_samp_factor) * DCTSIZE;
    params.check(frame);
  }
  Check(Configure(d, &params, &s.kind));

  // Refuse an oversized raster before the library allocates its buffers.
  s.width = d->cinfo.output_width;
  s.height = params.rows != 0 ? params.rows : d->cinfo.output_height;
  if (s.height > d->cinfo.output_height) throw EJPEG("JPEG stream has fewer rows than requested");
  const unsigned bits = s.kind == OutputKind::GrayIndex ? 8 : 24;
  PixelStoreBytes(s.width, s.height, bits);
  Check(StartDecompress(d));

  s.sample.SetPixelFormat(s.kind == OutputKind::GrayIndex ? TPixelFormat::Indexed8
                                                          : TPixelFormat::Bgr24);
  if (s.kind == OutputKind::GrayIndex) {
    TPalette palette(kJpegGrayLevels);
    for (std::size_t i = 0; i < palette.size(); ++i) {
      const auto level = static_cast<std::uint8_t>(i);
      palette[i] = {level, level, level};
    }
    s.sample.SetPalette(std::move(palette));
  }
  if (s.kind == OutputKind::Cmyk) s.cmyk.resize(std::size_t{s.width} * 4);
}

// Decodes into a new raster, the library writing straight into its rows.
void DecodeStream(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                  const DecodeParams& params, TBitmap& raster) {
  Session s;
  StartSession(tables, data, params, s);
  raster.Assign(s.sample);
  raster.SetSizeForOverwrite(static_cast<int>(s.width), static_cast<int>(s.height));
  std::vector<JSAMPROW> rows(s.height);
  for (JDIMENSION y = 0; y < s.height; ++y)
    rows[y] = raster.Row(static_cast<int>(y));
  s.Read(rows.data(), s.height);
  s.End();
}

// Rows decoded per batch handed to a consumer: enough for the library to
// deliver whole MCU rows at once, few enough to stay in the cache.
constexpr JDIMENSION kBatchRows = 16;

// Decodes batch by batch, handing each to the consumer before the next.
void DecodeStreamRows(std::span<const std::uint8_t> data, const DecodeParams& params,
                      TRowConsumer& consumer) {
  Session s;
  StartSession({}, data, params, s);
  TRowLayout layout;
  layout.width = static_cast<int>(s.width);
  layout.height = static_cast<int>(s.height);
  layout.sample.Assign(s.sample);
  consumer.Begin(layout);
  const std::size_t row_bytes = (s.RowBytes() + 31) / 32 * 32;
  std::vector<JSAMPLE> buffer;
  JSAMPROW rows[kBatchRows];
  for (JDIMENSION y = 0; y < s.height;) {
    const JDIMENSION count = std::min(kBatchRows, s.height - y);
    if (std::uint8_t* const* lent = consumer.LendRows(static_cast<int>(count), s.RowBytes())) {
      std::copy(lent, lent + count, rows);
    } else {
      if (buffer.empty()) buffer.resize(row_bytes * kBatchRows);
      for (JDIMENSION k = 0; k < count; ++k)
        rows[k] = buffer.data() + k * row_bytes;
    }
    s.Read(rows, count);
    consumer.Rows(static_cast<int>(y), rows, static_cast<int>(count));
    y += count;
  }
  s.End();
}

// --- Compression ---

struct Compressor {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  DestinationManager dest;
};

struct CompressorHolder {
  Compressor c{};
  CompressorHolder() = default;
  CompressorHolder(const CompressorHolder&) = delete;
  CompressorHolder& operator=(const CompressorHolder&) = delete;
  ~CompressorHolder() { jpeg_destroy_compress(&c.cinfo); }
};

// Compresses `height` BGR rows of `width` pixels into *out at `quality`
// (1..100).
int Encode(Compressor* c, int quality, JSAMPROW* rows, JDIMENSION width, JDIMENSION height,
           std::vector<std::uint8_t>* out) {
  InstallErrorManager(c->err);
  c->cinfo.err = &c->err.pub;
  if (setjmp(c->err.jump) != 0) return c->err.pub.msg_code;
  jpeg_create_compress(&c->cinfo);
  c->dest.out = out;
  c->dest.pub.init_destination = InitDestination;
  c->dest.pub.empty_output_buffer = EmptyOutputBuffer;
  c->dest.pub.term_destination = TermDestination;
  c->cinfo.dest = &c->dest.pub;

  c->cinfo.image_width = width;
  c->cinfo.image_height = height;
  c->cinfo.input_components = 3;
  c->cinfo.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&c->cinfo);
  c->cinfo.dct_method = JDCT_FLOAT;
  jpeg_set_quality(&c->cinfo, quality, TRUE);

  jpeg_start_compress(&c->cinfo, TRUE);
  while (c->cinfo.next_scanline < height) {
    const JDIMENSION y = c->cinfo.next_scanline;
    jpeg_write_scanlines(&c->cinfo, rows + y, height - y);
  }
  jpeg_finish_compress(&c->cinfo);
  return 0;
}

const std::vector<std::uint8_t>& EmptyBytes() {
  static const std::vector<std::uint8_t> empty;
  return empty;
}

}  // namespace

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::LoadFromStream(TStream& stream) {
  LoadFromBytes(ReadStreamRest(stream));
}

void TJPEGImage::LoadFromBytes(std::vector<std::uint8_t> bytes) {
  data_.reset();
  header_ = {};
  bitmap_.reset();
  auto data = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  TJPEGHeader header;
  if (!data->empty()) {
    header = ReadHeaderOnly(*data);
    Limits().CheckDeclared(static_cast<std::uint32_t>(header.width),
                           static_cast<std::uint32_t>(header.height));
  }
  data_ = std::move(data);
  header_ = header;
}

void TJPEGImage::SaveToStream(TStream& stream) {
  if (!data_) Compress();
  stream.WriteBytes(*data_);
}

int TJPEGImage::Width() const {
  return bitmap_ ? bitmap_->Width() : header_.width;
}
int TJPEGImage::Height() const {
  return bitmap_ ? bitmap_->Height() : header_.height;
}

bool TJPEGImage::Empty() const {
  return (!data_ || data_->empty()) && (!bitmap_ || bitmap_->Empty());
}

void TJPEGImage::Assign(const TBitmap& source) {
  auto bitmap = std::make_unique<TBitmap>();
  bitmap->Assign(source);
  data_.reset();
  header_ = {};
  bitmap_ = std::move(bitmap);
}

void TJPEGImage::Assign(const TJPEGImage& source) {
  if (&source == this) return;
  std::unique_ptr<TBitmap> bitmap;
  if (source.bitmap_) {
    bitmap = std::make_unique<TBitmap>();
    bitmap->Assign(*source.bitmap_);
  }
  data_ = source.data_;
  header_ = source.header_;
  bitmap_ = std::move(bitmap);
  quality_ = source.quality_;
}

void TJPEGImage::AssignTo(TBitmap& dest) {
  if (!bitmap_) Decode();
  dest.Assign(*bitmap_);
}

void TJPEGImage::LoadFromBuffer(std::vector<std::uint8_t> bytes) {
  LoadFromBytes(std::move(bytes));
}

void TJPEGImage::DecodeRows(TRowConsumer& consumer) {
  if (bitmap_) return DeliverRows(*bitmap_, consumer);
  DecodeParams params;
  params.check = CheckLimits(Limits());
  DecodeStreamRows(Data(), params, consumer);
}

const std::vector<std::uint8_t>& TJPEGImage::Data() const noexcept {
  return data_ ? *data_ : EmptyBytes();
}

void TJPEGImage::Decode() {
  auto bitmap = std::make_unique<TBitmap>();
  const std::vector<std::uint8_t>& data = Data();
  DecodeParams params;
  params.check = CheckLimits(Limits());
  DecodeStream({}, data, params, *bitmap);
  bitmap_ = std::move(bitmap);
}

void TJPEGImage::Compress() {
  auto out = std::make_shared<std::vector<std::uint8_t>>();
  if (!bitmap_ || bitmap_->Empty()) {
    data_ = std::move(out);
    return;
  }

  TBitmap bgr;
  bgr.Assign(*bitmap_);
  bgr.SetPixelFormat(TPixelFormat::Bgr24);
  const auto width = static_cast<JDIMENSION>(bgr.Width());
  const auto height = static_cast<JDIMENSION>(bgr.Height());
  // The library only reads the rows; ConstRow keeps a shared store shared.
  std::vector<JSAMPROW> rows(height);
  for (JDIMENSION y = 0; y < height; ++y)
    rows[y] = const_cast<JSAMPROW>(bgr.ConstRow(static_cast<int>(y)));

  auto holder = std::make_unique<CompressorHolder>();
  Check(
      Encode(&holder->c, std::clamp<int>(quality_, 1, 100), rows.data(), width, height, out.get()));
  // Published only now: a failure above leaves the earlier data (or none), never a cut-off file.
  data_ = std::move(out);
}

void DecodeJpegToBitmap(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                        TBitmap& out, bool rgb_components, const TImageLimits& limits) {
  DecodeParams params;
  params.gray_indexed = false;
  params.rgb_components = rgb_components;
  params.check = CheckLimits(limits);
  TBitmap raster;
  DecodeStream(tables, data, params, raster);
  out.Assign(raster);
}

void DecodeJpegRows(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                    TBitmap& out, bool rgb_components, std::uint32_t rows,
                    const std::function<void(const TJPEGFrame&)>& check) {
  if (rows == 0) throw EJPEG("JPEG stream has fewer rows than requested");
  DecodeParams params;
  params.gray_indexed = false;
  params.rgb_components = rgb_components;
  params.check = check;
  params.rows = rows;
  TBitmap raster;
  DecodeStream(tables, data, params, raster);
  out.Assign(raster);
}

}  // namespace skalo
