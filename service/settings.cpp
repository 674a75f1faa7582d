// Settings of a module instance, read from SkaloSettings.xml beside the module.
#include <pugixml.hpp>

#include "service/convert.h"
#include "service/module_path.h"
#include "service/webmodule.h"

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

}  // namespace

std::string TWebModule1::SettingsDirectory() const {
  return settings_directory_.empty() ? ModuleDirectory() : settings_directory_;
}

void TWebModule1::LoadSettings() {
  MaxWidth = -1;
  MaxHeight = -1;
  SkaloCachePath.clear();
  SkaloCacheEnabled = false;
  UseCacheSubfolders = true;
  DefaultImage.clear();

  const std::vector<std::uint8_t> bytes = ReadWholeFile(SettingsDirectory() + "SkaloSettings.xml");
  pugi::xml_document document;
  // Whitespace-only text counts as a value; bytes are taken as they are.
  const pugi::xml_parse_result parsed = document.load_buffer(
      bytes.data(), bytes.size(),
      pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration, pugi::encoding_utf8);
  if (!parsed) throw Exception("Parser error.");

  const pugi::xml_node root = document.document_element();
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    const std::string name = child.name();
    if (name == "maxwidth") {
      MaxWidth = StrToIntDef(TextContent(child), -1);
    } else if (name == "maxheight") {
      MaxHeight = StrToIntDef(TextContent(child), -1);
    } else if (name == "skalocachepath") {
      SkaloCachePath = ResolvePath(TextContent(child));
    } else if (name == "skalocacheenabled") {
      SkaloCacheEnabled = StrToBool(TextContent(child));
    } else if (name == "usecachesubfolders") {
      UseCacheSubfolders = StrToBool(TextContent(child));
    } else if (name == "defaultimage") {
      DefaultImage = ResolvePath(TextContent(child));
    }
  }
  SettingsLoaded = true;
}

std::string TWebModule1::ResolvePath(const std::string& value) const {
  // Drive-letter and network-share paths are taken as they are; see the README
  // for how URL paths reach folders outside the document root.
  const std::size_t pair = value.find("\\\\");
  if (value.find(":\\") != std::string::npos || (pair != std::string::npos && pair >= 1))
    return value;
  if (!Request()) return std::string();
  return Request()->TranslateURI(value);
}

}  // namespace skalo
