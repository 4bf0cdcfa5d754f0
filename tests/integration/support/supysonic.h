// supysonic.h: a real Subsonic-API server for the Sonic mount tests. One Supysonic owns a
// temporary directory holding its configuration (supysonic.conf, read from the working
// directory), its sqlite database, cache directory and socket, and a generated music library:
// two artists, three albums, five tiny valid MP3 files with ID3 tags written by Debian's
// /usr/bin/python3 with mutagen. One user is added with supysonic-cli, the library folder
// added and scanned, and the server runs in the foreground under waitress on a free loopback
// port, as a child of the test, until stop() ends it by its PID.
//
// Start it from the test's main thread (SetUpTestSuite is fine): the child gets SIGTERM when
// that thread ends. Every wait is bounded.
//
//     Supysonic sonic;
//     ASSERT_TRUE(sonic.start()) << sonic.error();
//     std::string xml;
//     ASSERT_EQ(sonic.get("getIndexes", "", &xml), 200) << sonic.error();
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "integration/support/harness.h"

// One song of the generated library.
struct SonicSong {
    std::string path; // relative to library(), as the server reports it in its path attribute
    std::string artist, album, title;
    int track;
};

class Supysonic
{
  public:
    static constexpr const char *USER = "alice";
    static constexpr const char *PASSWORD = "secret";

    Supysonic();
    ~Supysonic(); // stop()
    Supysonic(const Supysonic &) = delete;
    Supysonic &operator=(const Supysonic &) = delete;

    // Writes the library and the configuration, adds the user and the folder, scans it, starts
    // the server and waits (20 s at most) until getIndexes answers "ok". False, with the reason
    // and the server's output in error(), otherwise.
    bool start();
    // SIGTERM by PID, then SIGKILL after 5 s; reaps the child. Safe to call again.
    void stop();

    // "http://127.0.0.1:PORT": the mount URL.
    std::string url() const;
    uint16_t port() const { return listen_port; }
    pid_t pid() const { return child; }
    const std::string &library() const { return lib; }
    // The songs of the library, in the order they were written.
    static const std::vector<SonicSong> &songs();

    // GET url()/rest/METHOD.view with the hex-password authentication, then `params` (each
    // beginning with "&"). The HTTP status (0 when no reply came), the body in *body.
    long get(const std::string &method, const std::string &params, std::string *body) const;
    // GET of any URL; the same results.
    static long get_url(const std::string &url, std::string *body);

    std::string error() const { return why; }
    // What the server wrote to its standard output and error so far.
    std::string server_log() const;

  private:
    bool run(const std::vector<std::string> &argv, const std::string &what, int timeout_ms);

    TempDir work;
    std::string lib;
    uint16_t listen_port = 0;
    pid_t child = 0;
    std::string why;
};
