// TmsInfo: reads the camera maker's private directory inside the MakerNote
// entry (EXIF 2.2 section 4.6.5, tag 0x927C) of a parsed EXIF block and
// appends the recognised entries to the parser's entry list.
//
// The maker is told by the first five letters of the Make entry, upper-cased:
//
//   key      table                      directory at   value offsets
//   NIKON    NikonNew (form 1)          note + 18      from the note's own
//                                                      TIFF header (note + 10)
//   NIKON    NikonOld (form 2)          note + 8       TIFF header of the block
//   NIKON    NikonNew (form 3)          note + 0       TIFF header of the block
//   OLYMP    Olympus                    note + 8       TIFF header of the block
//   CASIO    Casio                      note + 0       TIFF header of the block
//   FUJIF    Fuji (little-endian)       note + 12      start of the note
//   CANON    Canon                      note + 0       TIFF header of the block
//   SEIKO    Seiko                      note + 8       TIFF header of the block
//   SANYO    Sanyo                      note + 8       TIFF header of the block
//   MINOL    Minolta                    note + 0       TIFF header of the block
//
// Nikon form 1 is the newer note with its own TIFF header: chosen when the
// ExifVersion is above "0210", or, for a TIFF source without ExifVersion,
// when the model's word after its first blank starts with "D". Form 2 is a
// note that begins with "Nikon"; anything else is read as form 3.
//
// Olympus values that do not lie inside the note are read from the EXIF
// block at the same offset; for the other makers such an entry is skipped.
//
// A short-lived object: the EXIF walk creates one when it meets the
// MakerNote entry and drops it right after.
#pragma once

#include "metadata/exif_info.h"

namespace skalo {

class TmsInfo {
 public:
  TmsInfo(bool from_tiff, TImageInfo& info) noexcept : from_tiff_(from_tiff), info_(info) {}

  // Walks the note of `Info()` (MakerNote() at MakerNotePos()) with its
  // maker's table. True when the maker was recognised and its note walked
  // (a walk that failed part-way included: its status is in the
  // container); false, reading nothing, for any other maker.
  bool ReadMakerNote();

  bool FromTiff() const noexcept { return from_tiff_; }
  TImageInfo& Info() const noexcept { return info_; }

 private:
  bool from_tiff_;
  TImageInfo& info_;
};

}  // namespace skalo
