// mfpctl: what every command shares (its arguments, exit statuses, messages
// and small helpers). Commands depend on this; the dispatcher on the commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mfpctl {

// Exit statuses: 0 success, 1 the operation failed, 2 bad usage.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kBadUsage = 2;

struct Args {
    std::vector<std::string> words;  // positional arguments after the command
    bool json = false;
    bool help = false;
    std::optional<std::string> out;    // -o FILE
    std::optional<std::string> board;  // --board DIR
    std::optional<std::string> length; // --length N
};

// Prints a failure in words on stderr and returns kFailed.
int fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints a usage error and the command's usage line, returns kBadUsage.
int usage_error(const char* usage, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

std::optional<uint32_t> parse_u32(std::string_view s);
std::optional<int32_t> parse_i32(std::string_view s);
bool on_terminal();
void hexdump(FILE* f, const uint8_t* p, std::size_t n, uint32_t base = 0);

}  // namespace mfpctl
