#include "Server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>


#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "Http.h"

namespace qpk::serve {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// How long a closing connection reads what the client still sends, so that
// the end of the response is not lost to a reset.
constexpr std::chrono::seconds kLingerTime{2};
// Bytes one connection sends before it lets the others have the thread.
constexpr std::uint64_t kSendTurn = 4 << 20;
// A chunk the kernel may take from the file in one call.
constexpr std::uint64_t kSendChunk = 1 << 30;
// How often a stop looks whether the last connection has gone.
constexpr std::chrono::milliseconds kDrainTick{50};
// How long accepting pauses when the process is out of descriptors.
constexpr std::chrono::milliseconds kAcceptPause{100};

class Session;

// Messages for the operator, one line at a time from any thread.
class Log {
public:
    explicit Log(std::ostream& out) : out_(out) {}
    void Line(const std::string& text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        out_ << "qpk serve: " << text << std::endl;
    }

private:
    std::ostream& out_;
    std::mutex mutex_;
};

// The connections alive, so that a stop can reach them.
class Registry {
public:
    std::uint64_t Add(std::weak_ptr<Session> session) {
        const std::lock_guard<std::mutex> lock(mutex_);
        sessions_.emplace(next_, std::move(session));
        return next_++;
    }
    void Remove(std::uint64_t id) {
        const std::lock_guard<std::mutex> lock(mutex_);
        sessions_.erase(id);
    }
    std::size_t Count() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return sessions_.size();
    }
    std::vector<std::shared_ptr<Session>> Alive() {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::shared_ptr<Session>> alive;
        for (const auto& [id, weak] : sessions_)
            if (auto session = weak.lock()) alive.push_back(std::move(session));
        return alive;
    }

private:
    std::mutex mutex_;
    std::map<std::uint64_t, std::weak_ptr<Session>> sessions_;
    std::uint64_t next_ = 0;
};

// What every connection shares.
struct Shared {
    Shared(const Catalog& catalog, const ServerSettings& settings, Log& log)
        : catalog(catalog), settings(settings), log(log) {}

    const Catalog& catalog;
    const ServerSettings& settings;
    Log& log;
    Registry registry;
    std::atomic<bool> draining{false};
};

// An HTTP date of now, as the Date field carries it.
std::string HttpDate() {
    const std::time_t now = std::time(nullptr);
    std::tm parts = {};
    gmtime_r(&now, &parts);
    char text[40];
    const std::size_t size = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return std::string(text, size);
}

// A response: the serialised header, then the body's segments.
struct Reply {
    std::string header;
    std::vector<Segment> body;
    int file = -1;       // the package file the segments without bytes come from
    bool close = false;  // close the connection once it is sent
};

using Response = http::response<http::empty_body>;

std::string Serialise(const Response& response) {
    std::ostringstream text;
    text << response.base();
    return text.str();
}

Response StartResponse(http::status status, unsigned version) {
    Response response{status, version};
    response.set(http::field::date, HttpDate());
    return response;
}

// One client connection. Every handler runs on the connection's strand.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Shared& shared)
        : socket_(std::move(socket)), watchdog_(socket_.get_executor()), shared_(shared),
          buffer_(kMaxRequestHead + 1) {}
    ~Session() { shared_.registry.Remove(id_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The connection's strand.
    tcp::socket::executor_type Executor() { return socket_.get_executor(); }

    // Takes the first request. Called once, on the strand.
    void Start() {
        id_ = shared_.registry.Add(weak_from_this());
        beast::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        socket_.native_non_blocking(true, ignored);
        deadline_ = Clock::now() + shared_.settings.timeout;
        Watch();
        ReadRequest();
    }

    // A stop has begun: an idle connection closes now, a busy one after its response.
    void Drain() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (self->waiting_) self->Close();
        });
    }

    // The stop's time is up.
    void Abort() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Close(); });
    }

private:
    void Extend(Clock::duration time) { deadline_ = Clock::now() + time; }

    // One timer per connection follows a deadline that each step moves on.
    void Watch() {
        watchdog_.expires_at(deadline_);
        watchdog_.async_wait([self = shared_from_this()](beast::error_code error) {
            // Cancelled: closed, or set to an earlier deadline.
            if (self->closed_ || error == asio::error::operation_aborted) return;
            if (Clock::now() >= self->deadline_) {
                self->Close();
                return;
            }
            self->Watch();
        });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        watchdog_.cancel();
    }

    void ReadRequest() {
        if (closed_) return;
        if (shared_.draining) {
            Close();
            return;
        }
        waiting_ = true;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMaxRequestHead));
        Extend(shared_.settings.timeout);
        http::async_read_header(socket_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    self->waiting_ = false;
                                    self->OnRequest(error);
                                });
    }

    void OnRequest(beast::error_code error) {
        if (closed_) return;
        if (!error) {
            Reply reply = Answer(parser_->get());
            // The request's fields are not kept while the response goes out.
            parser_.reset();
            Send(std::move(reply));
            return;
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            // A link is long because of its parameters: a request line that
            // does not end within the limit is refused as they are.
            if (parser_->get().target().empty())
                Send(Refused(413, "the parameters are too large", 11, true));
            else
                Send(Refused(431, "the request head is over 64 KiB", 11, true));
            return;
        }
        if (error == http::error::end_of_stream || error == http::error::partial_message ||
            error.category() != http::make_error_code(http::error::bad_target).category()) {
            // The client went away, or the connection failed.
            Close();
            return;
        }
        Send(Refused(400, "malformed request", 11, true));
    }

    static Reply Refused(int status, const char* text, unsigned version, bool close,
                         std::optional<std::uint64_t> size = std::nullopt) {
        Response response = StartResponse(static_cast<http::status>(status), version);
        const std::string body = std::string(text) + "\n";
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.set(http::field::cache_control, "no-store");
        response.set(http::field::content_length, std::to_string(body.size()));
        if (status == 405) response.set(http::field::allow, "GET, HEAD");
        if (size) response.set(http::field::content_range, "bytes */" + std::to_string(*size));
        response.keep_alive(!close);
        Reply reply;
        reply.header = Serialise(response) + body;
        reply.close = close;
        return reply;
    }

    Reply Answer(const http::request<http::empty_body>& request) {
        const unsigned version = request.version();
        const bool close = !request.keep_alive() || shared_.draining;
        const bool head = request.method() == http::verb::head;
        // A body is never read: the connection cannot carry on behind it.
        const bool body = !parser_->is_done();
        if (request.method() != http::verb::get && !head) return Refused(405, "only GET and HEAD", version, close || body);
        if (body) return Refused(400, "a download request has no body", version, true);
        std::optional<std::uint64_t> size;
        try {
            const std::string_view target(request.target().data(), request.target().size());
            const Download download = PlanDownload(shared_.catalog, ParseLink(target), std::time(nullptr));
            size = download.size;
            Response response = StartResponse(http::status::ok, version);
            response.set(http::field::etag, download.etag);
            response.set(http::field::cache_control, "public, max-age=" + std::to_string(download.freshFor));
            response.keep_alive(!close);
            const auto noneMatch = request[http::field::if_none_match];
            if (!noneMatch.empty() && EtagListMatches({noneMatch.data(), noneMatch.size()}, download.etag)) {
                response.result(http::status::not_modified);
                return {Serialise(response), {}, -1, close};
            }
            std::optional<ByteSpan> span;
            const auto range = request[http::field::range];
            const auto ifRange = request[http::field::if_range];
            // A range applies only to the response the client holds a part of.
            if (!range.empty() && (ifRange.empty() || std::string_view(ifRange.data(), ifRange.size()) == download.etag))
                span = ParseRange({range.data(), range.size()}, download.size);
            response.set(http::field::content_type, "application/octet-stream");
            response.set(http::field::content_disposition,
                         "attachment; filename=\"" + download.package->fileName + "\"");
            response.set(http::field::accept_ranges, "bytes");
            Reply reply;
            reply.file = download.package->file->Get();
            reply.close = close;
            if (span) {
                response.result(http::status::partial_content);
                response.set(http::field::content_range, "bytes " + std::to_string(span->first) + "-" +
                                                             std::to_string(span->first + span->size - 1) + "/" +
                                                             std::to_string(download.size));
                response.set(http::field::content_length, std::to_string(span->size));
                if (!head) reply.body = Slice(download.segments, span->first, span->size);
            } else {
                response.set(http::field::content_length, std::to_string(download.size));
                if (!head) reply.body = download.segments;
            }
            reply.header = Serialise(response);
            return reply;
        } catch (const Refusal& refusal) {
            return Refused(refusal.Status(), refusal.what(), version, close,
                           refusal.Status() == 416 ? size : std::nullopt);
        } catch (const std::exception& failure) {
            shared_.log.Line(std::string("a request failed: ") + failure.what());
            return Refused(500, "internal error", version, true);
        }
    }

    void Send(Reply reply) {
        reply_ = std::move(reply);
        next_ = 0;
        headerSent_ = false;
        // Header and body leave in full packets; Finish lets the last one go.
        corked_ = !reply_.body.empty();
        if (corked_) SetCork(true);
        SendNext();
    }

    void SetCork(bool on) {
        const int value = on ? 1 : 0;
        setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
    }

    // Sends the pieces in memory up to the next file range in one write,
    // then the file range.
    void SendNext() {
        if (closed_) return;
        gather_.clear();
        if (!headerSent_) gather_.push_back(asio::buffer(reply_.header));
        while (next_ < reply_.body.size() && reply_.body[next_].bytes) {
            const Segment& segment = reply_.body[next_++];
            gather_.push_back(asio::buffer(segment.bytes->data() + segment.offset, static_cast<std::size_t>(segment.size)));
        }
        if (!gather_.empty()) {
            Extend(shared_.settings.timeout);
            asio::async_write(socket_, gather_, [self = shared_from_this()](beast::error_code error, std::size_t) {
                if (error) {
                    self->Close();
                    return;
                }
                self->headerSent_ = true;
                self->SendNext();
            });
            return;
        }
        if (next_ == reply_.body.size()) {
            Finish();
            return;
        }
        const Segment& segment = reply_.body[next_++];
        fileOffset_ = segment.offset;
        fileLeft_ = segment.size;
        SendFile();
    }

    // The kernel sends the file range to the socket without a copy here.
    void SendFile() {
        if (closed_) return;
        std::uint64_t turn = kSendTurn;
        while (fileLeft_ > 0) {
            off_t offset = static_cast<off_t>(fileOffset_);
            const auto count = static_cast<std::size_t>(std::min({fileLeft_, turn, kSendChunk}));
            const ssize_t sent = ::sendfile(socket_.native_handle(), reply_.file, &offset, count);
            if (sent > 0) {
                fileOffset_ += static_cast<std::uint64_t>(sent);
                fileLeft_ -= static_cast<std::uint64_t>(sent);
                turn -= static_cast<std::uint64_t>(sent);
                Extend(shared_.settings.timeout);
                if (turn == 0 && fileLeft_ > 0) {
                    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->SendFile(); });
                    return;
                }
                continue;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](beast::error_code error) {
                    if (error) {
                        self->Close();
                        return;
                    }
                    self->SendFile();
                });
                return;
            }
            if (sent == 0) shared_.log.Line("a package file ended early: was it changed while being served?");
            // Otherwise the client went away.
            Close();
            return;
        }
        SendNext();
    }

    void Finish() {
        if (corked_) SetCork(false);
        corked_ = false;
        const bool close = reply_.close || shared_.draining;
        reply_ = Reply();
        if (close) {
            Linger();
            return;
        }
        // A large head grew the buffer; the next request starts small again.
        if (buffer_.size() == 0) buffer_.shrink_to_fit();
        ReadRequest();
    }

    // Ends the sending side, then reads and drops what the client still sends
    // until it closes or the linger time is up.
    void Linger() {
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        // The deadline comes sooner now: the timer is set anew.
        Extend(kLingerTime);
        Watch();
        Discard();
    }

    void Discard() {
        if (closed_) return;
        socket_.async_read_some(asio::buffer(scrap_), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->Close();
                return;
            }
            self->Discard();
        });
    }

    tcp::socket socket_;
    asio::steady_timer watchdog_;
    Shared& shared_;
    std::uint64_t id_ = 0;
    Clock::time_point deadline_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    Reply reply_;
    std::vector<asio::const_buffer> gather_;
    std::size_t next_ = 0;
    bool headerSent_ = false;
    bool corked_ = false;
    std::uint64_t fileOffset_ = 0;
    std::uint64_t fileLeft_ = 0;
    std::array<char, 512> scrap_{};
    bool waiting_ = false;  // for a request head
    bool closed_ = false;
};

// Accepts connections, and stops on SIGTERM or SIGINT. Its handlers run on
// one strand.
class Listener {
public:
    Listener(asio::io_context& io, Shared& shared, const tcp::endpoint& endpoint)
        : io_(io), shared_(shared), strand_(asio::make_strand(io)), acceptor_(strand_),
          signals_(strand_, SIGTERM, SIGINT), drainTimer_(strand_) {
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(asio::socket_base::max_listen_connections);
    }

    tcp::endpoint Endpoint() const { return acceptor_.local_endpoint(); }

    void Start() {
        Accept();
        signals_.async_wait([this](beast::error_code error, int) {
            if (!error) BeginDrain();
        });
    }

private:
    void Accept() {
        acceptor_.async_accept(asio::make_strand(io_), [this](beast::error_code error, tcp::socket socket) {
            if (shared_.draining) return;
            if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
                error == asio::error::no_memory || error.value() == ENFILE) {
                // Out of descriptors: the connections that end make room.
                if (!warned_) shared_.log.Line("out of file descriptors: accepting pauses while connections end");
                warned_ = true;
                drainTimer_.expires_after(kAcceptPause);
                drainTimer_.async_wait([this](beast::error_code waitError) {
                    if (!waitError && !shared_.draining) Accept();
                });
                return;
            }
            if (!error) {
                auto session = std::make_shared<Session>(std::move(socket), shared_);
                asio::dispatch(session->Executor(), [session] { session->Start(); });
            }
            Accept();
        });
    }

    void BeginDrain() {
        shared_.draining = true;
        beast::error_code ignored;
        acceptor_.close(ignored);
        drainTimer_.cancel();
        const auto alive = shared_.registry.Alive();
        shared_.log.Line("stopping: " + std::to_string(alive.size()) + " connections open");
        for (const auto& session : alive) session->Drain();
        drainEnd_ = Clock::now() + shared_.settings.drainTimeout;
        Tick();
    }

    void Tick() {
        if (shared_.registry.Count() == 0) return;
        if (!aborted_ && Clock::now() >= drainEnd_) {
            aborted_ = true;
            const auto alive = shared_.registry.Alive();
            shared_.log.Line("the stop's time is up: closing " + std::to_string(alive.size()) + " connections");
            for (const auto& session : alive) session->Abort();
        }
        drainTimer_.expires_after(kDrainTick);
        drainTimer_.async_wait([this](beast::error_code) { Tick(); });
    }

    asio::io_context& io_;
    Shared& shared_;
    asio::strand<asio::io_context::executor_type> strand_;
    tcp::acceptor acceptor_;
    asio::signal_set signals_;
    asio::steady_timer drainTimer_;
    Clock::time_point drainEnd_;
    bool warned_ = false;
    bool aborted_ = false;
};

// Thousands of connections need as many descriptors: take what the hard limit allows.
void RaiseDescriptorLimit() {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

void RunServer(const Catalog& catalog, const ServerSettings& settings, std::ostream& logStream,
               const std::function<void(const std::string&)>& onListening) {
    // A client that goes away makes sendfile fail with EPIPE, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    Log log(logStream);
    Shared shared(catalog, settings, log);
    asio::io_context io(static_cast<int>(settings.threads));
    beast::error_code error;
    const auto address = asio::ip::make_address(settings.address, error);
    if (error) throw std::runtime_error("not an IP address: " + settings.address);
    std::optional<Listener> listener;
    try {
        listener.emplace(io, shared, tcp::endpoint(address, settings.port));
    } catch (const boost::system::system_error& failure) {
        throw std::runtime_error("cannot listen on " + settings.address + ":" + std::to_string(settings.port) + ": " +
                                 failure.code().message());
    }
    listener->Start();
    const tcp::endpoint bound = listener->Endpoint();
    const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                     : bound.address().to_string();
    onListening(host + ":" + std::to_string(bound.port()));

    auto run = [&io, &log] {
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& failure) {
                log.Line(std::string("a connection failed: ") + failure.what());
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < settings.threads; ++i) threads.emplace_back(run);
    run();
    for (std::thread& thread : threads) thread.join();
    log.Line("stopped");
}

}  // namespace qpk::serve
