// The program as the system runs it: mounted by mount(8) through Debian's mount.fuse3 (by type,
// from an fstab line, and through the installed helper link), detached in the background with
// its log in the system log, and what the process list shows of a running mount.
//
// mount(8) starts its helper without PATH, so mount.fuse3's shell finds `tarnwick` only on its
// default path (/usr/local/bin among it). Each mount(8) case therefore runs in a private mount
// namespace in which `make install`'s tree, installed below a temporary DESTDIR, is bound over
// /usr/local: nothing outside the namespace sees it or the mount, and both vanish with the
// namespace's last process. The daemons that detach are adopted by the test (a child
// subreaper), which reaps them or ends them by their PIDs.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/support/harness.h"
#include "integration/support/system.h"

namespace fs = std::filesystem;

namespace
{

// Bytes that name their own offset, so a wrong or shifted read shows.
std::string served_bytes(size_t size)
{
    std::string bytes;
    for (size_t i = 0; bytes.size() < size; i += 16) {
        char block[17];
        snprintf(block, sizeof block, "%015zx\n", i);
        bytes += block;
    }
    bytes.resize(size);
    return bytes;
}

const std::string A_BIN = served_bytes(300000);

// A served tree and, after the skip, a test process that adopts detached daemons.
class SystemMount : public testing::Test
{
  protected:
    void SetUp() override
    {
        REQUIRE_FUSE();
        ASSERT_TRUE(adopt_orphans()) << strerror(errno);
        ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", A_BIN}, {"sub/b.txt", "bee\n"}, {"c.bin", "sea\n"}}));
        ASSERT_TRUE(nginx.start()) << nginx.error();
    }

    void TearDown() override { reap_children({nginx.pid()}, 10000); }

    // Runs `script` with /bin/sh -e in a private mount namespace; standard error is in the result.
    RunResult in_namespace(const std::string &script, const std::vector<std::string> &env = {})
    {
        std::string path = work.at("script.sh");
        EXPECT_TRUE(write_file(path, script));
        return run_command({"unshare", "--mount", "--propagation", "private", "/bin/sh", "-e", path}, env,
                           60000);
    }

    TempDir tree{"served"};
    Nginx nginx{tree.path()};
    TempDir work{"system"};
};

// One unix datagram socket bound in a temporary directory: the system log of a test.
// A system log of the test's own: a datagram socket drained by a thread of its own, as a real
// system log daemon keeps reading (the program drops lines the log cannot take at once).
class SyslogCapture
{
  public:
    SyslogCapture()
    {
        path_ = dir_.at("log.sock");
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr {
        };
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr))
            ADD_FAILURE() << "cannot bind " << path_ << ": " << strerror(errno);
        else
            reader_ = std::thread([this] { drain(); });
    }
    ~SyslogCapture()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    SyslogCapture(const SyslogCapture &) = delete;
    SyslogCapture &operator=(const SyslogCapture &) = delete;

    const std::string &path() const { return path_; }
    // Waits until a datagram contains `wanted` or timeout_ms has passed (with "" the full
    // time); returns every datagram received so far.
    std::vector<std::string> receive(const std::string &wanted, int timeout_ms)
    {
        long long deadline = now_ms() + timeout_ms;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                for (const auto &d : got_)
                    if (!wanted.empty() && d.find(wanted) != std::string::npos)
                        return got_;
                if (now_ms() >= deadline)
                    return got_;
            }
            sleep_ms(10);
        }
    }

  private:
    void drain()
    {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[65536];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n >= 0) {
                std::lock_guard<std::mutex> guard(lock_);
                got_.emplace_back(buf, static_cast<size_t>(n));
            }
        }
    }

    TempDir dir_{"syslog"};
    std::string path_;
    int fd_ = -1;
    std::mutex lock_;
    std::vector<std::string> got_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

std::string all_lines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const auto &l : lines)
        text += "  |" + l + "\n";
    return text;
}

} // namespace

TEST_F(SystemMount, ThroughMountAndMountFuse3)
{
    if (getuid() != 0)
        GTEST_SKIP() << "mount(8) and private mount namespaces need root";
    RunResult probe = run_command({"unshare", "--mount", "--propagation", "private", "true"});
    if (probe.exit_code != 0)
        GTEST_SKIP() << "no private mount namespace here: " << probe.err;
    TempDir dest("dest");
    ASSERT_EQ(install_build(dest.path(), "/usr/local"), "");
    const std::string mnt = work.at("mnt"), out = work.at("out");
    fs::create_directories(mnt);
    fs::create_directories(out);
    // The configuration file an fstab line names: the password and the cache settings live there.
    const std::string conf = work.at("pub.conf");
    ASSERT_TRUE(write_file(conf, "# read through config= in the fstab line\n--password s3cret\n--cache\n"
                                 "--cache-location " +
                                     work.at("cache-fstab") + "\n"));
    ASSERT_TRUE(write_file(work.at("fstab"), nginx.url() + " " + mnt +
                                                 " fuse.tarnwick ro,_netdev,nofail,config=" + conf +
                                                 ",refresh-timeout=600 0 0\n"));
    const std::string opts =
        "ro,allow_other,cache,cache-location=" + work.at("cache-type") + ",refresh-timeout=600";
    struct {
        const char *name;
        bool bind; // `make install`'s /usr/local in place
        std::string mount;
        std::string cache; // the cache directory the options name, made at start-up
    } ways[] = {
        {"mount -t fuse.tarnwick", true,
         "mount -t fuse.tarnwick '" + nginx.url() + "' '" + mnt + "' -o " + opts, work.at("cache-type")},
        {"an fstab line", true, "mount -T '" + work.at("fstab") + "' '" + mnt + "'", work.at("cache-fstab")},
        // The installed link itself, as mount(8) runs it when the prefix is /usr; here it keeps
        // PATH, which names the installed program.
        {"the installed helper link", false,
         "PATH='" + dest.path() + "/usr/local/bin':\"$PATH\" '" + dest.path() +
             "/usr/local/sbin/mount.fuse.tarnwick' '" + nginx.url() + "' '" + mnt + "' -o " +
             "ro,cache-location=" + work.at("cache-link") + ",cache",
         work.at("cache-link")},
    };
    for (const auto &way : ways) {
        fs::remove_all(out);
        fs::create_directories(out);
        std::string script = "trap 'umount \"" + mnt + "\" 2>/dev/null || true' EXIT\n";
        if (way.bind)
            script += "mount --bind '" + dest.path() + "/usr/local' /usr/local\n";
        script += way.mount + "\n" + "cat '" + mnt + "/a.bin' > '" + out + "/a.bin'\n" + "ls '" + mnt +
                  "/sub' > '" + out + "/sub'\n" + "grep ' " + mnt + " ' /proc/self/mounts > '" + out +
                  "/mounts'\n";
        RunResult r = in_namespace(script, {"TARNWICK_LOG_LEVEL", "XDG_CONFIG_HOME=" + work.at("no-config"),
                                            "XDG_CACHE_HOME=" + work.at("no-cache")});
        EXPECT_EQ(r.exit_code, 0) << way.name << "\n" << r.err;
        EXPECT_FALSE(r.timed_out) << way.name;
        EXPECT_TRUE(reap_children({nginx.pid()}, 10000)) << way.name;
        EXPECT_EQ(file_text(out + "/a.bin"), A_BIN) << way.name;
        EXPECT_EQ(file_text(out + "/sub"), "b.txt\n") << way.name;
        std::string mounts = file_text(out + "/mounts");
        EXPECT_TRUE(std::regex_search(mounts, std::regex("^tarnwick \\S+ fuse\\.tarnwick ro,"))) << mounts;
        EXPECT_TRUE(fs::is_directory(way.cache + "/meta")) << way.name;
        EXPECT_TRUE(fs::exists(way.cache + "/data/a.bin")) << way.name;
        EXPECT_EQ(stderr_fault(r.err), "") << way.name << "\n" << r.err;
    }
}

TEST_F(SystemMount, DetachedMountLogsToTheSystemLog)
{
    SyslogCapture syslog;
    const std::string mnt = work.at("mnt");
    fs::create_directories(mnt);
    std::string why;
    pid_t parent = spawn({TARNWICK_BINARY, nginx.url(), mnt},
                         child_environment({"TARNWICK_LOG_LEVEL", "TARNWICK_SYSLOG_SOCKET=" + syslog.path(),
                                            "XDG_CONFIG_HOME=" + work.at("no-config"),
                                            "XDG_CACHE_HOME=" + work.at("no-cache")}),
                         work.at("stdout"), work.at("stderr"), work.path(), &why);
    ASSERT_NE(parent, 0) << why;
    int status = -1;
    // Without -f the program returns once the filesystem is mounted, leaving its daemon behind.
    ASSERT_TRUE(wait_exit(parent, 20000, &status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << file_text(work.at("stderr"));
    std::vector<pid_t> daemons = children({nginx.pid()});
    ASSERT_EQ(daemons.size(), 1u);

    EXPECT_EQ(read_file(mnt + "/a.bin"), A_BIN);
    // With the server gone, reading another file fails with an error line.
    nginx.stop();
    std::string ignored;
    EXPECT_NE(try_read_file(mnt + "/c.bin", &ignored), 0);
    syslog.receive("Error:", 10000);
    syslog.receive("fs_release: /c.bin", 10000);
    EXPECT_EQ(run_command({"fusermount3", "-u", mnt}).exit_code, 0);
    EXPECT_TRUE(reap_children({}, 10000));
    std::vector<std::string> lines = syslog.receive("", 200);

    // <PRI>Mmm dd hh:mm:ss tarnwick[PID]: then the line as on standard error, without its line
    // feed; facility daemon (3), severity by level.
    const std::regex layout("<([0-9]+)>[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
                            "tarnwick\\[([0-9]+)\\]: ([^\n]*)");
    bool error = false, warning = false, info = false;
    for (const auto &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, layout)) << line;
        EXPECT_EQ(std::stoi(m[2]), daemons[0]) << line;
        std::string text = m[3];
        int priority = std::stoi(m[1]);
        if (text.starts_with("Error:")) {
            EXPECT_EQ(priority, 3 * 8 + 3) << line;
            error = true;
        } else if (text.starts_with("Warning:")) {
            EXPECT_EQ(priority, 3 * 8 + 4) << line;
            warning = true;
        } else if (!text.starts_with("Debug") && !text.starts_with("Fatal:")) {
            EXPECT_EQ(priority, 3 * 8 + 6) << line;
            info = info || text == "fs_open: /a.bin";
        }
    }
    EXPECT_TRUE(error && warning && info) << all_lines(lines);
    // Standard error holds the start-up only: nothing from the time the daemon served.
    std::string err = file_text(work.at("stderr"));
    EXPECT_EQ(err.find("fs_open"), std::string::npos) << err;
    EXPECT_EQ(stderr_fault(err), "") << err;

    // In the foreground the lines stay on standard error, and the system log gets none.
    ProgramOptions foreground;
    foreground.env = {"TARNWICK_SYSLOG_SOCKET=" + syslog.path()};
    TempDir tree2("served2");
    ASSERT_TRUE(make_tree(tree2.path(), {{"d.txt", "dee\n"}}));
    Nginx nginx2(tree2.path());
    ASSERT_TRUE(nginx2.start()) << nginx2.error();
    Mount m(nginx2.url(), {}, foreground);
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(read_file(m.path() + "/d.txt"), "dee\n");
    EXPECT_EQ(m.stop(), 0);
    EXPECT_NE(m.stderr_text().find("fs_open: /d.txt\n"), std::string::npos) << m.stderr_text();
    // libfuse 3.14 has nothing to say about the thread limits it is handed.
    EXPECT_EQ(m.stderr_text().find("Ignoring invalid max threads"), std::string::npos) << m.stderr_text();
    EXPECT_EQ(syslog.receive("", 200).size(), lines.size()) << all_lines(syslog.receive("", 0));
}

// Passwords given on the command line are gone from /proc/PID/cmdline while the mount runs (every
// form the option loop takes is in the unit tests), and the mount itself works.
TEST(ProcessList, RunningMountShowsNoPassword)
{
    REQUIRE_FUSE();
    TempDir tree("served");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", A_BIN}}));
    Nginx nginx(tree.path());
    ASSERT_TRUE(nginx.start()) << nginx.error();
    Mount m(nginx.url(), {"-ppw-one", "--proxy-password=pw-two", "-o", "ro,password=pw-three,allow_other"});
    ASSERT_TRUE(m.start()) << m.error();
    std::string cmdline = file_text("/proc/" + std::to_string(m.pid()) + "/cmdline");
    ASSERT_FALSE(cmdline.empty());
    EXPECT_EQ(cmdline.find("pw-"), std::string::npos) << cmdline;
    // Everything else is as given, so ps still shows what was mounted where.
    EXPECT_NE(cmdline.find(std::string("ro,password=********,allow_other") + '\0'), std::string::npos)
        << cmdline;
    EXPECT_NE(cmdline.find(nginx.url()), std::string::npos) << cmdline;
    EXPECT_EQ(read_file(m.path() + "/a.bin"), A_BIN);
    EXPECT_EQ(m.stop(), 0);
}
