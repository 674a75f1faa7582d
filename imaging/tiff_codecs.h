// Byte-oriented strip decoders of the TIFF reader: PackBits, LZW, Deflate
// and ThunderScan. Each fills exactly `out` (the strip's decoded size, derived
// from the declared dimensions) and never writes past it; data that ends
// before `out` is full raises ETIFFError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace skalo::tiff {

// PackBits (TIFF 6.0, section 9). Runs that reach past the strip's end are
// cut there; data after the last needed byte is ignored.
void DecodePackBits(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// LZW (TIFF compression 5, TIFF 6.0 section 13): codes of 9 to 12 bits
// packed most significant bit first, 256 the clear code, 257 the end code,
// table entries from 258 on; the code width grows one code early, when the
// next free entry is 511, 1023 or 2047. Data of the old form (codes packed
// least significant bit first, widths growing at 512, 1024 and 2048) is
// recognised by its first bytes, a clear code so packed. Once the table holds
// 4096 entries codes are read without adding more. The end code, or a full
// `out`, ends decoding; a code that is neither a literal, nor in the table,
// nor the next free entry raises ETIFFError. No code stream of n bytes
// decodes to more than LzwMaxOutput(n, 8) (imaging/gif_lzw.h): GIF's LZW of
// 8-bit pixels has the same table and widens its codes no earlier.
void DecodeLzw(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// Deflate in a zlib stream (TIFF compression 8 and 32946). Bytes after the
// strip's decoded size are not decompressed.
void DecodeDeflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// ThunderScan 4-bit gray: `rows` rows of `width` pixels, two pixels to a
// byte, high nibble first, rows of row_bytes bytes. Each row starts from
// pixel value 0; each code byte holds a two-bit code in its top bits:
//   00 nnnnnn  nnnnnn more pixels of the last value
//   01 aabbcc  up to three pixels, each the last value plus the 2-bit delta
//              0, +1, (none), -1
//   10 aaabbb  up to two pixels, each the last value plus the 3-bit delta
//              0, +1, +2, +3, (none), -3, -2, -1
//   11 xxvvvv  one pixel of value vvvv
// Pixel values wrap modulo 16. Pixels beyond a row's width are dropped.
void DecodeThunderScan(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                       std::uint32_t width, std::uint32_t rows, std::size_t row_bytes);

}  // namespace skalo::tiff
