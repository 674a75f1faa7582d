#include "imaging/tiff_ccitt.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/tiff.h"

namespace skalo::tiff {
namespace {

// --- Code tables (ITU-T T.4, tables 2, 3 and 4) ---

struct RunCode {
  std::string_view bits;
  std::uint16_t run;
};

// Terminating codes (runs 0..63) and make-up codes of white runs.
constexpr RunCode kWhiteCodes[] = {
    {"00110101", 0},     {"000111", 1},       {"0111", 2},         {"1000", 3},
    {"1011", 4},         {"1100", 5},         {"1110", 6},         {"1111", 7},
    {"10011", 8},        {"10100", 9},        {"00111", 10},       {"01000", 11},
    {"001000", 12},      {"000011", 13},      {"110100", 14},      {"110101", 15},
    {"101010", 16},      {"101011", 17},      {"0100111", 18},     {"0001100", 19},
    {"0001000", 20},     {"0010111", 21},     {"0000011", 22},     {"0000100", 23},
    {"0101000", 24},     {"0101011", 25},     {"0010011", 26},     {"0100100", 27},
    {"0011000", 28},     {"00000010", 29},    {"00000011", 30},    {"00011010", 31},
    {"00011011", 32},    {"00010010", 33},    {"00010011", 34},    {"00010100", 35},
    {"00010101", 36},    {"00010110", 37},    {"00010111", 38},    {"00101000", 39},
    {"00101001", 40},    {"00101010", 41},    {"00101011", 42},    {"00101100", 43},
    {"00101101", 44},    {"00000100", 45},    {"00000101", 46},    {"00001010", 47},
    {"00001011", 48},    {"01010010", 49},    {"01010011", 50},    {"01010100", 51},
    {"01010101", 52},    {"00100100", 53},    {"00100101", 54},    {"01011000", 55},
    {"01011001", 56},    {"01011010", 57},    {"01011011", 58},    {"01001010", 59},
    {"01001011", 60},    {"00110010", 61},    {"00110011", 62},    {"00110100", 63},
    {"11011", 64},       {"10010", 128},      {"010111", 192},     {"0110111", 256},
    {"00110110", 320},   {"00110111", 384},   {"01100100", 448},   {"01100101", 512},
    {"01101000", 576},   {"01100111", 640},   {"011001100", 704},  {"011001101", 768},
    {"011010010", 832},  {"011010011", 896},  {"011010100", 960},  {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280},
    {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536},
    {"010011010", 1600}, {"011000", 1664},    {"010011011", 1728},
};

// Terminating codes and make-up codes of black runs.
constexpr RunCode kBlackCodes[] = {
    {"0000110111", 0},
    {"010", 1},
    {"11", 2},
    {"10", 3},
    {"011", 4},
    {"0011", 5},
    {"0010", 6},
    {"00011", 7},
    {"000101", 8},
    {"000100", 9},
    {"0000100", 10},
    {"0000101", 11},
    {"0000111", 12},
    {"00000100", 13},
    {"00000111", 14},
    {"000011000", 15},
    {"0000010111", 16},
    {"0000011000", 17},
    {"0000001000", 18},
    {"00001100111", 19},
    {"00001101000", 20},
    {"00001101100", 21},
    {"00000110111", 22},
    {"00000101000", 23},
    {"00000010111", 24},
    {"00000011000", 25},
    {"000011001010", 26},
    {"000011001011", 27},
    {"000011001100", 28},
    {"000011001101", 29},
    {"000001101000", 30},
    {"000001101001", 31},
    {"000001101010", 32},
    {"000001101011", 33},
    {"000011010010", 34},
    {"000011010011", 35},
    {"000011010100", 36},
    {"000011010101", 37},
    {"000011010110", 38},
    {"000011010111", 39},
    {"000001101100", 40},
    {"000001101101", 41},
    {"000011011010", 42},
    {"000011011011", 43},
    {"000001010100", 44},
    {"000001010101", 45},
    {"000001010110", 46},
    {"000001010111", 47},
    {"000001100100", 48},
    {"000001100101", 49},
    {"000001010010", 50},
    {"000001010011", 51},
    {"000000100100", 52},
    {"000000110111", 53},
    {"000000111000", 54},
    {"000000100111", 55},
    {"000000101000", 56},
    {"000001011000", 57},
    {"000001011001", 58},
    {"000000101011", 59},
    {"000000101100", 60},
    {"000001011010", 61},
    {"000001100110", 62},
    {"000001100111", 63},
    {"0000001111", 64},
    {"000011001000", 128},
    {"000011001001", 192},
    {"000001011011", 256},
    {"000000110011", 320},
    {"000000110100", 384},
    {"000000110101", 448},
    {"0000001101100", 512},
    {"0000001101101", 576},
    {"0000001001010", 640},
    {"0000001001011", 704},
    {"0000001001100", 768},
    {"0000001001101", 832},
    {"0000001110010", 896},
    {"0000001110011", 960},
    {"0000001110100", 1024},
    {"0000001110101", 1088},
    {"0000001110110", 1152},
    {"0000001110111", 1216},
    {"0000001010010", 1280},
    {"0000001010011", 1344},
    {"0000001010100", 1408},
    {"0000001010101", 1472},
    {"0000001011010", 1536},
    {"0000001011011", 1600},
    {"0000001100100", 1664},
    {"0000001100101", 1728},
};

// Make-up codes shared by both colours (T.4 table 3, runs 1792 to 2560).
constexpr RunCode kExtendedMakeupCodes[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

// The run code that covers the most pixels per bit, and the shortest white
// code (every one-dimensional row starts with a white run).
struct CodeRatio {
  std::uint64_t run = 0;
  std::uint64_t bits = 1;
};

constexpr CodeRatio BestRunRatio() {
  CodeRatio best;
  auto consider = [&](const RunCode& code) {
    if (code.run * best.bits > best.run * code.bits.size()) best = {code.run, code.bits.size()};
  };
  for (const RunCode& code : kWhiteCodes)
    consider(code);
  for (const RunCode& code : kBlackCodes)
    consider(code);
  for (const RunCode& code : kExtendedMakeupCodes)
    consider(code);
  return best;
}

constexpr std::uint64_t ShortestWhiteCode() {
  std::uint64_t shortest = 64;
  for (const RunCode& code : kWhiteCodes)
    shortest = std::min<std::uint64_t>(shortest, code.bits.size());
  return shortest;
}

constexpr CodeRatio kBestRun = BestRunRatio();
static_assert(kBestRun.run == 1664 && kBestRun.bits == 6);
constexpr std::uint64_t kShortestWhiteCode = ShortestWhiteCode();
static_assert(kShortestWhiteCode == 4);
// A two-dimensional row: its tag bit and a V0 code.
constexpr std::uint64_t kMinTwoDimensionalRowBits = 2;

enum class Mode : std::uint8_t { Invalid, Pass, Horizontal, Vertical, Extension, Zeros };

struct ModeCode {
  std::string_view bits;
  Mode mode;
  int delta;  // a1 - b1 of vertical modes
};

// Two-dimensional mode codes (T.4 table 4). "0000001" starts an extension
// code (0000001111 enters uncompressed mode); seven zeros can only start an
// EOL, which must not occur inside a row.
constexpr ModeCode kModeCodes[] = {
    {"0001", Mode::Pass, 0},         {"001", Mode::Horizontal, 0},
    {"1", Mode::Vertical, 0},        {"011", Mode::Vertical, 1},
    {"000011", Mode::Vertical, 2},   {"0000011", Mode::Vertical, 3},
    {"010", Mode::Vertical, -1},     {"000010", Mode::Vertical, -2},
    {"0000010", Mode::Vertical, -3}, {"0000001", Mode::Extension, 0},
    {"0000000", Mode::Zeros, 0},
};

// Lookup tables indexed by the next kRunBits (kModeBits) bits of the data;
// every index that starts with a code maps to that code. len 0: no code.
constexpr int kRunBits = 13;  // the longest run code
constexpr int kModeBits = 7;  // the longest mode code

struct RunEntry {
  std::uint16_t run = 0;
  std::uint8_t len = 0;
};
struct ModeEntry {
  Mode mode = Mode::Invalid;
  std::int8_t delta = 0;
  std::uint8_t len = 0;
};

std::uint32_t BitsValue(std::string_view bits) {
  std::uint32_t v = 0;
  for (const char c : bits)
    v = v << 1 | (c == '1' ? 1u : 0u);
  return v;
}

template <typename Entry, typename Fill>
void AddCode(std::vector<Entry>& table, int index_bits, std::string_view bits, Fill fill) {
  const int len = static_cast<int>(bits.size());
  const std::uint32_t first = BitsValue(bits) << (index_bits - len);
  const std::uint32_t count = 1u << (index_bits - len);
  for (std::uint32_t i = 0; i < count; ++i)
    fill(table[first + i], static_cast<std::uint8_t>(len));
}

std::vector<RunEntry> BuildRunTable(std::span<const RunCode> codes) {
  std::vector<RunEntry> table(std::size_t{1} << kRunBits);
  auto add = [&](const RunCode& code) {
    AddCode(table, kRunBits, code.bits, [&](RunEntry& e, std::uint8_t len) {
      e.run = code.run;
      e.len = len;
    });
  };
  for (const RunCode& code : codes)
    add(code);
  for (const RunCode& code : kExtendedMakeupCodes)
    add(code);
  return table;
}

struct Tables {
  std::vector<RunEntry> white = BuildRunTable(kWhiteCodes);
  std::vector<RunEntry> black = BuildRunTable(kBlackCodes);
  std::vector<ModeEntry> modes = [] {
    std::vector<ModeEntry> table(std::size_t{1} << kModeBits);
    for (const ModeCode& code : kModeCodes)
      AddCode(table, kModeBits, code.bits, [&](ModeEntry& e, std::uint8_t len) {
        e.mode = code.mode;
        e.delta = static_cast<std::int8_t>(code.delta);
        e.len = len;
      });
    return table;
  }();
};

const Tables& CodeTables() {
  static const Tables tables;
  return tables;
}

[[noreturn]] void Damaged(std::uint32_t row, const char* what) {
  throw ETIFFError("CCITT data is damaged in row " + std::to_string(row) + ": " + what);
}

// --- Bit input ---

// Reads the strip most significant bit first. Peeking past the end yields
// zero bits; consuming past it raises ETIFFError.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> data) : src_(data) { Refill(); }

  // The next n (<= 32) bits, right-aligned.
  std::uint32_t Peek(int n) {
    if (count_ < n) Refill();
    return static_cast<std::uint32_t>(acc_ >> (64 - n));
  }
  void Consume(int n) {
    if (count_ < n) Refill();
    if (count_ < n) throw ETIFFError("CCITT data ends before the last row");
    acc_ <<= n;
    count_ -= n;
  }
  bool AtEnd() {
    Refill();
    return count_ == 0;
  }
  // Skips to the next multiple of `unit` bits from the strip's start (the
  // end of the data at most).
  void Align(unsigned unit) {
    Refill();
    const std::uint64_t position = std::uint64_t{src_.offset()} * 8 - count_;
    const int skip = static_cast<int>((unit - position % unit) % unit);
    if (skip <= count_) {
      Consume(skip);
    } else {
      acc_ = 0;
      count_ = 0;
    }
  }

 private:
  void Refill() {
    while (count_ <= 56 && !src_.at_end()) {
      acc_ |= std::uint64_t{src_.u8()} << (56 - count_);
      count_ += 8;
    }
  }

  ByteReader src_;
  std::uint64_t acc_ = 0;  // unread bits, left-aligned
  int count_ = 0;          // number of valid bits in acc_
};

// --- Row decoding ---

class RowDecoder {
 public:
  RowDecoder(std::span<const std::uint8_t> in, const CcittParams& p)
      : bits_(in), p_(p), tables_(CodeTables()) {
    // The row before the first one is white: no changing elements.
    SetReferenceFromCurrent();
  }

  void DecodeStrip(std::span<std::uint8_t> out) {
    for (row_ = 0; row_ < p_.rows; ++row_) {
      std::uint8_t* line = out.data() + std::size_t{row_} * p_.row_bytes;
      std::memset(line, 0, p_.row_bytes);
      line_ = line;
      current_.clear();
      switch (p_.coding) {
        case CcittCoding::ModifiedHuffman:
          DecodeOneDimensional();
          bits_.Align(8);
          break;
        case CcittCoding::ModifiedHuffmanWord:
          DecodeOneDimensional();
          bits_.Align(16);
          break;
        case CcittCoding::Group3: {
          SkipEol();
          bool one_d = true;
          if (p_.two_dimensional) {
            one_d = bits_.Peek(1) == 1;
            bits_.Consume(1);
          }
          if (one_d)
            DecodeOneDimensional();
          else
            DecodeTwoDimensional();
          break;
        }
      }
      SetReferenceFromCurrent();
    }
  }

 private:
  // An EOL is at least 11 zero bits and a one; fill bits (T4Options bit 2)
  // only add zeros before it. No run or mode code starts with more than seven
  // zeros, so eight or more zeros can only lead into an EOL.
  void SkipEol() {
    if (bits_.Peek(11) != 0) return;
    int zeros = 0;
    while (bits_.Peek(1) == 0) {
      bits_.Consume(1);  // raises at the end of the data
      ++zeros;
    }
    if (zeros < 11) Damaged(row_, "short EOL code");
    bits_.Consume(1);
  }

  // One run of `colour`: make-up codes followed by a terminating code, at most
  // `limit` pixels in all.
  std::uint32_t ReadRun(int colour, std::uint32_t limit) {
    const std::vector<RunEntry>& table = colour == 0 ? tables_.white : tables_.black;
    std::uint32_t total = 0;
    for (;;) {
      const RunEntry e = table[bits_.Peek(kRunBits)];
      if (e.len == 0) {
        if (bits_.AtEnd()) throw ETIFFError("CCITT data ends before the last row");
        if (bits_.Peek(12) == 0x00F)  // 000000001111: 1D uncompressed mode
          throw ETIFFError("CCITT uncompressed mode is not supported");
        Damaged(row_, bits_.Peek(8) == 0 ? "EOL inside a row" : "invalid run code");
      }
      bits_.Consume(e.len);
      if (e.run > limit - total) Damaged(row_, "run past the end of the row");
      total += e.run;
      if (e.run < 64) return total;
    }
  }

  // T.4 section 4.1: alternating white and black runs, white first.
  void DecodeOneDimensional() {
    std::uint32_t a0 = 0;
    int colour = 0;
    while (a0 < p_.width) {
      const std::uint32_t run = ReadRun(colour, p_.width - a0);
      Fill(a0, a0 + run, colour);
      a0 += run;
      ChangeColour(a0, colour);
    }
  }

  // T.4 section 4.2: each changing element a1 of the row is coded relative to
  // b1, the first changing element of the reference row right of a0 with the
  // colour opposite to a0's; b2 is the next changing element after b1.
  // reference_ lists the reference row's changing elements; an even index is a
  // change to black, an odd one to white; it ends with three entries `width`.
  void DecodeTwoDimensional() {
    const std::uint32_t width = p_.width;
    std::int64_t a0 = -1;  // imaginary white element before the row
    int colour = 0;
    std::size_t j = 0;  // first reference element right of a0
    while (a0 < static_cast<std::int64_t>(width)) {
      while (static_cast<std::int64_t>(reference_[j]) <= a0)
        ++j;
      // b1 has the colour opposite to a0's: changes to black (even indices)
      // while a0 is white.
      const std::size_t b1i = (j & 1) == static_cast<std::size_t>(colour) ? j : j + 1;
      const std::uint32_t b1 = reference_[b1i];
      const std::uint32_t b2 = reference_[b1i + 1];
      const std::uint32_t start = a0 < 0 ? 0 : static_cast<std::uint32_t>(a0);

      const ModeEntry m = tables_.modes[bits_.Peek(kModeBits)];
      switch (m.mode) {
        case Mode::Pass:
          bits_.Consume(m.len);
          Fill(start, b2, colour);
          a0 = b2;
          break;
        case Mode::Horizontal: {
          bits_.Consume(m.len);
          const std::uint32_t r1 = ReadRun(colour, width - start);
          const std::uint32_t a1 = start + r1;
          const std::uint32_t r2 = ReadRun(colour ^ 1, width - a1);
          const std::uint32_t a2 = a1 + r2;
          Fill(start, a1, colour);
          ChangeColour(a1, colour);
          Fill(a1, a2, colour);
          ChangeColour(a2, colour);
          a0 = a2;
          break;
        }
        case Mode::Vertical: {
          bits_.Consume(m.len);
          const std::int64_t a1 = std::int64_t{b1} + m.delta;
          if (a1 < start || a1 > width) Damaged(row_, "vertical mode outside the row");
          Fill(start, static_cast<std::uint32_t>(a1), colour);
          a0 = a1;
          ChangeColour(static_cast<std::uint32_t>(a1), colour);
          break;
        }
        case Mode::Extension:
          if (bits_.Peek(10) == 0x00F)  // 0000001111: uncompressed mode
            throw ETIFFError("CCITT uncompressed mode is not supported");
          Damaged(row_, "unknown extension code");
        case Mode::Zeros:
          if (bits_.AtEnd()) throw ETIFFError("CCITT data ends before the last row");
          Damaged(row_, "EOL inside a row");
        case Mode::Invalid:
          Damaged(row_, "invalid mode code");
      }
    }
  }

  // Sets the 1 bits of black pixels [from, to); white pixels stay 0.
  void Fill(std::uint32_t from, std::uint32_t to, int colour) {
    if (colour == 0 || from >= to) return;
    std::uint32_t x = from;
    while (x < to && (x & 7) != 0) {
      line_[x >> 3] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
      ++x;
    }
    const std::uint32_t whole_end = to & ~7u;
    if (x < whole_end) {
      std::memset(line_ + (x >> 3), 0xFF, (whole_end - x) >> 3);
      x = whole_end;
    }
    for (; x < to; ++x)
      line_[x >> 3] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
  }

  // Records the changing element at `pos` (the colour switches there). A
  // change back at the position of the last one cancels it, so the list stays
  // strictly increasing and its parity keeps following the colour.
  void ChangeColour(std::uint32_t pos, int& colour) {
    colour ^= 1;
    if (pos >= p_.width) return;
    if (!current_.empty() && current_.back() == pos)
      current_.pop_back();
    else
      current_.push_back(pos);
  }

  void SetReferenceFromCurrent() {
    reference_.assign(current_.begin(), current_.end());
    reference_.insert(reference_.end(), 3, p_.width);
  }

  BitReader bits_;
  const CcittParams& p_;
  const Tables& tables_;
  std::uint32_t row_ = 0;
  std::uint8_t* line_ = nullptr;
  std::vector<std::uint32_t> current_;
  std::vector<std::uint32_t> reference_;
};

}  // namespace

std::uint64_t CcittMinStripBytes(const CcittParams& params) {
  if (params.rows == 0) return 0;
  const std::uint64_t rows = params.rows;
  // Run codes: sum(runs) = width and no code has more pixels per bit.
  const std::uint64_t one_d = std::max<std::uint64_t>(
      kShortestWhiteCode,
      (std::uint64_t{params.width} * kBestRun.bits + kBestRun.run - 1) / kBestRun.run);
  auto aligned = [&](std::uint64_t unit) {
    // Every row but the last fills whole units; the data may end right after
    // the last row's codes.
    return (rows - 1) * ((one_d + unit - 1) / unit * unit) + one_d;
  };
  std::uint64_t bits = 0;
  switch (params.coding) {
    case CcittCoding::ModifiedHuffman:
      bits = aligned(8);
      break;
    case CcittCoding::ModifiedHuffmanWord:
      bits = aligned(16);
      break;
    case CcittCoding::Group3:
      bits = rows * (params.two_dimensional ? kMinTwoDimensionalRowBits : one_d);
      break;
  }
  return (bits + 7) / 8;
}

void DecodeCcitt(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 const CcittParams& params) {
  if (params.width == 0 || params.row_bytes < (std::size_t{params.width} + 7) / 8 ||
      out.size() / params.row_bytes < params.rows)
    throw ETIFFError("CCITT strip geometry is invalid");
  if (in.size() < CcittMinStripBytes(params))
    throw ETIFFError("CCITT data is too short for the declared rows");
  RowDecoder decoder(in, params);
  decoder.DecodeStrip(out);
}

}  // namespace skalo::tiff
