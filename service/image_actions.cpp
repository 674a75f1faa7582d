// The image actions: /bin answers the resized image, /xml the XML result
// document. Both keep their answers in the result cache.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "engine/skalo.h"
#include "imaging/graphic.h"
#include "service/convert.h"
#include "service/webmodule.h"

namespace skalo {

namespace {

// Content types of cached images, by the extension the request gave; the
// letter case counts, and an unknown extension sends no Content-Type.
std::string CachedContentType(const std::string& ext) {
  if (ext == ".gif") return "image/gif";
  if (ext == ".png") return "image/png";
  if (ext == ".bmp") return "image/bmp";
  if (ext == ".tga") return "image/targa";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  return std::string();
}

// "filename=\"name\"", with quotes inside the name escaped for the header.
std::string Disposition(const std::string& name) {
  std::string quoted;
  for (char c : name) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return "filename=\"" + quoted + "\"";
}

std::string Lower(const TFieldList& fields, const char* name) {
  return LowerCaseAscii(fields.Value(name));
}

// Writes a cache file so that readers never see it half-written: the bytes go
// to a private file in the same folder, which then replaces the entry at once.
void WriteCacheFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  try {
    WriteWholeFile(temp, bytes, path);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw EFCreateError("Cannot create file \"" + path + "\". " + SysErrorMessage(err));
  }
}

// A cached XML document, its lines (ended by CR, LF or CR LF) each followed by CR LF.
std::string ReadCachedText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  std::string text;
  text.reserve(bytes.size() + 2);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t c = bytes[i++];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i < bytes.size() && bytes[i] == '\n') ++i;
      text += "\r\n";
    } else {
      text += static_cast<char>(c);
    }
  }
  if (!bytes.empty() && bytes.back() != '\r' && bytes.back() != '\n') text += "\r\n";
  return text;
}

}  // namespace

std::string TWebModule1::PrepareImage(TWebRequest& request) {
  if (!SettingsLoaded) LoadSettings();
  TFieldList& fields = request.ContentFields();
  std::string source = ResolvePath(fields.Value("Image"));
  if (!FileExists(source) && !DefaultImage.empty()) {
    // From here on the request names the default image, so all missing
    // images with the same other fields share one cache entry. The path is
    // already resolved and is used as it stands.
    fields.SetValue("Image", DefaultImage);
    source = DefaultImage;
  }
  return source;
}

bool TWebModule1::CacheUsable() const {
  // An empty cache folder would put files at the file-system root.
  return SkaloCacheEnabled && !SkaloCachePath.empty();
}

void TWebModule1::FillJob(TSkalo& job, const TFieldList& fields, bool from_xml) const {
  job.SetWidth(StrToIntDef(fields.Value("Width"), -1));
  job.SetHeight(StrToIntDef(fields.Value("Height"), -1));
  job.SetCompression(StrToIntDef(fields.Value("Compression"), -1));
  job.SetMaxWidth(MaxWidth);
  job.SetMaxHeight(MaxHeight);
  job.SetOutput(fields.Value("Output"));
  job.SetAutoRotate(Lower(fields, "AutoRotate") != "false");
  job.SetWhitespace(Lower(fields, "Whitespace") == "true");
  job.SetRotation(StrToIntDef(fields.Value("Rotation"), 0));
  job.SetProcessEXIF(Lower(fields, "ProcessExif") != "false");
  job.SetProcessBinary(!from_xml || Lower(fields, "ProcessBinary") != "false");
  job.SetBackgroundColorHTML(Lower(fields, "bgcolor"));
}

void TWebModule1::WebModule1binAction(TWebRequest& request, TWebResponse& response, bool&) {
  const std::string source = PrepareImage(request);
  TFieldList& fields = request.ContentFields();
  const bool forced = Lower(fields, "ForceNewCache") == "true";
  const std::string image = fields.Value("Image");
  const std::string ext = ExtractFileExt(image);
  const bool cache = CacheUsable();

  if (cache && !forced) {
    const std::string path = CacheFileName(fields.Text()) + ext;
    if (FileExists(path)) {
      auto bytes = ReadWholeFile(path);
      response.SetContentType(CachedContentType(ext));
      response.SetCustomHeader("Content-Disposition", Disposition(ExtractFileName(image)));
      response.SetContentStream(std::make_unique<TMemoryStream>(std::move(bytes)));
      response.SendResponse();
      return;
    }
  }

  TSkalo job;
  FillJob(job, fields, false);
  std::unique_ptr<TGraphic> result;
  job.doResize(result, source);
  if (job.ErrorCode() != 0) {
    response.SetContentType("text/plain");
    response.SetCustomHeader("Content-Disposition", "filename=\"SkaloResizer.html\"");
    response.SetContent(job.ErrorText());
    response.SetStatusCode(500);
    response.SendResponse();
    return;
  }

  auto stream = std::make_unique<TMemoryStream>();
  result->SaveToStream(*stream);
  result.reset();
  stream->SetPosition(0);
  // The entry is written before the answer, so a failed write is the answer.
  if (cache) WriteCacheFile(CacheFileName(fields.Text()) + ext, stream->Bytes());
  response.SetContentType(job.Mime());
  response.SetCustomHeader("Content-Disposition", Disposition(ExtractFileName(job.Image())));
  response.SetContentStream(std::move(stream));
}

void TWebModule1::WebModule1WebActionItem1Action(TWebRequest& request, TWebResponse& response,
                                                 bool&) {
  const std::string source = PrepareImage(request);
  TFieldList& fields = request.ContentFields();
  const bool forced = Lower(fields, "ForceNewCache") == "true";
  const bool cache = CacheUsable();

  std::string answer;
  bool cached = false;
  if (cache && !forced) {
    const std::string path = CacheFileName(fields.Text()) + ".xml";
    if (FileExists(path)) {
      answer = ReadCachedText(path);
      cached = true;
    }
  }
  if (!cached) {
    TSkalo job;
    FillJob(job, fields, true);
    job.SetImage(source);
    answer = job.doResizeXML(source);
    if (job.ErrorCode() != 0) {
      // Failures are answered, never cached: a repetition computes them again.
      answer = job.ErrorXML();
      response.SetStatusCode(500);
    } else if (cache) {
      const std::string stored = answer + "\r\n";
      WriteCacheFile(
          CacheFileName(fields.Text()) + ".xml",
          std::span(reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size()));
    }
  }
  response.SetContentType("text/xml");
  response.SetCustomHeader("Content-Disposition", "filename=\"SkaloResizer.xml\"");
  response.SetContent(std::move(answer));
}

}  // namespace skalo
