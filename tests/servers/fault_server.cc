// fault_server.cc: the scripted server of fault_server.h. The accepting thread polls the
// listening socket and a wake pipe; each connection thread reads a request head, logs it,
// decides the whole answer under the lock (auth, script, resource slice) and sends it
// unlocked. stop() shuts every connection down, which ends blocked reads and writes, and
// notifies the condition variable that every scripted wait sleeps on.
#include "servers/fault_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

struct Resource {
    std::string bytes;
    std::string type;
    time_t mtime;
};

struct Credentials {
    std::string user;
    std::string password;
};

struct Connection {
    int fd;
    std::thread thread;
    bool done = false;
};

// Everything one answer needs, decided under the lock and sent without it.
struct Answer {
    bool drop = false;
    bool hang = false;
    bool head_only = false;
    bool close = false;
    std::string head;
    std::string body;
    size_t cut_after = SIZE_MAX;
    int stall_ms = 0;
    size_t chunk_bytes = 0;
    int chunk_ms = 0;
};

// A request head may not exceed this; a longer one closes the connection.
constexpr size_t MAX_HEAD = 64 * 1024;

} // namespace

struct FaultServerCore {
    mutable std::mutex lock;
    // Notified when the log grows and when the server stops.
    mutable std::condition_variable changed;
    std::map<std::string, Resource> resources;
    // Keyed by (method, path); method "" is the script for any method.
    std::map<std::pair<std::string, std::string>, std::deque<Reply>> scripts;
    std::optional<Credentials> server_auth;
    std::map<std::string, Credentials> path_auth;
    std::vector<SeenRequest> log;
    // Requests being answered now, and the most there ever were at once.
    size_t in_flight = 0;
    size_t max_in_flight = 0;
    bool stopping = false;
    bool running = false;
    int listen_fd = -1;
    int wake_pipe[2] = {-1, -1};
    uint16_t port = 0;
    std::thread acceptor;
    std::list<Connection> connections;
};

Reply ranged()
{
    return Reply{};
}

Reply status(int code)
{
    Reply r;
    r.status = code;
    return r;
}

Reply no_range_headers()
{
    Reply r;
    r.range_headers = false;
    return r;
}

Reply ignore_range()
{
    Reply r;
    r.honour_range = false;
    return r;
}

Reply cut(size_t after_bytes)
{
    Reply r;
    r.cut_after = after_bytes;
    return r;
}

Reply short_body(size_t fewer)
{
    Reply r;
    r.body_delta = -static_cast<long>(fewer);
    return r;
}

Reply long_body(size_t more)
{
    Reply r;
    r.body_delta = static_cast<long>(more);
    return r;
}

Reply head_without_length()
{
    Reply r;
    r.send_length = false;
    return r;
}

Reply redirect(const std::string &to, int code)
{
    Reply r;
    r.location = to;
    r.status = code;
    return r;
}

Reply stall(int ms)
{
    Reply r;
    r.stall_ms = ms;
    return r;
}

Reply slow(size_t chunk_bytes, int ms_between_chunks)
{
    Reply r;
    r.chunk_bytes = chunk_bytes;
    r.chunk_ms = ms_between_chunks;
    return r;
}

Reply drop()
{
    Reply r;
    r.drop = true;
    return r;
}

Reply hang()
{
    Reply r;
    r.hang = true;
    return r;
}

Reply stall_after(size_t bytes)
{
    Reply r;
    r.chunk_bytes = bytes;
    r.chunk_ms = 3600 * 1000;
    return r;
}

Reply wrong_range()
{
    Reply r;
    r.range_shift = 4;
    return r;
}

Reply grown(long bytes)
{
    Reply r;
    r.size_delta = bytes;
    return r;
}

Reply modified(time_t at)
{
    Reply r;
    r.mtime = at;
    return r;
}

static std::string lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

static std::string trim(const std::string &text)
{
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static std::string percent_decode(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

static std::string base64_decode(const std::string &text)
{
    static const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned int bits = 0;
    int count = 0;
    for (char c : text) {
        size_t v = ALPHABET.find(c);
        if (v == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<unsigned int>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

static std::string http_date(time_t t)
{
    struct tm tm {
    };
    gmtime_r(&t, &tm);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

static const char *reason_phrase(int code)
{
    static const struct {
        int code;
        const char *text;
    } PHRASES[] = {
        {200, "OK"},
        {206, "Partial Content"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {416, "Range Not Satisfiable"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    for (const auto &p : PHRASES)
        if (p.code == code)
            return p.text;
    return "Status";
}

// Parses a single range "bytes=a-b", "bytes=a-" or "bytes=-n" against a resource of `total`
// bytes. False when the header is not one well-formed range (the caller then ignores it, as a
// server may). Otherwise *unsatisfiable, or [*first, *end) with `end` exclusive.
static bool parse_range(const std::string &value, uint64_t total, uint64_t *first, uint64_t *end,
                        bool *unsatisfiable)
{
    std::string text = trim(value);
    if (text.compare(0, 6, "bytes=") != 0)
        return false;
    text = trim(text.substr(6));
    size_t dash = text.find('-');
    if (dash == std::string::npos || text.find(',') != std::string::npos)
        return false;
    std::string a = trim(text.substr(0, dash)), b = trim(text.substr(dash + 1));
    // A number too long for 64 bits makes the header malformed, as any other garbage does.
    auto digits = [](const std::string &s) {
        return !s.empty() && s.size() <= 19 && s.find_first_not_of("0123456789") == std::string::npos;
    };
    *unsatisfiable = false;
    if (a.empty()) {
        if (!digits(b))
            return false;
        uint64_t n = std::stoull(b);
        if (n == 0 || total == 0) {
            *unsatisfiable = true;
            return true;
        }
        *first = n >= total ? 0 : total - n;
        *end = total;
        return true;
    }
    if (!digits(a) || (!b.empty() && !digits(b)))
        return false;
    uint64_t from = std::stoull(a);
    uint64_t to = b.empty() ? UINT64_MAX : std::stoull(b);
    if (to < from)
        return false;
    if (from >= total) {
        *unsatisfiable = true;
        return true;
    }
    *first = from;
    *end = to >= total ? total : to + 1;
    return true;
}

// The resource at the path as sent, else at its decoded form, else null. Called with the lock held.
static const Resource *find_resource(const FaultServerCore *core, const std::string &path)
{
    auto it = core->resources.find(path);
    if (it == core->resources.end())
        it = core->resources.find(percent_decode(path));
    return it == core->resources.end() ? nullptr : &it->second;
}

static bool path_matches(const std::string &wanted, const std::string &seen)
{
    return wanted.empty() || wanted == seen || wanted == percent_decode(seen);
}

// Takes the next scripted reply for the request, per-method script first. Called with the lock held.
static Reply next_reply(FaultServerCore *core, const SeenRequest &req)
{
    for (const std::string &method : {req.method, std::string()}) {
        for (const std::string &path : {req.path, percent_decode(req.path)}) {
            auto it = core->scripts.find({method, path});
            if (it != core->scripts.end() && !it->second.empty()) {
                Reply r = it->second.front();
                it->second.pop_front();
                return r;
            }
        }
    }
    return ranged();
}

// Whether the request carries what the path's credentials (or the server's) ask for. Called
// with the lock held.
static bool authorized(FaultServerCore *core, const SeenRequest &req)
{
    const Credentials *need = nullptr;
    auto it = core->path_auth.find(req.path);
    if (it == core->path_auth.end())
        it = core->path_auth.find(percent_decode(req.path));
    if (it != core->path_auth.end())
        need = &it->second;
    else if (core->server_auth)
        need = &*core->server_auth;
    if (!need)
        return true;
    auto h = req.headers.find("authorization");
    if (h == req.headers.end() || lower(h->second.substr(0, 6)) != "basic ")
        return false;
    return base64_decode(trim(h->second.substr(6))) == need->user + ":" + need->password;
}

static std::string status_line(int code)
{
    return "HTTP/1.1 " + std::to_string(code) + " " + reason_phrase(code) + "\r\n";
}

static std::string small_page(int code)
{
    return "<html><head><title>" + std::to_string(code) + " " + reason_phrase(code) +
           "</title></head><body><h1>" + std::to_string(code) + " " + reason_phrase(code) +
           "</h1></body></html>\n";
}

// Decides the whole answer to a request. Called with the lock held.
static Answer plan_answer(FaultServerCore *core, const SeenRequest &req, bool client_close)
{
    Answer a;
    a.head_only = req.method == "HEAD";
    a.close = client_close;
    if (!authorized(core, req)) {
        a.body = small_page(401);
        a.head = status_line(401) +
                 "WWW-Authenticate: Basic realm=\"fault-server\"\r\n"
                 "Content-Type: text/html\r\nContent-Length: " +
                 std::to_string(a.body.size()) + "\r\n";
        if (a.close)
            a.head += "Connection: close\r\n";
        a.head += "\r\n";
        return a;
    }
    Reply r = next_reply(core, req);
    if (r.drop) {
        a.drop = true;
        return a;
    }
    if (r.hang) {
        a.hang = true;
        return a;
    }
    a.cut_after = r.cut_after;
    a.stall_ms = r.stall_ms;
    a.chunk_bytes = r.chunk_bytes;
    a.chunk_ms = r.chunk_ms;

    int code;
    std::string headers;
    if (!r.location.empty()) {
        code = r.status ? r.status : 302;
        std::string to = r.location.compare(0, 4, "http") == 0
                             ? r.location
                             : "http://127.0.0.1:" + std::to_string(core->port) + r.location;
        headers += "Location: " + to + "\r\n";
    } else if (r.status) {
        code = r.status;
        a.body = small_page(code);
        headers += "Content-Type: text/html\r\n";
        if (r.range_headers)
            headers += "Accept-Ranges: bytes\r\n";
    } else {
        const Resource *found = find_resource(core, req.path);
        if (!found) {
            code = 404;
            a.body = small_page(code);
            headers += "Content-Type: text/html\r\n";
        } else {
            const Resource &res = *found;
            std::string bytes = res.bytes;
            if (r.size_delta < 0)
                bytes.resize(bytes.size() - std::min(bytes.size(), static_cast<size_t>(-r.size_delta)));
            else
                bytes.resize(bytes.size() + static_cast<size_t>(r.size_delta), '\0');
            uint64_t total = bytes.size(), first = 0, end = total;
            bool unsatisfiable = false;
            code = 200;
            if (r.honour_range && !req.range.empty() &&
                parse_range(req.range, total, &first, &end, &unsatisfiable))
                code = unsatisfiable ? 416 : 206;
            if (unsatisfiable)
                first = end = 0;
            if (code == 206 && r.range_shift) {
                first += static_cast<uint64_t>(r.range_shift);
                end = std::min(total, end + static_cast<uint64_t>(r.range_shift));
            }
            long want = static_cast<long>(end - first) + r.body_delta;
            size_t len = want < 0 ? 0 : static_cast<size_t>(want);
            if (first < total)
                a.body = bytes.substr(first, len);
            a.body.resize(len, '\0');
            headers += "Content-Type: " + res.type +
                       "\r\nLast-Modified: " + http_date(r.mtime ? r.mtime : res.mtime) + "\r\n";
            if (r.range_headers) {
                headers += "Accept-Ranges: bytes\r\n";
                if (code == 416 || (code == 206 && len == 0))
                    headers += "Content-Range: bytes */" + std::to_string(total) + "\r\n";
                else if (code == 206)
                    headers += "Content-Range: bytes " + std::to_string(first) + "-" +
                               std::to_string(first + len - 1) + "/" + std::to_string(total) + "\r\n";
            }
        }
    }
    if (r.send_length)
        headers += "Content-Length: " + std::to_string(a.body.size()) + "\r\n";
    else if (!a.head_only)
        a.close = true;
    if (!a.head_only && a.cut_after != SIZE_MAX)
        a.close = true;
    for (const std::string &line : r.headers)
        headers += line + "\r\n";
    if (a.close)
        headers += "Connection: close\r\n";
    a.head = status_line(code) + "Server: fault-server\r\n" + headers + "\r\n";
    return a;
}

// Sleeps up to `ms`; false when the server is stopping.
static bool pause_for(FaultServerCore *core, int ms)
{
    if (ms <= 0)
        return true;
    std::unique_lock<std::mutex> guard(core->lock);
    return !core->changed.wait_for(guard, std::chrono::milliseconds(ms), [core] { return core->stopping; });
}

static bool send_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Sends the answer; false when the connection must close afterwards.
static bool send_answer(FaultServerCore *core, int fd, const Answer &a)
{
    if (a.drop)
        return false;
    if (a.hang) {
        // Until the server stops: an hour is as good as for ever for a test.
        pause_for(core, 3600 * 1000);
        return false;
    }
    if (a.head_only) {
        if (!pause_for(core, a.stall_ms))
            return false;
        return send_all(fd, a.head.data(), a.head.size()) && !a.close;
    }
    if (!send_all(fd, a.head.data(), a.head.size()))
        return false;
    if (!pause_for(core, a.stall_ms))
        return false;
    size_t size = a.body.size() < a.cut_after ? a.body.size() : a.cut_after;
    size_t chunk = a.chunk_bytes ? a.chunk_bytes : size;
    for (size_t sent = 0; sent < size;) {
        if (sent > 0 && !pause_for(core, a.chunk_ms))
            return false;
        size_t n = size - sent < chunk ? size - sent : chunk;
        if (!send_all(fd, a.body.data() + sent, n))
            return false;
        sent += n;
    }
    return !a.close;
}

// Reads one request head (through the blank line) from the connection, keeping bytes that
// follow it in `pending`. False at end of stream, on error, or when the head is too long.
static bool read_head(int fd, std::string &pending, std::string *head)
{
    for (;;) {
        size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            *head = pending.substr(0, end + 2);
            pending.erase(0, end + 4);
            return true;
        }
        if (pending.size() > MAX_HEAD)
            return false;
        char buf[8192];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pending.append(buf, static_cast<size_t>(n));
    }
}

// Skips a request body of `length` bytes. False when the connection ends first.
static bool skip_body(int fd, std::string &pending, size_t length)
{
    while (pending.size() < length) {
        char buf[8192];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pending.append(buf, static_cast<size_t>(n));
    }
    pending.erase(0, length);
    return true;
}

// Parses a head into the log record; false when the request line is malformed.
static bool parse_head(const std::string &head, SeenRequest *req, bool *client_close, size_t *body_length)
{
    size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1)
        return false;
    req->method = line.substr(0, s1);
    std::string target = line.substr(s1 + 1, s2 - s1 - 1);
    std::string version = line.substr(s2 + 1);
    size_t q = target.find('?');
    req->path = target.substr(0, q);
    req->query = q == std::string::npos ? "" : target.substr(q + 1);
    for (size_t pos = eol + 2; pos < head.size();) {
        size_t next = head.find("\r\n", pos);
        std::string field = head.substr(pos, next - pos);
        pos = next + 2;
        size_t colon = field.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = lower(trim(field.substr(0, colon))), value = trim(field.substr(colon + 1));
        auto it = req->headers.find(name);
        if (it == req->headers.end())
            req->headers[name] = value;
        else
            it->second += ", " + value;
    }
    auto get = [req](const char *name) {
        auto it = req->headers.find(name);
        return it == req->headers.end() ? std::string() : it->second;
    };
    req->range = get("range");
    std::string auth = get("authorization");
    req->credentials = !auth.empty();
    if (lower(auth.substr(0, 6)) == "basic ") {
        std::string pair = base64_decode(trim(auth.substr(6)));
        req->user = pair.substr(0, pair.find(':'));
    }
    std::string connection = lower(get("connection"));
    *client_close = version != "HTTP/1.1" || connection.find("close") != std::string::npos;
    std::string length = get("content-length");
    *body_length = length.empty() ? 0 : std::strtoull(length.c_str(), nullptr, 10);
    return !req->method.empty() && !req->path.empty() && version.compare(0, 5, "HTTP/") == 0;
}

static void serve_connection(FaultServerCore *core, Connection *conn)
{
    std::string pending, head;
    while (read_head(conn->fd, pending, &head)) {
        SeenRequest req;
        bool client_close = false;
        size_t body_length = 0;
        if (!parse_head(head, &req, &client_close, &body_length)) {
            std::string bad = status_line(400) + "Content-Length: 0\r\nConnection: close\r\n\r\n";
            send_all(conn->fd, bad.data(), bad.size());
            break;
        }
        if (!skip_body(conn->fd, pending, body_length))
            break;
        Answer a;
        {
            std::lock_guard<std::mutex> guard(core->lock);
            core->log.push_back(req);
            core->changed.notify_all();
            a = plan_answer(core, req, client_close);
            core->max_in_flight = std::max(core->max_in_flight, ++core->in_flight);
        }
        bool sent = send_answer(core, conn->fd, a);
        {
            std::lock_guard<std::mutex> guard(core->lock);
            core->in_flight--;
            core->changed.notify_all();
        }
        if (!sent)
            break;
    }
    std::lock_guard<std::mutex> guard(core->lock);
    close(conn->fd);
    conn->fd = -1;
    conn->done = true;
}

// Joins the threads of finished connections. Called without the lock.
static void reap_connections(FaultServerCore *core, bool all)
{
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> guard(core->lock);
        for (auto it = core->connections.begin(); it != core->connections.end();) {
            auto next = std::next(it);
            if (all || it->done)
                finished.splice(finished.end(), core->connections, it);
            it = next;
        }
    }
    for (Connection &c : finished)
        c.thread.join();
}

static void accept_loop(FaultServerCore *core)
{
    for (;;) {
        struct pollfd fds[2] = {{core->listen_fd, POLLIN, 0}, {core->wake_pipe[0], POLLIN, 0}};
        int n = poll(fds, 2, 1000);
        if (n < 0 && errno != EINTR)
            break;
        {
            std::lock_guard<std::mutex> guard(core->lock);
            if (core->stopping)
                break;
        }
        reap_connections(core, false);
        if (n <= 0 || !(fds[0].revents & POLLIN))
            continue;
        int fd = accept4(core->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE)
                pause_for(core, 10);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> guard(core->lock);
        if (core->stopping) {
            close(fd);
            break;
        }
        core->connections.emplace_back();
        Connection *conn = &core->connections.back();
        conn->fd = fd;
        conn->thread = std::thread(serve_connection, core, conn);
    }
}

FaultServer::FaultServer() : core(new FaultServerCore) {}

FaultServer::~FaultServer()
{
    stop();
}

void FaultServer::add_file(const std::string &path, const std::string &bytes, time_t mtime)
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->resources[path] = Resource{bytes, "application/octet-stream", mtime};
}

void FaultServer::add_page(const std::string &path, const std::string &html, time_t mtime)
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->resources[path] = Resource{html, "text/html", mtime};
}

void FaultServer::set_mtime(const std::string &path, time_t mtime)
{
    std::lock_guard<std::mutex> guard(core->lock);
    auto it = core->resources.find(path);
    if (it != core->resources.end())
        it->second.mtime = mtime;
}

void FaultServer::remove(const std::string &path)
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->resources.erase(path);
}

void FaultServer::script(const std::string &path, std::vector<Reply> replies)
{
    script("", path, std::move(replies));
}

void FaultServer::script(const std::string &method, const std::string &path, std::vector<Reply> replies)
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->scripts[{method, path}] = std::deque<Reply>(replies.begin(), replies.end());
}

size_t FaultServer::script_left(const std::string &path, const std::string &method) const
{
    std::lock_guard<std::mutex> guard(core->lock);
    auto it = core->scripts.find({method, path});
    return it == core->scripts.end() ? 0 : it->second.size();
}

void FaultServer::require_auth(const std::string &user, const std::string &password)
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->server_auth = Credentials{user, password};
}

void FaultServer::require_auth_for(const std::string &path, const std::string &user,
                                   const std::string &password)
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->path_auth[path] = Credentials{user, password};
}

bool FaultServer::start(uint16_t port)
{
    if (core->running)
        return true;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "fault server: socket: %s\n", strerror(errno));
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr {
    };
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) || listen(fd, 128) ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len)) {
        fprintf(stderr, "fault server: cannot listen on 127.0.0.1:%u: %s\n", port, strerror(errno));
        close(fd);
        return false;
    }
    if (pipe2(core->wake_pipe, O_CLOEXEC)) {
        fprintf(stderr, "fault server: pipe: %s\n", strerror(errno));
        close(fd);
        return false;
    }
    core->listen_fd = fd;
    core->port = ntohs(addr.sin_port);
    core->stopping = false;
    core->running = true;
    core->acceptor = std::thread(accept_loop, core.get());
    return true;
}

void FaultServer::stop()
{
    if (!core->running)
        return;
    {
        std::lock_guard<std::mutex> guard(core->lock);
        core->stopping = true;
        for (Connection &c : core->connections)
            if (c.fd >= 0)
                shutdown(c.fd, SHUT_RDWR);
        core->changed.notify_all();
    }
    char byte = 0;
    if (write(core->wake_pipe[1], &byte, 1) < 0)
        perror("fault server: wake");
    core->acceptor.join();
    reap_connections(core.get(), true);
    close(core->listen_fd);
    close(core->wake_pipe[0]);
    close(core->wake_pipe[1]);
    core->listen_fd = core->wake_pipe[0] = core->wake_pipe[1] = -1;
    core->running = false;
}

uint16_t FaultServer::port() const
{
    return core->port;
}

std::string FaultServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(core->port) + path;
}

std::vector<SeenRequest> FaultServer::requests() const
{
    std::lock_guard<std::mutex> guard(core->lock);
    return core->log;
}

// Called with the lock held.
static size_t count_locked(const FaultServerCore *core, const std::string &method, const std::string &path)
{
    size_t n = 0;
    for (const SeenRequest &r : core->log)
        if ((method.empty() || r.method == method) && path_matches(path, r.path))
            n++;
    return n;
}

size_t FaultServer::count(const std::string &method, const std::string &path) const
{
    std::lock_guard<std::mutex> guard(core->lock);
    return count_locked(core.get(), method, path);
}

bool FaultServer::wait_for(size_t n, const std::string &method, const std::string &path, int timeout_ms) const
{
    std::unique_lock<std::mutex> guard(core->lock);
    return core->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                  [&] { return count_locked(core.get(), method, path) >= n; });
}

void FaultServer::clear_log()
{
    std::lock_guard<std::mutex> guard(core->lock);
    core->log.clear();
}

size_t FaultServer::max_in_flight() const
{
    std::lock_guard<std::mutex> guard(core->lock);
    return core->max_in_flight;
}

size_t FaultServer::in_flight() const
{
    std::lock_guard<std::mutex> guard(core->lock);
    return core->in_flight;
}

bool FaultServer::wait_in_flight(size_t n, int timeout_ms) const
{
    std::unique_lock<std::mutex> guard(core->lock);
    return core->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return core->in_flight <= n; });
}

// The pattern word for index k: an invertible mix of k and the seed (multiply by odd numbers,
// xor with the upper half), so that every byte of a word depends on all of k and pattern_check
// can tell which offset a wrong word belongs to.
static const uint32_t PATTERN_M1 = 0x9E3779B1u, PATTERN_M2 = 0x85EBCA6Bu;

static uint32_t pattern_seed_term(uint32_t seed)
{
    return seed * 0xC2B2AE35u + 0x6A09E667u;
}

static uint32_t pattern_word(uint64_t k, uint32_t seed)
{
    uint32_t h = static_cast<uint32_t>(k) + pattern_seed_term(seed);
    h *= PATTERN_M1;
    h ^= h >> 16;
    h *= PATTERN_M2;
    h ^= h >> 16;
    return h;
}

// The inverse of an odd number mod 2^32, by Newton's iteration.
static uint32_t odd_inverse(uint32_t m)
{
    uint32_t inverse = m;
    for (int i = 0; i < 5; i++)
        inverse *= 2 - m * inverse;
    return inverse;
}

// The index whose word this is (mod 2^32): pattern_word run backwards.
static uint32_t pattern_index(uint32_t word, uint32_t seed)
{
    uint32_t h = word;
    h ^= h >> 16;
    h *= odd_inverse(PATTERN_M2);
    h ^= h >> 16;
    h *= odd_inverse(PATTERN_M1);
    return h - pattern_seed_term(seed);
}

std::string pattern_bytes(size_t n, uint32_t seed, uint64_t start)
{
    std::string out(n, '\0');
    uint64_t k = start / 4;
    uint32_t word = pattern_word(k, seed);
    for (size_t i = 0; i < n; i++) {
        uint64_t at = start + i;
        if (at / 4 != k) {
            k = at / 4;
            word = pattern_word(k, seed);
        }
        out[i] = static_cast<char>((word >> (8 * (at % 4))) & 0xff);
    }
    return out;
}

std::string pattern_check(const std::string &got, uint64_t offset, uint32_t seed)
{
    std::string want = pattern_bytes(got.size(), seed, offset);
    size_t i = 0;
    while (i < got.size() && got[i] == want[i])
        i++;
    if (i == got.size())
        return "";
    char text[256];
    int len = snprintf(text, sizeof text,
                       "%zu bytes at offset %llu: first difference at offset %llu: got 0x%02x, want 0x%02x",
                       got.size(), static_cast<unsigned long long>(offset),
                       static_cast<unsigned long long>(offset + i), static_cast<unsigned char>(got[i]),
                       static_cast<unsigned char>(want[i]));
    std::string out(text, static_cast<size_t>(len));
    // Name the source of the bytes when two aligned words there follow each other in the
    // pattern: the word holding the difference, or the next one when that starts before `got`.
    size_t misalign = (offset + i) % 4;
    size_t j = i >= misalign ? i - misalign : i + 4 - misalign;
    if (j + 8 <= got.size()) {
        auto word_at = [&got](size_t p) {
            uint32_t w = 0;
            for (int b = 3; b >= 0; b--)
                w = (w << 8) | static_cast<unsigned char>(got[p + static_cast<size_t>(b)]);
            return w;
        };
        uint32_t k = pattern_index(word_at(j), seed);
        if (pattern_index(word_at(j + 4), seed) == k + 1) {
            long long shift = static_cast<long long>(k) * 4 - static_cast<long long>(offset + j);
            out += ", the bytes there are the pattern of offset " +
                   std::to_string(static_cast<uint64_t>(k) * 4) + " (" + (shift >= 0 ? "+" : "") +
                   std::to_string(shift) + ")";
        } else {
            out += ", the bytes there are not pattern data";
        }
    }
    return out;
}

std::string listing_page(const std::string &title, const std::vector<std::string> &names)
{
    std::string page = "<html>\r\n<head><title>Index of " + title +
                       "</title></head>\r\n<body>\r\n<h1>Index of " + title +
                       "</h1><hr><pre><a href=\"../\">../</a>\r\n";
    for (const std::string &name : names)
        page += "<a href=\"" + name + "\">" + name + "</a>\r\n";
    page += "</pre><hr></body>\r\n</html>\r\n";
    return page;
}
