// harness.cc: the helpers of harness.h. Children are started with fork and execve (the
// program path is resolved before the fork, so the child only makes async-signal-safe calls),
// with standard input from /dev/null, no inherited descriptors beyond the three standard ones
// (a listening socket of a FaultServer must not outlive it in nginx) and PR_SET_PDEATHSIG.
// Waits poll waitpid and /proc/mounts every 10 ms up to their limits.
#include "integration/support/harness.h"
#include "integration/support/servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <random>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

static const int POLL_MS = 10;

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

uint32_t test_seed()
{
    const char *fixed = getenv("TARNWICK_TEST_SEED");
    return fixed ? static_cast<uint32_t>(strtoul(fixed, nullptr, 10)) : std::random_device{}();
}

bool make_dirs(const std::string &path)
{
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    if (remove(path))
        fprintf(stderr, "harness: cannot remove %s: %s\n", path, strerror(errno));
    return 0; // go on with the rest of the tree
}

TempDir::TempDir(const std::string &tag)
{
    std::string pattern = "/tmp/tarnwick-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
        return;
    }
    dir = buf.data();
    chmod(dir.c_str(), 0755);
}

TempDir::~TempDir()
{
    if (dir.empty())
        return;
    nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0)
        ADD_FAILURE() << "temporary directory " << dir << " could not be removed";
}

std::string TempDir::at(const std::string &relative) const
{
    return dir + "/" + relative;
}

uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    struct sockaddr_in addr {
    };
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool write_file(const std::string &path, const std::string &bytes)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash))) {
        ADD_FAILURE() << "cannot make the directories of " << path << ": " << strerror(errno);
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        ADD_FAILURE() << "cannot write " << path;
        return false;
    }
    return true;
}

bool make_tree(const std::string &root, const std::vector<TreeEntry> &entries)
{
    for (const TreeEntry &e : entries) {
        std::string path = root + "/" + e.path;
        if (!e.path.empty() && e.path.back() == '/') {
            if (!make_dirs(path.substr(0, path.size() - 1))) {
                ADD_FAILURE() << "cannot make directory " << path << ": " << strerror(errno);
                return false;
            }
        } else if (!write_file(path, e.bytes)) {
            return false;
        }
    }
    return true;
}

int try_read_file(const std::string &path, std::string *out)
{
    out->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return err;
        }
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

std::string pread_all(int fd, size_t len, off_t offset, int *err)
{
    std::string out(len, '\0');
    size_t got = 0;
    *err = 0;
    while (got < len) {
        ssize_t n = pread(fd, out.data() + got, len - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = errno;
            break;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
}

std::string direct_read(const std::string &path, size_t len, off_t offset, int *err)
{
    *err = 0;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) {
        *err = errno;
        return "";
    }
    std::string out(len, '\0');
    ssize_t n = pread(fd, out.data(), len, offset);
    if (n < 0) {
        *err = errno;
        n = 0;
    }
    close(fd);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string read_file(const std::string &path)
{
    std::string out;
    int err = try_read_file(path, &out);
    if (err) {
        ADD_FAILURE() << "cannot read " << path << ": " << strerror(err);
        return "";
    }
    return out;
}

std::set<std::string> list_dir(const std::string &path, int *err)
{
    std::set<std::string> names;
    *err = 0;
    DIR *d = opendir(path.c_str());
    if (!d) {
        *err = errno;
        return names;
    }
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.insert(e->d_name);
        if (names.size() >= 100000)
            break;
    }
    closedir(d);
    return names;
}

std::set<std::string> list_dir_confirmed(const std::string &path, int *err)
{
    // The directory stays open throughout, so that the mount keeps the one table whose entries
    // the look-ups confirm (a directory nobody holds may be listed afresh).
    DIR *held = opendir(path.c_str());
    std::set<std::string> names = list_dir(path, err);
    if (!*err) {
        for (const std::string &name : names) {
            struct stat st;
            stat((path + "/" + name).c_str(), &st);
        }
        names = list_dir(path, err);
    }
    if (held)
        closedir(held);
    return names;
}

// Lower-case hex of the digest of `bytes` by `md`.
static std::string digest_hex(const std::string &bytes, const EVP_MD *md)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &len, md, nullptr)) {
        ADD_FAILURE() << "EVP_Digest failed";
        return "";
    }
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; i++) {
        out += HEX[digest[i] >> 4];
        out += HEX[digest[i] & 15];
    }
    return out;
}

std::string sha256_hex(const std::string &bytes)
{
    return digest_hex(bytes, EVP_sha256());
}

std::string md5_hex(const std::string &bytes)
{
    return digest_hex(bytes, EVP_md5());
}

std::map<std::string, std::string> query_params(const std::string &query)
{
    std::map<std::string, std::string> params;
    std::stringstream in(query);
    std::string pair;
    while (std::getline(in, pair, '&')) {
        size_t eq = pair.find('=');
        if (eq != std::string::npos)
            params[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    return params;
}

std::string sha256_file(const std::string &path)
{
    std::string bytes;
    int err = try_read_file(path, &bytes);
    if (err) {
        ADD_FAILURE() << "cannot read " << path << ": " << strerror(err);
        return "";
    }
    return sha256_hex(bytes);
}

bool set_mtime(const std::string &path, time_t mtime)
{
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0)) {
        ADD_FAILURE() << "cannot set the times of " << path << ": " << strerror(errno);
        return false;
    }
    return true;
}

std::string stderr_fault(const std::string &text)
{
    static const char *const MARKERS[] = {"Fatal:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                          "WARNING: ThreadSanitizer", "runtime error:"};
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        for (const char *m : MARKERS)
            if (line.find(m) != std::string::npos)
                return line;
    return "";
}

// The executable `name` (a path, or looked up on PATH); "" when there is none.
static std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : "";
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':')) {
        std::string candidate = (d.empty() ? "." : d) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

static size_t append(char *data, size_t size, size_t count, void *user) noexcept
{
    static_cast<std::string *>(user)->append(data, size * count);
    return size * count;
}

Fetched fetch(const std::string &url, const Ask &ask, CURL *curl)
{
    bool own = !curl;
    if (own)
        curl = curl_easy_init();
    Fetched f;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // The system asks for HTTP/2 when HTTP/3 is refused, which over http:// offers an h2c upgrade.
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2_0));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &f.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &f.headers);
    curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_NOBODY, ask.head ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_RANGE, ask.range.empty() ? nullptr : ask.range.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, ask.follow ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_USERNAME, ask.user.empty() ? nullptr : ask.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, ask.user.empty() ? nullptr : ask.password.c_str());
    // Set only when given: a reused handle keeps them (NULL would not restore the system's).
    if (!ask.cacert.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, ask.cacert.c_str());
    if (!ask.capath.empty())
        curl_easy_setopt(curl, CURLOPT_CAPATH, ask.capath.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, ask.proxy.c_str()); // "" ignores proxy variables
    curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, ask.proxy_user.empty() ? nullptr : ask.proxy_user.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD,
                     ask.proxy_user.empty() ? nullptr : ask.proxy_password.c_str());
    struct curl_slist *list = nullptr;
    for (const std::string &h : ask.headers)
        list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    auto t0 = std::chrono::steady_clock::now();
    f.result = curl_easy_perform(curl);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &f.code);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &f.length);
    curl_easy_getinfo(curl, CURLINFO_FILETIME, &f.filetime);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &f.connects);
    curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &f.http_version);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    if (own)
        curl_easy_cleanup(curl);
    return f;
}

bool fuse_available()
{
    return access("/dev/fuse", F_OK) == 0 && !find_program("fusermount3").empty();
}

std::vector<std::string> child_environment(const std::vector<std::string> &changes)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        env.push_back(*e);
    for (const std::string &change : changes) {
        std::string name = change.substr(0, change.find('='));
        for (auto it = env.begin(); it != env.end();)
            it = it->compare(0, name.size() + 1, name + "=") == 0 ? env.erase(it) : it + 1;
        if (change.find('=') != std::string::npos)
            env.push_back(change);
    }
    return env;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &out_path, const std::string &err_path, const std::string &cwd,
            std::string *why)
{
    std::string program = find_program(argv.at(0));
    if (program.empty()) {
        *why = "no executable " + argv[0];
        return 0;
    }
    std::vector<char *> cargv, cenv;
    for (const std::string &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const std::string &e : env)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) {
        *why = "cannot open the output files of " + argv[0] + ": " + strerror(errno);
        for (int fd : {out, err, in})
            if (fd >= 0)
                close(fd);
        return 0;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        close_range(3, ~0U, 0);
        if (!cwd.empty() && chdir(cwd.c_str()))
            _exit(127);
        execve(program.c_str(), cargv.data(), cenv.data());
        static const char MSG[] = "harness: execve failed\n";
        if (write(2, MSG, sizeof MSG - 1) < 0)
            _exit(127);
        _exit(127);
    }
    int fork_errno = errno;
    close(out);
    close(err);
    close(in);
    if (pid < 0) {
        *why = std::string("fork: ") + strerror(fork_errno);
        return 0;
    }
    return pid;
}

bool wait_exit(pid_t pid, int timeout_ms, int *status)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return true; // not our child any more: nothing left to wait for
        if (now_ms() >= deadline)
            return false;
        sleep_ms(POLL_MS);
    }
}

bool kill_and_reap(pid_t pid, int *status)
{
    kill(pid, SIGKILL);
    return wait_exit(pid, 5000, status);
}

int run_helper(const std::vector<std::string> &argv, const std::string &log_path)
{
    std::string why;
    pid_t pid = spawn(argv, child_environment({}), log_path, log_path, "", &why);
    if (!pid) {
        fprintf(stderr, "harness: %s\n", why.c_str());
        return -1;
    }
    int status = 0;
    if (!wait_exit(pid, 10000, &status) && !kill_and_reap(pid, &status))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string file_text(const std::string &path)
{
    std::string text;
    try_read_file(path, &text);
    return text;
}

// The program's environment: private configuration and cache homes under `dir`, then `changes`.
static std::vector<std::string> program_environment(const std::string &dir,
                                                    const std::vector<std::string> &changes)
{
    make_dirs(dir + "/config");
    make_dirs(dir + "/cache");
    std::vector<std::string> all = {"TARNWICK_LOG_LEVEL", "XDG_CONFIG_HOME=" + dir + "/config",
                                    "XDG_CACHE_HOME=" + dir + "/cache"};
    all.insert(all.end(), changes.begin(), changes.end());
    return child_environment(all);
}

RunResult run_program(const std::vector<std::string> &args, const ProgramOptions &opts)
{
    RunResult result;
    TempDir work("run");
    std::vector<std::string> argv = {opts.binary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string why;
    pid_t pid = spawn(argv, program_environment(work.path(), opts.env), work.at("stdout"), work.at("stderr"),
                      work.path(), &why);
    if (!pid) {
        ADD_FAILURE() << "cannot start " << opts.binary << ": " << why;
        return result;
    }
    int status = 0;
    if (!wait_exit(pid, opts.timeout_ms, &status)) {
        result.timed_out = true;
        if (!kill_and_reap(pid, &status))
            ADD_FAILURE() << opts.binary << " (pid " << pid << ") did not end after SIGKILL";
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.out = file_text(work.at("stdout"));
    result.err = file_text(work.at("stderr"));
    if (opts.check_stderr) {
        std::string fault = stderr_fault(result.err);
        EXPECT_EQ(fault, "") << "standard error of " << opts.binary << ":\n" << result.err;
    }
    return result;
}

// Whether `path` is a mount point in /proc/mounts (whose fields escape blanks as octal).
static bool in_proc_mounts(const std::string &path)
{
    std::ifstream in("/proc/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, target;
        fields >> device >> target;
        std::string decoded;
        for (size_t i = 0; i < target.size(); i++) {
            if (target[i] == '\\' && i + 3 < target.size() &&
                isdigit(static_cast<unsigned char>(target[i + 1]))) {
                decoded += static_cast<char>(std::stoi(target.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                decoded += target[i];
            }
        }
        if (decoded == path)
            return true;
    }
    return false;
}

Mount::Mount(const std::string &url, const std::vector<std::string> &args, const ProgramOptions &opts)
    : work("mount"), url(url), args(args), opts(opts)
{
    mnt = work.at("mnt");
    if (!make_dirs(mnt))
        ADD_FAILURE() << "cannot make mount point " << mnt;
    char resolved[PATH_MAX];
    if (realpath(mnt.c_str(), resolved))
        mnt = resolved;
}

Mount::~Mount()
{
    stop();
}

void Mount::reap(int status)
{
    child = 0;
    if (WIFEXITED(status))
        code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        signo = WTERMSIG(status);
}

bool Mount::start()
{
    if (child)
        return mounted();
    if (access(opts.binary.c_str(), X_OK)) {
        why = "no executable program at " + opts.binary;
        return false;
    }
    code = -1;
    signo = 0;
    why.clear();
    std::vector<std::string> argv = {opts.binary, "-f"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(url);
    argv.push_back(mnt);
    child = spawn(argv, program_environment(work.path(), opts.env), work.at("stdout"), work.at("stderr"),
                  work.path(), &why);
    if (!child)
        return false;
    long long deadline = now_ms() + opts.timeout_ms;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) {
            reap(status);
            why = "the program ended before mounting (" +
                  (signo ? "signal " + std::to_string(signo) : "exit status " + std::to_string(code)) +
                  "); its standard error:\n" + stderr_text();
            if (in_proc_mounts(mnt))
                run_helper({"fusermount3", "-uz", mnt}, work.at("fusermount.log"));
            if (opts.check_stderr)
                expect_clean_stderr();
            return false;
        }
        if (in_proc_mounts(mnt))
            return true;
        if (now_ms() >= deadline)
            break;
        sleep_ms(POLL_MS);
    }
    why = "no mount at " + mnt + " after " + std::to_string(opts.timeout_ms) + " ms; standard error:\n" +
          stderr_text();
    bool keep_check = opts.check_stderr;
    opts.check_stderr = false; // the failure above already carries the text
    stop();
    opts.check_stderr = keep_check;
    return false;
}

int Mount::stop()
{
    if (child) {
        pid_t pid = child;
        int status = 0;
        bool gone = false;
        // A busy mount (a file still open) refuses the plain unmount; SIGTERM comes next then.
        if (in_proc_mounts(mnt) && run_helper({"fusermount3", "-u", mnt}, work.at("fusermount.log")) == 0)
            gone = wait_exit(pid, 10000, &status);
        if (!gone) {
            kill(pid, SIGTERM);
            gone = wait_exit(pid, 5000, &status);
        }
        if (!gone) {
            run_helper({"fusermount3", "-uz", mnt}, work.at("fusermount.log"));
            gone = kill_and_reap(pid, &status);
        }
        if (gone)
            reap(status);
        else
            ADD_FAILURE() << opts.binary << " (pid " << pid << ") did not end after SIGKILL";
        if (opts.check_stderr)
            expect_clean_stderr();
    }
    if (in_proc_mounts(mnt)) {
        run_helper({"fusermount3", "-uz", mnt}, work.at("fusermount.log"));
        if (in_proc_mounts(mnt))
            ADD_FAILURE() << "mount " << mnt << " is still there after fusermount3 -uz";
    }
    return code;
}

bool Mount::mounted() const
{
    return in_proc_mounts(mnt);
}

std::string Mount::stdout_text() const
{
    return file_text(work.at("stdout"));
}

std::string Mount::stderr_text() const
{
    return file_text(work.at("stderr"));
}

void Mount::expect_clean_stderr() const
{
    std::string text = stderr_text();
    std::string fault = stderr_fault(text);
    EXPECT_EQ(fault, "") << "standard error of the mount at " << mnt << ":\n" << text;
}

Nginx::Nginx(const std::string &root, bool access_log) : Nginx(root, NginxOptions{.access_log = access_log})
{
}

Nginx::Nginx(const std::string &root, const NginxOptions &options)
    : work("nginx"), root(root), options(options)
{
    if (!this->options.log_headers.empty())
        this->options.access_log = true;
}

Nginx::~Nginx()
{
    stop();
}

std::string Nginx::url(const std::string &path) const
{
    return (options.tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(listen_port) + path;
}

std::string Nginx::error_log() const
{
    return file_text(work.at("error.log"));
}

bool port_answers(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in addr {
    };
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// The worker processes of an nginx master: the processes whose parent it is.
static std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> out;
    DIR *proc = opendir("/proc");
    if (!proc)
        return out;
    while (struct dirent *e = readdir(proc)) {
        char *end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end || pid <= 0)
            continue;
        std::string stat = file_text("/proc/" + std::string(e->d_name) + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close_paren + 2));
        std::string state;
        long ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent)
            out.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return out;
}

// The nginx variable of a request header: "X-Api-Key" -> "$http_x_api_key".
static std::string header_variable(const std::string &name)
{
    std::string var = "$http_";
    for (char c : name)
        var += c == '-' ? '_' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return var;
}

// Writes DIR/nginx.conf for the current port (and DIR/htpasswd for basic authentication).
bool Nginx::write_config(const std::string &d)
{
    for (const char *sub : {"/body", "/proxy", "/fastcgi", "/uwsgi", "/scgi"})
        make_dirs(d + sub);
    std::string conf = "worker_processes 1;\n"
                       "pid " +
                       d +
                       "/nginx.pid;\n"
                       "error_log " +
                       d + "/error.log;\n";
    // A root master would run its worker as nobody, which cannot enter a tree made by
    // mkdtemp (mode 0700); the tests' trees belong to root.
    if (geteuid() == 0)
        conf += "user root;\n";
    conf += "events { worker_connections 512; }\n"
            "http {\n"
            "    default_type application/octet-stream;\n"
            "    sendfile on;\n"
            "    keepalive_requests 100000;\n"
            "    client_body_temp_path " +
            d +
            "/body;\n"
            "    proxy_temp_path " +
            d +
            "/proxy;\n"
            "    fastcgi_temp_path " +
            d +
            "/fastcgi;\n"
            "    uwsgi_temp_path " +
            d +
            "/uwsgi;\n"
            "    scgi_temp_path " +
            d + "/scgi;\n";
    if (options.access_log) {
        // Two logs of the same requests: requests.log with tab-separated fields (nginx writes a
        // tab inside a value as \x09), and the short lines of access_log(). nginx writes them in
        // this order, so a request counted in access.log is already in requests.log.
        std::string detail = "$request_method\\t$request_uri\\t$status\\t$server_protocol\\t$http_range";
        for (const std::string &name : options.log_headers)
            detail += "\\t" + header_variable(name);
        conf += "    log_format tests '$request_method $request_uri $status \"$http_range\"';\n"
                "    log_format detail '" +
                detail +
                "';\n"
                "    access_log " +
                d +
                "/requests.log detail;\n"
                "    access_log " +
                d + "/access.log tests;\n";
    } else {
        conf += "    access_log off;\n";
    }
    conf += "    server {\n"
            "        listen 127.0.0.1:" +
            std::to_string(listen_port) + (options.tls ? " ssl http2" : "") +
            ";\n"
            "        root " +
            root +
            ";\n"
            "        autoindex on;\n";
    if (options.tls)
        conf += "        ssl_certificate " + options.tls->cert_file() + ";\n        ssl_certificate_key " +
                options.tls->key_file() + ";\n";
    if (!options.user.empty()) {
        int status = run_helper({"openssl", "passwd", "-apr1", options.password}, d + "/passwd.out");
        std::string hash = file_text(d + "/passwd.out");
        if (status != 0 || hash.compare(0, 6, "$apr1$") != 0) {
            why = "openssl passwd -apr1 failed: " + hash;
            return false;
        }
        unlink((d + "/passwd.out").c_str());
        if (!write_file(d + "/htpasswd", options.user + ":" + hash))
            return false;
        conf += "        auth_basic \"tarnwick tests\";\n"
                "        auth_basic_user_file " +
                d + "/htpasswd;\n";
    }
    for (const std::string &block : options.locations)
        conf += "        " + block + "\n";
    conf += "    }\n"
            "}\n";
    if (!write_file(d + "/nginx.conf", conf)) {
        why = "cannot write nginx.conf";
        return false;
    }
    return true;
}

bool Nginx::start()
{
    if (child)
        return true;
    why.clear();
    if (options.tls && access(options.tls->key_file().c_str(), R_OK)) {
        why = "the certificate is not made (Certificate::make)";
        return false;
    }
    // The port is chosen before nginx binds it; another process may take it in between, so a
    // failed bind is retried with a new port.
    for (int attempt = 0; attempt < 3; attempt++) {
        listen_port = free_port();
        std::string d = work.path();
        if (!write_config(d))
            return false;
        child = spawn(
            {"nginx", "-p", d + "/", "-e", d + "/error.log", "-c", d + "/nginx.conf", "-g", "daemon off;"},
            child_environment({}), d + "/stdout", d + "/stderr", d, &why);
        if (!child)
            return false;
        long long deadline = now_ms() + 10000;
        bool exited = false;
        while (now_ms() < deadline) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                exited = true;
                break;
            }
            if (port_answers(listen_port))
                return true;
            sleep_ms(POLL_MS);
        }
        if (!exited) {
            why = "nginx did not answer on port " + std::to_string(listen_port) + " within 10 s";
            stop();
            why += "; error log:\n" + error_log();
            return false;
        }
        child = 0;
        why = "nginx ended at start-up; error log:\n" + error_log() + file_text(d + "/stderr");
        if (why.find("Address already in use") == std::string::npos)
            return false;
    }
    return false;
}

void Nginx::stop()
{
    if (!child)
        return;
    pid_t pid = child;
    child = 0;
    int status = 0;
    // SIGTERM is nginx's fast shutdown: the master ends its worker and then itself.
    kill(pid, SIGTERM);
    if (wait_exit(pid, 5000, &status))
        return;
    for (pid_t worker : children_of(pid))
        kill(worker, SIGKILL);
    if (!kill_and_reap(pid, &status))
        ADD_FAILURE() << "nginx (pid " << pid << ") did not end after SIGKILL";
}

std::vector<std::string> Nginx::access_log() const
{
    std::vector<std::string> lines;
    std::istringstream in(file_text(work.at("access.log")));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

static std::string percent_decoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

size_t Nginx::count(const std::string &method, const std::string &path) const
{
    size_t n = 0;
    for (const std::string &line : access_log()) {
        std::istringstream fields(line);
        std::string m, uri;
        fields >> m >> uri;
        uri = uri.substr(0, uri.find('?'));
        if ((method.empty() || m == method) && (path.empty() || path == uri || path == percent_decoded(uri)))
            n++;
    }
    return n;
}

bool Nginx::wait_for(size_t n, const std::string &method, const std::string &path, int timeout_ms) const
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (count(method, path) >= n)
            return true;
        if (now_ms() >= deadline)
            return false;
        sleep_ms(POLL_MS);
    }
}

// Undoes nginx's default log escaping: \xHH for '"', '\' and bytes outside 0x20-0x7e.
static std::string log_unescaped(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<LoggedRequest> Nginx::requests() const
{
    std::vector<LoggedRequest> out;
    std::istringstream in(file_text(work.at("requests.log")));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t'))
            fields.push_back(log_unescaped(field));
        if (fields.size() < 5 + options.log_headers.size())
            continue;
        LoggedRequest r;
        r.method = fields[0];
        r.uri = fields[1];
        r.status = atoi(fields[2].c_str());
        r.protocol = fields[3];
        r.range = fields[4] == "-" ? "" : fields[4];
        for (size_t i = 0; i < options.log_headers.size(); i++)
            if (fields[5 + i] != "-")
                r.headers[options.log_headers[i]] = fields[5 + i];
        out.push_back(r);
    }
    return out;
}
