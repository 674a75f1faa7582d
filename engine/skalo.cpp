#include "engine/skalo.h"

#include <algorithm>

#include "metadata/img_data.h"

namespace skalo {

// The metadata container exists for the job's whole life and is never replaced.
TSkalo::TSkalo() : img_data_(std::make_unique<TimgData>(255)) {
  Reset();
}

TSkalo::~TSkalo() = default;

void TSkalo::Reset() {
  whitespace_ = false;
  auto_rotate_ = false;
  process_exif_ = true;
  process_binary_ = true;
  width_ = -1;
  height_ = -1;
  max_width_ = -1;
  max_height_ = -1;
  compression_ = -1;
  error_code_ = 0;
  error_text_.clear();
  rotation_ = 0;
  background_color_ = 0xFFFFFF;
}

void TSkalo::SetError(std::int32_t code, const std::string& text) {
  error_code_ = code;
  error_text_ = text;
}

std::string TSkalo::ErrorXML() const {
  return "<root><errorcode>" + std::to_string(error_code_) + "</errorcode><errortext>" +
         HtmlEscape(error_text_) + "</errortext></root>";
}

namespace {

// One colour pair: its hexadecimal value, or 255 when it is empty or not hexadecimal.
std::uint32_t PairValue(const std::string& text, std::size_t start) {
  if (start >= text.size()) return 255;
  const std::size_t len = std::min<std::size_t>(2, text.size() - start);
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const int d = HexDigitValue(text[start + i]);
    if (d < 0) return 255;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return value;
}

}  // namespace

void TSkalo::SetBackgroundColorHTML(const std::string& value) {
  if (value.empty()) return;
  const std::string text = value[0] == '#' ? value.substr(1) : value;
  background_color_ = PairValue(text, 0) + PairValue(text, 2) * 256 + PairValue(text, 4) * 65536;
}

}  // namespace skalo
