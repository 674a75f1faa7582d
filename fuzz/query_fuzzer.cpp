// Query strings: field splitting, decoding and the list operations.
#include <cstdint>
#include <string_view>

#include "service/web.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view query(reinterpret_cast<const char*>(data), size);
  try {
    skalo::TFieldList list = skalo::TFieldList::FromQuery(query);
    list.Value("Image");
    list.SetValue("Image", "x");
    list.Text();
  } catch (const skalo::Exception&) {
  }
  return 0;
}
