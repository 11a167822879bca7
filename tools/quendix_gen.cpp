// quendix-gen: writes a synthetic frame file.
#include "frame_gen.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void print_usage()
{
    std::printf(
        "Usage : quendix-gen [options] <output>\n"
        "  --frames N         whole frames to write (default 100)\n"
        "  --start B,P        block and page of the first frame (default 1,0)\n"
        "  --end-block N      block after which positions wrap to 1 (default 510)\n"
        "  --jump-every N     every Nth frame skips three pages ahead (default never)\n"
        "  --missing-every N  every Nth frame lacks the frame marker (default never)\n"
        "  --r-flag-every N   every Nth frame carries the R flag (default never)\n"
        "  --fragment N       trailing partial frame of N bytes, 0 to 131 (default 0)\n"
        "  --seed N           seed of the axis values (default 1)\n");
}

// Reads a whole unsigned decimal number no greater than `max`.
bool parse_number(const char* text, unsigned long long max, unsigned long long* value)
{
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' && *value <= max;
}

bool parse_start(const char* text, recording_options* options)
{
    const char* comma = std::strchr(text, ',');
    if (comma == nullptr) {
        return false;
    }
    const std::string block(text, static_cast<size_t>(comma - text));
    unsigned long long b = 0;
    unsigned long long p = 0;
    if (!parse_number(block.c_str(), 65535, &b) || !parse_number(comma + 1, 65535, &p)) {
        return false;
    }
    options->start_block = static_cast<uint16_t>(b);
    options->start_page = static_cast<uint16_t>(p);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    recording_options options;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long n = 0;
        bool ok = true;
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_usage();
            return 0;
        } else if (arg[0] == '-' && arg[1] == '-' && value == nullptr) {
            ok = false;
        } else if (std::strcmp(arg, "--frames") == 0) {
            ok = parse_number(value, ~0ull, &n);
            options.frames = n;
            ++i;
        } else if (std::strcmp(arg, "--start") == 0) {
            ok = parse_start(value, &options);
            ++i;
        } else if (std::strcmp(arg, "--end-block") == 0) {
            ok = parse_number(value, 65535, &n) && n >= 1;
            options.end_block = static_cast<int>(n);
            ++i;
        } else if (std::strcmp(arg, "--jump-every") == 0) {
            ok = parse_number(value, ~0ull, &n);
            options.jump_every = n;
            ++i;
        } else if (std::strcmp(arg, "--missing-every") == 0) {
            ok = parse_number(value, ~0ull, &n);
            options.missing_every = n;
            ++i;
        } else if (std::strcmp(arg, "--r-flag-every") == 0) {
            ok = parse_number(value, ~0ull, &n);
            options.r_flag_every = n;
            ++i;
        } else if (std::strcmp(arg, "--fragment") == 0) {
            ok = parse_number(value, GEN_FRAME_SIZE - 1, &n);
            options.fragment = static_cast<unsigned>(n);
            ++i;
        } else if (std::strcmp(arg, "--seed") == 0) {
            ok = parse_number(value, 0xFFFFFFFFull, &n);
            options.seed = static_cast<uint32_t>(n);
            ++i;
        } else if (output == nullptr && arg[0] != '-') {
            output = arg;
        } else {
            ok = false;
        }
        if (!ok) {
            std::printf("quendix-gen : bad argument %s\n", arg);
            print_usage();
            return 1;
        }
    }
    if (output == nullptr) {
        print_usage();
        return 1;
    }
    FILE* out = std::fopen(output, "wb");
    if (out == nullptr) {
        std::printf("quendix-gen : %s, not opened.\n", output);
        return 1;
    }
    const bool written = write_recording(out, options) == 0;
    if (std::fclose(out) != 0 || !written) {
        std::printf("quendix-gen : %s, not written.\n", output);
        return 1;
    }
    return 0;
}
