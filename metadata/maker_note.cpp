// Maker notes: the camera maker's private directory inside the MakerNote
// entry (EXIF 2.2, section 4.6.5, tag 0x927C).
#include "metadata/exif_info.h"

namespace skalo {

// The note's bytes are in MakerNote() and their block offset in
// MakerNotePos(). No maker format is read yet, so no entries are added.
void TImageInfo::ReadMakerNote() {}

}  // namespace skalo
