// system.h: what the tests of the program as the system runs it need besides harness.h: a
// command run to completion, `make install`'s tree below a temporary directory, and the
// mounts that detach from the process that made them (a background mount, or one made by
// mount(8)), which the test process adopts as a child subreaper and ends by their PIDs.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "integration/support/harness.h"

// The build directory of the program under test (where `make install` installs from).
std::string build_dir();

// Runs `argv` (argv[0] on PATH) to completion with the test's environment changed by
// `env_changes` (as child_environment takes them), killing it after timeout_ms. Standard
// output and error are captured; the working directory is a private temporary one.
RunResult run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env_changes = {},
                      int timeout_ms = 30000);

// `make install`'s step: the build installed below $DESTDIR `destdir` with `prefix`. Its
// output on failure, "" on success.
std::string install_build(const std::string &destdir, const std::string &prefix);

// Makes the test process the reaper of every orphan below it, so that a mount's daemon, once its
// parent has exited, becomes a child of the test. False when the kernel refuses.
bool adopt_orphans();
// The test process's children other than `keep` (such as a server the test still runs).
std::vector<pid_t> children(const std::vector<pid_t> &keep = {});
// Waits up to timeout_ms for every child but `keep` to end and reaps it; then ends the ones
// left with SIGTERM and SIGKILL, by PID, and fails the test naming them. True when none was left.
bool reap_children(const std::vector<pid_t> &keep, int timeout_ms);
