// Device calls made the way a client makes them; other programs started on a board.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness/proc.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

// One flash step: open, position, then 'w'rite, 'r'ead, 'e'rase or 's'tatus, close. -2: open or lseek failed.
inline long flash_io(char step, uint32_t off, Bytes& buf) {
    const int fd = ::open("/dev/mfp_flashrom", O_RDWR);
    const long r = fd < 0 || ::lseek(fd, off, SEEK_SET) != off_t(off) ? -2
                   : step == 'w' ? ::write(fd, buf.data(), buf.size())
                   : step == 'r' ? ::read(fd, buf.data(), buf.size())
                                 : ::ioctl(fd, reinterpret_cast<unsigned long>("w"), step == 'e' ? 10 : 15);
    if (fd >= 0) ::close(fd);
    if (step == 'r') buf.resize(size_t(std::max(r, 0L)));
    return r;
}
inline long flash_write(uint32_t off, Bytes b) { return flash_io('w', off, b); }
inline long flash_erase(uint32_t off, char step = 'e') {
    Bytes none;
    return flash_io(step, off, none);
}
inline Bytes flash_read(uint32_t off, uint32_t len) {
    Bytes b(len);
    flash_io('r', off, b);
    return b;
}

// A program of the target with NAME=VALUE entries for its environment (the emulator's -E leaves it alone).
inline std::vector<std::string> target(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::vector<std::string> cmd;
    const std::string emu = MFPSIM_EMULATOR;  // its words joined by '|'
    for (size_t a = 0, b = 0; a < emu.size(); a = b + 1)
        cmd.push_back(emu.substr(a, (b = std::min(emu.find('|', a), emu.size())) - a));
    for (const auto& e : env) cmd.insert(cmd.end(), {emu.empty() ? "/usr/bin/env" : "-E", e});
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

struct Result { mfpsys::test::Outcome outcome; std::string out; };  // how it ended, what it printed
// program with args, run on the target the way target() says.
inline Result run_program(const std::string& program, std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), program);
    std::string line = "exec";  // the shell becomes the program: its signal is the status
    for (const auto& w : target(args, env)) line += " '" + w + "'";
    line += " 2>&1";  // messages on either stream, in their order
    Result r;
    FILE* f = ::popen(line.c_str(), "r");
    for (int c; f && (c = std::fgetc(f)) != EOF;) r.out += char(c);
    const int st = f ? ::pclose(f) : -1;
    r.outcome.exited = WIFEXITED(st);
    r.outcome.code = WEXITSTATUS(st);
    r.outcome.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    return r;
}

}  // namespace simtest
