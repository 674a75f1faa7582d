// The web module: an ordered action table and the dispatch by path info, and
// TWebModule1, the service's own module with its five actions and settings.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/settings.h"
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
  // An instance with settings of its own (read from the module's folder
  // unless SetSettingsDirectory says otherwise).
  TWebModule1();
  // An instance that shares the process's settings with its siblings.
  explicit TWebModule1(std::shared_ptr<TSettingsStore> settings);

  // The current settings snapshot, read from SkaloSettings.xml on first need.
  // The actions take it once and keep it for the whole request.
  std::shared_ptr<const TSkaloSettings> Settings();
  bool SettingsLoaded() const { return store_->Current() != nullptr; }

  // Reads SkaloSettings.xml into a new snapshot for every instance sharing
  // this one's store. Throws on an unreadable file ("Cannot open file ..."),
  // bad XML ("Parser error.") or a bad boolean; the previous snapshot stays.
  std::shared_ptr<const TSkaloSettings> LoadSettings();
  // A settings value: one holding ":\" or a pair of backslashes (from the
  // second character on) is a file-system path and stays as it is; anything
  // else is a URL path mapped by the current request ("" when it fails).
  std::string ResolvePath(const std::string& value) const;
  // A request's URL path (the Image field): always mapped by the current
  // request, which never leaves the site's folders ("" when it fails).
  std::string MapRequestPath(const std::string& value) const;

  // Folder of the settings file: the module file's folder unless set otherwise.
  std::string SettingsDirectory() const { return store_->Directory(); }
  void SetSettingsDirectory(std::string dir) { store_->SetDirectory(std::move(dir)); }

  // Copies the query fields, the size limits and the resource limits into a
  // job (`from_xml`: the ProcessBinary field counts).
  static void FillJob(TSkalo& job, const TFieldList& fields, const TSkaloSettings& settings,
                      bool from_xml);

  // With a signing key set, answers 403 to a request whose query holds no
  // valid signature and says so; otherwise takes the Signature field out of
  // the request's fields (it is no part of the cache key) and answers false.
  static bool RefuseUnsigned(TWebRequest& request, TWebResponse& response,
                             const TSkaloSettings& settings);

  // The five actions ("/xml", "/bin", "/test", "/loadsettings", "/cachename").
  void WebModule1WebActionItem1Action(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1binAction(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1testAction(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1loadsettingsAction(TWebRequest& request, TWebResponse& response, bool& handled);
  void WebModule1cachenameAction(TWebRequest& request, TWebResponse& response, bool& handled);

 private:
  // Resolves the Image field, putting the default image in its place when
  // the file is missing. Answers the path.
  std::string PrepareImage(TWebRequest& request, const TSkaloSettings& settings);

  std::shared_ptr<TSettingsStore> store_;
};

}  // namespace skalo
