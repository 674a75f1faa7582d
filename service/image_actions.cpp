// The image actions: /bin answers the resized image, /xml the XML result
// document. Both keep their answers in the result cache.
#include <cstdio>

#include "base/http_fields.h"
#include "engine/memory_budget.h"
#include "engine/skalo.h"
#include "imaging/graphic.h"
#include "service/convert.h"
#include "service/md5.h"
#include "service/module_metrics.h"
#include "service/result_cache.h"
#include "service/signing.h"
#include "service/webmodule.h"

namespace skalo {

namespace {

constexpr std::int32_t kInvalidFieldCode = 1010;

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

// A field holding a control byte sets the job's error 1010 before anything
// else runs: nothing is read, computed or cached. Answers whether it did.
bool RefuseInvalidField(TWebRequest& request, TSkalo& job) {
  const auto name = request.ContentFields().FirstInvalidField();
  if (name) job.SetError(kInvalidFieldCode, "Invalid character in field " + *name);
  return name.has_value();
}

// The text form of a job's failure.
// A failed job's code and underlying reason, the file and the request, on
// the host's error log (stderr: skalo-httpd's error log, Apache's ErrorLog).
void LogJobFailure(const TSkalo& job, const std::string& query) {
  std::string line = "skalo: job failed with " + std::to_string(job.ErrorCode()) + " \"" +
                     ShowControlBytes(job.ErrorText()) + "\"";
  if (!job.ErrorReason().empty()) line += " (" + ShowControlBytes(job.ErrorReason()) + ")";
  line +=
      " file \"" + ShowControlBytes(job.Image()) + "\" query \"" + ShowControlBytes(query) + "\"\n";
  std::fputs(line.c_str(), stderr);
}

void SendJobError(TWebResponse& response, const TSkalo& job, int status) {
  response.SetContentType("text/plain");
  response.SetCustomHeader("Content-Disposition", "filename=\"SkaloResizer.html\"");
  response.SetContent(job.ErrorText());
  response.SetStatusCode(status);
  response.SendResponse();
}

// The validators of an answer: derived from the action, the cache key and the
// source's size and modification time, so that they change with any of them.
struct TValidators {
  std::string etag;
  std::string last_modified;
  std::int64_t modified = 0;  // seconds since the epoch
};

std::optional<TValidators> Validators(std::string_view action, const TFieldList& fields,
                                      const std::optional<TFileStamp>& source) {
  if (!source) return std::nullopt;
  TValidators v;
  std::string basis(action);
  basis += '\n';
  basis += TResultCache::KeyText(fields.Text());
  basis += '\n';
  basis += std::to_string(source->size);
  basis += '\n';
  basis += std::to_string(source->mtime_ns);
  v.etag.reserve(34);
  v.etag += '"';
  v.etag += MD5Hex(basis);
  v.etag += '"';
  v.modified = source->mtime_ns >= 0 ? source->mtime_ns / 1'000'000'000
                                     : -((-source->mtime_ns + 999'999'999) / 1'000'000'000);
  v.last_modified = HttpDateText(v.modified);
  return v;
}

void Label(TWebResponse& response, const std::optional<TValidators>& v) {
  if (!v) return;
  response.SetCustomHeader("ETag", v->etag);
  if (!v->last_modified.empty()) response.SetCustomHeader("Last-Modified", v->last_modified);
}

// A conditional request the client's copy satisfies: If-None-Match decides
// when present, If-Modified-Since otherwise. Forced requests always compute.
bool NotModified(const TWebRequest& request, const TFieldList& fields,
                 const std::optional<TValidators>& v) {
  if (!v || Lower(fields, "ForceNewCache") == "true") return false;
  const std::string if_none_match = request.ServerVariable("HTTP_IF_NONE_MATCH");
  if (!if_none_match.empty()) return EntityTagListMatches(if_none_match, v->etag);
  const auto since = ParseHttpDate(request.ServerVariable("HTTP_IF_MODIFIED_SINCE"));
  return since && *since >= v->modified;
}

// 304: the headers set so far and no body.
void SendNotModified(TWebResponse& response) {
  response.SetStatusCode(304);
  response.SetContentType("");
  response.SendResponse();
}

}  // namespace

bool TWebModule1::RefuseUnsigned(TWebRequest& request, TWebResponse& response,
                                 const TSkaloSettings& settings) {
  if (settings.SigningKey.empty()) return false;
  if (!SignatureValid(settings.SigningKey, request.Query())) {
    response.SetStatusCode(403);
    response.SetContentType("text/plain");
    response.SetContent("Missing or invalid signature.");
    response.SendResponse();
    return true;
  }
  TFieldList& fields = request.ContentFields();
  for (std::size_t count = fields.Count();;) {
    fields.SetValue("Signature", "");
    if (fields.Count() == count) break;
    count = fields.Count();
  }
  return false;
}

std::string TWebModule1::PrepareImage(TWebRequest& request, const TSkaloSettings& settings) {
  TFieldList& fields = request.ContentFields();
  std::string source = MapRequestPath(fields.Value("Image"));
  if (!FileExists(source) && !settings.DefaultImage.empty()) {
    // From here on the request names the default image, so all missing
    // images with the same other fields share one cache entry. The path is
    // already resolved and is used as it stands.
    fields.SetValue("Image", settings.DefaultImage);
    source = settings.DefaultImage;
  }
  return source;
}

void TWebModule1::FillJob(TSkalo& job, const TFieldList& fields, const TSkaloSettings& settings,
                          bool from_xml) {
  job.SetWidth(StrToIntDef(fields.Value("Width"), -1));
  job.SetHeight(StrToIntDef(fields.Value("Height"), -1));
  job.SetCompression(StrToIntDef(fields.Value("Compression"), -1));
  job.SetMaxWidth(settings.MaxWidth);
  job.SetMaxHeight(settings.MaxHeight);
  job.SetOutput(fields.Value("Output"));
  job.SetAutoRotate(Lower(fields, "AutoRotate") != "false");
  job.SetWhitespace(Lower(fields, "Whitespace") == "true");
  job.SetRotation(StrToIntDef(fields.Value("Rotation"), 0));
  job.SetProcessEXIF(Lower(fields, "ProcessExif") != "false");
  job.SetProcessBinary(!from_xml || Lower(fields, "ProcessBinary") != "false");
  job.SetBackgroundColorHTML(Lower(fields, "bgcolor"));
  job.SetAutoOrient(settings.AutoOrient);
  job.SetKeepTransparency(settings.KeepTransparency);
  TJobLimits limits;
  limits.max_source_pixels = settings.MaxSourcePixels;
  limits.max_output_pixels = settings.MaxOutputPixels;
  limits.max_source_bytes = settings.MaxSourceBytes;
  limits.budget = &TMemoryBudget::Process();
  limits.budget->SetCapacity(settings.MemoryBudgetMB << 20);
  job.SetLimits(limits);
}

void TWebModule1::WebModule1binAction(TWebRequest& request, TWebResponse& response, bool&) {
  const auto settings = Settings();
  if (RefuseUnsigned(request, response, *settings)) return;
  TSkalo job;
  if (RefuseInvalidField(request, job)) return SendJobError(response, job, 400);
  const std::string source = PrepareImage(request, *settings);
  const TFieldList& fields = request.ContentFields();
  const std::string image = fields.Value("Image");
  const std::string ext = ExtractFileExt(image);
  const TResultCache cache(*settings);
  const auto stamp = TFileStamp::Of(source);
  const auto validators = Validators("bin", fields, stamp);
  // Image answers (not their failures) carry the configured caching rules.
  const auto label = [&] {
    Label(response, validators);
    if (!settings->CacheControl.empty())
      response.SetCustomHeader("Cache-Control", settings->CacheControl);
  };
  if (NotModified(request, fields, validators)) {
    label();
    return SendNotModified(response);
  }

  const auto answer_hit = [&] {
    auto hit = cache.FindImage(fields.Text(), ext, stamp);
    if (!hit) return false;
    CountCacheHit();
    response.SetContentType(hit->content_type);
    response.SetCustomHeader("Content-Disposition", Disposition(ExtractFileName(image)));
    label();
    response.SetContentFile(std::move(hit->file));
    response.SendResponse();
    return true;
  };
  // Identical requests compute once: the others wait for the owner's entry.
  TResultCache::TClaim claim;
  if (Lower(fields, "ForceNewCache") != "true") {
    if (answer_hit()) return;
    claim = cache.Claim(fields.Text(), ext, stamp);
    if (!claim.Owner() && answer_hit()) return;
  }

  if (cache.Usable()) CountCacheMiss();
  FillJob(job, fields, *settings, false);
  std::unique_ptr<TGraphic> result;
  job.doResize(result, source);
  if (job.ErrorCode() != 0) {
    CountFailedJob();
    LogJobFailure(job, request.Query());
    return SendJobError(response, job, 500);
  }

  auto stream = std::make_unique<TMemoryStream>();
  result->SaveToStream(*stream);
  result.reset();
  stream->SetPosition(0);
  // The entry is written before the answer, so a failed write is the answer.
  cache.StoreImage(fields.Text(), ext, stream->Bytes());
  response.SetContentType(job.Mime());
  response.SetCustomHeader("Content-Disposition", Disposition(ExtractFileName(job.Image())));
  label();
  response.SetContentStream(std::move(stream));
}

void TWebModule1::WebModule1WebActionItem1Action(TWebRequest& request, TWebResponse& response,
                                                 bool&) {
  const auto settings = Settings();
  if (RefuseUnsigned(request, response, *settings)) return;
  response.SetContentType("text/xml");
  response.SetCustomHeader("Content-Disposition", "filename=\"SkaloResizer.xml\"");
  TSkalo job;
  if (RefuseInvalidField(request, job)) {
    response.SetStatusCode(400);
    response.SetContent(job.ErrorXML());
    return;
  }
  const std::string source = PrepareImage(request, *settings);
  TFieldList& fields = request.ContentFields();
  const TResultCache cache(*settings);
  const auto stamp = TFileStamp::Of(source);
  const auto validators = Validators("xml", fields, stamp);
  if (NotModified(request, fields, validators)) {
    Label(response, validators);
    return SendNotModified(response);
  }

  const auto answer_hit = [&] {
    auto hit = cache.FindXml(fields.Text(), stamp);
    if (!hit) return false;
    CountCacheHit();
    Label(response, validators);
    response.SetContent(std::move(*hit));
    return true;
  };
  TResultCache::TClaim claim;
  if (Lower(fields, "ForceNewCache") != "true") {
    if (answer_hit()) return;
    claim = cache.Claim(fields.Text(), ".xml", stamp);
    if (!claim.Owner() && answer_hit()) return;
  }
  if (cache.Usable()) CountCacheMiss();
  FillJob(job, fields, *settings, true);
  job.SetImage(source);
  std::string answer = job.doResizeXML(source);
  if (job.ErrorCode() != 0) {
    CountFailedJob();
    LogJobFailure(job, request.Query());
    // Failures are answered, never cached: a repetition computes them again.
    answer = job.ErrorXML();
    response.SetStatusCode(500);
  } else {
    cache.StoreXml(fields.Text(), answer);
    Label(response, validators);
  }
  response.SetContent(std::move(answer));
}

}  // namespace skalo
