// The variable-length-code LZW of GIF image data (GIF89a, section 22 and
// appendix F): codes of 3 to 12 bits packed least significant bit first, a
// clear code 2^min_code_size and an end code one above it.
//
// Both directions keep fixed-size state: the decoder's string table holds at
// most 4096 entries whose prefixes always point to older entries, so a string
// is expanded by one bounded walk, never by recursion; the encoder's
// dictionary is a hash table of 8009 slots, cleared (not reallocated) on each
// clear code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/framework.h"

namespace skalo {

// Smallest and largest LZW minimum code size accepted: GIF89a requires 2 also
// for two-colour images (appendix F), and indices are bytes.
inline constexpr int kLzwMinCodeSizeLow = 2;
inline constexpr int kLzwMinCodeSizeHigh = 8;

enum class LzwStatus {
  Complete,   // the output is full, or an end code was read
  OutOfData,  // the codes ran out before the output was full
  BadCode,    // a code that is neither a literal, nor in the table, nor the next free one
};

struct LzwDecodeResult {
  LzwStatus status = LzwStatus::Complete;
  std::size_t written = 0;  // output bytes appended
};

class LzwDecoder {
 public:
  // `min_code_size` must lie in [kLzwMinCodeSizeLow, kLzwMinCodeSizeHigh].
  explicit LzwDecoder(int min_code_size);

  // Decodes the code stream `codes` (sub-blocks already joined), appending
  // the bytes to `out` until it holds `limit` bytes; `out` grows only as far
  // as the data decodes (a caller that reserves `limit` beforehand touches
  // no more memory than that). Decoding stops at the end code, when `out`
  // holds `limit` bytes, or at the first bad code.
  LzwDecodeResult Decode(std::span<const std::uint8_t> codes, std::vector<std::uint8_t>& out,
                         std::size_t limit);

 private:
  static constexpr int kMaxCodes = 4096;
  void Reset();

  int min_code_size_;
  std::uint32_t clear_code_;
  std::array<std::uint16_t, kMaxCodes> prefix_{};
  std::array<std::uint8_t, kMaxCodes> suffix_{};
  std::array<std::uint8_t, kMaxCodes> first_{};
  std::array<std::uint16_t, kMaxCodes> length_{};
  std::uint32_t next_code_ = 0;
  int code_width_ = 0;
};

// The most bytes that any code stream of `code_bytes` bytes decodes to with
// this minimum code size: every code after the first one string longer than
// the one before (first 1 byte, then 2, 3, ...) at the widths the growing
// table dictates, and once the table is full, codes of 12 bits that each
// repeat the longest string. A clear code only shortens what follows, so no
// stream of that length decodes to more. About 8.4 million bytes for the
// first 6 KB, then about 2730 bytes per further byte of codes.
std::uint64_t LzwMaxOutput(std::uint64_t code_bytes, int min_code_size) noexcept;

// Writes `pixels` as GIF image data after the minimum-code-size byte
// (`min_code_size` in [kLzwMinCodeSizeLow, kLzwMinCodeSizeHigh]): the
// codes in data sub-blocks of at most 255 bytes, each preceded by its length,
// then the zero-length block terminator. Every pixel must be below
// 2^min_code_size; answers false, having written nothing, when one is not.
//
// The coding: a clear code first; codes start one bit wider than the minimum
// code size and grow by one bit (up to 12) once the next free code no longer
// fits; table entries are assigned up to code 4094, and when the next free
// code would pass 4094 a clear code is written instead and the table starts
// again, so code 4095 is never assigned; the last string's code and the end
// code close the data.
bool LzwEncode(int min_code_size, std::span<const std::uint8_t> pixels, TStream& out);

}  // namespace skalo
