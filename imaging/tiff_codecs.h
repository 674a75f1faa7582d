// Byte-oriented strip decoders of the TIFF reader: PackBits, Deflate and
// ThunderScan. Each fills exactly `out` (the strip's decoded size, derived
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
