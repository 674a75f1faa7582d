// The maintenance actions: /test, /loadsettings and /cachename.
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

}  // namespace

void TWebModule1::WebModule1testAction(TWebRequest& request, TWebResponse& response, bool&) {
  if (!SettingsLoaded) LoadSettings();
  response.SetContentType("text/html");
  response.SetCustomHeader("Content-Disposition", "filename=\"Skalo.html\"");
  response.AppendContent(std::string("<b>") + kServiceVersion +
                         "</b><br />Is working fine!<br /><br />");
  response.AppendContent("<b>Settings</b><br />");
  response.AppendContent("<pre>MaxWidth:            " + std::to_string(MaxWidth) + "<br />");
  response.AppendContent("MaxHeight:           " + std::to_string(MaxHeight) + "<br />");
  response.AppendContent("SkaloCachePath:    \"" + SkaloCachePath + "\"<br />");
  response.AppendContent(std::string("SkaloCacheEnabled: ") + YesNo(SkaloCacheEnabled));
  response.AppendContent(std::string("UseCacheSubfolders: ") + YesNo(UseCacheSubfolders));
  response.AppendContent("DefaultImage:       \"" + DefaultImage + "\"<br />");
  response.AppendContent("</pre>");
  response.AppendContent("<p><a href=\"http://" + HtmlEscape(request.Host()) +
                         HtmlEscape(request.ScriptName()) + "/loadsettings\">Reload settings</p>");
  response.SendResponse();
}

void TWebModule1::WebModule1loadsettingsAction(TWebRequest&, TWebResponse& response, bool&) {
  try {
    LoadSettings();
  } catch (const Exception& e) {
    SettingsLoaded = false;
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
  if (!SettingsLoaded) LoadSettings();
  TFieldList& fields = request.ContentFields();
  const std::string image = fields.Value("Image");
  std::string cache_name = CacheFileName(fields.Text()) + ExtractFileExt(image);
  const std::string source = ResolvePath(image);
  if (!FileExists(source)) cache_name = "test";
  response.SetContent(XmlAnswer("<filename>" + HtmlEscape(source) + "</filename>",
                                "<cachefilename>" + HtmlEscape(cache_name) + "</cachefilename>"));
  response.SetContentType("text/xml");
}

}  // namespace skalo
