// The command line of the built program: messages, exit statuses, the configuration file as
// the program finds and reads it, help, version and --cache-clear. No case is meant to mount:
// every case that names a usable mount point fails a later check (or stops at help, version or
// --cache-clear), and a mount found under the test's directory afterwards fails the case and
// is taken down.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace
{

// Every child gets this long; a start-up that hangs is killed and fails its case.
constexpr int RUN_LIMIT_MS = 20000;

struct Outcome {
    int status = -1; // exit status, or 128 + signal
    std::string err;
    std::vector<std::string> lines; // standard error split at line feeds
};

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Runs `argv` with exactly `env`, in `cwd`, standard input from /dev/null and both outputs into
// files below `scratch`; waits at most RUN_LIMIT_MS.
Outcome spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const fs::path &cwd,
              const fs::path &scratch)
{
    static int serial;
    int n = serial++;
    fs::path out = scratch / ("out-" + std::to_string(n));
    fs::path err = scratch / ("err-" + std::to_string(n));
    std::vector<char *> c_argv, c_env;
    for (const auto &a : argv)
        c_argv.push_back(const_cast<char *>(a.c_str()));
    c_argv.push_back(nullptr);
    for (const auto &e : env)
        c_env.push_back(const_cast<char *>(e.c_str()));
    c_env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid;
    int rc = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome run;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << strerror(rc);
        return run;
    }
    int wstatus = 0;
    int waited_ms = 0;
    pid_t done;
    while ((done = waitpid(pid, &wstatus, WNOHANG)) == 0 && waited_ms < RUN_LIMIT_MS) {
        usleep(10000);
        waited_ms += 10;
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        ADD_FAILURE() << argv[0] << " still running after " << RUN_LIMIT_MS << " ms; killed";
    }
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.err = read_file(err);
    run.lines = split_lines(run.err);
    return run;
}

// The mount points in /proc/mounts that lie below `dir`.
std::vector<std::string> mounts_below(const fs::path &dir)
{
    std::vector<std::string> found;
    std::ifstream mounts("/proc/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point && std::getline(mounts, rest))
        if (point == dir.string() || point.rfind(dir.string() + "/", 0) == 0)
            found.push_back(point);
    return found;
}

// Exact lines of standard error; an entry that starts with "~" is a regular expression for
// one whole line.
void expect_lines(const std::vector<std::string> &got, const std::vector<std::string> &want,
                  const std::string &label)
{
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < want.size(); i++)
        same = want[i].rfind("~", 0) == 0 ? std::regex_match(got[i], std::regex(want[i].substr(1)))
                                          : got[i] == want[i];
    if (same)
        return;
    std::string g, w;
    for (const auto &l : got)
        g += "  |" + l + "\n";
    for (const auto &l : want)
        w += "  |" + l + "\n";
    ADD_FAILURE() << label << "\nstandard error:\n" << g << "expected:\n" << w;
}

// A case of the table tests. {T} in any text stands for the test's directory, {BIN} for the
// program as started.
struct CliCase {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> lines;
    int status = 1;
    std::vector<std::string> env = {};                           // "NAME=VALUE" sets, "NAME" unsets
    std::vector<std::pair<std::string, std::string>> files = {}; // path below {T}, content
};

// Each test gets a directory with a home, a configuration directory, a cache root, a directory
// and a regular file; HOME, XDG_CONFIG_HOME and XDG_CACHE_HOME point into it, so the real
// user's configuration and cache are never touched.
class Cli : public testing::Test
{
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarnwick-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = fs::canonical(pattern);
        scratch_ = dir_ / ".runs";
        for (const char *sub : {"home", "config", "cache", "dir", ".runs"})
            fs::create_directories(dir_ / sub);
        std::ofstream(dir_ / "file") << "not a directory\n";
    }

    void TearDown() override
    {
        // Only when nothing stayed mounted is the tree safe to remove.
        if (unmount_strays())
            fs::remove_all(dir_);
    }

    std::string sub(const std::string &text) const
    {
        return replace_all(replace_all(text, "{T}", dir_.string()), "{BIN}", TARNWICK_BINARY);
    }

    void write(const std::string &relative, const std::string &text) const
    {
        fs::path path = dir_ / sub(relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << sub(text);
    }

    Outcome run(const std::vector<std::string> &args, const std::vector<std::string> &changes = {})
    {
        std::vector<std::string> env = {
            "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "LC_ALL=C",
            "HOME=" + dir_.string() + "/home",
            "XDG_CONFIG_HOME=" + dir_.string() + "/config",
            "XDG_CACHE_HOME=" + dir_.string() + "/cache",
        };
        for (const auto &change : changes) {
            std::string c = sub(change);
            std::string name = c.substr(0, c.find('='));
            std::erase_if(env, [&](const std::string &e) { return e.rfind(name + "=", 0) == 0; });
            if (c.find('=') != std::string::npos)
                env.push_back(c);
        }
        std::vector<std::string> argv = {TARNWICK_BINARY};
        for (const auto &a : args)
            argv.push_back(sub(a));
        Outcome r = spawn(argv, env, dir_, scratch_);
        EXPECT_TRUE(unmount_strays()) << "a start-up mounted";
        return r;
    }

    void run_table(const std::vector<CliCase> &cases)
    {
        for (const auto &c : cases) {
            for (const auto &[path, text] : c.files)
                write(path, text);
            Outcome r = run(c.args, c.env);
            std::string label = c.name + std::string(":");
            for (const auto &a : c.args)
                label += " '" + sub(a) + "'";
            EXPECT_EQ(r.status, c.status) << label << "\n" << r.err;
            std::vector<std::string> want;
            for (const auto &l : c.lines)
                want.push_back(sub(l));
            expect_lines(r.lines, want, label);
            for (const auto &[path, text] : c.files)
                fs::remove(dir_ / sub(path));
        }
    }

    // Takes down any mount below the test's directory; true when none is left.
    bool unmount_strays()
    {
        for (const auto &point : mounts_below(dir_)) {
            ADD_FAILURE() << "mounted at " << point;
            spawn({"/usr/bin/fusermount3", "-u", point}, {"PATH=/usr/bin:/bin"}, "/", scratch_);
            if (!mounts_below(dir_).empty())
                spawn({"/usr/bin/fusermount3", "-uz", point}, {"PATH=/usr/bin:/bin"}, "/", scratch_);
        }
        return mounts_below(dir_).empty();
    }

    fs::path dir_;
    fs::path scratch_;
};

const std::string USAGE = "usage: {BIN} [options] URL mountpoint";
const std::string COUNT = "Error: You must provide exactly one URL and one mountpoint.";
const std::string NOT_URL = "Error: Please supply a valid URL.";
const std::string MIN_GT_MAX = "Error: --cache-min-size cannot be greater than --cache-max-size";
const std::string SEG_SIZE = "Error: --dl-seg-size requires a whole number of MiB from 1 to 2047";
const std::string SEE_HELP = "see tarnwick -h for usage";
const std::string CONFIG_PATH = "~Error:[^:]+:[0-9]+:[A-Za-z_]+: --config requires a path";
// Nothing listens on the discard port: a start-up that got past every check could not list it.
const std::string URL = "http://127.0.0.1:9/";
// The mount point check failing shows that every option before it was accepted.
const std::vector<std::string> ABSENT = {"Error: Invalid mountpoint {T}/absent: No such file or directory",
                                         USAGE};

std::string size_error(const std::string &option)
{
    return "Error: " + option + " requires a non-negative integer within off_t range";
}

const char HELP_TEXT[] =
    "general options:\n"
    "        --config            Specify a configuration file \n"
    "    -o opt,[opt...]         Mount options\n"
    "    -h  --help              Print help\n"
    "    -V  --version           Print version\n"
    "    -f                      Foreground operation\n"
    "    -s                      Disable multi-threaded operation\n"
    "    -d  --debug             Enable debug output (implies -f)\n"
    "\n"
    "Tarnwick options:\n"
    "    -u  --username          HTTP authentication username\n"
    "    -p  --password          HTTP authentication password\n"
    "    -P  --proxy             Proxy for libcurl, for more details refer to\n"
    "@PROXY-DOC@\n"
    "        --proxy-username    Username for the proxy\n"
    "        --proxy-password    Password for the proxy\n"
    "        --proxy-cacert      Certificate authority for the proxy\n"
    "        --proxy-capath      Certificate authority directory for the proxy\n"
    "        --cache             Enable cache (default: off)\n"
    "        --cache-location    Set a custom cache location\n"
    "                            (default: \"${XDG_CACHE_HOME}/tarnwick\")\n"
    "        --cache-clear       Delete the cache directory or the custom location\n"
    "                            specified with `--cache-location`, if the option is\n"
    "                            seen first. Then exit in either case.\n"
    "        --cache-min-size    Set minimum file size threshold for caching, in bytes\n"
    "                            (default: none)\n"
    "        --cache-max-size    Set maximum file size threshold for caching, in bytes\n"
    "                            (default: none)\n"
    "        --cacert            Certificate authority for the server\n"
    "        --capath            Certificate authority directory for the server\n"
    "        --dl-seg-size       Set cache download segment size, in MB (default: 8)\n"
    "                            Note: this setting is ignored if previously\n"
    "                            cached data is found for the requested file.\n"
    "        --http-header       Set one or more HTTP headers\n"
    "        --max-conns         Set maximum number of network connections that\n"
    "                            libcurl is allowed to make. (default: 6)\n"
    "        --refresh-timeout   The directories are refreshed after the specified\n"
    "                            time, in seconds (default: 3600)\n"
    "        --retry-wait        Set delay in seconds before retrying an HTTP request\n"
    "                            after encountering an error. (default: 5)\n"
    "        --invalid-refresh   Try refreshing invalid links when reading a directory.\n"
    "        --user-agent        Set user agent string (default: \"Tarnwick-1.3.3\")\n"
    "        --no-range-check    Disable the built-in check for the server's support\n"
    "                            for HTTP range requests\n"
    "        --zero-len-is-dir   If a file has a zero length, treat it as a directory\n"
    "        --insecure-tls      Disable libcurl TLS certificate verification by\n"
    "                            setting CURLOPT_SSL_VERIFYHOST to 0\n"
    "        --external-links    Include external (cross-origin) links from\n"
    "                            directory listings (default: off)\n"
    "        --single-file-mode  Single file mode - rather than mounting a whole\n"
    "                            directory, present a single file inside a virtual\n"
    "                            directory.\n"
    "\n"
    "    For mounting a Airsonic / Subsonic server:\n"
    "        --sonic-username    The username for your Airsonic / Subsonic server\n"
    "        --sonic-password    The password for your Airsonic / Subsonic server\n"
    "        --sonic-id3         Enable ID3 mode - this present the server content in\n"
    "                            Artist/Album/Song layout \n"
    "        --sonic-insecure    Authenticate against your Airsonic / Subsonic server\n"
    "                            using the insecure username / hex encoded password\n"
    "                            scheme\n";

} // namespace

TEST_F(Cli, ArgumentsAndMountPoint)
{
    run_table({
        {"no arguments", {}, {USAGE, "For more information, run \"{BIN} --help.\""}},
        {"options only", {"-f", "--cache"}, {COUNT, USAGE}},
        {"URL only", {URL}, {COUNT, USAGE}},
        {"three arguments", {URL, "{T}/dir", "extra"}, {COUNT, USAGE}},
        {"missing mount point", {URL, "{T}/absent"}, ABSENT},
        // The message names the argument as given, not resolved.
        {"relative missing mount point",
         {URL, "absent/../x"},
         {"Error: Invalid mountpoint absent/../x: No such file or directory", USAGE}},
        {"mount point below a regular file",
         {URL, "{T}/file/x"},
         {"Error: Invalid mountpoint {T}/file/x: Not a directory", USAGE}},
        // ... and this one the resolved path, without the usage line.
        {"mount point is a regular file",
         {URL, "dir/../file"},
         {"Error: Mountpoint {T}/file is not a directory."}},
        {"mount point checked before the URL", {"ftp://127.0.0.1/", "{T}/absent"}, ABSENT},
        {"options between and after", {"-f", URL, "-s", "{T}/absent", "-o", "ro"}, ABSENT},
    });
}

TEST_F(Cli, UrlSchemes)
{
    std::vector<CliCase> cases;
    for (const char *url : {"ftp://127.0.0.1/", "HTTP://127.0.0.1/", "Https://127.0.0.1/", "http:/127.0.0.1/",
                            "https:127.0.0.1", "127.0.0.1/", " http://127.0.0.1/", ""})
        cases.push_back({url, {url, "{T}/dir"}, {NOT_URL, USAGE}});
    // Accepted schemes reach the next check, here the one for a lone Sonic credential.
    const std::string SONIC = "Error: You have to supply both username and password to activate Sonic mode.";
    cases.push_back({"http, Sonic user name alone", {"--sonic-username", "alice", URL, "{T}/dir"}, {SONIC}});
    cases.push_back({"https, Sonic password alone",
                     {"https://127.0.0.1:9/", "{T}/dir", "--sonic-password=secret"},
                     {SONIC}});
    cases.push_back({"Sonic user name from the file",
                     {URL, "{T}/dir"},
                     {SONIC},
                     1,
                     {},
                     {{"config/tarnwick/config", "--sonic-username alice\n"}}});
    run_table(cases);
}

TEST_F(Cli, CacheSizeThresholds)
{
    std::vector<CliCase> cases;
    for (const std::string option : {"--cache-min-size", "--cache-max-size"}) {
        for (const char *bad :
             {"5x", "-1", "-0x1", "", " ", "abc", "0x10", "1 ", "1.5", "99999999999999999999"}) {
            std::string joined = option + "=" + bad;
            cases.push_back({"rejected", {joined, URL, "{T}/absent"}, {size_error(option)}});
            cases.push_back({"rejected (separate)", {option, bad, URL, "{T}/absent"}, {size_error(option)}});
        }
        for (const char *good : {" 5", "+5", "0", "007", "9223372036854775807"})
            cases.push_back({"accepted", {option, good, URL, "{T}/absent"}, ABSENT});
    }
    cases.push_back({"equal", {"--cache-min-size", "7", "--cache-max-size", "7", URL, "{T}/absent"}, ABSENT});
    cases.push_back({"minimum without maximum", {"--cache-min-size", "100", URL, "{T}/absent"}, ABSENT});
    cases.push_back({"maximum without minimum", {"--cache-max-size", "0", URL, "{T}/absent"}, ABSENT});
    cases.push_back({"minimum above maximum",
                     {"--cache-min-size", "8", "--cache-max-size", "7", URL, "{T}/absent"},
                     {MIN_GT_MAX}});
    // The order test comes first of all the checks, before the argument count.
    cases.push_back({"order before count", {"--cache-max-size=0", "--cache-min-size=1"}, {MIN_GT_MAX}});
    // The first bad value ends the run; a later good one does not matter.
    cases.push_back({"bad then good",
                     {"--cache-max-size=x", "--cache-min-size=y", URL, "{T}/absent"},
                     {size_error("--cache-max-size")}});
    run_table(cases);
}

TEST_F(Cli, SegmentSize)
{
    std::vector<CliCase> cases;
    for (const char *bad : {"0", "-1", "2048", "4096", "abc", "", "99999999999", "-2147483648"})
        cases.push_back({bad, {"--dl-seg-size", bad, URL, "{T}/absent"}, {SEG_SIZE}});
    for (const char *good : {"1", "2047", " 8", "+16"})
        cases.push_back({good, {std::string("--dl-seg-size=") + good, URL, "{T}/absent"}, ABSENT});
    run_table(cases);
}

TEST_F(Cli, UnknownOptions)
{
    // The parser's own diagnostic comes first, in its own words.
    const std::vector<std::string> refused = {"~.+", SEE_HELP};
    run_table({
        {"unknown long", {"--bogus", URL, "{T}/dir"}, refused},
        {"unknown short", {URL, "{T}/dir", "-x"}, refused},
        {"missing value at the end", {URL, "{T}/dir", "-u"}, refused},
        {"missing value of a long option", {URL, "{T}/dir", "--retry-wait"}, refused},
        {"ambiguous prefix", {"--cache-m=1", URL, "{T}/dir"}, refused},
        {"value for a flag", {"--cache=yes", URL, "{T}/dir"}, refused},
        {"a capital letter", {"--Cache", URL, "{T}/dir"}, refused},
        {"unknown option in the file",
         {URL, "{T}/absent"},
         refused,
         1,
         {},
         {{"config/tarnwick/config", "--cache\n--bogus\n"}}},
    });
}

// Every long option is also a -o item of the same name, the way mount(8) and fstab hand
// options over; the items are read as the option itself would be.
TEST_F(Cli, LongOptionsAsMountOptions)
{
    const std::pair<std::string, std::string> named = {"named.conf", "--cache-min-size 10\n"};
    run_table({
        {"values", {"-o", "cache-min-size=8,cache-max-size=7", URL, "{T}/absent"}, {MIN_GT_MAX}},
        {"among the host's items, joined form",
         {"-oro,cache-max-size=0", "-o", "cache-min-size=1,allow_other", URL, "{T}/absent"},
         {MIN_GT_MAX}},
        {"flags and values pass the other checks",
         {"-o", "cache,no-range-check,user-agent=a b,dl-seg-size=16", URL, "{T}/absent"},
         ABSENT},
        {"checked like the option", {"-o", "dl-seg-size=0", URL, "{T}/absent"}, {SEG_SIZE}},
        {"escaped comma inside a value",
         {"-o", "cache-min-size=1\\,5", URL, "{T}/absent"},
         {size_error("--cache-min-size")}},
        // Only whole names count: "cache-min" goes on to the host, which never sees it here.
        {"no abbreviations", {"-o", "cache-min=5,cache-max-size=1", URL, "{T}/absent"}, ABSENT},
        {"a value for a flag",
         {"-o", "ro,cache=yes", URL, "{T}/dir"},
         {"{BIN}: option '-o cache' doesn't allow an argument", SEE_HELP}},
        {"no value for an option that needs one",
         {"-o", "user-agent", URL, "{T}/dir"},
         {"{BIN}: option '-o user-agent' requires an argument", SEE_HELP}},
        {"configuration file",
         {"-o", "ro,config={T}/named.conf", "--cache-max-size=5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {named}},
        {"configuration file, joined form",
         {"-oconfig={T}/named.conf", "--cache-max-size=5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {named}},
        {"empty configuration path", {"-o", "config=", URL, "{T}/dir"}, {CONFIG_PATH}},
        {"in the configuration file",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {{"config/tarnwick/config", "-o cache-min-size=10,allow_other\n"}}},
    });
}

TEST_F(Cli, ConfigOption)
{
    const std::pair<std::string, std::string> named = {"named.conf", "--cache-min-size 10\n"};
    run_table({
        {"empty after =", {"--config=", URL, "{T}/dir"}, {CONFIG_PATH}},
        {"last argument", {URL, "{T}/dir", "--config"}, {CONFIG_PATH}},
        {"followed by an option", {"--config", "-f", URL, "{T}/dir"}, {CONFIG_PATH}},
        {"followed by an empty argument", {"--config", "", URL, "{T}/dir"}, {CONFIG_PATH}},
        // A log line: without the error bit it is not shown, and the run still ends.
        {"quiet", {"--config=", URL, "{T}/dir"}, {}, 1, {"TARNWICK_LOG_LEVEL=0"}},
        {"joined form is read",
         {"--config={T}/named.conf", "--cache-max-size", "5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {named}},
        {"separate form is read",
         {"--cache-max-size", "5", "--config", "{T}/named.conf", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {named}},
        {"relative path",
         {"--config=named.conf", "--cache-max-size=5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {named}},
        {"the later one counts",
         {"--config={T}/missing.conf", "--config={T}/named.conf", "--cache-max-size", "5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {named}},
        {"abbreviation loads nothing",
         {"--conf", "{T}/named.conf", "--cache-max-size", "5", URL, "{T}/absent"},
         ABSENT,
         1,
         {},
         {named}},
        {"named file replaces the default one",
         {"--config={T}/named.conf", URL, "{T}/absent"},
         ABSENT,
         1,
         {},
         {{"named.conf", "--cache\n"}, {"config/tarnwick/config", "--bogus\n"}}},
        {"--config in the file has no effect",
         {"--config={T}/named.conf", "--cache-max-size", "5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {{"named.conf", "--config {T}/missing.conf\n--cache-min-size 10\n"}}},
    });
}

// A "Fatal:" line of `func` ending in `message` ({T} substituted), for the exact-line tables.
std::string fatal_line(const std::string &func, const std::string &message)
{
    return "~Fatal:[^:]+:[0-9]+:" + func + ": " +
           std::regex_replace(message, std::regex("[.()\\[\\]]"), "\\$&");
}

// Start-up failures that are the user's to mend end with their one line and status 1: no
// crash banner, no backtrace, whatever the log mask.
TEST_F(Cli, UserErrorsEndWithoutACrashReport)
{
    const std::string NO_CONFIG = fatal_line(
        "parse_config_file", "Could not open config file {T}/missing.conf: No such file or directory");
    std::vector<CliCase> cases = {
        {"named configuration file missing", {"--config={T}/missing.conf", URL, "{T}/dir"}, {NO_CONFIG}},
        {"named configuration file missing, separate form",
         {URL, "--config", "{T}/missing.conf", "{T}/dir"},
         {NO_CONFIG}},
        {"named configuration file missing, mask 0",
         {"--config={T}/missing.conf", URL, "{T}/dir"},
         {NO_CONFIG},
         1,
         {"TARNWICK_LOG_LEVEL=0"}},
        {"named configuration file is a directory",
         {"--config={T}/dir", URL, "{T}/dir"},
         {fatal_line("parse_config_file", "Could not open config file {T}/dir: Is a directory")}},
        {"cache location below a missing directory",
         {"--cache", "--cache-location", "{T}/absent/cache", URL, "{T}/dir"},
         {fatal_line("CacheSystem_init", "mkdir(): No such file or directory")}},
        {"cache location is a regular file",
         {"--cache", "--cache-location={T}/file", URL, "{T}/dir"},
         {fatal_line("CacheSystem_init", "mkdir(): Not a directory")}},
        {"cache root below a regular file",
         {"--cache", URL, "{T}/dir"},
         {fatal_line("CacheSystem_calc_dir", "mkdir(): Not a directory")},
         1,
         {"XDG_CACHE_HOME={T}/file/cache"}},
        {"empty cache root",
         {"--cache", URL, "{T}/dir"},
         {fatal_line("CacheSystem_calc_dir", "mkdir(): No such file or directory")},
         1,
         {"XDG_CACHE_HOME="}},
    };
    run_table(cases);
}

// A --cache-location that does not exist yet is made, one level, as the cache root is; start-up
// goes on to the server (which is not there).
TEST_F(Cli, MissingCacheLocationIsMade)
{
    Outcome r = run({"--cache", "--cache-location", "{T}/new", URL, "{T}/dir"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find("Fatal:"), std::string::npos) << r.err;
    EXPECT_EQ(r.lines.empty() ? "" : r.lines.back(), "Network initialisation failed.") << r.err;
    for (const char *sub : {"new/meta", "new/data"})
        EXPECT_TRUE(fs::is_directory(dir_ / sub)) << sub;
}

TEST_F(Cli, ConfigFileLocationAndPrecedence)
{
    const std::string dflt = "config/tarnwick/config";
    const std::string HOME_UNSET = "~Warning:[^:]+:[0-9]+:get_XDG_CONFIG_HOME: \\$HOME is unset";
    std::vector<std::string> with_home_unset = {HOME_UNSET, MIN_GT_MAX};
    run_table({
        {"XDG_CONFIG_HOME",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {{dflt, "   --cache-min-size    10   \n"}}},
        {"HOME without XDG_CONFIG_HOME",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {"XDG_CONFIG_HOME"},
         {{"home/.config/tarnwick/config", "--cache-min-size=10\n"}, {dflt, "--cache-min-size=0\n"}}},
        {"XDG_CONFIG_HOME wins over HOME",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         ABSENT,
         1,
         {},
         {{"home/.config/tarnwick/config", "--cache-min-size=10\n"}}},
        {"neither: the working directory",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         with_home_unset,
         1,
         {"XDG_CONFIG_HOME", "HOME"},
         {{".config/tarnwick/config", "--cache-min-size 10\n"}}},
        {"empty XDG_CONFIG_HOME: no file at /tarnwick/config",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         ABSENT,
         1,
         {"XDG_CONFIG_HOME="},
         {{"home/.config/tarnwick/config", "--cache-min-size=10\n"}}},
        {"missing default file", {URL, "{T}/absent"}, ABSENT},
        {"comments and blank lines",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         ABSENT,
         1,
         {},
         {{dflt, "# --cache-min-size 10\n\n  \t\n  ; --bogus\n"}}},
        // The file's arguments stand behind the command line's: its value is the one that stays.
        {"file value replaces the command line's",
         {"--cache-min-size", "1", "--cache-max-size", "100", URL, "{T}/absent"},
         {MIN_GT_MAX},
         1,
         {},
         {{dflt, "--cache-max-size 0\n"}}},
        {"file value repairs the command line's",
         {"--cache-min-size", "10", "--cache-max-size", "5", URL, "{T}/absent"},
         ABSENT,
         1,
         {},
         {{dflt, "--cache-max-size 20\n"}}},
        {"a later line replaces an earlier one",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         ABSENT,
         1,
         {},
         {{dflt, "--cache-min-size 10\n--cache-min-size 2\n"}}},
        // Only "#" and ";" start comments; another line that is no option is named, not shown.
        {"lines that are no option",
         {"--cache-max-size", "5", URL, "{T}/absent"},
         {"~Warning:[^:]+:[0-9]+:parse_config_file: {T}/config/tarnwick/config:1: not an option, ignored "
          "\\(an option starts with \"-\", a comment with \"#\" or \";\"\\)",
          "~Warning:[^:]+:[0-9]+:parse_config_file: {T}/config/tarnwick/config:5: not an option, .*",
          MIN_GT_MAX},
         1,
         {},
         {{dflt, "username=alice\n# comment\n  ; comment\n\n  cache-min-size 3\n--cache-min-size 10\n"}}},
        {"file value checked like the command line's",
         {URL, "{T}/absent"},
         {size_error("--cache-max-size")},
         1,
         {},
         {{dflt, "--cache-max-size 5 MiB\n"}}},
    });
}

TEST_F(Cli, Version)
{
    const std::string engine =
        std::string("libcurl SSL engine: ") + curl_version_info(CURLVERSION_NOW)->ssl_version;
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-V"},
             {"--version"},
             {"--vers", URL, "{T}/absent"},
             // Nothing after it is handled, and no check runs.
             {"-f", "-V", "--cache-min-size=x", "--bogus"},
             {"--cache-min-size=2", "--cache-max-size=1", "-V"},
             {"-o", "ro,version"},
         }) {
        Outcome r = run(args);
        std::string label = sub(args[0]) + " ...\n" + r.err;
        EXPECT_EQ(r.status, 0) << label;
        ASSERT_GE(r.lines.size(), 2u) << label;
        EXPECT_EQ(r.lines[0], "Tarnwick version 1.3.3") << label;
        EXPECT_EQ(r.lines[1], engine) << label;
        for (const auto &line : r.lines) {
            EXPECT_FALSE(line.starts_with("Error")) << label;
            EXPECT_NE(line, SEE_HELP) << label;
        }
    }
}

TEST_F(Cli, Help)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-h"},
             {"--help"},
             {"--he", URL, "{T}/dir"},
             {URL, "{T}/absent", "-h", "--bogus"},
             {"--cache-min-size=2", "--cache-max-size=1", "-f", "-h"},
         }) {
        Outcome r = run(args);
        std::string label = sub(args[0]) + " ...\n" + r.err;
        EXPECT_EQ(r.status, 0) << label;
        // The text closes standard error, set off by an empty line before and after it.
        std::string block = HELP_TEXT;
        size_t doc = block.find("@PROXY-DOC@\n");
        std::string head = block.substr(0, doc), tail = block.substr(doc + 12);
        std::string expected_end = "\n" + tail + "\n";
        ASSERT_TRUE(r.err.ends_with(expected_end)) << label;
        std::string rest = r.err.substr(0, r.err.size() - expected_end.size());
        // The address of libcurl's proxy documentation, aligned with the other continuations.
        size_t cut = rest.rfind('\n');
        ASSERT_NE(cut, std::string::npos) << label;
        std::string doc_line = rest.substr(cut + 1);
        EXPECT_TRUE(std::regex_match(doc_line, std::regex(" {28}[^ ]*CURLOPT_PROXY[^ ]*"))) << doc_line;
        rest = rest.substr(0, cut + 1);
        ASSERT_TRUE(rest.ends_with("\n" + head)) << label;
        rest = rest.substr(0, rest.size() - head.size() - 1);
        EXPECT_TRUE(rest.empty() || rest.ends_with("\n")) << "no empty line before the help text\n" << label;
        EXPECT_EQ(r.err.find(SEE_HELP), std::string::npos) << label;
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << label;
    }
}

TEST_F(Cli, CacheClear)
{
    struct {
        const char *name;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::vector<std::string> removed, kept; // below {T}
        const char *config;                     // default configuration file, or null
    } cases[] = {
        {"location before",
         {"--cache-location", "{T}/custom", "--cache-clear"},
         {},
         {"custom"},
         {"cache/tarnwick", "cache/keep"},
         nullptr},
        {"location joined, before; later arguments unseen",
         {"--cache-location={T}/custom", "--cache-clear", "--bogus"},
         {},
         {"custom"},
         {"cache/tarnwick"},
         nullptr},
        {"location after",
         {"--cache-clear", "--cache-location", "{T}/custom", URL, "{T}/absent"},
         {},
         {"cache/tarnwick"},
         {"custom", "cache/keep", "cache"},
         nullptr},
        {"alone", {"--cache-clear"}, {}, {"cache/tarnwick"}, {"custom", "cache/keep"}, nullptr},
        {"location only in the file",
         {"--cache-clear", URL, "{T}/absent"},
         {},
         {"cache/tarnwick"},
         {"custom"},
         "--cache-location {T}/custom\n"},
        {"HOME without XDG_CACHE_HOME",
         {URL, "--cache-clear"},
         {"XDG_CACHE_HOME"},
         {"home/.cache/tarnwick"},
         {"cache/tarnwick", "home/.cache/other"},
         nullptr},
    };
    for (const auto &c : cases) {
        for (const char *file : {"cache/tarnwick/CACHEDIR.TAG", "cache/tarnwick/http%3A%2F%2Fh%2F/meta/a/f",
                                 "cache/tarnwick/http%3A%2F%2Fh%2F/data/a/f", "cache/keep", "custom/meta/x",
                                 "custom/data/deep/er/y", "home/.cache/tarnwick/z", "home/.cache/other"})
            write(file, "cached\n");
        fs::remove(dir_ / "config/tarnwick/config");
        if (c.config)
            write("config/tarnwick/config", c.config);
        Outcome r = run(c.args, c.env);
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        for (const auto &path : c.removed)
            EXPECT_FALSE(fs::exists(dir_ / path)) << c.name << ": " << path;
        for (const auto &path : c.kept)
            EXPECT_TRUE(fs::exists(dir_ / path)) << c.name << ": " << path;
        fs::remove_all(dir_ / "cache");
        fs::remove_all(dir_ / "custom");
        fs::remove_all(dir_ / "home/.cache");
    }
    // Nothing to remove is no error either.
    Outcome r = run({"--cache-clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = run({"--cache-location={T}/never", "--cache-clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}
