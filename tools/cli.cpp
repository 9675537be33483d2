// mfpctl: the helpers its commands share.
#include "tools/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace mfpctl {

// "mfpctl: " and the message on stderr, after whatever stdout holds.
static void say(const char* fmt, va_list ap) {
    std::fflush(stdout);
    std::fputs("mfpctl: ", stderr);
    std::vfprintf(stderr, fmt, ap);
}

int fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    say(fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return kFailed;
}

int usage_error(const char* usage, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    say(fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "\nusage: %s\n", usage);
    return kBadUsage;
}

std::optional<uint32_t> parse_u32(std::string_view s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    std::string z(s);
    if (z[0] == '-' || z[0] == '+') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(z.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(v);
}

std::optional<int32_t> parse_i32(std::string_view s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    std::string z(s);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(z.c_str(), &end, 0);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

bool on_terminal() { return isatty(STDERR_FILENO) == 1; }

void hexdump(FILE* f, const uint8_t* p, std::size_t n, uint32_t base) {
    for (std::size_t i = 0; i < n; i += 16) {
        std::fprintf(f, "%08x ", static_cast<unsigned>(base + i));
        for (std::size_t j = 0; j < 16; ++j) {
            if (i + j < n)
                std::fprintf(f, "%s%02x", j == 8 ? "  " : " ", p[i + j]);
            else
                std::fprintf(f, "%s  ", j == 8 ? "  " : " ");
        }
        std::fputs("  |", f);
        for (std::size_t j = 0; j < 16 && i + j < n; ++j) {
            unsigned char c = p[i + j];
            std::fputc(c >= 0x20 && c < 0x7f ? c : '.', f);
        }
        std::fputs("|\n", f);
    }
}

}  // namespace mfpctl
