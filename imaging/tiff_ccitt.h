// CCITT bilevel decoders of the TIFF reader: modified Huffman (TIFF
// compression 2 and 32771) and Group 3 one- and two-dimensional coding
// (compression 3), as ITU-T T.4 defines the codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace skalo::tiff {

enum class CcittCoding {
  ModifiedHuffman,      // compression 2: no EOL codes, each row byte-aligned
  ModifiedHuffmanWord,  // compression 32771: the same, each row 16-bit aligned
  Group3,               // compression 3: EOL codes, options from T4Options
};

struct CcittParams {
  CcittCoding coding = CcittCoding::Group3;
  // T4Options bit 0: rows may be two-dimensionally coded (each EOL is then
  // followed by a tag bit: 1 for a one-dimensional row, 0 for a 2D row).
  bool two_dimensional = false;
  std::uint32_t width = 0;    // pixels per row, > 0
  std::uint32_t rows = 0;     // rows in this strip
  std::size_t row_bytes = 0;  // output bytes per row, >= ceil(width / 8)
};

// Decodes one strip into `out` (rows * row_bytes bytes): one bit per pixel,
// leftmost pixel in the top bit, white runs as 0 bits and black runs as 1 bits
// (the photometric interpretation gives them their meaning). `in` must be in
// FillOrder 1 (reverse the bits of FillOrder 2 data first). The first row of a
// strip is referred to an all-white row. Damaged data, a run past the end of a
// row, data that ends before the last row, an EOL inside a row and the
// uncompressed mode extension raise ETIFFError; nothing is written outside
// `out`.
void DecodeCcitt(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 const CcittParams& params);

// The fewest bytes that can code a strip of params.rows rows of params.width
// pixels, at the codes' best ratio: a strip with fewer bytes cannot decode, so
// a reader refuses it before allocating its rows (DecodeCcitt refuses it too).
// One-dimensional rows need a bit for every 1664/6 pixels at best (the white
// make-up code of 1664 pixels is 6 bits) and 4 bits at least (the shortest
// white code), a modified Huffman row whole bytes or 16-bit words. A
// two-dimensional row needs its tag bit and one mode code of a bit (V0 from
// an all-white reference row covers any width), so 2 bits; its width is
// bounded only by the picture's. EOL codes are not counted: rows without them
// decode.
std::uint64_t CcittMinStripBytes(const CcittParams& params);

}  // namespace skalo::tiff
