// config_fuzz.cc: the configuration file reader on arbitrary file contents, given as the
// --config file. Whatever the file holds, the arguments it appends behind the command line's
// are option words (beginning with "-", holding no space or tab) each followed by at most one
// value; no argument is empty or spans two lines, and no value has blanks at its ends.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "config.h"
#include "fuzz_support.h"
#include "main.h"
#include "util.h"

static std::string file;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_config();
    file = fuzz_temp_dir() + "/config";
    config_path = checked_strdup(file.c_str(), HERE);
    return 0;
}

static bool blank(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write_file(file, data, size);
    char **vector = nullptr;
    int count = 0;
    add_arg(&vector, &count, "tarnwick");
    add_arg(&vector, &count, "--cache");
    int before = count;
    parse_config_file(&vector, &count);

    // Whether the argument before could be an option word, so that this one may be its value.
    bool after_word = false;
    for (int i = before; i < count; i++) {
        const char *arg = vector[i];
        std::string shown = "argument " + std::to_string(i) + ": \"" + arg + "\"";
        size_t len = strlen(arg);
        fuzz_require(len > 0, "no argument from the file is empty", shown);
        fuzz_require(strchr(arg, '\n') == nullptr, "no argument spans two lines", shown);
        if (arg[0] == '-' && strpbrk(arg, " \t") == nullptr) {
            after_word = true;
            continue;
        }
        fuzz_require(after_word, "an argument is an option word or the value of the one before it", shown);
        fuzz_require(!blank(arg[0]) && !blank(arg[len - 1]), "a value has no blanks at its ends", shown);
        after_word = false;
    }
    free_args(vector, count);
    return 0;
}
