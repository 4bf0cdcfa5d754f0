// supysonic.cc: the Supysonic server of supysonic.h. Its commands run with fork and execve on
// absolute paths, in the server's own directory (where supysonic.conf is read), with HOME and
// TMPDIR pointing there too, so that no configuration of the machine's user is read and
// nothing is written outside it.
#include "integration/support/supysonic.h"

#include <csignal>
#include <curl/curl.h>
#include <fstream>
#include <sys/wait.h>

namespace
{

const char PYTHON[] = "/usr/bin/python3"; // Debian's interpreter, the one with mutagen
const char CLI[] = "/usr/bin/supysonic-cli";
const char SERVER[] = "/usr/bin/supysonic-server";

// The test's environment with HOME and TMPDIR set to the server's directory.
std::vector<std::string> server_environment(const std::string &dir)
{
    return child_environment({"HOME=" + dir, "TMPDIR=" + dir});
}

// A single-quoted Python string literal of `s` (the library's names are plain text).
std::string py_str(const std::string &s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\\' || c == '\'')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "'";
}

// Writes every song: 40 MPEG-1 layer III frames of 417 bytes (header FF FB 90 64), whose
// payload bytes encode their offset and the song's number and never form a frame sync, behind
// an ID3v2 tag with title, artist, album and track.
std::string generator_script(const std::string &root)
{
    std::string s = "import os\n"
                    "from mutagen.id3 import ID3, TIT2, TPE1, TALB, TRCK\n"
                    "root = " +
                    py_str(root) + "\nsongs = [\n";
    for (const SonicSong &song : Supysonic::songs())
        s += "    (" + py_str(song.path) + ", " + py_str(song.artist) + ", " + py_str(song.album) + ", " +
             std::to_string(song.track) + ", " + py_str(song.title) + "),\n";
    s += "]\n"
         "for n, (rel, artist, album, track, title) in enumerate(songs):\n"
         "    path = os.path.join(root, rel)\n"
         "    os.makedirs(os.path.dirname(path), exist_ok=True)\n"
         "    audio = bytearray()\n"
         "    for frame in range(40):\n"
         "        audio += b'\\xff\\xfb\\x90\\x64'\n"
         "        audio += bytes((len(audio) + k) * 7 % 251 ^ n for k in range(413))\n"
         "    with open(path, 'wb') as f:\n"
         "        f.write(audio)\n"
         "    tag = ID3()\n"
         "    tag.add(TIT2(encoding=3, text=title))\n"
         "    tag.add(TPE1(encoding=3, text=artist))\n"
         "    tag.add(TALB(encoding=3, text=album))\n"
         "    tag.add(TRCK(encoding=3, text=str(track)))\n"
         "    tag.save(path)\n";
    return s;
}

size_t append_body(char *data, size_t size, size_t nmemb, void *userp) noexcept
{
    try {
        static_cast<std::string *>(userp)->append(data, size * nmemb);
    } catch (...) {
        return 0;
    }
    return size * nmemb;
}

} // namespace

const std::vector<SonicSong> &Supysonic::songs()
{
    // Two artists in two index groups (A and B); a "/" in one song title and one album title.
    static const std::vector<SonicSong> all = {
        {"Alpha Band/First Light/01 Dawn.mp3", "Alpha Band", "First Light", "Dawn", 1},
        {"Alpha Band/First Light/02 Up-Down.mp3", "Alpha Band", "First Light", "Up/Down", 2},
        {"Alpha Band/Live Studio/01 Opening.mp3", "Alpha Band", "Live/Studio", "Opening", 1},
        {"Bravo Trio/Third/01 Song Four.mp3", "Bravo Trio", "Third", "Song Four", 1},
        {"Bravo Trio/Third/02 Song Five.mp3", "Bravo Trio", "Third", "Song Five", 2},
    };
    return all;
}

Supysonic::Supysonic() : work("supysonic"), lib(work.at("library")) {}

Supysonic::~Supysonic()
{
    stop();
}

std::string Supysonic::url() const
{
    return "http://127.0.0.1:" + std::to_string(listen_port);
}

std::string Supysonic::server_log() const
{
    return file_text(work.at("server.log"));
}

bool Supysonic::run(const std::vector<std::string> &argv, const std::string &what, int timeout_ms)
{
    std::string log = work.at("setup.log");
    std::string reason;
    pid_t pid = spawn(argv, server_environment(work.path()), log, log, work.path(), &reason);
    if (!pid) {
        why = what + ": " + reason;
        return false;
    }
    int status = 0;
    if (!wait_exit(pid, timeout_ms, &status)) {
        kill(pid, SIGKILL);
        wait_exit(pid, 5000, &status);
        why = what + ": still running after " + std::to_string(timeout_ms) + " ms\n" + file_text(log);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = what + ": failed\n" + file_text(log);
        return false;
    }
    return true;
}

bool Supysonic::start()
{
    if (child)
        return true;
    std::ofstream(work.at("generate.py")) << generator_script(lib);
    std::ofstream(work.at("supysonic.conf")) << "[base]\n"
                                             << "database_uri = sqlite:///" << work.at("supysonic.db") << "\n"
                                             << "[webapp]\n"
                                             << "cache_dir = " << work.at("cache") << "\n"
                                             << "[daemon]\n"
                                             << "socket = " << work.at("supysonic.sock") << "\n"
                                             << "run_watcher = no\n";
    if (!run({PYTHON, work.at("generate.py")}, "writing the library", 30000) ||
        !run({CLI, "user", "add", USER, "-p", PASSWORD}, "supysonic-cli user add", 30000) ||
        !run({CLI, "user", "setroles", "-A", USER}, "supysonic-cli user setroles", 30000) ||
        !run({CLI, "folder", "add", "music", lib}, "supysonic-cli folder add", 30000) ||
        !run({CLI, "folder", "scan", "music"}, "supysonic-cli folder scan", 60000))
        return false;

    listen_port = free_port();
    std::string reason;
    child = spawn({SERVER, "-S", "waitress", "-h", "127.0.0.1", "-p", std::to_string(listen_port)},
                  server_environment(work.path()), work.at("server.log"), work.at("server.log"), work.path(),
                  &reason);
    if (!child) {
        why = "supysonic-server: " + reason;
        return false;
    }
    long long deadline = now_ms() + 20000;
    while (now_ms() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            child = 0;
            why = "supysonic-server ended before answering\n" + server_log();
            return false;
        }
        std::string body;
        if (get("getIndexes", "", &body) == 200 && body.find("status=\"ok\"") != std::string::npos)
            return true;
        sleep_ms(100);
    }
    why = "supysonic-server did not answer getIndexes within 20 s\n" + server_log();
    stop();
    return false;
}

void Supysonic::stop()
{
    if (!child)
        return;
    int status = 0;
    kill(child, SIGTERM);
    if (!wait_exit(child, 5000, &status)) {
        kill(child, SIGKILL);
        if (!wait_exit(child, 5000, &status))
            ADD_FAILURE() << "supysonic-server (pid " << child << ") did not end after SIGKILL";
    }
    child = 0;
}

long Supysonic::get(const std::string &method, const std::string &params, std::string *body) const
{
    static const char HEX[] = "0123456789abcdef";
    std::string hex;
    for (const char *p = PASSWORD; *p; p++) {
        hex.push_back(HEX[static_cast<unsigned char>(*p) >> 4]);
        hex.push_back(HEX[static_cast<unsigned char>(*p) & 0x0f]);
    }
    return get_url(
        url() + "/rest/" + method + ".view?u=" + USER + "&p=enc:" + hex + "&v=1.8.0&c=test" + params, body);
}

long Supysonic::get_url(const std::string &url, std::string *body)
{
    body->clear();
    CURL *curl = curl_easy_init();
    if (!curl)
        return 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    long code = 0;
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    return code;
}
