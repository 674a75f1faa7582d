// mod_skalo: the Apache httpd 2.4 host of the Skalo module.
//
//   LoadModule skalo_module /usr/lib/apache2/modules/mod_skalo.so
//   SkaloModule /usr/lib/apache2/modules/skalo.so    (optional; this default)
//   <Location /skalo>
//     SetHandler skalo
//   </Location>
//
// Every child process loads the module file when it starts (GetExtensionVersion)
// and terminates it when it ends (TerminateExtension, from the child pool's
// cleanup). A request whose handler is "skalo" runs HttpExtensionProc on the
// worker thread serving it; the module keeps its own instance pool, which
// stays the limit of concurrent calls. The control block, the parsing of what
// the module sends and the final answer are the standalone host's
// (hosts/module_call.h); only the request fields, URL mapping and sending are
// Apache's here.
#include <dlfcn.h>
#include <strings.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <ap_expr.h>
#include <apr_buckets.h>
#include <apr_file_io.h>
#include <apr_portable.h>
#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <httpd.h>
#include <util_filter.h>

#include "hosts/extension_module.h"
#include "hosts/host_options.h"
#include "hosts/module_call.h"
#include "hosts/url_map.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA skalo_module;
}

APLOG_USE_MODULE(skalo);

namespace {

using namespace skalo::host;

constexpr const char* kHandlerName = "skalo";

struct ServerConfig {
  // The module file; nullptr until SkaloModule or post_config sets it.
  const char* module_path;
};

ServerConfig* ConfigOf(server_rec* server) {
  return static_cast<ServerConfig*>(ap_get_module_config(server->module_config, &skalo_module));
}

// The service of this child process, owned by the child pool's cleanup. Set
// by child_init before the MPM starts any worker thread and cleared by that
// cleanup after they have all ended, so that request threads only ever read
// it. Nothing unloads it at exit() otherwise: a process ending some other way
// may still have threads inside it.
ExtensionModule* g_service = nullptr;

void* CreateServerConfig(apr_pool_t* pool, server_rec*) {
  return apr_pcalloc(pool, sizeof(ServerConfig));
}

const char* SetModulePath(cmd_parms* cmd, void*, const char* arg) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  ServerConfig* config = ConfigOf(cmd->server);
  if (config->module_path != nullptr) return "SkaloModule may be given once";
  const char* path = ap_server_root_relative(cmd->pool, arg);
  if (path == nullptr) return apr_pstrcat(cmd->pool, "Invalid SkaloModule path ", arg, nullptr);
  config->module_path = path;
  return nullptr;
}

// skalo.so in the folder this file was loaded from.
std::string ModuleBesideThisFile() {
  Dl_info info{};
  if (dladdr(&skalo_module, &info) == 0 || info.dli_fname == nullptr) return "skalo.so";
  return ModuleBesideProgram(info.dli_fname);
}

// Settles the module path and refuses to start when there is no such file:
// a typing error shows at start-up, as with skalo-httpd, rather than as a
// failing child. The file is loaded in the children only.
int PostConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t* ptemp, server_rec* server) {
  ServerConfig* config = ConfigOf(server);
  if (config->module_path == nullptr) {
    config->module_path = apr_pstrdup(pconf, ModuleBesideThisFile().c_str());
  }
  apr_finfo_t info;
  if (apr_stat(&info, config->module_path, APR_FINFO_TYPE, ptemp) != APR_SUCCESS ||
      info.filetype != APR_REG) {
    ap_log_error(APLOG_MARK, APLOG_EMERG, 0, server, "SkaloModule %s is not a file",
                 config->module_path);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  return OK;
}

// Calls TerminateExtension and unloads the module file.
apr_status_t UnloadService(void* service) {
  g_service = nullptr;
  const std::unique_ptr<ExtensionModule> owned(static_cast<ExtensionModule*>(service));
  return APR_SUCCESS;
}

void ChildInit(apr_pool_t* pchild, server_rec* server) {
  const char* path = ConfigOf(server)->module_path;
  try {
    auto service = std::make_unique<ExtensionModule>(path != nullptr ? path : "skalo.so");
    apr_pool_cleanup_register(pchild, service.get(), UnloadService, apr_pool_cleanup_null);
    g_service = service.release();
  } catch (const std::exception& e) {
    // The child keeps serving everything else; its Skalo requests answer 500.
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, server, "%s", e.what());
  }
}

// The <Location> whose "SetHandler skalo" the request comes under: the last
// plain (neither regex nor wildcard) section matching its path whose handler
// evaluates to "skalo", as Apache lets the last matching section win. "" for
// <Location />.
std::optional<std::string> LocationMount(request_rec* r) {
  const std::string_view uri = r->uri != nullptr ? r->uri : "";
  auto* core =
      static_cast<core_server_config*>(ap_get_core_module_config(r->server->module_config));
  if (core == nullptr || core->sec_url == nullptr) return std::nullopt;
  auto* const* sections = reinterpret_cast<ap_conf_vector_t* const*>(core->sec_url->elts);
  std::optional<std::string> found;
  for (int i = 0; i < core->sec_url->nelts; ++i) {
    const auto* section =
        static_cast<const core_dir_config*>(ap_get_core_module_config(sections[i]));
    if (section == nullptr || section->d == nullptr || section->r != nullptr ||
        section->d_is_fnmatch || section->expr_handler == nullptr) {
      continue;
    }
    std::string_view location = section->d;
    if (location.size() > 1 && location.back() == '/') location.remove_suffix(1);
    if (location == "/") location = {};
    if (!location.empty() && !PathUnderMount(uri, location)) continue;
    const char* error = nullptr;
    const char* handler = ap_expr_str_exec(r, section->expr_handler, &error);
    if (error != nullptr || handler == nullptr || strcasecmp(handler, kHandlerName) != 0) continue;
    found = std::string(location);
  }
  return found;
}

// The request as the module sees it. r->uri is Apache's decoded and
// normalised path, so the path info needs no decoding of its own.
ModuleRequest RequestFields(request_rec* r) {
  ModuleRequest request;
  request.method = r->method != nullptr ? r->method : "";
  request.query = r->args != nullptr ? r->args : "";
  request.protocol = r->protocol != nullptr ? r->protocol : "HTTP/1.1";
  const char* host = apr_table_get(r->headers_in, "Host");
  request.host = host != nullptr ? host : "";
  const char* none_match = apr_table_get(r->headers_in, "If-None-Match");
  request.if_none_match = none_match != nullptr ? none_match : "";
  const char* modified_since = apr_table_get(r->headers_in, "If-Modified-Since");
  request.if_modified_since = modified_since != nullptr ? modified_since : "";

  const std::string_view uri = r->uri != nullptr ? r->uri : "";
  if (const auto mount = LocationMount(r)) {
    request.script_name = *mount;
    request.path_info = std::string(uri.substr(mount->size()));
    return request;
  }
  // The handler came from somewhere else (AddHandler on a file name, a
  // <Directory>): split as CGI does, the script's URL and what follows it.
  const std::string_view info = r->path_info != nullptr ? r->path_info : "";
  if (!info.empty() && uri.ends_with(info)) {
    request.script_name = std::string(uri.substr(0, uri.size() - info.size()));
    request.path_info = std::string(info);
  } else {
    request.script_name = std::string(uri);
  }
  return request;
}

// True when `path` is absolute and has no "." or ".." segment: a file name
// Apache built from its configured folders and a normalised URL.
bool IsPlainAbsolutePath(std::string_view path) {
  if (!path.starts_with('/') || path.find('\\') != std::string_view::npos) return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

// MapUrlToPath: what Apache would serve for `url`, found by a sub-request
// lookup, so that DocumentRoot, Alias and the access rules of <Directory>,
// <Files> and <Location> decide. The URL is first checked and normalised as
// skalo-httpd does (no encoded separators, NULs or climbing above the top),
// then escaped, since Apache decodes what it looks up. Anything but a granted
// lookup that names a plain absolute path is refused. The module calls back
// from within HttpExtensionProc, so this runs on the request's own thread, as
// the request's pool requires.
std::string LookupFile(request_rec* r, std::string_view url) {
  const auto normal = NormaliseMapUrl(url);
  if (!normal) return {};
  request_rec* lookup = ap_sub_req_lookup_uri(ap_escape_uri(r->pool, normal->c_str()), r, nullptr);
  if (lookup == nullptr) return {};
  const std::unique_ptr<request_rec, decltype(&ap_destroy_sub_req)> done(lookup,
                                                                         &ap_destroy_sub_req);
  if (lookup->filename == nullptr) return {};
  std::string path = lookup->filename;
  if (lookup->status == HTTP_OK) {
    if (lookup->path_info != nullptr) path += lookup->path_info;
  } else if (!(lookup->status == HTTP_MOVED_PERMANENTLY && lookup->finfo.filetype == APR_DIR &&
               (lookup->path_info == nullptr || *lookup->path_info == '\0'))) {
    // A folder named without its trailing "/" is granted but answered with a
    // redirect (DirectorySlash); it still maps. Anything else is refused.
    return {};
  }
  if (*normal == "/" && lookup->uri != nullptr) {
    // The index page (DirectoryIndex) took the place of "/" in the lookup;
    // what "/" names is the folder that holds it.
    const std::string_view index = lookup->uri;
    if (index.size() > 1 && index.find('/', 1) == std::string_view::npos && path.ends_with(index)) {
      path.resize(path.size() - index.size());
    }
  }
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!IsPlainAbsolutePath(path) || path.size() >= kMapBufferSize) return {};
  return path;
}

// Puts the file of a file answer at the end of `brigade` as a file bucket, for
// the core to send as it sends static files. The bucket's file is APR's own
// duplicate in the request pool, which closes it, or hands it over to the
// pool the core sets the bucket aside into. False when APR refuses the file.
bool InsertFile(request_rec* r, apr_bucket_brigade* brigade, const FileBody& body) {
  apr_os_file_t fd = body.fd.get();
  apr_file_t* borrowed = nullptr;
  apr_file_t* file = nullptr;
  if (apr_os_file_put(&borrowed, &fd, APR_FOPEN_READ, r->pool) != APR_SUCCESS ||
      apr_file_dup(&file, borrowed, r->pool) != APR_SUCCESS) {
    return false;
  }
  apr_brigade_insert_file(brigade, file, static_cast<apr_off_t>(body.offset),
                          static_cast<apr_off_t>(body.size), r->pool);
  return true;
}

// Sends the host's answer: status line with the module's reason, its headers,
// and the body through the output filters. Apache frames the body itself.
int SendAnswer(request_rec* r, HostAnswer answer) {
  r->status = static_cast<int>(answer.status);
  if (!answer.reason.empty()) {
    // An empty reason leaves Apache's standard one, as skalo-httpd does.
    r->status_line = apr_pstrcat(r->pool, std::to_string(answer.status).c_str(), " ",
                                 answer.reason.c_str(), nullptr);
  }
  for (const HeaderField& field : answer.headers) {
    if (strcasecmp(field.name.c_str(), "Content-Type") == 0) {
      ap_set_content_type(r, apr_pstrdup(r->pool, field.value.c_str()));
    } else {
      apr_table_add(r->headers_out, field.name.c_str(), field.value.c_str());
    }
  }
  if (answer.content_length) {
    ap_set_content_length(r, static_cast<apr_off_t>(*answer.content_length));
  }

  apr_bucket_brigade* brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
  if (answer.file && answer.file->size > 0 && !InsertFile(r, brigade, *answer.file)) {
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  if (!answer.body.empty()) {
    // Transient: any filter that keeps the bytes past this call copies them.
    APR_BRIGADE_INSERT_TAIL(
        brigade,
        apr_bucket_transient_create(answer.body.data(), answer.body.size(), brigade->bucket_alloc));
  }
  APR_BRIGADE_INSERT_TAIL(brigade, apr_bucket_eos_create(brigade->bucket_alloc));
  const apr_status_t sent = ap_pass_brigade(r->output_filters, brigade);
  apr_brigade_cleanup(brigade);
  if (sent != APR_SUCCESS) {
    ap_log_rerror(APLOG_MARK, APLOG_DEBUG, sent, r, "sending the Skalo answer failed");
  }
  return OK;
}

int Handler(request_rec* r) {
  if (r->handler == nullptr || strcasecmp(r->handler, kHandlerName) != 0) return DECLINED;
  // Request bodies are read and thrown away, as skalo-httpd does, so that the
  // connection stays usable.
  if (const int discarded = ap_discard_request_body(r); discarded != OK) return discarded;
  const bool head = r->header_only != 0;
  HostAnswer answer;
  try {
    if (g_service == nullptr) {
      ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "the Skalo module is not loaded in this process");
      answer = HostError(500, "Internal Server Error", head);
    } else {
      ModuleCall call(RequestFields(r), [r](std::string_view url) { return LookupFile(r, url); });
      const DWORD result = call.Run(g_service->proc());
      answer = FinishModuleAnswer(call.TakeOutput(), result, head);
    }
  } catch (const std::exception& e) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "Skalo request failed: %s", e.what());
    answer = HostError(500, "Internal Server Error", head);
  }
  try {
    return SendAnswer(r, std::move(answer));
  } catch (const std::exception&) {
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

// Under the module's <Location> the URLs are the module's, whatever lies on
// disk at the same path: a folder there would otherwise have mod_dir redirect
// "/skalo" to "/skalo/", or put its index page in place of the module.
int Fixup(request_rec* r) {
  if (r->handler != nullptr && strcasecmp(r->handler, kHandlerName) == 0) {
    r->finfo.filetype = APR_NOFILE;
  }
  return DECLINED;
}

void RegisterHooks(apr_pool_t*) {
  static const char* const kBeforeDir[] = {"mod_dir.c", nullptr};
  ap_hook_post_config(PostConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_fixups(Fixup, nullptr, kBeforeDir, APR_HOOK_MIDDLE);
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE);
}

// Apache's C++ view of a directive function takes no arguments; the way
// through void (*)() is the generic function pointer cast.
template <class Function>
cmd_func Directive(Function function) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(function));
}

const command_rec kCommands[] = {
    AP_INIT_TAKE1("SkaloModule", Directive(SetModulePath), nullptr, RSRC_CONF,
                  "the Skalo module file to load (default: skalo.so beside mod_skalo.so)"),
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA skalo_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,             // create_dir_config
    nullptr,             // merge_dir_config
    CreateServerConfig,  // create_server_config
    nullptr,             // merge_server_config
    kCommands,
    RegisterHooks,
    0,  // flags
};

}  // extern "C"
