// system.cc: commands, installation and adopted daemons for the tests of the installed program.
#include "integration/support/system.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

std::string build_dir()
{
    std::string binary = TARNWICK_BINARY;
    return binary.substr(0, binary.rfind('/'));
}

RunResult run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env_changes,
                      int timeout_ms)
{
    RunResult result;
    TempDir work("command");
    std::string why;
    pid_t pid =
        spawn(argv, child_environment(env_changes), work.at("stdout"), work.at("stderr"), work.path(), &why);
    if (!pid) {
        ADD_FAILURE() << "cannot start " << argv.at(0) << ": " << why;
        return result;
    }
    int status = 0;
    if (!wait_exit(pid, timeout_ms, &status)) {
        result.timed_out = true;
        kill(pid, SIGKILL);
        if (!wait_exit(pid, 5000, &status))
            ADD_FAILURE() << argv[0] << " (pid " << pid << ") did not end after SIGKILL";
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.out = file_text(work.at("stdout"));
    result.err = file_text(work.at("stderr"));
    return result;
}

std::string install_build(const std::string &destdir, const std::string &prefix)
{
    RunResult r =
        run_command({"cmake", "--install", build_dir(), "--prefix", prefix}, {"DESTDIR=" + destdir});
    if (r.exit_code == 0)
        return "";
    return "cmake --install failed (" + std::to_string(r.exit_code) + "):\n" + r.out + r.err;
}

bool adopt_orphans()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

std::vector<pid_t> children(const std::vector<pid_t> &keep)
{
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (!proc)
        return found;
    pid_t self = getpid();
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
        bool kept = false;
        for (pid_t k : keep)
            kept = kept || k == pid;
        if (ppid == self && !kept)
            found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

bool reap_children(const std::vector<pid_t> &keep, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    std::vector<pid_t> left = children(keep);
    while (!left.empty() && now_ms() < deadline) {
        for (pid_t pid : left) {
            int status;
            waitpid(pid, &status, WNOHANG);
        }
        left = children(keep);
        if (!left.empty())
            sleep_ms(20);
    }
    for (pid_t pid : left) {
        ADD_FAILURE() << "pid " << pid << " still running; ended";
        kill(pid, SIGTERM);
        int status;
        if (!wait_exit(pid, 5000, &status)) {
            kill(pid, SIGKILL);
            wait_exit(pid, 5000, &status);
        }
    }
    return left.empty();
}
