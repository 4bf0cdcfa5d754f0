// servers.h: the real servers of the integration tests besides nginx (harness.h) and supysonic
// (supysonic.h): a self-signed certificate for the TLS servers, a private Apache with
// FancyIndexing listings, lighttpd with mod_dirlisting over HTTP or TLS, tinyproxy as a forward
// proxy, and Python's http.server (no range support).
//
// Each server owns a temporary directory with its generated configuration and logs (and pid
// file, but for Python), listens on 127.0.0.1 at a free port (one taken in between is retried
// with another, three times), runs in the foreground as a child of the test and is stopped by
// its PID (SIGTERM, 5 s, then SIGKILL) and reaped, by stop() or the destructor. start() waits at
// most 10 s for the port to answer; on failure it returns false with the reason and the server's
// log in error().
// Start servers from the test's main thread: children get SIGTERM when that thread ends.
//
//     Certificate cert;
//     ASSERT_TRUE(cert.make()) << cert.error();
//     Lighttpd lighttpd(tree.path(), &cert);
//     ASSERT_TRUE(lighttpd.start()) << lighttpd.error();
//     Tinyproxy proxy({lighttpd.port()});
//     ASSERT_TRUE(proxy.start()) << proxy.error();
//     Mount m(lighttpd.url(), {"--cacert", cert.cert_file(), "--proxy", proxy.url()});
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "integration/support/harness.h"

// A self-signed RSA certificate and its key, made by openssl req in a temporary directory.
class Certificate
{
  public:
    enum Name {
        LOCALHOST,  // CN=localhost, subjectAltName DNS:localhost and IP:127.0.0.1
        WRONG_HOST, // CN=wronghost and no subjectAltName: fails the host-name check
    };
    explicit Certificate(Name name = LOCALHOST);
    Certificate(const Certificate &) = delete;
    Certificate &operator=(const Certificate &) = delete;

    // Makes the key, the certificate and the hashed directory (openssl req, openssl rehash).
    // False, with openssl's output in error(), on failure.
    bool make();

    // The certificate (PEM): the CA file for --cacert, as it signs itself.
    const std::string &cert_file() const { return cert; }
    const std::string &key_file() const { return key; }
    // A directory holding only the certificate under its hash name: for --capath.
    const std::string &capath() const { return hashed; }
    std::string error() const { return why; }

  private:
    TempDir work;
    Name name;
    std::string cert, key, hashed;
    std::string why;
};

// What the server processes below share: the temporary directory of their configuration and
// logs, their port and process, the reason of the last failure, and their stopping (by stop()
// or the destructor).
class ServerProcess
{
  public:
    // `tag` names the temporary directory, `name` the server in messages.
    ServerProcess(const std::string &tag, const std::string &name) : work(tag), name(name) {}
    ~ServerProcess(); // stop()
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    void stop();

    uint16_t port() const { return listen_port; }
    pid_t pid() const { return child; }
    std::string error() const { return why; }

  protected:
    TempDir work;
    std::string name;
    uint16_t listen_port = 0;
    pid_t child = 0;
    std::string why;
};

// A private Apache (apache2 -X: one process, mpm_event threads) over `root`, with its own
// ServerRoot, PidFile, ErrorLog, Mutex and DefaultRuntimeDir in its temporary directory and only
// the modules mpm_event, authz_core, dir and autoindex. Listings are FancyIndexing tables
// (HTMLTable, NameWidth=*, UTF-8, no icons) with four sort links ("?C=N;O=D" and the like) and,
// below the root, a "Parent Directory" link to a server-root path. Files come without
// Content-Type (no mod_mime); a HEAD of an empty file answers 200 without Content-Length.
// Started by root, Apache serves as www-data: the tree must be readable by others (TempDir and
// write_file make it so).
class Apache : public ServerProcess
{
  public:
    explicit Apache(const std::string &root);

    bool start();

    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string &path = "/") const;
    std::string error_log() const;
    // Access-log lines, one per answered request: "REQUEST LINE" STATUS "RANGE", e.g.
    // "HEAD /a%20b HTTP/1.1" 200 "-"; the request line is as sent.
    std::vector<std::string> access_log() const;

  private:
    std::string root;
};

// A private lighttpd (lighttpd -D) over `root` with mod_dirlisting (UTF-8), over plain HTTP or,
// given a made certificate, over TLS with HTTP/2 (mod_openssl, server.h2proto). Over plain HTTP
// it keeps lighttpd's default of accepting the cleartext HTTP/2 upgrade ("Upgrade: h2c"). Every
// file is application/octet-stream, which keeps Last-Modified and ETag on.
class Lighttpd : public ServerProcess
{
  public:
    explicit Lighttpd(const std::string &root, const Certificate *tls = nullptr);

    bool start();

    // "http://127.0.0.1:PORT" (https:// with TLS) followed by `path`.
    std::string url(const std::string &path = "/") const;
    std::string error_log() const;

  private:
    std::string root;
    const Certificate *tls;
};

// A private tinyproxy (tinyproxy -d): a forward proxy for 127.0.0.1's clients, logging at level
// Info. CONNECT is allowed to `connect_ports` only; with none given tinyproxy allows it to every
// port. With a `user`, clients must authenticate (BasicAuth, else 407).
class Tinyproxy : public ServerProcess
{
  public:
    explicit Tinyproxy(const std::vector<uint16_t> &connect_ports = {}, const std::string &user = "",
                       const std::string &password = "");

    bool start();

    // "http://127.0.0.1:PORT": the value of --proxy.
    std::string url() const;
    // The whole log. tinyproxy writes each line as it happens; the connection that start()
    // made to see the port answer shows as "closed socket before read".
    std::string log() const;
    // The request lines it received, in order: "GET http://127.0.0.1:P/a HTTP/1.1",
    // "CONNECT 127.0.0.1:P HTTP/1.1" (taken from its "Request (file descriptor N): " lines).
    std::vector<std::string> requests() const;

  private:
    std::vector<uint16_t> connect_ports;
    std::string user, password;
};

// Debian's `/usr/bin/python3 -m http.server --bind 127.0.0.1 PORT`, run in `root`: it lists
// directories and answers every GET with 200 and the whole file, ignoring Range, over HTTP/1.0
// (one request per connection), without Accept-Ranges.
class PythonHttpServer : public ServerProcess
{
  public:
    explicit PythonHttpServer(const std::string &root);

    bool start();

    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string &path = "/") const;
    // Its output: a line per request, e.g. 127.0.0.1 - - [11/Dec/2026 12:23:04] "GET /a HTTP/1.1" 200 -
    std::string log() const;

  private:
    std::string root;
};
