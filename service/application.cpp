#include "service/application.h"

#include <exception>
#include <new>

namespace skalo {

TWebApplication::TWebApplication(ModuleFactory factory, std::size_t max_instances)
    : factory_(std::move(factory)), max_instances_(max_instances) {}

std::size_t TWebApplication::InstanceCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return instances_.size();
}

std::size_t TWebApplication::ActiveCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return active_;
}

TWebModule* TWebApplication::Acquire() {
  std::lock_guard<std::mutex> guard(lock_);
  if (active_ >= max_instances_)
    throw Exception("Maximum number of concurrent connections exceeded.  Please try again later");
  TWebModule* module;
  if (!idle_.empty()) {
    module = idle_.front();
    idle_.pop_front();
  } else {
    std::unique_ptr<TWebModule> fresh = factory_();
    if (!fresh) throw Exception("No web module available");
    instances_.reserve(instances_.size() + 1);
    module = fresh.get();
    instances_.push_back(std::move(fresh));
  }
  ++active_;
  return module;
}

void TWebApplication::Release(TWebModule* module) {
  std::lock_guard<std::mutex> guard(lock_);
  idle_.push_back(module);
  --active_;
}

std::string ApplicationErrorPage(const std::string& message, const std::string& path_info) {
  return "<html><body><h1>Internal Application Error</h1>\r\n<p>" + HtmlEscape(message) +
         "\r\n<p><hr width=\"100%\"><i>" + HtmlEscape(path_info) + "</i></body></html>";
}

void SendFallbackPage(EXTENSION_CONTROL_BLOCK* ecb, const std::string& class_name,
                      const std::string& message) {
  const std::string body =
      "<html><title>Internal Server Error 500</title>\r\n"
      "<h1>Internal Server Error 500</h1><hr>\r\n"
      "Exception: " +
      HtmlEscape(class_name) + "<br>\r\nMessage: " + HtmlEscape(message) + "<br></html>\r\n";
  const std::string status = "500 " + HeaderSafe(message);
  const std::string headers =
      "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  ecb->dwHttpStatusCode = 500;
  if (!ecb->SendResponseHeaders ||
      !ecb->SendResponseHeaders(ecb->ConnID, status.c_str(), headers.c_str()))
    return;
  DWORD size = static_cast<DWORD>(body.size());
  if (ecb->WriteClient) ecb->WriteClient(ecb->ConnID, body.data(), &size);
}

namespace {

// Message and type name of whatever was thrown.
struct Failure {
  std::string class_name;
  std::string message;
  int status = 500;
  int retry_after = 0;
};

Failure CurrentFailure() {
  try {
    throw;
  } catch (const EHttpError& e) {
    return {e.ClassName(), e.Message(), e.Status(), e.RetryAfter()};
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  } catch (const std::bad_alloc&) {
    return {"EOutOfMemory", "Out of memory"};
  } catch (const std::exception& e) {
    return {"Exception", e.what()};
  } catch (...) {
    return {"Exception", "Unknown exception"};
  }
}

}  // namespace

DWORD TWebApplication::HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  if (!ecb) return HSE_STATUS_ERROR;
  try {
    TWebRequest request(ecb);
    TWebResponse response(request);

    TWebModule* module;
    try {
      module = Acquire();
    } catch (...) {
      const Failure failure = CurrentFailure();
      SendFallbackPage(ecb, failure.class_name, failure.message);
      return HSE_STATUS_ERROR;
    }

    bool handled = false;
    try {
      handled = module->HandleRequest(request, response);
    } catch (...) {
      handled = false;
      const Failure failure = CurrentFailure();
      try {
        response.SetContentStream(nullptr);
        response.SetContent(ApplicationErrorPage(failure.message, request.PathInfo()));
        if (!response.Sent()) {
          response.SetStatusCode(failure.status);
          if (failure.retry_after > 0)
            response.SetCustomHeader("Retry-After", std::to_string(failure.retry_after));
          response.SendResponse();
        }
      } catch (...) {
        // Nothing more can reach the client.
      }
    }
    try {
      if (handled && !response.Sent()) response.SendResponse();
    } catch (...) {
      handled = false;
    }
    Release(module);
    return handled ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  } catch (...) {
    // Building the request or response failed: no instance is held.
    const Failure failure = CurrentFailure();
    try {
      SendFallbackPage(ecb, failure.class_name, failure.message);
    } catch (...) {
    }
    return HSE_STATUS_ERROR;
  }
}

}  // namespace skalo
