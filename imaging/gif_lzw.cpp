#include "imaging/gif_lzw.h"

#include <algorithm>
#include <memory>

namespace skalo {

namespace {

constexpr int kMaxCodeWidth = 12;
constexpr std::uint32_t kTableSize = 4096;
// The last code the encoder assigns; when the next free code would pass it,
// a clear code starts the table again.
constexpr std::uint32_t kLastAssignedCode = 4094;

}  // namespace

// ---------------------------------------------------------------- decoder

LzwDecoder::LzwDecoder(int min_code_size)
    : min_code_size_(std::clamp(min_code_size, kLzwMinCodeSizeLow, kLzwMinCodeSizeHigh)),
      clear_code_(1u << min_code_size_) {
  // The literal codes are the strings of one byte.
  for (std::uint32_t c = 0; c < clear_code_; ++c) {
    prefix_[c] = 0;
    suffix_[c] = static_cast<std::uint8_t>(c);
    first_[c] = static_cast<std::uint8_t>(c);
    length_[c] = 1;
  }
  Reset();
}

void LzwDecoder::Reset() {
  next_code_ = clear_code_ + 2;
  code_width_ = min_code_size_ + 1;
}

LzwDecodeResult LzwDecoder::Decode(std::span<const std::uint8_t> codes,
                                   std::vector<std::uint8_t>& out, std::size_t limit) {
  constexpr std::uint32_t kNone = 0xFFFFFFFF;
  const std::uint32_t end_code = clear_code_ + 1;
  const std::size_t start = out.size();
  std::size_t in = 0;  // next input byte
  std::uint32_t bits = 0;
  int bit_count = 0;
  std::uint32_t prev = kNone;
  Reset();
  auto result = [&](LzwStatus status) { return LzwDecodeResult{status, out.size() - start}; };

  // Appends the string of `code` (already in the table). Strings are stored
  // as (prefix, last byte) chains whose prefixes are always older entries,
  // so the walk ends after length_[code] steps; bytes that would pass
  // `limit` are dropped.
  auto emit = [&](std::uint32_t code) {
    const std::size_t len = length_[code];
    const std::size_t at = out.size();
    const std::size_t room = std::min(len, limit - at);
    out.resize(at + room);
    std::size_t i = len;
    while (i > 0) {
      --i;
      if (i < room) out[at + i] = suffix_[code];
      code = prefix_[code];
    }
  };

  if (out.size() >= limit) return result(LzwStatus::Complete);
  for (;;) {
    while (bit_count < code_width_) {
      if (in == codes.size()) return result(LzwStatus::OutOfData);
      bits |= std::uint32_t{codes[in++]} << bit_count;
      bit_count += 8;
    }
    const std::uint32_t code = bits & ((1u << code_width_) - 1);
    bits >>= code_width_;
    bit_count -= code_width_;

    if (code == clear_code_) {
      Reset();
      prev = kNone;
      continue;
    }
    if (code == end_code) return result(LzwStatus::Complete);
    if (prev == kNone) {
      // First code after a clear (or at the start): it must be a literal.
      if (code >= clear_code_) return result(LzwStatus::BadCode);
      emit(code);
    } else {
      std::uint8_t first;
      if (code < next_code_) {
        first = first_[code];
      } else if (code == next_code_ && next_code_ < kMaxCodes) {
        // The KwKwK case: the string being defined is prev's string plus
        // prev's first byte.
        first = first_[prev];
      } else {
        // A code beyond the table would name an entry that refers to itself.
        return result(LzwStatus::BadCode);
      }
      if (next_code_ < kMaxCodes) {
        prefix_[next_code_] = static_cast<std::uint16_t>(prev);
        suffix_[next_code_] = first;
        first_[next_code_] = first_[prev];
        length_[next_code_] = static_cast<std::uint16_t>(length_[prev] + 1);
        ++next_code_;
        if (next_code_ == (1u << code_width_) && code_width_ < kMaxCodeWidth) ++code_width_;
      }
      emit(code);
    }
    prev = code;
    if (out.size() == limit) return result(LzwStatus::Complete);
  }
}

std::uint64_t LzwMaxOutput(std::uint64_t code_bytes, int min_code_size) noexcept {
  const int min = std::clamp(min_code_size, kLzwMinCodeSizeLow, kLzwMinCodeSizeHigh);
  if (code_bytes > UINT64_MAX / 8 / 4096) return UINT64_MAX;
  std::uint64_t bits = code_bytes * 8;
  // The decoder's table and code width, driven by the longest possible chain
  // (each code the next free one, the case that adds a string and uses it).
  std::uint32_t next = (1u << min) + 2;
  int width = min + 1;
  std::uint64_t length = 0, total = 0;
  while (bits >= static_cast<std::uint64_t>(width)) {
    bits -= static_cast<std::uint64_t>(width);
    if (length == 0) {
      length = 1;  // the first code: a literal
    } else if (next < kTableSize) {
      ++length;
      ++next;
      if (next == (1u << width) && width < kMaxCodeWidth) ++width;
    }
    total += length;
    if (next == kTableSize) return total + bits / static_cast<std::uint64_t>(width) * length;
  }
  return total;
}

// ---------------------------------------------------------------- encoder

namespace {

// Packs codes least significant bit first into data sub-blocks of up to 255
// bytes, collected in a 256-byte buffer (length byte first).
class SubBlockWriter {
 public:
  explicit SubBlockWriter(TStream& out) : out_(out) {}

  void Put(std::uint32_t code, int width) {
    bits_ |= code << bit_count_;
    bit_count_ += width;
    while (bit_count_ >= 8) {
      Byte(static_cast<std::uint8_t>(bits_));
      bits_ >>= 8;
      bit_count_ -= 8;
    }
  }

  // Pads the last partial byte with zeros, writes the last sub-block and the
  // block terminator.
  void Finish() {
    if (bit_count_ > 0) Byte(static_cast<std::uint8_t>(bits_));
    bits_ = 0;
    bit_count_ = 0;
    if (block_[0] > 0) Flush();
    const std::uint8_t terminator = 0;
    out_.Write(&terminator, 1);
  }

 private:
  void Byte(std::uint8_t b) {
    block_[1 + block_[0]] = b;
    if (++block_[0] == 255) Flush();
  }
  void Flush() {
    out_.Write(block_.data(), 1 + std::size_t{block_[0]});
    block_[0] = 0;
  }

  TStream& out_;
  std::array<std::uint8_t, 256> block_{};
  std::uint32_t bits_ = 0;
  int bit_count_ = 0;
};

// (prefix code, pixel) -> code, open addressing with double hashing over a
// prime number of slots. At most 4094 - 258 + 1 strings are stored at once,
// so the table never fills beyond half.
class StringTable {
 public:
  static constexpr std::uint32_t kSlots = 8009;

  void Clear() { keys_.fill(0); }

  // The code of `key`, or -1; `slot` receives where the key is or would go.
  int Find(std::uint32_t key, std::uint32_t& slot) const {
    const std::uint32_t stored = key + 1;  // 0 marks a free slot
    std::uint32_t s = key % kSlots;
    const std::uint32_t step = 1 + key % (kSlots - 2);
    while (keys_[s] != 0) {
      if (keys_[s] == stored) {
        slot = s;
        return codes_[s];
      }
      s = (s + step) % kSlots;
    }
    slot = s;
    return -1;
  }
  void Insert(std::uint32_t slot, std::uint32_t key, std::uint32_t code) {
    keys_[slot] = key + 1;
    codes_[slot] = static_cast<std::uint16_t>(code);
  }

 private:
  std::array<std::uint32_t, kSlots> keys_{};
  std::array<std::uint16_t, kSlots> codes_{};
};

}  // namespace

bool LzwEncode(int min_code_size, std::span<const std::uint8_t> pixels, TStream& out) {
  if (min_code_size < kLzwMinCodeSizeLow || min_code_size > kLzwMinCodeSizeHigh) return false;
  const std::uint32_t clear_code = 1u << min_code_size;
  const std::uint32_t end_code = clear_code + 1;
  for (const std::uint8_t p : pixels)
    if (p >= clear_code) return false;

  SubBlockWriter writer(out);
  auto table = std::make_unique<StringTable>();
  int width = min_code_size + 1;
  std::uint32_t next_code = clear_code + 2;

  // Writes a code, then adjusts the width for the next one: back to the
  // start after a clear code, one bit wider once the next free code no longer
  // fits (the decoder widens after adding that entry, one code later, which
  // is the same point in the stream).
  auto put = [&](std::uint32_t code) {
    writer.Put(code, width);
    if (code == clear_code)
      width = min_code_size + 1;
    else if (next_code > (1u << width) - 1 && width < kMaxCodeWidth)
      ++width;
  };

  put(clear_code);
  if (!pixels.empty()) {
    std::uint32_t prefix = pixels[0];
    for (std::size_t i = 1; i < pixels.size(); ++i) {
      const std::uint8_t p = pixels[i];
      const std::uint32_t key = prefix * 256 + p;
      std::uint32_t slot = 0;
      const int found = table->Find(key, slot);
      if (found >= 0) {
        prefix = static_cast<std::uint32_t>(found);
        continue;
      }
      put(prefix);
      if (next_code <= kLastAssignedCode) {
        table->Insert(slot, key, next_code++);
      } else {
        put(clear_code);
        table->Clear();
        next_code = clear_code + 2;
      }
      prefix = p;
    }
    put(prefix);
  }
  put(end_code);
  writer.Finish();
  return true;
}

}  // namespace skalo
