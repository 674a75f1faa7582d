// The whole job: query fields and the bytes of a source file, as /bin and
// /xml run them (validation, decoding, rotation, fit or pad, encoding, EXIF).
// The first line of the input is the query; the first byte after it picks the
// source's format, the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "engine/skalo.h"
#include "imaging/graphic.h"
#include "service/webmodule.h"

namespace {

constexpr const char* kExtensions[] = {".jpg", ".png", ".gif", ".bmp", ".tga", ".tif"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t eol = input.find('\n');
  if (eol == std::string_view::npos || eol + 1 >= input.size()) return 0;
  const std::string_view query = input.substr(0, eol);
  const char* ext = kExtensions[static_cast<std::uint8_t>(input[eol + 1]) % 6];
  const std::string_view file = input.substr(eol + 2);

  // Small limits keep every run fast while still reaching every limit check.
  skalo::TSkaloSettings settings;
  settings.MaxSourcePixels = 16'000'000;
  settings.MaxOutputPixels = 4'000'000;
  settings.MemoryBudgetMB = 512;
  try {
    const skalo::TFieldList fields = skalo::TFieldList::FromQuery(query);
    if (fields.FirstInvalidField()) return 0;
    const std::string path = "/tmp/skalo-pipeline-fuzz-" + std::to_string(::getpid()) + ext;
    std::ofstream(path, std::ios::binary)
        .write(file.data(), static_cast<std::streamsize>(file.size()));
    skalo::TSkalo job;
    const bool xml = !query.empty() && (query[0] & 1);
    skalo::TWebModule1::FillJob(job, fields, settings, xml);
    if (xml) {
      job.doResizeXML(path);
    } else {
      std::unique_ptr<skalo::TGraphic> result;
      job.doResize(result, path);
      if (result) {
        skalo::TMemoryStream out;
        result->SaveToStream(out);
      }
    }
    ::unlink(path.c_str());
  } catch (const skalo::Exception&) {
  }
  return 0;
}
