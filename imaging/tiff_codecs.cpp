#include "imaging/tiff_codecs.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
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

// Reads codes of a given width from LZW data, most significant bit first (or
// least significant bit first for the old form).
class LzwCodeReader {
 public:
  LzwCodeReader(std::span<const std::uint8_t> in, bool lsb_first)
      : in_(in), lsb_first_(lsb_first) {}

  // The next code, or -1 when fewer than `width` bits are left.
  int Next(int width) {
    while (count_ < width) {
      if (pos_ == in_.size()) return -1;
      const std::uint32_t byte = in_[pos_++];
      bits_ = lsb_first_ ? bits_ | byte << count_ : bits_ << 8 | byte;
      count_ += 8;
    }
    const std::uint32_t mask = (1u << width) - 1;
    count_ -= width;
    if (lsb_first_) {
      const std::uint32_t code = bits_ & mask;
      bits_ >>= width;
      return static_cast<int>(code);
    }
    return static_cast<int>(bits_ >> count_ & mask);
  }

 private:
  std::span<const std::uint8_t> in_;
  bool lsb_first_;
  std::size_t pos_ = 0;
  std::uint32_t bits_ = 0;  // at most 19 bits pending
  int count_ = 0;
};

constexpr int kLzwClear = 256;
constexpr int kLzwEnd = 257;
constexpr int kLzwFirstFree = 258;
constexpr int kLzwTableSize = 4096;

// The LZW string table: each entry a prefix entry plus one byte, so a string
// is written back to front by one walk of its bounded chain.
struct LzwTable {
  std::array<std::uint16_t, kLzwTableSize> prefix{};
  std::array<std::uint8_t, kLzwTableSize> last{};
  std::array<std::uint8_t, kLzwTableSize> first{};
  std::array<std::uint16_t, kLzwTableSize> length{};

  LzwTable() {
    for (int i = 0; i < 256; ++i) {
      last[i] = first[i] = static_cast<std::uint8_t>(i);
      length[i] = 1;
    }
  }
};

}  // namespace

void DecodeLzw(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  // The old form starts with a clear code packed least significant bit first.
  const bool old_form = in.size() >= 2 && in[0] == 0 && (in[1] & 1) != 0;
  LzwCodeReader codes(in, old_form);
  // The new form widens its codes one entry before the table needs it.
  const int early = old_form ? 0 : 1;
  auto table = std::make_unique<LzwTable>();
  int next = kLzwFirstFree;
  int width = 9;
  int previous = -1;  // none since the last clear code
  std::size_t pos = 0;

  // Appends string `code`, then `extra` when it is >= 0; cut at the end of out.
  auto put = [&](int code, int extra) {
    const std::size_t length = table->length[code];
    const std::size_t total = length + (extra >= 0 ? 1 : 0);
    if (extra >= 0 && pos + length < out.size())
      out[pos + length] = static_cast<std::uint8_t>(extra);
    for (std::size_t i = length; i-- > 0;) {
      if (pos + i < out.size()) out[pos + i] = table->last[code];
      code = table->prefix[code];
    }
    pos = std::min(out.size(), pos + total);
  };

  while (pos < out.size()) {
    const int code = codes.Next(width);
    if (code < 0 || code == kLzwEnd) break;
    if (code == kLzwClear) {
      next = kLzwFirstFree;
      width = 9;
      previous = -1;
      continue;
    }
    if (previous < 0) {
      if (code > 255) throw ETIFFError("LZW data is damaged: the first code is not a literal");
      out[pos++] = static_cast<std::uint8_t>(code);
      previous = code;
      continue;
    }
    std::uint8_t first;
    if (code < next) {
      put(code, -1);
      first = table->first[code];
    } else if (code == next && next < kLzwTableSize) {
      // The string being defined: the previous one and its own first byte.
      first = table->first[previous];
      put(previous, first);
    } else {
      throw ETIFFError("LZW data is damaged: code " + std::to_string(code) + " is not defined");
    }
    if (next < kLzwTableSize) {
      table->prefix[next] = static_cast<std::uint16_t>(previous);
      table->last[next] = first;
      table->first[next] = table->first[previous];
      table->length[next] = static_cast<std::uint16_t>(table->length[previous] + 1);
      ++next;
      if (width < 12 && next + early >= 1 << width) ++width;
    }
    previous = code;
  }
  if (pos < out.size()) throw ETIFFError("LZW data ends before the end of the strip");
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
