#include "hosts/http_server.h"

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "base/http_fields.h"
#include "hosts/module_call.h"
#include "hosts/static_files.h"

namespace skalo::host {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// After the host decides to close a connection it stops sending and reads on
// for a while, so that the client gets the last answer rather than a reset
// caused by request bytes it sent that were never read.
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr std::size_t kLingerLimit = std::size_t{4} << 20;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// How long an answer being sent when the server stops may take to finish.
constexpr auto kStopGrace = std::chrono::seconds(2);
// The read that waits for the first byte of a request.
constexpr std::size_t kFirstReadSize = 4096;
// Most file bytes sent in one go before other connections get their turn.
constexpr std::uint64_t kFileSliceBytes = std::uint64_t{1} << 20;

using Clock = std::chrono::steady_clock;

// Request bodies are read (within the body limit) and thrown away.
struct DiscardBody {
  struct value_type {};

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type&) {}
    void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
      ec = {};
      return beast::buffer_bytes(buffers);
    }
    void finish(beast::error_code& ec) { ec = {}; }
  };
};

using Request = http::request<DiscardBody>;

// The Date field's text, made once a second per thread.
const std::string& HttpDate() {
  thread_local std::time_t made = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != made) {
    text = HttpDateText(now);
    made = now;
  }
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return beast::iequals(a, b);
}

bool IsParseError(const beast::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category();
}

// The status line and header fields of `message` as Beast puts them on the wire.
std::string SerializedHead(http::response<http::empty_body>& message) {
  http::response_serializer<http::empty_body> serializer{message};
  std::string head;
  beast::error_code ec;
  while (!ec && !serializer.is_done()) {
    serializer.next(ec, [&](beast::error_code&, const auto& buffers) {
      for (const auto buffer : beast::buffers_range_ref(buffers))
        head.append(static_cast<const char*>(buffer.data()), buffer.size());
      serializer.consume(beast::buffer_bytes(buffers));
    });
  }
  return head;
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
 public:
  // What the connection is doing. Written on the session's strand; read by the
  // server, from any thread, when it needs room for a new connection.
  enum class State {
    kIdle,       // answered before; waiting for the first byte of the next request
    kHead,       // reading a request head, or waiting for the first request
    kBody,       // reading a request body
    kBusy,       // answering
    kLingering,  // closing
    kEvicted,    // closed to make room for a new connection
  };

  Session(tcp::socket&& socket, HttpServer& server)
      : stream_(std::move(socket)),
        server_(server),
        config_(server.config()),
        stop_timer_(stream_.get_executor()),
        file_timer_(stream_.get_executor()) {
    beast::error_code ec;
    const auto peer = stream_.socket().remote_endpoint(ec);
    if (!ec) client_ = peer.address().to_string();
    if (config_.metrics) config_.metrics->ConnectionOpened();
  }
  ~Session() {
    if (config_.metrics) config_.metrics->ConnectionClosed();
    server_.Unregister(this);
  }

  void Start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadRequest(); });
  }

  // Called when the server stops: see HttpServer::Stop.
  void Abort() {
    net::post(stream_.get_executor(), [self = shared_from_this()] { self->OnAbort(); });
  }

  State state() const { return state_.load(std::memory_order_acquire); }
  // When the connection entered its state.
  Clock::rep since() const { return since_.load(std::memory_order_relaxed); }

  // Claims an idle or head-reading connection for closing; false when it has
  // moved on. Once claimed it can no longer start an answer; Evict closes it.
  bool TryEvict() {
    State current = state();
    return (current == State::kIdle || current == State::kHead) &&
           state_.compare_exchange_strong(current, State::kEvicted, std::memory_order_acq_rel);
  }

  void Evict() {
    net::post(stream_.get_executor(), [self = shared_from_this()] { self->Close(); });
  }

 private:
  // Moves to `next`; false (and the connection closed) when the server has
  // claimed it first. Only idle and head-reading connections are ever
  // claimed, so leaving any other state always succeeds.
  bool Enter(State next) {
    State current = state();
    if (current == next) return true;
    since_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    while (current != State::kEvicted) {
      if (state_.compare_exchange_weak(current, next, std::memory_order_acq_rel)) return true;
    }
    Close();
    return false;
  }

  void ReadRequest() {
    if (abort_requested_) return Close();
    have_request_ = false;
    action_ = kHostAction;
    module_action_ = false;
    parser_.emplace();
    parser_->header_limit(config_.header_limit);
    parser_->body_limit(config_.body_limit);
    // A pipelined request may have arrived with the last one.
    if (buffer_.size() != 0) return ReadHead();
    if (!Enter(answered_ ? State::kIdle : State::kHead)) return;
    stream_.expires_after(config_.io_timeout);
    stream_.async_read_some(buffer_.prepare(kFirstReadSize),
                            [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
                              self->buffer_.commit(bytes);
                              if (ec) return self->OnReadError(ec);
                              self->ReadHead();
                            });
  }

  // The request's clocks start at its first byte: the head must be complete
  // within the header timeout, head and body within the I/O timeout.
  void ReadHead() {
    if (!Enter(State::kHead)) return;
    const auto now = Clock::now();
    request_start_ = now;
    request_time_ = std::time(nullptr);
    request_deadline_ = now + config_.io_timeout;
    stream_.expires_at(std::min(now + config_.header_timeout, request_deadline_));
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return OnReadError(ec);
    if (!Enter(State::kBody)) return;
    stream_.expires_at(request_deadline_);
    const auto length = parser_->content_length();
    if (length && *length > config_.body_limit) {
      return SendError(413, "Payload Too Large", /*close=*/true);
    }
    const Request& request = parser_->get();
    if (!parser_->is_done() && EqualsNoCase(request[http::field::expect], "100-continue")) {
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                        request.version());
      response_ = interim;
      http::async_write(stream_, *interim,
                        [self = shared_from_this()](beast::error_code write_ec, std::size_t) {
                          self->response_.reset();
                          if (write_ec) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    if (parser_->is_done()) return HandleRequest();
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (ec) return self->OnReadError(ec);
                       self->HandleRequest();
                     });
  }

  void OnReadError(beast::error_code ec) {
    if (ec == http::error::header_limit) {
      return SendError(431, "Request Header Fields Too Large", /*close=*/true);
    }
    if (ec == http::error::body_limit) return SendError(413, "Payload Too Large", /*close=*/true);
    if (ec != http::error::end_of_stream && ec != http::error::partial_message &&
        IsParseError(ec)) {
      return SendError(400, "Bad Request", /*close=*/true);
    }
    // The client went away, timed out, or the server is stopping.
    Close();
  }

  void HandleRequest() {
    if (!Enter(State::kBusy)) return;
    stream_.expires_never();
    request_ = parser_->release();
    parser_.reset();
    have_request_ = true;

    const auto target = SplitTarget(request_.target());
    if (!target) return SendError(400, "Bad Request", false);
    if (!config_.metrics_path.empty() && target->path == config_.metrics_path) {
      action_ = kMetricsAction;
      return ServeHostPage(
          config_.metrics ? config_.metrics->Exposition(config_.module_metrics) : std::string(),
          "text/plain; version=0.0.4; charset=utf-8", 200, "OK");
    }
    if (!config_.healthz_path.empty() && target->path == config_.healthz_path) {
      action_ = kHealthAction;
      if (server_.stopping()) {
        return ServeHostPage("stopping\n", "text/plain; charset=utf-8", 503, "Service Unavailable");
      }
      return ServeHostPage("ok\n", "text/plain; charset=utf-8", 200, "OK");
    }
    if (const auto rest = PathUnderMount(target->path, config_.mount)) {
      return CallModule(*rest, target->query);
    }
    action_ = kStaticAction;
    ServeStatic(target->path, target->query);
  }

  // A page the host makes itself (metrics, health), never cached.
  void ServeHostPage(std::string body, std::string_view type, unsigned status,
                     std::string_view reason) {
    const http::verb verb = request_.method();
    if (verb != http::verb::get && verb != http::verb::head) {
      HostAnswer answer = HostError(405, "Method Not Allowed", false);
      answer.headers.push_back({"Allow", "GET, HEAD"});
      return SendAnswer(std::move(answer), false);
    }
    HostAnswer answer;
    answer.status = status;
    answer.reason = std::string(reason);
    answer.headers.push_back({"Content-Type", std::string(type)});
    answer.headers.push_back({"Cache-Control", "no-store"});
    answer.content_length = body.size();
    if (verb == http::verb::get) answer.body = std::move(body);
    SendAnswer(std::move(answer), false);
  }

  void CallModule(std::string_view raw_rest, std::string_view query) {
    auto path_info = DecodeUrlPath(raw_rest);
    if (!path_info) return SendError(400, "Bad Request", false);
    action_ = *path_info;
    module_action_ = true;

    ModuleRequest call_request;
    call_request.method = std::string(request_.method_string());
    call_request.query = std::string(query);
    call_request.path_info = std::move(*path_info);
    call_request.script_name = config_.mount;
    call_request.host = std::string(request_[http::field::host]);
    call_request.if_none_match = std::string(request_[http::field::if_none_match]);
    call_request.if_modified_since = std::string(request_[http::field::if_modified_since]);
    call_request.protocol = "HTTP/" + std::to_string(request_.version() / 10) + "." +
                            std::to_string(request_.version() % 10);
    const bool head = request_.method() == http::verb::head;
    auto call = std::make_unique<ModuleCall>(std::move(call_request), config_.site);

    // The worker touches nothing of the connection but this executor, through
    // which the answer comes back.
    auto executor = stream_.get_executor();
    HostMetrics* metrics = config_.metrics;
    if (metrics) metrics->ModuleCallQueued();
    net::post(server_.workers(), [self = shared_from_this(), executor = std::move(executor),
                                  call = std::move(call), head, metrics]() mutable {
      HostAnswer answer;
      if (metrics) metrics->ModuleCallStarted();
      if (self->server_.stopping()) {
        answer = HostError(503, "Service Unavailable", head);
      } else {
        try {
          const DWORD result = call->Run(self->config_.proc);
          answer = FinishModuleAnswer(call->TakeOutput(), result, head);
        } catch (const std::exception& e) {
          LogError(std::string("module call failed: ") + e.what());
          answer = HostError(500, "Internal Server Error", head);
        }
      }
      if (metrics) metrics->ModuleCallFinished();
      call.reset();
      net::post(executor, [self, answer = std::move(answer)]() mutable {
        self->SendAnswer(std::move(answer), false);
      });
    });
  }

  void ServeStatic(std::string_view raw_path, std::string_view query) {
    const http::verb verb = request_.method();
    if (verb != http::verb::get && verb != http::verb::head) {
      HostAnswer answer = HostError(405, "Method Not Allowed", false);
      answer.headers.push_back({"Allow", "GET, HEAD"});
      return SendAnswer(std::move(answer), false);
    }
    const bool head = verb == http::verb::head;
    const auto decoded = DecodeUrlPath(raw_path);
    if (!decoded) return SendError(400, "Bad Request", false);
    // Encoded separators are refused as sent, so that decoding can never turn
    // them into path structure.
    if (HasEncodedSeparator(raw_path)) return SendError(404, "Not Found", false);
    const std::string path = MapUrlToPath(*decoded, config_.site);
    if (path.empty()) return SendError(404, "Not Found", false);
    auto file = OpenStaticFile(path);
    if (!file) return SendError(404, "Not Found", false);
    // A folder's page is served under its name with the slash, so that the
    // page's relative links resolve inside the folder.
    if (file->folder && !raw_path.ends_with('/')) {
      // One leading slash at most: "//host/" would name another site.
      const std::size_t start = raw_path.find_first_not_of("/\\");
      std::string location = "/";
      if (start != std::string_view::npos) location.append(raw_path.substr(start)).append("/");
      if (!query.empty()) location.append("?").append(query);
      HostAnswer answer = HostError(301, "Moved Permanently", head);
      answer.headers.push_back({"Location", std::move(location)});
      return SendAnswer(std::move(answer), false);
    }

    StaticConditions conditions;
    conditions.get = !head;
    auto field = [this](http::field name) -> std::optional<std::string_view> {
      const auto found = request_.find(name);
      if (found == request_.end()) return std::nullopt;
      return found->value();
    };
    conditions.if_none_match = field(http::field::if_none_match);
    conditions.if_modified_since = field(http::field::if_modified_since);
    conditions.range = field(http::field::range);
    conditions.if_range = field(http::field::if_range);
    conditions.now = std::time(nullptr);
    const StaticPlan plan = PlanStaticAnswer(*file, conditions);
    const std::string size = std::to_string(file->size);

    if (plan.status == 416) {
      HostAnswer answer = HostError(416, "Range Not Satisfiable", head);
      answer.headers.push_back({"Content-Range", "bytes */" + size});
      answer.headers.push_back({"Accept-Ranges", "bytes"});
      return SendAnswer(std::move(answer), false);
    }
    http::response<http::empty_body> response{static_cast<http::status>(plan.status),
                                              request_.version()};
    response.set(http::field::date, HttpDate());
    response.set(http::field::etag, EntityTag(*file));
    // A time no HTTP-date can hold (a year past 9999) leaves the field out.
    const std::string modified = HttpDateText(file->mtime_ns / 1000000000);
    if (!modified.empty()) response.set(http::field::last_modified, modified);
    response.set(http::field::accept_ranges, "bytes");
    response.keep_alive(KeepAlive(false));
    // Not modified: the validators only, no body.
    if (plan.status == 304) return Write(std::move(response));
    response.set(http::field::content_type, ContentTypeFor(file->name));
    if (plan.status == 206) {
      response.set(http::field::content_range, "bytes " + std::to_string(plan.offset) + "-" +
                                                   std::to_string(plan.offset + plan.length - 1) +
                                                   "/" + size);
    }
    response.content_length(plan.length);
    if (head) return Write(std::move(response));
    SendFile(response, FileBody{std::move(file->fd), plan.offset, plan.length});
  }

  bool KeepAlive(bool close) const {
    return !close && have_request_ && request_.keep_alive() && !abort_requested_ &&
           !server_.stopping();
  }

  void SendAnswer(HostAnswer answer, bool close) {
    if (answer.file) {
      http::response<http::empty_body> response;
      FillHead(response, answer, close);
      return SendFile(response, std::move(*answer.file));
    }
    http::response<http::string_body> response;
    FillHead(response, answer, close);
    response.body() = std::move(answer.body);
    Write(std::move(response));
  }

  template <class Body>
  void FillHead(http::response<Body>& response, const HostAnswer& answer, bool close) {
    response.version(have_request_ ? request_.version() : 11);
    response.result(answer.status);
    response.reason(answer.reason);
    bool has_date = false;
    for (const HeaderField& field : answer.headers) {
      has_date = has_date || EqualsNoCase(field.name, "date");
      response.insert(field.name, field.value);
    }
    if (!has_date) response.set(http::field::date, HttpDate());
    if (answer.content_length) response.content_length(*answer.content_length);
    response.keep_alive(KeepAlive(close));
  }

  void SendError(unsigned status, std::string_view reason, bool close) {
    const bool head = have_request_ && request_.method() == http::verb::head;
    SendAnswer(HostError(status, reason, head), close);
  }

  // A response and the serializer writing it, kept together while written.
  template <class Body>
  struct Outgoing {
    explicit Outgoing(http::response<Body>&& response) : message(std::move(response)) {}
    http::response<Body> message;
    http::response_serializer<Body> serializer{message};
  };

  template <class Body>
  void Write(http::response<Body>&& response) {
    if (!Enter(State::kBusy)) return;
    const bool close = !response.keep_alive();
    status_ = response.result_int();
    body_bytes_ = response.payload_size().value_or(0);
    StartSending();
    auto outgoing = std::make_shared<Outgoing<Body>>(std::move(response));
    response_ = outgoing;
    WriteSome(std::move(outgoing), close);
  }

  // Writes piece by piece: the client must take each piece within the I/O
  // timeout, so that one that stops reading is dropped early, and the whole
  // answer within the send timeout.
  template <class Body>
  void WriteSome(std::shared_ptr<Outgoing<Body>> outgoing, bool close) {
    stream_.expires_at(std::min(Clock::now() + config_.io_timeout, send_deadline_));
    auto& serializer = outgoing->serializer;
    http::async_write_some(stream_, serializer,
                           [self = shared_from_this(), outgoing = std::move(outgoing), close](
                               beast::error_code ec, std::size_t) mutable {
                             if (!ec && !outgoing->serializer.is_done()) {
                               return self->WriteSome(std::move(outgoing), close);
                             }
                             self->OnWrite(close, ec);
                           });
  }

  // Sends the head of `response`, then the file's bytes straight from the
  // file to the socket (sendfile), under the same timeouts as Write: each
  // wait for the client to take more is bounded by the I/O timeout, the whole
  // answer by the send timeout.
  void SendFile(http::response<http::empty_body>& response, FileBody file) {
    if (!Enter(State::kBusy)) return;
    status_ = response.result_int();
    body_bytes_ = 0;
    StartSending();
    file_send_.emplace();
    file_send_->head = SerializedHead(response);
    file_send_->file = std::move(file);
    file_send_->close = !response.keep_alive();
    PumpFile();
  }

  void PumpFile() {
    FileSend& out = *file_send_;
    if (Clock::now() >= send_deadline_) return FinishFile(net::error::timed_out);
    const int socket = stream_.socket().native_handle();
    std::uint64_t slice = kFileSliceBytes;
    for (;;) {
      ssize_t sent;
      if (out.head_sent < out.head.size()) {
        // Held back (MSG_MORE) to leave in one segment with the file's first bytes.
        const int more = out.file.size > 0 ? MSG_MORE : 0;
        sent = ::send(socket, out.head.data() + out.head_sent, out.head.size() - out.head_sent,
                      MSG_NOSIGNAL | MSG_DONTWAIT | more);
        if (sent > 0) {
          out.head_sent += static_cast<std::size_t>(sent);
          continue;
        }
      } else if (out.file.size == 0) {
        return FinishFile({});
      } else if (slice == 0) {
        // Lets the other connections of this thread have their turn.
        return net::post(stream_.get_executor(), [self = shared_from_this()] {
          if (self->file_send_) self->PumpFile();
        });
      } else {
        auto offset = static_cast<off_t>(out.file.offset);
        const auto count = static_cast<std::size_t>(std::min(out.file.size, slice));
        sent = ::sendfile(socket, out.file.fd.get(), &offset, count);
        if (sent > 0) {
          out.file.offset += static_cast<std::uint64_t>(sent);
          out.file.size -= static_cast<std::uint64_t>(sent);
          body_bytes_ += static_cast<std::uint64_t>(sent);
          slice -= static_cast<std::uint64_t>(sent);
          continue;
        }
      }
      // The file ended early: the announced length can no longer be kept.
      if (sent == 0) return FinishFile(net::error::eof);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return WaitWritable();
      return FinishFile(beast::error_code(errno, boost::system::system_category()));
    }
  }

  void WaitWritable() {
    const std::uint64_t wait = ++file_wait_;
    file_timer_.expires_at(std::min(Clock::now() + config_.io_timeout, send_deadline_));
    file_timer_.async_wait([self = shared_from_this(), wait](beast::error_code ec) {
      // Still this very wait: the client has not taken anything in time.
      if (!ec && self->file_wait_ == wait) self->Close();
    });
    stream_.socket().async_wait(tcp::socket::wait_write,
                                [self = shared_from_this()](beast::error_code ec) {
                                  ++self->file_wait_;
                                  self->file_timer_.cancel();
                                  if (ec) return self->FinishFile(ec);
                                  self->PumpFile();
                                });
  }

  void FinishFile(beast::error_code ec) {
    const bool close = file_send_->close;
    file_send_.reset();
    OnWrite(close, ec);
  }

  // The clocks of an answer being sent, and the mark that one is.
  void StartSending() {
    const auto now = Clock::now();
    send_deadline_ = now + config_.send_timeout;
    if (abort_requested_) send_deadline_ = std::min(send_deadline_, now + kStopGrace);
    writing_ = true;
  }

  void OnWrite(bool close, beast::error_code ec) {
    Record();
    writing_ = false;
    stop_timer_.cancel();
    response_.reset();
    if (ec) return Close();
    answered_ = true;
    if (close || abort_requested_) return LingeringClose();
    ReadRequest();
  }

  // Logs and counts the answer just sent (or cut off).
  void Record() {
    if (config_.metrics) {
      const double seconds = std::chrono::duration<double>(Clock::now() - request_start_).count();
      config_.metrics->RecordRequest(action_, module_action_, status_, body_bytes_, seconds);
    }
    if (!config_.access_log) return;
    AccessRecord record;
    record.client = client_;
    record.when = request_time_;
    record.status = status_;
    record.bytes = body_bytes_;
    std::string request_line;
    if (have_request_) {
      request_line.append(request_.method_string())
          .append(" ")
          .append(request_.target())
          .append(request_.version() == 10 ? " HTTP/1.0" : " HTTP/1.1");
      record.referer = request_[http::field::referer];
      record.user_agent = request_[http::field::user_agent];
    }
    record.request_line = request_line;
    config_.access_log->Add(CombinedLogLine(record));
  }

  void LingeringClose() {
    Enter(State::kLingering);
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec || abort_requested_) return Close();
    lingered_ = 0;
    stream_.expires_after(kLingerTimeout);
    Linger();
  }

  void Linger() {
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
                              self->lingered_ += bytes;
                              if (ec || self->lingered_ > kLingerLimit) return self->Close();
                              self->Linger();
                            });
  }

  void Close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.close();
  }

  void OnAbort() {
    abort_requested_ = true;
    if (state() != State::kBusy) return Close();
    // A busy connection closes after its current answer. One being sent now
    // gets a short grace, as does one still being made once it is sent (see
    // Write), so that a client that does not read cannot hold up the stop.
    if (!writing_) return;
    send_deadline_ = std::min(send_deadline_, Clock::now() + kStopGrace);
    stop_timer_.expires_at(send_deadline_);
    stop_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec && self->writing_) self->Close();
    });
  }

  // A file answer being sent: its head, then the file.
  struct FileSend {
    std::string head;
    std::size_t head_sent = 0;
    FileBody file;  // offset and size move on as bytes go out
    bool close = false;
  };

  beast::tcp_stream stream_;
  HttpServer& server_;
  const ServerConfig& config_;
  net::steady_timer stop_timer_;
  net::steady_timer file_timer_;  // bounds each wait of a file answer for the client
  std::optional<FileSend> file_send_;
  std::uint64_t file_wait_ = 0;  // counts the waits of file answers, so a late timer is told apart
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<DiscardBody>> parser_;
  Request request_;
  bool have_request_ = false;  // request_ holds the request being answered
  bool answered_ = false;      // an answer has been sent on this connection
  bool abort_requested_ = false;
  bool writing_ = false;
  std::atomic<State> state_{State::kHead};
  std::atomic<Clock::rep> since_{Clock::now().time_since_epoch().count()};
  Clock::time_point request_deadline_;
  Clock::time_point send_deadline_;
  std::shared_ptr<void> response_;  // the message being written
  std::size_t lingered_ = 0;
  std::string client_;  // the peer's address, for the access log
  // The request being answered, for the access log and the metrics.
  Clock::time_point request_start_ = Clock::now();
  std::time_t request_time_ = std::time(nullptr);
  std::string action_{kHostAction};
  bool module_action_ = false;
  unsigned status_ = 0;
  std::uint64_t body_bytes_ = 0;
};

HttpServer::HttpServer(std::vector<net::io_context*> lanes, net::thread_pool& workers,
                       ServerConfig config)
    : lanes_(std::move(lanes)),
      workers_(workers),
      config_(std::move(config)),
      acceptor_(net::make_strand(*lanes_.front())),
      retry_timer_(acceptor_.get_executor()) {}

tcp::endpoint HttpServer::Listen(const tcp::endpoint& endpoint) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(net::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(net::socket_base::max_listen_connections);
  return acceptor_.local_endpoint();
}

void HttpServer::Start() {
  net::dispatch(acceptor_.get_executor(), [this] { Accept(); });
}

void HttpServer::Accept() {
  // A strand even on a lane of its own, so that a lane run by several
  // threads stays correct.
  net::io_context& lane = *lanes_[next_lane_++ % lanes_.size()];
  acceptor_.async_accept(net::make_strand(lane), [this](beast::error_code ec, tcp::socket socket) {
    OnAccept(ec, std::move(socket));
  });
}

void HttpServer::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (!acceptor_.is_open() || ec == net::error::operation_aborted) return;
  if (ec) {
    const int code = ec.value();
    if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
      // Out of resources: wait a little instead of spinning on the error.
      retry_timer_.expires_after(kAcceptRetryDelay);
      retry_timer_.async_wait([this](beast::error_code wait_ec) {
        if (!wait_ec && acceptor_.is_open()) Accept();
      });
      return;
    }
    return Accept();
  }
  // Answers go out in several writes (head and file pieces); without this the
  // last small piece waits for the client's delayed acknowledgement.
  beast::error_code option_ec;
  socket.set_option(tcp::no_delay(true), option_ec);
  // File answers go out through system calls of their own, which must not block.
  socket.native_non_blocking(true, option_ec);
  auto session = std::make_shared<Session>(std::move(socket), *this);
  // A connection that finds no room (or arrives while stopping) is dropped at
  // once: releasing the session closes its socket.
  std::shared_ptr<Session> evicted;
  if (Register(session, &evicted)) session->Start();
  if (evicted) evicted->Evict();
  Accept();
}

bool HttpServer::Register(const std::shared_ptr<Session>& session,
                          std::shared_ptr<Session>* evicted) {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  if (sessions_.size() >= config_.max_connections) {
    // The sessions in the registry are alive while the lock is held: a
    // session leaves it, under the lock, before any of its members go.
    Session* victim = nullptr;
    // A chosen connection may get busy before it is claimed; then look again.
    for (int attempt = 0; attempt < 3 && victim == nullptr; ++attempt) {
      Session* best = nullptr;
      bool best_idle = false;
      Clock::rep best_since = 0;
      for (const auto& entry : sessions_) {
        Session* candidate = entry.first;
        const Session::State state = candidate->state();
        const bool idle = state == Session::State::kIdle;
        if (!idle && state != Session::State::kHead) continue;
        const Clock::rep since = candidate->since();
        if (best == nullptr || (idle && !best_idle) || (idle == best_idle && since < best_since)) {
          best = candidate;
          best_idle = idle;
          best_since = since;
        }
      }
      if (best == nullptr) return false;
      if (best->TryEvict()) victim = best;
    }
    if (victim == nullptr) return false;
    const auto found = sessions_.find(victim);
    *evicted = found->second.lock();  // empty when it is being destroyed anyway
    sessions_.erase(found);
  }
  sessions_.emplace(session.get(), session);
  return true;
}

void HttpServer::Unregister(Session* session) {
  std::lock_guard lock(mutex_);
  sessions_.erase(session);
}

void HttpServer::Stop() {
  std::vector<std::shared_ptr<Session>> live;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_.store(true, std::memory_order_release);
    live.reserve(sessions_.size());
    for (const auto& entry : sessions_) {
      if (auto session = entry.second.lock()) live.push_back(std::move(session));
    }
  }
  net::post(acceptor_.get_executor(), [this] {
    beast::error_code ec;
    acceptor_.close(ec);
    retry_timer_.cancel();
  });
  for (const auto& session : live)
    session->Abort();
}

}  // namespace skalo::host
