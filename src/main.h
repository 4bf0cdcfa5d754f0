// main.h: the start-up steps of main.cc, declared for the tests that drive them directly.
// Everything here runs on the main thread before any other thread exists.
#pragma once

// Grows a counted argument vector by a copy of `text`.
void add_arg(char ***vector, int *count, const char *text);
// Releases every string of a counted vector and the vector.
void free_args(char **vector, int count);
// The --config pre-scan: every command-line argument after the program name goes to the
// option vector, and only "--config=PATH", "--config PATH" and a "config=PATH" item of a -o
// list ("-o LIST" or "-oLIST") select a configuration file.
void prescan_config(int argc, char **argv, char ***vector, int *count);
// Overwrites, in the process's own argument strings, the values of -p/--password,
// --proxy-password and --sonic-password (also as -o items) with '*', in every form the option
// loop accepts, so that the process list shows no password. Everything else in argv stays as
// it was, its order included. Runs its own pass of the option parser over argv, after the
// pre-scan has copied the arguments and before the option loop, which starts afresh.
void hide_secrets(int argc, char **argv);
// Appends the configuration file's arguments behind everything already in the vector. A line
// that is neither an option ("-") nor a comment ("#", ";") nor blank gets a warning naming the
// file and line; a named file that cannot be read ends start-up without a crash report.
void parse_config_file(char ***vector, int *count);
// The configuration base directory (heap string), or null when none can be found.
char *get_XDG_CONFIG_HOME();
// The option loop over the option vector. Fills CONFIG and the FUSE vector; returns 1 when
// help or version ended it (with *help set for -h), 0 when all options were read. A -o list's
// items named exactly like a long option ("cache", "cache-location=DIR") are that option, in
// their place; the FUSE host gets the list's other items, and no -o when none are left.
int parse_arg_list(int argc, char **argv, char ***fuse_argv, int *fuse_argc, int *help);
// The checks after the option loop, in order, then the link system. Adds the resolved mount
// point to the FUSE vector. Returns 0, or 1 after the failure's message.
int check_and_start(int argc, char **argv, char ***fuse_argv, int *fuse_argc);
void print_usage(const char *prog);
void print_version();
void print_help();
