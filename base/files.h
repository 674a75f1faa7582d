// Whole-file helpers with the system's messages, and path parts. Paths are
// 8-bit text; a path holding a NUL byte names no file (the system call would
// see only the text before it).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace skalo {

// The largest file ReadWholeFile takes unless told otherwise: 1 GiB.
inline constexpr std::uint64_t kMaxReadFileBytes = std::uint64_t{1} << 30;

// Reads a whole regular file. Failures: EFOpenError "Cannot open file ...";
// EFileTooLarge "Source image too large" for a file above `max_bytes`
// (checked before anything is read).
std::vector<std::uint8_t> ReadWholeFile(const std::string& path,
                                        std::uint64_t max_bytes = kMaxReadFileBytes);
// Creates or replaces a file: EFCreateError "Cannot create file ..." or
// EStreamError "Stream write error". `shown_name`, when not empty, is the
// file name the messages give instead of `path`.
void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    const std::string& shown_name = std::string());

// True when a regular file (not a folder) exists at `path`.
bool FileExists(const std::string& path);
// True when a folder exists at `path`.
bool DirectoryExists(const std::string& path);

// Path parts. "/", backslash and ":" all separate folders from the file name.
// The file name part: the text after the last separator.
std::string ExtractFileName(const std::string& path);
// The extension: from the last "." after the last separator, dot included;
// empty when there is none.
std::string ExtractFileExt(const std::string& path);

}  // namespace skalo
