// The viewer's HTTP server.
#include "view_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "common.h"
#include "view_assets.h"

namespace vora_tool {
namespace view {

namespace {

using Clock = std::chrono::steady_clock;

// Threads serving connections. A page keeps about five busy (a request
// waiting for each channel's next frame, one for the statistics, one for
// the controls), and browsers keep a few idle connections open besides.
constexpr size_t kThreads = 32;
constexpr auto kFrameWait = std::chrono::seconds(2);
constexpr auto kStatsWait = std::chrono::seconds(3);
constexpr size_t kMaxBody = 4096;  // no request carries more than a few numbers
const char* const kJson = "application/json";

void reply(httplib::Response& res, const Reply& r)
{
    res.status = r.status;
    res.set_content(r.json, kJson);
}

void fail(httplib::Response& res, int status, const std::string& message)
{
    reply(res, {status, error_json(message)});
}

// Answers, then ends the connection. The library keeps a connection open
// after every answer it wrote whole; a body provider that reports failure
// once it has written everything is its one way to end one.
void fail_and_close(httplib::Response& res, int status, const std::string& message)
{
    const auto body = std::make_shared<const std::string>(error_json(message));
    res.status = status;
    res.set_header("Connection", "close");
    res.set_content_provider(body->size(), kJson, [body](size_t offset, size_t length, httplib::DataSink& sink) {
        sink.write(body->data() + offset, length);
        return false;
    });
}

// A whole number within [min, max], written in decimal digits (an optional
// minus); `fallback` when absent. False with the reason when malformed.
bool number(const httplib::Request& req, const char* name, long long min, long long max, long long fallback,
            long long* out, std::string* error)
{
    if (!req.has_param(name)) {
        if (fallback < min) {
            *error = std::string(name) + " is missing";
            return false;
        }
        *out = fallback;
        return true;
    }
    const std::string text = req.get_param_value(name);
    bool digits = !text.empty() && text.size() <= 12;
    for (size_t i = 0; i < text.size() && digits; ++i)
        digits = std::isdigit(static_cast<unsigned char>(text[i])) || (i == 0 && text[i] == '-' && text.size() > 1);
    const long long value = digits ? std::strtoll(text.c_str(), nullptr, 10) : 0;
    if (!digits || value < min || value > max) {
        *error = std::string(name) + " must be a whole number in " + std::to_string(min) + ".." + std::to_string(max) +
                 (digits ? ", not " + text : "");
        return false;
    }
    *out = value;
    return true;
}

// The methods whose body the library reads before a handler sees them.
bool carries_body(const std::string& method)
{
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE" || method == "PRI";
}

// A body in chunks ends with its last chunk: it needs no length.
bool chunked(const httplib::Request& req)
{
    return strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") == 0;
}

}  // namespace

bool is_address(const std::string& text)
{
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool is_loopback(const std::string& address)
{
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

struct Server::Impl {
    explicit Impl(Viewer& v) : viewer(v) {}

    Viewer& viewer;
    httplib::Server http;
    std::set<std::string> hosts;  // the Host headers that name this server
    bool any_host = false;        // bound to every address: any name may reach it

    bool host_allowed(const httplib::Request& req) const
    {
        return any_host || hosts.count(req.get_header_value("Host")) != 0;
    }

    void routes();
    void frame(const httplib::Request& req, httplib::Response& res);
    void save(const httplib::Request& req, httplib::Response& res);
};

Server::Server(Viewer& viewer) : impl_(std::make_unique<Impl>(viewer))
{
    httplib::Server& http = impl_->http;
    http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // The library's default also sets SO_REUSEPORT, with which a second
    // viewer on the same port would share the connections of the first.
    http.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    http.set_keep_alive_max_count(100000);
    // Idle connections hold a thread for this long, and stop() waits for them.
    http.set_keep_alive_timeout(2);
    http.set_read_timeout(5);
    // A page that stops reading loses its connection after this.
    http.set_write_timeout(5);
    http.set_payload_max_length(kMaxBody);
    http.set_default_headers(
        {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});
    impl_->routes();
}

Server::~Server()
{
    stop();
}

bool Server::bind(const std::string& address, int port, std::string* error)
{
    address_ = address;
    errno = 0;
    if (port == 0) {
        port_ = impl_->http.bind_to_any_port(address);
        if (port_ <= 0) {
            *error = "cannot listen on " + address + ": " + errno_text(errno);
            return false;
        }
    } else {
        if (!impl_->http.bind_to_port(address, port)) {
            *error = "cannot listen on " + address + " port " + std::to_string(port) + ": " + errno_text(errno);
            return false;
        }
        port_ = port;
    }
    const std::string p = ":" + std::to_string(port_);
    const bool v6 = address.find(':') != std::string::npos;
    impl_->hosts = {"localhost" + p, (v6 ? "[" + address + "]" : address) + p};
    if (is_loopback(address))
        impl_->hosts.insert({"127.0.0.1" + p, "[::1]" + p});
    impl_->any_host = address == "0.0.0.0" || address == "::";
    return true;
}

std::string Server::url() const
{
    const std::string host = address_ == "0.0.0.0" ? "127.0.0.1" : address_ == "::" ? "[::1]" : address_;
    return "http://" + (host.find(':') != std::string::npos && host[0] != '[' ? "[" + host + "]" : host) + ":" +
           std::to_string(port_) + "/";
}

void Server::start()
{
    thread_ = std::thread([this] {
        impl_->http.listen_after_bind();
        ended_ = true;
    });
    // The library's stop() does nothing to a server that is not running yet.
    while (!impl_->http.is_running() && !ended_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Server::stop()
{
    impl_->http.stop();
    if (thread_.joinable())
        thread_.join();
}

void Server::Impl::routes()
{
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!host_allowed(req)) {
            fail(res, 403, "this server answers to its own address only");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Without a length (`curl -X POST` with no data), the library would
        // read the body until the client closes, and answer only at its read
        // timeout. What follows the headers cannot be told from a next
        // request either: the connection ends with the answer.
        if (carries_body(req.method) && !req.has_header("Content-Length") && !chunked(req)) {
            fail_and_close(res, 400, req.method + " needs a Content-Length (0 for no body)");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A page of another site may send a POST here; its browser says
        // whose it is.
        const std::string origin = req.get_header_value("Origin");
        if (req.method == "POST" && !origin.empty() && origin != "http://" + req.get_header_value("Host")) {
            fail(res, 403, "requests from other sites are refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    http.Get("/api/info",
             [this](const httplib::Request&, httplib::Response& res) { res.set_content(viewer.info_json(), kJson); });
    http.Get("/api/colormap", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(Viewer::colour_map_json(), kJson);
    });
    http.Get("/api/frame", [this](const httplib::Request& req, httplib::Response& res) { frame(req, res); });
    http.Get("/api/stats", [this](const httplib::Request& req, httplib::Response& res) {
        long long after = 0;
        std::string error;
        if (!number(req, "after", 0, UINT32_MAX, 0, &after, &error))
            return fail(res, 400, error);
        const std::string json = viewer.statistics(static_cast<uint32_t>(after), Clock::now() + kStatsWait);
        if (json.empty())
            return fail(res, 503, "the viewer is stopping");
        res.set_content(json, kJson);
    });
    http.Get("/api/controls",
             [this](const httplib::Request&, httplib::Response& res) { reply(res, viewer.controls()); });
    http.Post("/api/set", [this](const httplib::Request& req, httplib::Response& res) {
        long long index = 0;
        std::string error;
        const std::string name = req.get_param_value("name");
        if (name.empty() || name.size() > 64)
            return fail(res, 400, "name is missing");
        if (!number(req, "index", 0, 255, 0, &index, &error))
            return fail(res, 400, error);
        // Checked for its feature by the camera's thread: a number, an
        // entry's name, true/false, text.
        const std::string value = req.get_param_value("value");
        if (!req.has_param("value") || value.empty() || value.size() > 256)
            return fail(res, 400, "value is missing or longer than 256 characters");
        reply(res, viewer.set(name, static_cast<int>(index), value));
    });
    http.Post("/api/save", [this](const httplib::Request& req, httplib::Response& res) { save(req, res); });

    // The page: exact paths of the table, nothing else.
    http.Get(".*", [](const httplib::Request& req, httplib::Response& res) {
        const std::string path = req.path == "/index.html" ? "/" : req.path;
        for (size_t i = 0; i < kAssetCount; ++i) {
            if (path != kAssets[i].path)
                continue;
            if (path == "/")
                res.set_header("Content-Security-Policy",
                               "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'");
            res.set_content(reinterpret_cast<const char*>(kAssets[i].data), kAssets[i].size, kAssets[i].content_type);
            return;
        }
        fail(res, 404, "no such page");
    });
}

void Server::Impl::frame(const httplib::Request& req, httplib::Response& res)
{
    long long channel = 0, after = 0, step = 0, points = 1, fuse = 0;
    std::string error;
    if (!number(req, "channel", 0, 2, -1, &channel, &error) ||
        !number(req, "after", 0, UINT32_MAX, 0, &after, &error) ||
        !number(req, "step", 0, kMaxStep, 0, &step, &error) || !number(req, "points", 0, 1, 1, &points, &error) ||
        !number(req, "fuse", 0, 1, 0, &fuse, &error))
        return fail(res, 400, error);
    const auto ch = static_cast<unsigned short>(channel);
    if (!viewer.has_channel(ch))
        return fail(res, 404, "channel " + std::to_string(ch) + " is not open");
    const int colour_channel = fuse ? viewer.colour_channel() : -1;
    if (fuse && colour_channel < 0)
        return fail(res, 400, "no colour channel is open to fuse with");

    FrameStore& frames = viewer.frames();
    const std::shared_ptr<const Frame> f =
        frames.wait_newer(ch, static_cast<uint32_t>(after), Clock::now() + kFrameWait);
    if (!f) {
        if (frames.stopped())
            return fail(res, 503, "the viewer is stopping");
        res.status = 204;  // nothing new yet: ask again
        return;
    }
    // Until the first colour frame arrives, clouds come in depth colours.
    const std::shared_ptr<const Frame> colour =
        fuse && f->depth() ? frames.latest(static_cast<unsigned short>(colour_channel)) : nullptr;
    const unsigned s = step ? static_cast<unsigned>(step) : default_step(f->info.pixel_width, f->info.pixel_height);
    std::shared_ptr<const std::string> message;
    bool stale = false;
    if (!viewer.with_camera([&] {
            stale = !viewer.current(*f) || (colour && !viewer.current(*colour));
            if (!stale)
                message = f->message(viewer.camera(), s, points != 0, colour.get(), &error);
        }))
        return fail(res, 503, "the viewer is stopping");
    if (stale) {
        res.status = 204;  // its streams were reopened: ask again
        return;
    }
    if (!message)
        return fail(res, 500, error);
    // Written from the shared message: no copy per page.
    res.set_content_provider(message->size(), "application/octet-stream",
                             [message](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return sink.write(message->data() + offset, length);
                             });
}

void Server::Impl::save(const httplib::Request& req, httplib::Response& res)
{
    std::map<unsigned short, uint32_t> seqs;
    std::string error;
    for (unsigned short ch = 0; ch < 3; ++ch) {
        const std::string key = "ch" + std::to_string(ch);
        long long seq = 0;
        if (!number(req, key.c_str(), 0, UINT32_MAX, 0, &seq, &error))
            return fail(res, 400, error);
        if (seq > 0)
            seqs[ch] = static_cast<uint32_t>(seq);
    }
    long long fuse = -1;
    if (!number(req, "fuse", -1, 2, -1, &fuse, &error))
        return fail(res, 400, error);
    reply(res, viewer.save(seqs, static_cast<int>(fuse)));
}

}  // namespace view
}  // namespace vora_tool
