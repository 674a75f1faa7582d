// The web module: an ordered action table and the dispatch by path info, and
// TWebModule1, the service's own module with its five actions and settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/web.h"

namespace skalo {
class TSkalo;
}

namespace skalo {

using TActionHandler = std::function<void(TWebRequest&, TWebResponse&, bool& handled)>;

struct TWebActionItem {
  std::string Name;
  std::string PathInfo;    // compared whole, without regard to letter case
  std::string MethodType;  // empty: any method
  bool Default = false;    // runs when no other action matches
  bool Enabled = true;
  TActionHandler OnAction;
};

class TWebModule {
 public:
  TWebModule() = default;
  TWebModule(const TWebModule&) = delete;
  TWebModule& operator=(const TWebModule&) = delete;
  virtual ~TWebModule() = default;

  // Runs the first enabled action whose method and path info match, or the
  // default action. Answers whether the request was handled. Failures of the
  // action pass to the caller.
  bool HandleRequest(TWebRequest& request, TWebResponse& response);

  // The request being served and its response (null between requests).
  TWebRequest* Request() const { return request_; }
  TWebResponse* Response() const { return response_; }
  // Makes a request current (HandleRequest does it for the time of a request).
  void SetCurrent(TWebRequest* request, TWebResponse* response) {
    request_ = request;
    response_ = response;
  }

  const std::vector<TWebActionItem>& Actions() const { return actions_; }

 protected:
  void AddAction(TWebActionItem item) { actions_.push_back(std::move(item)); }

 private:
  const TWebActionItem* FindAction(const TWebRequest& request) const;

  std::vector<TWebActionItem> actions_;
  TWebRequest* request_ = nullptr;
  TWebResponse* response_ = nullptr;
};

// Shown by the test page.
inline constexpr const char* kServiceVersion = "Skalo Resizer v2.5 beta";

class TWebModule1 : public TWebModule {
 public:
  TWebModule1();

  // Settings of this instance, read from SkaloSettings.xml on first need.
  bool SettingsLoaded = false;
  bool SkaloCacheEnabled = false;
  bool UseCacheSubfolders = false;
  std::int32_t MaxWidth = 0;
  std::int32_t MaxHeight = 0;
  std::string SkaloCachePath;
  std::string DefaultImage;

  // Reads SkaloSettings.xml from SettingsDirectory(): defaults first, then the
  // keys found; SettingsLoaded becomes true on success. Throws on an unreadable
  // file ("Cannot open file ..."), bad XML ("Parser error.") or a bad boolean.
  void LoadSettings();
  // A value holding ":\" or a pair of backslashes (from the second character on) is a
  // file-system path and stays as it is; anything else is a URL path mapped by
  // the current request (empty when the mapping fails).
  std::string ResolvePath(const std::string& value) const;
  // The cache file path for a field-list text, without extension; creates the
  // two-character subfolder when subfolders are on.
  std::string CacheFileName(const std::string& key) const;

  // Folder of the settings file: the module file's folder unless set otherwise.
  std::string SettingsDirectory() const;
  void SetSettingsDirectory(std::string dir) { settings_directory_ = std::move(dir); }

  // The five actions ("/xml", "/bin", "/test", "/loadsettings", "/cachename").
  void WebModule1WebActionItem1Action(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1binAction(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1testAction(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1loadsettingsAction(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1cachenameAction(TWebRequest& request, TWebResponse& response, bool& handled);

 private:
  // Loads the settings when needed and resolves the Image field, putting the
  // default image in its place when the file is missing. Answers the path.
  std::string PrepareImage(TWebRequest& request);
  // The cache is on and has a folder to write into.
  bool CacheUsable() const;
  // Copies the query fields and the size limits into a job.
  void FillJob(TSkalo& job, const TFieldList& fields, bool from_xml) const;

  std::string settings_directory_;
};

}  // namespace skalo
