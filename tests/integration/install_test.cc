// What `make install` puts where, what `make uninstall` takes away, and the manual page: that it
// lints clean and documents exactly the options the help text lists.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "integration/support/harness.h"
#include "integration/support/system.h"

namespace fs = std::filesystem;

namespace
{

const std::string MAN_PAGE = std::string(TARNWICK_SOURCE_DIR) + "/doc/tarnwick.1";

// Every file and link below `root` (not the directories), as paths relative to it.
std::set<std::string> files_below(const std::string &root)
{
    std::set<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory() || entry.is_symlink())
            found.insert(entry.path().lexically_relative(root).string());
    return found;
}

// The option names (such as "-u" and "--username") in `text`.
std::set<std::string> option_names(const std::string &text)
{
    std::set<std::string> names;
    static const std::regex option("(^|[ ,])(--?[A-Za-z][A-Za-z0-9-]*)");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        names.insert((*it)[2]);
    return names;
}

// The manual page as mandoc renders it for a terminal, with the overstrikes of bold and
// underline taken out.
std::string rendered_man_page()
{
    RunResult r = run_command({"mandoc", "-T", "ascii", MAN_PAGE});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string plain;
    for (char c : r.out) {
        if (c == '\b' && !plain.empty())
            plain.pop_back();
        else
            plain += c;
    }
    return plain;
}

} // namespace

TEST(Install, TreeBelowPrefixAndDestdirThenUninstall)
{
    for (const std::string prefix : {"/usr/local", "/opt/tarnwick"}) {
        TempDir dest("install");
        ASSERT_EQ(install_build(dest.path(), prefix), "");
        const std::string root = dest.path() + prefix;
        EXPECT_EQ(files_below(dest.path()),
                  (std::set<std::string>{prefix.substr(1) + "/bin/tarnwick",
                                         prefix.substr(1) + "/sbin/mount.fuse.tarnwick",
                                         prefix.substr(1) + "/share/man/man1/tarnwick.1"}))
            << prefix;
        struct stat st;
        ASSERT_EQ(stat((root + "/bin/tarnwick").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
        EXPECT_EQ(sha256_file(root + "/bin/tarnwick"), sha256_file(TARNWICK_BINARY));
        EXPECT_EQ(sha256_file(root + "/share/man/man1/tarnwick.1"), sha256_file(MAN_PAGE));
        // The helper is Debian's mount.fuse3 under the name that mount(8) looks for.
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink(root + "/sbin/mount.fuse.tarnwick", ec), "/sbin/mount.fuse3")
            << ec.message();

        // Uninstalling takes exactly these away, leaves the directories, and is no error twice.
        for (int round = 0; round < 2; round++) {
            RunResult r = run_command({"cmake", "-DPREFIX=" + prefix, "-P",
                                       std::string(TARNWICK_SOURCE_DIR) + "/cmake/uninstall.cmake"},
                                      {"DESTDIR=" + dest.path()});
            EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
            EXPECT_EQ(files_below(dest.path()), std::set<std::string>{}) << prefix;
            EXPECT_TRUE(fs::is_directory(root + "/share/man/man1"));
        }
    }
}

TEST(ManPage, LintsClean)
{
    // Errors and warnings; style notes depend on which other manual pages are installed.
    RunResult r = run_command({"mandoc", "-T", "lint", "-W", "warning", MAN_PAGE});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(ManPage, DocumentsExactlyTheOptionsOfTheHelpText)
{
    RunResult help = run_program({"-h"});
    ASSERT_EQ(help.exit_code, 0) << help.err;
    size_t start = help.err.find("general options:\n");
    ASSERT_NE(start, std::string::npos) << help.err;
    // The first column of the help text: options start at column 4 or 8, descriptions at 28.
    std::set<std::string> in_help;
    std::istringstream lines(help.err.substr(start));
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 28 && line.compare(0, 4, "    ") == 0 && line.find_first_not_of(' ') < 28)
            for (const auto &name : option_names(line.substr(0, 28)))
                in_help.insert(name);
    ASSERT_GT(in_help.size(), 35u);

    // The item heads of the manual page's OPTIONS section: indented by 5, starting with "-".
    std::string page = rendered_man_page();
    size_t from = page.find("\nOPTIONS\n");
    ASSERT_NE(from, std::string::npos);
    size_t to = page.find("\nCONFIGURATION FILE\n", from);
    std::set<std::string> in_page;
    std::istringstream section(page.substr(from, to - from));
    for (std::string line; std::getline(section, line);)
        if (line.compare(0, 6, "     -") == 0)
            for (const auto &name : option_names(line.substr(5, line.find("  ", 5) - 5)))
                in_page.insert(name);
    EXPECT_EQ(in_page, in_help);
}
