// Starting other programs from a test: natively, or through the emulator
// for the cross target (there is no binfmt handler to do it for us).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "harness/proc.h"

namespace simtest {

// The emulator command (empty for native builds).
std::vector<std::string> emulator();

// The command that runs a target program with extra environment entries for
// it: through the emulator's -E for the cross target, so that the emulator
// itself is not affected.
std::vector<std::string> target_command(const std::string& program, const std::vector<std::string>& args,
                                        const std::vector<std::pair<std::string, std::string>>& env);

struct Result {
    mfpsys::test::Outcome outcome;
    std::string out;  // standard output
};

// Runs argv (searching PATH) with extra environment entries, captures stdout.
Result run_program(const std::vector<std::string>& argv,
                const std::vector<std::pair<std::string, std::string>>& env = {});

}  // namespace simtest
