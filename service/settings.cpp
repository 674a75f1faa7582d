// Settings read from SkaloSettings.xml beside the module.
#include "service/settings.h"

#include <pugixml.hpp>

#include "service/convert.h"
#include "service/module_path.h"

namespace skalo {

namespace {

// All text and character data inside `node`, in document order.
std::string TextContent(const pugi::xml_node& node) {
  std::string text;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    switch (child.type()) {
      case pugi::node_pcdata:
      case pugi::node_cdata:
        text += child.value();
        break;
      case pugi::node_element:
        text += TextContent(child);
        break;
      default:
        break;
    }
  }
  return text;
}

// A positive limit, or `fallback` for text that is no positive number.
std::uint64_t Limit(const std::string& text, std::uint64_t fallback) {
  const std::int32_t value = StrToIntDef(text, -1);
  return value > 0 ? static_cast<std::uint64_t>(value) : fallback;
}

}  // namespace

TSkaloSettings ParseSettings(const std::string& xml, const TPathResolver& resolve) {
  TSkaloSettings s;
  pugi::xml_document document;
  // Whitespace-only text counts as a value; bytes are taken as they are.
  const pugi::xml_parse_result parsed = document.load_buffer(
      xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration,
      pugi::encoding_utf8);
  if (!parsed) throw Exception("Parser error.");

  const TSkaloSettings defaults;
  const pugi::xml_node root = document.document_element();
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    const std::string name = child.name();
    const std::string text = TextContent(child);
    if (name == "maxwidth") {
      s.MaxWidth = StrToIntDef(text, -1);
    } else if (name == "maxheight") {
      s.MaxHeight = StrToIntDef(text, -1);
    } else if (name == "skalocachepath") {
      s.SkaloCachePath = resolve(text);
    } else if (name == "skalocacheenabled") {
      s.SkaloCacheEnabled = StrToBool(text);
    } else if (name == "usecachesubfolders") {
      s.UseCacheSubfolders = StrToBool(text);
    } else if (name == "defaultimage") {
      s.DefaultImage = resolve(text);
    } else if (name == "maxsourcepixels") {
      s.MaxSourcePixels = Limit(text, defaults.MaxSourcePixels);
    } else if (name == "maxoutputpixels") {
      s.MaxOutputPixels = Limit(text, defaults.MaxOutputPixels);
    } else if (name == "maxsourcebytes") {
      s.MaxSourceBytes = Limit(text, defaults.MaxSourceBytes);
    } else if (name == "memorybudgetmb") {
      s.MemoryBudgetMB = Limit(text, defaults.MemoryBudgetMB);
    } else if (name == "autoorient") {
      s.AutoOrient = StrToBool(text);
    } else if (name == "keeptransparency") {
      s.KeepTransparency = StrToBool(text);
    } else if (name == "cachecontrol") {
      s.CacheControl = text;
    } else if (name == "maxcachemb") {
      s.MaxCacheMB = Limit(text, 0);
    } else if (name == "signingkey") {
      s.SigningKey = text;
    }
  }
  return s;
}

TSettingsStore::TSettingsStore(std::string directory) : directory_(std::move(directory)) {}

std::shared_ptr<const TSkaloSettings> TSettingsStore::Current() const {
  std::lock_guard<std::mutex> guard(lock_);
  return current_;
}

std::string TSettingsStore::Directory() const {
  std::lock_guard<std::mutex> guard(lock_);
  return directory_.empty() ? ModuleDirectory() : directory_;
}

void TSettingsStore::SetDirectory(std::string directory) {
  std::lock_guard<std::mutex> guard(lock_);
  directory_ = std::move(directory);
}

std::shared_ptr<const TSkaloSettings> TSettingsStore::Load(const TPathResolver& resolve) {
  const std::vector<std::uint8_t> bytes = ReadWholeFile(Directory() + "SkaloSettings.xml");
  auto fresh = std::make_shared<const TSkaloSettings>(
      ParseSettings(std::string(bytes.begin(), bytes.end()), resolve));
  std::lock_guard<std::mutex> guard(lock_);
  current_ = fresh;
  return fresh;
}

}  // namespace skalo
