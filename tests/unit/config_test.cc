// The settings record, the --config pre-scan, the configuration file and the option loop that
// reads both sources.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "main.h"
#include "util.h"

namespace
{

const char *const SAVED_VARIABLES[] = {"TARNWICK_LOG_LEVEL", "XDG_CONFIG_HOME", "HOME"};

// Starts each test from the defaults with a private temporary directory and the variables the
// configuration depends on unset; puts the environment and the working directory back after.
class Config : public testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *name : SAVED_VARIABLES) {
            const char *value = getenv(name);
            saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        cwd_ = std::filesystem::current_path();
        char pattern[] = "/tmp/tarnwick-config-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        Config_init();
    }

    void TearDown() override
    {
        std::filesystem::current_path(cwd_);
        std::filesystem::remove_all(dir_);
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i])
                setenv(SAVED_VARIABLES[i], saved_[i]->c_str(), 1);
            else
                unsetenv(SAVED_VARIABLES[i]);
        }
        free_args(vector_, count_);
        checked_free(config_path);
        config_path = nullptr;
        curl_slist_free_all(CONFIG.http_headers);
        CONFIG.http_headers = nullptr;
        Config_cleanup();
    }

    // Writes `text` to a file below the temporary directory, making its parents.
    std::string write_file(const std::string &relative, const std::string &text)
    {
        std::filesystem::path path = dir_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    // The pre-scan of a command line; vector_ receives the program name and the arguments, in
    // place of what it held.
    void prescan(std::vector<const char *> args)
    {
        free_args(vector_, count_);
        vector_ = nullptr;
        count_ = 0;
        args.insert(args.begin(), "tarnwick");
        add_arg(&vector_, &count_, args[0]);
        prescan_config(static_cast<int>(args.size()), const_cast<char **>(args.data()), &vector_, &count_);
    }

    // The option loop over vector_, its FUSE vector starting with the program name.
    struct Parsed {
        int result = 0;
        int help = 0;
        std::vector<std::string> fuse; // the program name first
    };
    Parsed parse()
    {
        char **fuse_argv = nullptr;
        int fuse_argc = 0;
        Parsed parsed;
        add_arg(&fuse_argv, &fuse_argc, "tarnwick");
        parsed.result = parse_arg_list(count_, vector_, &fuse_argv, &fuse_argc, &parsed.help);
        parsed.fuse.assign(fuse_argv, fuse_argv + fuse_argc);
        free_args(fuse_argv, fuse_argc);
        return parsed;
    }

    std::vector<std::string> arguments(int from = 1) const
    {
        return std::vector<std::string>(vector_ + from, vector_ + count_);
    }

    std::filesystem::path dir_;
    char **vector_ = nullptr;
    int count_ = 0;

  private:
    std::vector<std::optional<std::string>> saved_;
    std::filesystem::path cwd_;
};

using ConfigDeathTest = Config;

std::string take(char *heap)
{
    std::string text = heap ? heap : "(null)";
    free(heap);
    return text;
}

std::vector<std::string> header_list()
{
    std::vector<std::string> headers;
    for (curl_slist *entry = CONFIG.http_headers; entry; entry = entry->next)
        headers.push_back(entry->data);
    return headers;
}

} // namespace

TEST_F(Config, InitSetsEveryDefault)
{
    // Leftovers of an earlier run must not survive; literals, because Config_init frees nothing.
    CONFIG.username = const_cast<char *>("left over");
    CONFIG.cache_location = const_cast<char *>("left over");
    CONFIG.sonic_id3 = 1;
    CONFIG.cache_enabled = 1;
    Config_init();

    EXPECT_EQ(CONFIG.mode, MODE_LISTING);
    EXPECT_EQ(CONFIG.log_level, 15);
    EXPECT_EQ(CONFIG.max_conns, 6);
    EXPECT_STREQ(CONFIG.user_agent, "Tarnwick-1.3.3");
    EXPECT_EQ(CONFIG.retry_wait, 5);
    EXPECT_EQ(CONFIG.refresh_timeout, 3600);
    EXPECT_EQ(CONFIG.data_blksz, 8388608);
    EXPECT_EQ(CONFIG.cache_min_size, -1);
    EXPECT_EQ(CONFIG.cache_max_size, -1);
    EXPECT_EQ(CONFIG.http_headers, nullptr);
    const char *strings[] = {CONFIG.username,       CONFIG.password,       CONFIG.proxy,
                             CONFIG.proxy_username, CONFIG.proxy_password, CONFIG.proxy_cacert,
                             CONFIG.proxy_capath,   CONFIG.cacert,         CONFIG.capath,
                             CONFIG.cache_location, CONFIG.sonic_username, CONFIG.sonic_password};
    for (const char *field : strings)
        EXPECT_EQ(field, nullptr);
    const int32_t flags[] = {CONFIG.no_range_check,  CONFIG.zero_len_is_dir, CONFIG.insecure_tls,
                             CONFIG.invalid_refresh, CONFIG.external_links,  CONFIG.cache_enabled,
                             CONFIG.sonic_id3,       CONFIG.sonic_insecure};
    for (int32_t flag : flags)
        EXPECT_EQ(flag, 0);
}

TEST_F(Config, CleanupReleasesTheStringsOnly)
{
    char **strings[] = {&CONFIG.username,       &CONFIG.password,       &CONFIG.proxy,
                        &CONFIG.proxy_username, &CONFIG.proxy_password, &CONFIG.proxy_cacert,
                        &CONFIG.proxy_capath,   &CONFIG.cacert,         &CONFIG.capath,
                        &CONFIG.cache_location, &CONFIG.sonic_username, &CONFIG.sonic_password};
    for (char **field : strings)
        *field = checked_strdup("value", HERE);
    CONFIG.user_agent = checked_strdup("agent/2", HERE);
    curl_slist *headers = curl_slist_append(nullptr, "X-A: 1");
    CONFIG.http_headers = headers;
    CONFIG.retry_wait = 9;
    CONFIG.cache_min_size = 10;
    CONFIG.cache_enabled = 1;

    Config_cleanup();
    for (char **field : strings)
        EXPECT_EQ(*field, nullptr);
    EXPECT_EQ(CONFIG.user_agent, nullptr);
    EXPECT_EQ(CONFIG.http_headers, headers); // the exit handler's, not cleanup's
    EXPECT_EQ(CONFIG.retry_wait, 9);
    EXPECT_EQ(CONFIG.cache_min_size, 10);
    EXPECT_EQ(CONFIG.cache_enabled, 1);
    curl_slist_free_all(CONFIG.http_headers);
    CONFIG.http_headers = nullptr;

    // Twice in a row, and on the default user agent, which is a constant and must not be freed
    // (the sanitizer build reports a bad free otherwise).
    Config_cleanup();
    Config_init();
    Config_cleanup();
    EXPECT_EQ(CONFIG.user_agent, nullptr);
}

TEST_F(Config, CleanupReleasesACopyThatHoldsTheDefaultText)
{
    // The copy from "--user-agent Tarnwick-1.3.3" is the record's to free like any other; the
    // sanitizer build's leak check reports it otherwise.
    CONFIG.user_agent = checked_strdup("Tarnwick-1.3.3", HERE);
    Config_cleanup();
    EXPECT_EQ(CONFIG.user_agent, nullptr);
}

// Registered before Config_init, so it runs after the record's own exit handler.
static void report_headers_at_exit()
{
    fputs(CONFIG.http_headers ? "headers kept\n" : "headers released\n", stderr);
}

TEST_F(ConfigDeathTest, ExitHandlerReleasesTheHeaderList)
{
    EXPECT_EXIT(
        {
            atexit(report_headers_at_exit);
            Config_init();
            CONFIG.http_headers = curl_slist_append(nullptr, "X-A: 1");
            exit(0);
        },
        testing::ExitedWithCode(0), "^headers released\n$");
    // The fatal path ends through exit() and runs it as well.
    EXPECT_EXIT(
        {
            atexit(report_headers_at_exit);
            Config_init();
            CONFIG.http_headers = curl_slist_append(nullptr, "X-A: 1");
            log_fatal(HERE, "stop\n");
        },
        testing::ExitedWithCode(1), "Oops! Tarnwick crashed!.*headers released\n$");
}

TEST_F(Config, PrescanSelectsTheConfigurationFile)
{
    struct {
        std::vector<const char *> args;
        const char *path; // config_path afterwards, null for none
    } cases[] = {
        {{"--config=/etc/a b", "http://h/", "/m"}, "/etc/a b"},
        {{"-f", "--config", "/etc/b", "http://h/"}, "/etc/b"},
        {{"--config=/etc/a", "--config", "/etc/b"}, "/etc/b"},
        {{"--config", "/etc/b", "--config=/etc/a"}, "/etc/a"},
        // Abbreviations and other spellings are the option parser's business and load nothing.
        {{"--conf", "/etc/c", "--configuration=/etc/d", "-config=/etc/e"}, nullptr},
        {{"http://h/", "/m"}, nullptr},
    };
    for (const auto &c : cases) {
        checked_free(config_path);
        config_path = nullptr;
        prescan(c.args);
        EXPECT_EQ(config_path ? std::string(config_path) : "(null)", c.path ? c.path : "(null)");
        // Every argument goes to the option vector, the path of "--config PATH" included.
        EXPECT_EQ(arguments(), std::vector<std::string>(c.args.begin(), c.args.end()));
        EXPECT_EQ(arguments(0)[0], "tarnwick");
    }
}

TEST_F(Config, FileLineGrammar)
{
    std::string long_value(5000, 'v');
    std::string path = write_file("named.conf", "   --user-agent    my  agent v1  \t \n"
                                                "# --retry-wait 9\n"
                                                "  ; -d a comment that names an option\n"
                                                "\n"
                                                " \t \n"
                                                "-f\n"
                                                "--cache-location=/var/cache/x\n"
                                                "--cache-location=/some where\n"
                                                "--http-header\tX-Trace:  on\n"
                                                "--no-range-check   \n"
                                                "--retry-wait 7\r\n"
                                                "--refresh-timeout \t \n"
                                                "--cacert \"/a b\"\n"
                                                "\t--proxy-username " +
                                                    long_value +
                                                    "\n"
                                                    "--sonic-id3");
    config_path = checked_strdup(path.c_str(), HERE);
    prescan({"--user-agent", "cmd"});
    parse_config_file(&vector_, &count_);
    std::vector<std::string> expected = {
        "--user-agent",
        "cmd",
        "--user-agent",
        "my  agent v1",
        "-f",
        "--cache-location=/var/cache/x",
        "--cache-location=/some",
        "where",
        "--http-header",
        "X-Trace:  on",
        "--no-range-check",
        "--retry-wait",
        "7",
        "--refresh-timeout",
        "--cacert",
        "\"/a b\"",
        "--proxy-username",
        long_value,
        "--sonic-id3",
    };
    EXPECT_EQ(arguments(), expected);
    EXPECT_STREQ(config_path, path.c_str()); // main releases it, not the reader
}

TEST_F(Config, FileLineEndsAtANul)
{
    // What follows a NUL is not read, and the blanks before it are the end of the line.
    using namespace std::string_literals;
    std::string text = "--user-agent my agent \t\0 junk\n--retry-wait\0 7\n  \0--cache\n-f"s;
    config_path = checked_strdup(write_file("nul.conf", text).c_str(), HERE);
    parse_config_file(&vector_, &count_);
    std::vector<std::string> expected = {"--user-agent", "my agent", "--retry-wait", "-f"};
    EXPECT_EQ(arguments(0), expected);
}

TEST_F(Config, FileArgumentsStandBehindTheCommandLine)
{
    std::string path = write_file("named.conf", "--user-agent file agent\n"
                                                "--http-header B: 2\n"
                                                "--retry-wait 9\n"
                                                "--insecure-tls\n"
                                                // Read from the file, this has no effect.
                                                "--config /nonexistent/other.conf\n");
    std::string config_arg = "--config=" + path;
    prescan({"--user-agent", "cmd agent", "--retry-wait", "3", "--http-header", "A: 1", "http://h/",
             config_arg.c_str(), "/mnt", "--cache"});
    parse_config_file(&vector_, &count_);
    EXPECT_EQ(parse().result, 0);
    EXPECT_STREQ(CONFIG.user_agent, "file agent");
    EXPECT_EQ(CONFIG.retry_wait, 9);
    EXPECT_EQ(header_list(), (std::vector<std::string>{"A: 1", "B: 2"}));
    EXPECT_EQ(CONFIG.insecure_tls, 1);
    EXPECT_EQ(CONFIG.cache_enabled, 1);
    EXPECT_STREQ(config_path, path.c_str());
    // The non-option arguments end up behind the options, URL first.
    ASSERT_EQ(count_ - optind, 2);
    EXPECT_STREQ(vector_[optind], "http://h/");
    EXPECT_STREQ(vector_[optind + 1], "/mnt");
}

TEST_F(Config, DefaultFileLocation)
{
    struct {
        const char *xdg, *home; // null: unset
        const char *file;       // below the temporary directory
    } cases[] = {
        {"xdg", "home", "xdg/tarnwick/config"},
        {nullptr, "home", "home/.config/tarnwick/config"},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(dir_ / "xdg");
        std::filesystem::remove_all(dir_ / "home");
        std::filesystem::create_directories(dir_ / "xdg");
        std::filesystem::create_directories(dir_ / "home");
        if (c.xdg)
            setenv("XDG_CONFIG_HOME", (dir_ / c.xdg).c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        setenv("HOME", (dir_ / c.home).c_str(), 1);

        // A missing default file is no error and adds nothing.
        prescan({"-f"});
        testing::internal::CaptureStderr();
        parse_config_file(&vector_, &count_);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(arguments(), std::vector<std::string>{"-f"}) << c.file;

        write_file(c.file, "--cache\n");
        parse_config_file(&vector_, &count_);
        EXPECT_EQ(arguments(), (std::vector<std::string>{"-f", "--cache"})) << c.file;
    }
}

TEST_F(Config, ConfigurationBaseDirectory)
{
    std::string long_xdg(1500, 'x');
    struct {
        const char *xdg, *home;
        std::string base;
    } cases[] = {
        {"/x/y", "/h", "/x/y"},
        // Set but empty still counts: the file is then "/tarnwick/config".
        {"", "/h", ""},
        {long_xdg.c_str(), nullptr, std::string(1024, 'x')},
        {nullptr, "/h", "/h/.config"},
        {nullptr, "/h/", "/h/.config"},
        {nullptr, "", "/.config"},
    };
    for (const auto &c : cases) {
        if (c.xdg)
            setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        if (c.home)
            setenv("HOME", c.home, 1);
        else
            unsetenv("HOME");
        char *base = get_XDG_CONFIG_HOME();
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(take(path_append(base, "/tarnwick/config")), c.base + "/tarnwick/config");
        EXPECT_EQ(take(base), c.base);
    }
}

TEST_F(Config, WithoutHomeTheCurrentDirectoryStandsIn)
{
    std::filesystem::path work = std::filesystem::canonical(dir_);
    std::filesystem::current_path(work);
    testing::internal::CaptureStderr();
    EXPECT_EQ(take(get_XDG_CONFIG_HOME()), (work / ".config").string());
    EXPECT_TRUE(std::regex_match(testing::internal::GetCapturedStderr(),
                                 std::regex("Warning:[^:]+:[0-9]+:get_XDG_CONFIG_HOME: \\$HOME is unset\n")));

    write_file(".config/tarnwick/config", "--sonic-id3\n");
    testing::internal::CaptureStderr();
    parse_config_file(&vector_, &count_);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(arguments(0), std::vector<std::string>{"--sonic-id3"});
}

TEST_F(Config, WithoutAnyConfigurationDirectoryNothingIsRead)
{
    // A working directory that no longer exists cannot be resolved.
    std::filesystem::path gone = dir_ / "gone";
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_XDG_CONFIG_HOME(), nullptr);
    parse_config_file(&vector_, &count_);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_, 0);
    const std::regex lines("(Warning:[^:]+:[0-9]+:get_XDG_CONFIG_HOME: \\$HOME is unset\n"
                           "Warning:[^:]+:[0-9]+:get_XDG_CONFIG_HOME: Could not get config directory\n){2}");
    EXPECT_TRUE(std::regex_match(err, lines)) << err;
}

TEST_F(ConfigDeathTest, NamedFileThatCannotBeOpenedEndsStartUp)
{
    // The user's to mend: the one line and status 1, without a crash report.
    config_path = checked_strdup((dir_ / "missing.conf").c_str(), HERE);
    std::string message = "^Fatal:[^:]+:[0-9]+:parse_config_file: Could not open config file " +
                          dir_.string() + "/missing\\.conf: No such file or directory\n$";
    EXPECT_EXIT(parse_config_file(&vector_, &count_), testing::ExitedWithCode(1), message);
}

TEST_F(Config, MountOptionsOfTheProgramAreTakenOut)
{
    struct {
        std::vector<const char *> args;
        std::vector<std::string> fuse; // after the program name
    } cases[] = {
        // A list without an item of the program's goes on exactly as given, empty items included.
        {{"-o", "ro,,allow_other"}, {"-o", "ro,,allow_other"}},
        {{"-o", "fsname=a\\,b"}, {"-o", "fsname=a\\,b"}},
        {{"-o", "ro,cache,allow_other,max-conns=3"}, {"-o", "ro,allow_other"}},
        {{"-ocache,fsname=x\\,y,,user-agent=a\\,b"}, {"-o", "fsname=x\\,y"}},
        // Nothing left: no -o at all.
        {{"-o", "cache", "-f", "-o", "max-conns=3,"}, {"-f"}},
        // "debug" is the program's --debug, which hands -d to the host.
        {{"-o", "debug,ro"}, {"-d", "-o", "ro"}},
    };
    for (const auto &c : cases) {
        Config_cleanup();
        Config_init();
        prescan(c.args);
        Parsed parsed = parse();
        EXPECT_EQ(parsed.result, 0);
        EXPECT_EQ(std::vector<std::string>(parsed.fuse.begin() + 1, parsed.fuse.end()), c.fuse) << c.args.back();
    }
    // The items set what their options set, unescaped, in their place among the others.
    Config_cleanup();
    Config_init();
    prescan({"--user-agent=first", "-ouser-agent=a\\,b\\\\c,cache-location=/x y,cache", "--retry-wait=2",
             "-o", "retry-wait=9,http-header=X: 1,max-conns=3", "--http-header=Y: 2"});
    EXPECT_EQ(parse().result, 0);
    EXPECT_STREQ(CONFIG.user_agent, "a,b\\c");
    EXPECT_STREQ(CONFIG.cache_location, "/x y");
    EXPECT_EQ(CONFIG.retry_wait, 9);
    EXPECT_EQ(CONFIG.max_conns, 3);
    EXPECT_EQ(CONFIG.cache_enabled, 1);
    EXPECT_EQ(header_list(), (std::vector<std::string>{"X: 1", "Y: 2"}));
}

TEST_F(Config, PasswordsAreBlottedOutOfTheProcessArguments)
{
    struct {
        std::vector<std::string> args, hidden; // argv after the program name, before and after
    } cases[] = {
        {{"-p", "s3cret", "-u", "alice"}, {"-p", "******", "-u", "alice"}},
        {{"-ps3cret", "-fps3cret"}, {"-p******", "-fp******"}},
        {{"--password=s3cret", "--pass", "s3cret", "http://h/", "/m"},
         {"--password=******", "--pass", "******", "http://h/", "/m"}},
        {{"--proxy-password", "pw", "--sonic-password=pw2", "--proxy-username", "pw"},
         {"--proxy-password", "**", "--sonic-password=***", "--proxy-username", "pw"}},
        {{"-o", "ro,password=a\\,b,sonic-password=x,user-agent=password=y", "-oproxy-password=z"},
         {"-o", "ro,password=****,sonic-password=*,user-agent=password=y", "-oproxy-password=*"}},
        // A value that only looks like an option is still the option's value; after "--" nothing
        // is an option.
        {{"-p", "--cache", "--", "-p", "x"}, {"-p", "*******", "--", "-p", "x"}},
        // Errors elsewhere do not stop the blotting, and nothing else is touched.
        {{"--bogus", "-p", "pw", "-u"}, {"--bogus", "-p", "**", "-u"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> storage = {"tarnwick"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (auto &text : storage)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        hide_secrets(static_cast<int>(argv.size()) - 1, argv.data());
        std::vector<std::string> after(argv.begin() + 1, argv.end() - 1);
        EXPECT_EQ(after, c.hidden) << c.args[0];
    }
}

TEST_F(Config, OptionLoopFillsTheRecordAndTheFuseVector)
{
    prescan({"-o",
             "ro,allow_other",
             "http://h/",
             "-u",
             "first",
             "--username=second",
             "--user-ag",
             "abbreviated",
             "-f",
             "--max-conns",
             "4294967297",
             "--retry-wait",
             " 12x",
             "--refresh-timeout",
             "abc",
             "--dl-seg-size=3",
             "--cache-min-size",
             "+0",
             "--cache-max-size",
             " 1024",
             "-s",
             "--http-header",
             "A: 1",
             "--http-header",
             "A: 2",
             "-d",
             "--single-file-mode",
             "/mnt",
             "--zero-len-is-dir",
             "--external-links"});
    Parsed parsed = parse();
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.help, 0);
    EXPECT_STREQ(CONFIG.username, "second");
    EXPECT_STREQ(CONFIG.user_agent, "abbreviated");
    EXPECT_EQ(CONFIG.max_conns, 1); // reduced to 32 bits first
    EXPECT_EQ(CONFIG.retry_wait, 12);
    EXPECT_EQ(CONFIG.refresh_timeout, 0);
    EXPECT_EQ(CONFIG.data_blksz, 3 << 20);
    EXPECT_EQ(CONFIG.cache_min_size, 0);
    EXPECT_EQ(CONFIG.cache_max_size, 1024);
    EXPECT_EQ(header_list(), (std::vector<std::string>{"A: 1", "A: 2"}));
    EXPECT_EQ(CONFIG.log_level, 31);
    EXPECT_EQ(CONFIG.mode, MODE_SINGLE_FILE);
    EXPECT_EQ(CONFIG.zero_len_is_dir, 1);
    EXPECT_EQ(CONFIG.external_links, 1);
    EXPECT_EQ(parsed.fuse, (std::vector<std::string>{"tarnwick", "-o", "ro,allow_other", "-f", "-s", "-d"}));
    ASSERT_EQ(count_ - optind, 2);
    EXPECT_STREQ(vector_[optind], "http://h/");
    EXPECT_STREQ(vector_[optind + 1], "/mnt");
}

TEST_F(Config, HelpAndVersionEndTheOptionLoop)
{
    struct {
        std::vector<const char *> args;
        const char *fuse_arg;
        int help;
    } cases[] = {
        {{"-f", "--help", "--retry-wait", "9", "--bogus"}, "-h", 1},
        {{"-f", "-V", "--retry-wait", "9", "--bogus"}, "-V", 0},
    };
    for (const auto &c : cases) {
        Config_init();
        prescan(c.args);
        testing::internal::CaptureStderr();
        Parsed parsed = parse();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(parsed.result, 1);
        EXPECT_EQ(parsed.help, c.help);
        EXPECT_EQ(CONFIG.retry_wait, 5) << "an option after " << c.fuse_arg << " was handled";
        EXPECT_EQ(parsed.fuse, (std::vector<std::string>{"tarnwick", "-f", c.fuse_arg}));
    }
}
