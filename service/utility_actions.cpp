// The maintenance actions: /test, /loadsettings and /cachename.
#include "service/result_cache.h"
#include "service/webmodule.h"

namespace skalo {

namespace {

constexpr const char* kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";

// "<root>" with two indented element lines.
std::string XmlAnswer(const std::string& first, const std::string& second) {
  return std::string(kXmlDeclaration) + "<root>\r\n  " + first + "\r\n  " + second + "\r\n</root>";
}

const char* YesNo(bool value) {
  return value ? "Yes<br />" : "No<br />";
}

// Fields holding control bytes end these actions with the error page (400).
void RefuseInvalidFields(TWebRequest& request) {
  if (const auto name = request.ContentFields().FirstInvalidField())
    throw EHttpError(400, "Invalid character in field " + *name);
}

}  // namespace

void TWebModule1::WebModule1testAction(TWebRequest& request, TWebResponse& response, bool&) {
  RefuseInvalidFields(request);
  const auto settings = Settings();
  const TSkaloSettings& s = *settings;
  response.SetContentType("text/html");
  response.SetCustomHeader("Content-Disposition", "filename=\"Skalo.html\"");
  response.AppendContent(std::string("<b>") + kServiceVersion +
                         "</b><br />Is working fine!<br /><br />");
  response.AppendContent("<b>Settings</b><br />");
  response.AppendContent("<pre>MaxWidth:            " + std::to_string(s.MaxWidth) + "<br />");
  response.AppendContent("MaxHeight:           " + std::to_string(s.MaxHeight) + "<br />");
  response.AppendContent("SkaloCachePath:    \"" + s.SkaloCachePath + "\"<br />");
  response.AppendContent(std::string("SkaloCacheEnabled: ") + YesNo(s.SkaloCacheEnabled));
  response.AppendContent(std::string("UseCacheSubfolders: ") + YesNo(s.UseCacheSubfolders));
  response.AppendContent("DefaultImage:       \"" + s.DefaultImage + "\"<br />");
  response.AppendContent("</pre>");
  response.AppendContent("<p><a href=\"http://" + HtmlEscape(request.Host()) +
                         HtmlEscape(request.ScriptName()) + "/loadsettings\">Reload settings</p>");
  response.SendResponse();
}

void TWebModule1::WebModule1loadsettingsAction(TWebRequest& request, TWebResponse& response,
                                               bool&) {
  RefuseInvalidFields(request);
  try {
    LoadSettings();
  } catch (const Exception& e) {
    // Every instance keeps the snapshot it had.
    response.SetStatusCode(500);
    response.SetContent(XmlAnswer("<error>" + HtmlEscape(e.Message()) + "</error>",
                                  "<status>An error occured</status>"));
    response.SetContentType("text/xml");
    response.SendResponse();
    return;
  }
  response.SetContent(XmlAnswer("<error>Success</error>", "<status>Settings loaded</status>"));
  response.SetContentType("text/xml");
}

void TWebModule1::WebModule1cachenameAction(TWebRequest& request, TWebResponse& response, bool&) {
  const auto settings = Settings();
  if (RefuseUnsigned(request, response, *settings)) return;
  RefuseInvalidFields(request);
  const TResultCache cache(*settings);
  TFieldList& fields = request.ContentFields();
  const std::string image = fields.Value("Image");
  const std::string source = MapRequestPath(image);
  // Only reports: nothing is created. A cache that is off still names its
  // entry (with an error status); without a folder there is no name.
  std::string cache_name;
  if (!FileExists(source))
    cache_name = "test";
  else if (!settings->SkaloCachePath.empty())
    cache_name = cache.FileName(fields.Text(), ExtractFileExt(image));
  if (!cache.Usable()) response.SetStatusCode(500);
  response.SetContent(XmlAnswer("<filename>" + HtmlEscape(source) + "</filename>",
                                "<cachefilename>" + HtmlEscape(cache_name) + "</cachefilename>"));
  response.SetContentType("text/xml");
}

}  // namespace skalo
