#include "service/webmodule.h"

namespace skalo {

const TWebActionItem* TWebModule::FindAction(const TWebRequest& request) const {
  for (const TWebActionItem& item : actions_) {
    if (!item.Enabled) continue;
    if (!item.MethodType.empty() && !SameText(item.MethodType, request.Method())) continue;
    if (SameText(item.PathInfo, request.PathInfo())) return &item;
  }
  for (const TWebActionItem& item : actions_)
    if (item.Default && item.Enabled) return &item;
  return nullptr;
}

bool TWebModule::HandleRequest(TWebRequest& request, TWebResponse& response) {
  if (response.Sent()) return true;
  struct Current {
    TWebModule& module;
    ~Current() { module.SetCurrent(nullptr, nullptr); }
  } current{*this};
  SetCurrent(&request, &response);

  const TWebActionItem* action = FindAction(request);
  if (!action || !action->OnAction) return false;
  bool handled = true;
  action->OnAction(request, response, handled);
  return handled;
}

TWebModule1::TWebModule1() : TWebModule1(std::make_shared<TSettingsStore>()) {}

TWebModule1::TWebModule1(std::shared_ptr<TSettingsStore> settings) : store_(std::move(settings)) {
  using namespace std::placeholders;
  AddAction({"xml", "/xml", "", false, true,
             std::bind(&TWebModule1::WebModule1WebActionItem1Action, this, _1, _2, _3)});
  AddAction({"bin", "/bin", "", true, true,
             std::bind(&TWebModule1::WebModule1binAction, this, _1, _2, _3)});
  AddAction({"test", "/test", "", false, true,
             std::bind(&TWebModule1::WebModule1testAction, this, _1, _2, _3)});
  AddAction({"loadsettings", "/loadsettings", "", false, true,
             std::bind(&TWebModule1::WebModule1loadsettingsAction, this, _1, _2, _3)});
  AddAction({"cachename", "/cachename", "", false, true,
             std::bind(&TWebModule1::WebModule1cachenameAction, this, _1, _2, _3)});
}

}  // namespace skalo

namespace skalo {

std::shared_ptr<const TSkaloSettings> TWebModule1::Settings() {
  if (auto current = store_->Current()) return current;
  return LoadSettings();
}

std::shared_ptr<const TSkaloSettings> TWebModule1::LoadSettings() {
  return store_->Load([this](const std::string& value) { return ResolvePath(value); });
}

std::string TWebModule1::ResolvePath(const std::string& value) const {
  // Drive-letter and network-share paths from the administrator's file are
  // taken as they are; see the README for how URL paths reach folders
  // outside the document root.
  const std::size_t pair = value.find("\\\\");
  if (value.find(":\\") != std::string::npos || (pair != std::string::npos && pair >= 1))
    return value;
  return MapRequestPath(value);
}

std::string TWebModule1::MapRequestPath(const std::string& value) const {
  if (!Request() || HasControlByte(value)) return std::string();
  return Request()->TranslateURI(value);
}

}  // namespace skalo
