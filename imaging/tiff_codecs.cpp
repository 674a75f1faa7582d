#include "imaging/tiff_codecs.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "imaging/byte_reader.h"
#include "imaging/tiff.h"

namespace skalo::tiff {

void DecodePackBits(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  ByteReader src(in);
  std::size_t pos = 0;
  while (pos < out.size()) {
    if (src.at_end()) throw ETIFFError("PackBits data ends before the end of the strip");
    const auto n = static_cast<std::int8_t>(src.u8());
    if (n >= 0) {
      // n + 1 literal bytes.
      const std::size_t count = static_cast<std::size_t>(n) + 1;
      if (src.remaining() < count) throw ETIFFError("PackBits data ends inside a literal run");
      const auto bytes = src.bytes(count);
      const std::size_t keep = std::min(count, out.size() - pos);
      std::memcpy(out.data() + pos, bytes.data(), keep);
      pos += keep;
    } else if (n != -128) {
      // The next byte repeated 1 - n times; -128 is a no-op.
      if (src.at_end()) throw ETIFFError("PackBits data ends inside a repeat run");
      const std::uint8_t value = src.u8();
      const std::size_t keep = std::min<std::size_t>(1 - n, out.size() - pos);
      std::memset(out.data() + pos, value, keep);
      pos += keep;
    }
  }
}

namespace {

// Ends the zlib stream on every path.
class Inflater {
 public:
  Inflater() {
    if (inflateInit(&z_) != Z_OK) throw ETIFFError("Deflate decoder cannot start");
  }
  ~Inflater() { inflateEnd(&z_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& stream() noexcept { return z_; }

 private:
  z_stream z_{};
};

}  // namespace

void DecodeDeflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  Inflater inflater;
  z_stream& z = inflater.stream();
  // zlib counts in uInt; feed and drain in pieces that fit.
  constexpr std::size_t kPiece = UINT_MAX;
  std::size_t in_pos = 0;
  std::size_t out_pos = 0;
  while (out_pos < out.size()) {
    if (z.avail_in == 0 && in_pos < in.size()) {
      const std::size_t n = std::min(kPiece, in.size() - in_pos);
      z.next_in = const_cast<Bytef*>(in.data() + in_pos);
      z.avail_in = static_cast<uInt>(n);
      in_pos += n;
    }
    const std::size_t n = std::min(kPiece, out.size() - out_pos);
    z.next_out = out.data() + out_pos;
    z.avail_out = static_cast<uInt>(n);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t produced = n - z.avail_out;
    out_pos += produced;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && in_pos == in.size()) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR)
      throw ETIFFError(std::string("Deflate data is damaged: ") + (z.msg ? z.msg : "error"));
  }
  if (out_pos < out.size()) throw ETIFFError("Deflate data ends before the end of the strip");
}

namespace {

constexpr int kSkip = 99;  // a delta code that places no pixel
constexpr int kTwoBitDeltas[4] = {0, 1, kSkip, -1};
constexpr int kThreeBitDeltas[8] = {0, 1, 2, 3, kSkip, -3, -2, -1};

class ThunderRow {
 public:
  ThunderRow(std::uint8_t* row, std::uint32_t width) : row_(row), width_(width) {}

  bool Full() const noexcept { return count_ >= width_; }
  int Last() const noexcept { return last_; }

  void Put(int value) {
    last_ = value & 0x0F;
    if (count_ >= width_) return;
    if (count_ & 1)
      row_[count_ >> 1] |= static_cast<std::uint8_t>(last_);
    else
      row_[count_ >> 1] = static_cast<std::uint8_t>(last_ << 4);
    ++count_;
  }

 private:
  std::uint8_t* row_;
  std::uint32_t width_;
  std::uint32_t count_ = 0;
  int last_ = 0;
};

}  // namespace

void DecodeThunderScan(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                       std::uint32_t width, std::uint32_t rows, std::size_t row_bytes) {
  if (row_bytes < (std::size_t{width} + 1) / 2 || (row_bytes > 0 && out.size() / row_bytes < rows))
    throw ETIFFError("ThunderScan strip geometry is invalid");
  ByteReader src(in);
  for (std::uint32_t y = 0; y < rows; ++y) {
    std::uint8_t* line = out.data() + std::size_t{y} * row_bytes;
    std::memset(line, 0, row_bytes);
    ThunderRow row(line, width);
    while (!row.Full()) {
      if (src.at_end()) throw ETIFFError("ThunderScan data ends before the end of the strip");
      const std::uint8_t code = src.u8();
      const int n = code & 0x3F;
      switch (code >> 6) {
        case 0:  // run of the last value
          for (int i = 0; i < n && !row.Full(); ++i)
            row.Put(row.Last());
          break;
        case 1:
          for (const int shift : {4, 2, 0}) {
            const int delta = kTwoBitDeltas[(n >> shift) & 3];
            if (delta != kSkip) row.Put(row.Last() + delta);
          }
          break;
        case 2:
          for (const int shift : {3, 0}) {
            const int delta = kThreeBitDeltas[(n >> shift) & 7];
            if (delta != kSkip) row.Put(row.Last() + delta);
          }
          break;
        default:
          row.Put(n);
          break;
      }
    }
  }
}

}  // namespace skalo::tiff
