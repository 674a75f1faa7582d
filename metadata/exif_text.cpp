// The two renderings of parsed EXIF data: a short summary of file and photo,
// and the whole entry list as an XML fragment.
#include <ctime>

#include "metadata/exif_info.h"
#include "metadata/img_data.h"

namespace skalo {

namespace {

constexpr char kLineBreak[] = "\r\n";

// The file's date in local time as YYYY-MM-DD.
std::string DateOnly(std::time_t stamp) {
  std::tm local{};
  if (!localtime_r(&stamp, &local)) return std::string();
  char buf[32];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
  return std::string(buf, n);
}

// The element name of an entry: blanks and "/" become "_", letters lower
// case. Characters that XML does not allow in a name (XML 1.0, section 2.3)
// become "_" too, and a name that does not start with a letter or "_" gets
// one in front, so that maker names such as "??" still give well-formed
// elements.
std::string ElementName(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c >= 'A' && c <= 'Z')
      out += static_cast<char>(c - 'A' + 'a');
    else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.')
      out += c;
    else
      out += '_';
  }
  if (out.empty() || !((out[0] >= 'a' && out[0] <= 'z') || out[0] == '_')) out.insert(0, 1, '_');
  return out;
}

// Escapes a value for element content: "&", "<", ">" as entities, the byte
// 0xFF as a blank, the text cut before its first zero byte, and other
// control characters but tab, LF and CR (not allowed in XML 1.0 text,
// section 2.2) as ".".
std::string XmlValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0) break;
    switch (u) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case 0xFF:
        out += ' ';
        break;
      default:
        out += (u < 32 && u != '\t' && u != '\n' && u != '\r') ? '.' : c;
        break;
    }
  }
  return out;
}

}  // namespace

std::string TImageInfo::SummaryText() const {
  const TimgData& data = container_;
  if (!data.HasExif()) return std::string();
  const std::string file_name = ExtractFileName(data.SourcePath());
  if (data.StatusText() != kStatusNone)
    return "File Name: " + file_name + kLineBreak + "Exif Error: " + data.StatusText();

  std::string text = "File Name: " + file_name;
  const auto line = [&text](std::string_view label, const std::string& content) {
    text += kLineBreak;
    text += label;
    text += content;
  };
  line("File Size: ", std::to_string(data.SourceBytes() / 1024) + "k");
  line("File Date: ", DateOnly(data.SourceStamp()));
  line("Photo Date: ", date_text_);
  line("Make (Model): ", make_text_ + " (" + model_text_ + ")");
  line("Dimensions: ", std::to_string(pixel_width_) + " x " + std::to_string(pixel_height_));
  std::string exposure = EntryValue("ExposureTime");
  if (exposure.empty()) exposure = EntryValue("ShutterSpeedValue");
  if (!exposure.empty()) line("Exposure Time: ", exposure);
  for (const auto& [label, name] :
       {std::pair<std::string_view, std::string_view>{"Focal Length: ", "FocalLength"},
        {"Focal Length (35mm): ", "FocalLengthin35mmFilm"},
        {"FNumber: ", "FNumber"},
        {"ISO: ", "ISOSpeedRatings"}}) {
    const std::string value = EntryValue(name);
    if (!value.empty()) line(label, value);
  }
  line("Flash: ", (flash_value_ & 1) != 0 ? "Yes" : "No");
  return text;
}

std::vector<std::string> TImageInfo::XmlLines(std::int32_t indent) const {
  const std::string pad(static_cast<std::size_t>(indent > 0 ? indent : 0), ' ');
  std::vector<std::string> lines;
  lines.reserve(entries_.size() * 3 + 2);
  lines.emplace_back("<exifdata>");
  for (const TTagEntry& entry : entries_) {
    const std::string name = ElementName(entry.Name);
    lines.push_back(pad + "  <" + name + ">");
    lines.push_back(pad + pad + "  " + XmlValue(entry.ValueText));
    lines.push_back(pad + "  </" + name + ">");
  }
  lines.push_back(pad + "</exifdata>");
  return lines;
}

}  // namespace skalo
