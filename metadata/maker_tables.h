// Tag tables of the camera makers' private directories (the MakerNote entry,
// EXIF 2.2 section 4.6.5, tag 0x927C). Each row names a tag and may carry a
// code table ("number:text" pairs separated by commas); none has a pattern
// or a decoder. A row named "Skip" (in any letter case) marks a tag that is
// read past without an entry. Label repeats the name.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "metadata/exif_tags.h"

namespace skalo {

extern const std::span<const TTagRow> kNikonOldTags;
extern const std::span<const TTagRow> kNikonNewTags;
extern const std::span<const TTagRow> kOlympusTags;
extern const std::span<const TTagRow> kCasioTags;
extern const std::span<const TTagRow> kFujiTags;
extern const std::span<const TTagRow> kCanonTags;
extern const std::span<const TTagRow> kSeikoTags;
extern const std::span<const TTagRow> kSanyoTags;
extern const std::span<const TTagRow> kMinoltaTags;

inline constexpr std::size_t kNikonOldTagRows = 11;
inline constexpr std::size_t kNikonNewTagRows = 28;
inline constexpr std::size_t kOlympusTagRows = 33;
inline constexpr std::size_t kCasioTagRows = 26;
inline constexpr std::size_t kFujiTagRows = 18;
inline constexpr std::size_t kCanonTagRows = 16;
inline constexpr std::size_t kSeikoTagRows = 12;
inline constexpr std::size_t kSanyoTagRows = 6;
inline constexpr std::size_t kMinoltaTagRows = 2;

// True for the rows whose tags are read past: name "Skip" in any case.
bool IsSkipRow(std::string_view name) noexcept;

}  // namespace skalo
