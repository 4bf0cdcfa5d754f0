// fault_server.h: the scripted HTTP/1.1 server of the network, cache and mount tests. It runs
// inside the test process on 127.0.0.1, at a port the kernel picks, with one accepting thread
// and one thread per connection; connections stay open between requests, as libcurl expects.
// It serves what a test registers (file bytes, listing pages) the way a real server does:
// HEAD with Content-Length and Last-Modified, GET with one byte range ("bytes=a-b", "a-",
// "-n") as 206 with Content-Range and "Accept-Ranges: bytes", 416 past the end, 404 for
// anything unregistered. A per-path script overrides that: the N-th request for a path after
// `script` gets the N-th scripted Reply, and later requests the normal answer again. Every
// request is logged before it is answered, so a test can count requests and wait (bounded) for
// them, also while a reply is still stalling. A second FaultServer is a second origin.
//
// Written on POSIX sockets, not on cpp-httplib: httplib cuts every body to the Range header
// itself, whatever status the handler chose (a scripted 404 turns into 416, a "whole file" 200
// is sent with ten bytes and a Content-Range), always writes Content-Length, and closes a
// connection after five requests, so most of the faults below cannot be produced with it.
//
// Thread safety: start() and stop() belong to the thread that owns the server; every other
// member function may be called from any thread at any time, and changes to resources,
// scripts and credentials apply from the next request on.
// One mutex guards the whole state; it is never held while a socket is written or a reply
// waits, and stop() wakes every waiting reply and every idle connection, so it returns within
// a bounded time however the replies were scripted.
//
//     FaultServer s;
//     s.add_file("/big.bin", pattern_bytes(1 << 20));
//     s.script("GET", "/big.bin", {status(429), ranged()});
//     ASSERT_TRUE(s.start());
//     ... s.url("/big.bin") ...
//     EXPECT_EQ(s.count("GET", "/big.bin"), 2u);
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Last-Modified of a resource registered without a time: 2023-11-14 22:13:20 UTC.
constexpr time_t FAULT_SERVER_MTIME = 1700000000;

// One scripted answer. The makers below fill it in; a test may change fields to combine faults,
// e.g. a slow reply without range headers: `Reply r = slow(4096, 20); r.range_headers = false;`.
// "The body asked for" is the requested range of the resource, or all of it without a Range.
struct Reply {
    // 0: the normal status (200, 206, 416, or 404 for an unregistered path). Otherwise this
    // status with a short HTML body in place of the resource, whatever the Range asked.
    int status = 0;
    // "Accept-Ranges: bytes", and Content-Range on a 206 or 416. An unregistered path never
    // gets them (like a real 404); a scripted status does.
    bool range_headers = true;
    // false: a Range header is ignored and the whole resource is sent with 200.
    bool honour_range = true;
    // Added to (> 0) or taken from (< 0) the body asked for. Content-Length and Content-Range
    // describe the bytes really sent, so the reply stays well formed. Bytes past the end of the
    // resource are zero.
    long body_delta = 0;
    // When set, the connection is closed after this many body bytes; the headers still announce
    // the whole body, so the client sees a transfer cut short.
    size_t cut_after = SIZE_MAX;
    // false: no Content-Length header. A GET's body then ends by closing the connection.
    bool send_length = true;
    // Close the connection at once, without any answer.
    bool drop = false;
    // Never answer: the connection stays open, silent, until the server stops.
    bool hang = false;
    // Non-empty: a redirect (status 302 unless `status` is set) to this path on the same server
    // or to this absolute URL, with an empty body.
    std::string location;
    // Wait this long after the headers, before the body. A HEAD, which has no body, waits
    // before its headers.
    int stall_ms = 0;
    // When chunk_bytes > 0, the body goes out in pieces of that size, chunk_ms apart.
    size_t chunk_bytes = 0;
    int chunk_ms = 0;
    // Extra header lines ("Name: value"), written after the others.
    std::vector<std::string> headers;
    // A 206 of the range that many bytes further on than the one asked for, its Content-Range
    // saying so.
    long range_shift = 0;
    // The resource as if it had this many bytes more (or fewer): its Content-Range total and
    // its length say so, bytes past its real end are zero. A file that changed.
    long size_delta = 0;
    // When set, Last-Modified says this time instead of the resource's.
    time_t mtime = 0;
};

Reply ranged();                 // the normal answer, as to an unscripted request
Reply status(int code);         // `code` with range headers present; e.g. 404, 429, 503, 520
Reply no_range_headers();       // 206 (or 200) without Accept-Ranges and Content-Range
Reply ignore_range();           // 200 with the whole resource despite a Range
Reply cut(size_t after_bytes);  // announces the body asked for, closes after `after_bytes`
Reply short_body(size_t fewer); // well-formed 206 with `fewer` bytes less than asked
Reply long_body(size_t more);   // well-formed 206 with `more` bytes more than asked
Reply head_without_length();    // 200 without Content-Length (a HEAD gets no length at all)
Reply redirect(const std::string &to, int code = 302);
Reply stall(int ms); // waits `ms` before the body
Reply slow(size_t chunk_bytes, int ms_between_chunks);
Reply drop();                    // the connection closes without an answer
Reply hang();                    // no answer at all, the connection kept open
Reply stall_after(size_t bytes); // the headers and `bytes` of the body, then nothing more
Reply wrong_range();             // a 206 of another range than the one asked for (4 bytes on)
Reply grown(long bytes);         // the file has `bytes` more (fewer, when negative) than registered
Reply modified(time_t at);       // the file's Last-Modified is `at`

// One request as the server saw it, logged before it was answered.
struct SeenRequest {
    std::string method;                         // "GET", "HEAD", ...
    std::string path;                           // as sent, without the query
    std::string query;                          // after "?", "" when none
    std::map<std::string, std::string> headers; // names lower-cased; repeated headers joined ", "
    std::string range;                          // the Range header's value, "" when none
    bool credentials = false;                   // an Authorization header came
    std::string user;                           // the Basic user name, "" when none
};

struct FaultServerCore;

class FaultServer
{
  public:
    FaultServer();
    ~FaultServer(); // stop()
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    // Registers (or replaces) the resource at a URL path such as "/dir/a.bin" or "/dir/".
    // A request matches when its path, as sent or percent-decoded, equals the registered one.
    void add_file(const std::string &path, const std::string &bytes, time_t mtime = FAULT_SERVER_MTIME);
    // The same, served as "text/html" (a listing page; see listing_page()).
    void add_page(const std::string &path, const std::string &html, time_t mtime = FAULT_SERVER_MTIME);
    void set_mtime(const std::string &path, time_t mtime);
    void remove(const std::string &path);

    // Replaces the script of a path: its next requests of any method get these replies in turn.
    void script(const std::string &path, std::vector<Reply> replies);
    // The same for one method only ("GET" or "HEAD"); other methods are not counted. A path may
    // have one script per method and one for any method; the per-method one is taken first.
    void script(const std::string &method, const std::string &path, std::vector<Reply> replies);
    // Scripted replies not yet handed out, for the path and method ("" for the any-method script).
    size_t script_left(const std::string &path, const std::string &method = "") const;

    // Basic authentication for every path, or for one path (which then needs only its own).
    // A request without the right credentials gets 401 with a WWW-Authenticate header and does
    // not advance that path's script.
    void require_auth(const std::string &user, const std::string &password);
    void require_auth_for(const std::string &path, const std::string &user, const std::string &password);

    // Binds 127.0.0.1:port (0: a free port) and starts serving. False, with the reason on
    // standard error, when the port cannot be bound. A stopped server may be started again.
    bool start(uint16_t port = 0);
    // Closes every connection, wakes every waiting reply and joins every thread.
    void stop();

    uint16_t port() const;
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string &path = "/") const;

    // A copy of the request log, oldest first.
    std::vector<SeenRequest> requests() const;
    // Requests seen with this method and path ("" matches any; the path matches as sent or
    // percent-decoded, without the query).
    size_t count(const std::string &method = "", const std::string &path = "") const;
    // Waits until count(method, path) >= n or timeout_ms has passed; returns whether it was reached.
    bool wait_for(size_t n, const std::string &method = "", const std::string &path = "",
                  int timeout_ms = 5000) const;
    void clear_log();
    // The most requests that were being answered at once (each on a connection of its own:
    // HTTP/1.1 asks one at a time per connection), since the start.
    size_t max_in_flight() const;
    // The requests being answered now; waits (bounded) until at most `n` are.
    size_t in_flight() const;
    bool wait_in_flight(size_t n, int timeout_ms = 5000) const;

  private:
    std::unique_ptr<FaultServerCore> core;
};

// `n` bytes of the test pattern from file offset `start` on. The pattern is a run of 32-bit
// little-endian words; the word at offset 4k holds k mixed with the seed, so every aligned word
// names its own offset and bytes read from the wrong place differ from the expected ones.
std::string pattern_bytes(size_t n, uint32_t seed = 0, uint64_t start = 0);
// "" when `got` equals the pattern at `offset`; otherwise a one-line account of the first
// difference and of the offset the bytes there came from (for EXPECT_EQ(..., "") messages).
std::string pattern_check(const std::string &got, uint64_t offset, uint32_t seed = 0);
// A listing page in nginx's autoindex shape: "../" first, then one anchor per name, with the
// name as both reference and text. Names of directories end in "/".
std::string listing_page(const std::string &title, const std::vector<std::string> &names);
