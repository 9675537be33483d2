#include "tests/sim/program.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace simtest {

std::vector<std::string> emulator() {
    std::vector<std::string> v;
    std::string e = MFPSIM_EMULATOR;
    size_t start = 0;
    while (start < e.size()) {
        size_t end = e.find('|', start);
        if (end == std::string::npos) end = e.size();
        if (end > start) v.push_back(e.substr(start, end - start));
        start = end + 1;
    }
    return v;
}

std::vector<std::string> target_command(const std::string& program, const std::vector<std::string>& args,
                                        const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> cmd = emulator();
    if (!cmd.empty()) {
        for (const auto& [k, v] : env) {
            cmd.push_back("-E");
            cmd.push_back(k + "=" + v);
        }
    } else if (!env.empty()) {
        cmd.push_back("/usr/bin/env");
        for (const auto& [k, v] : env) cmd.push_back(k + "=" + v);
    }
    cmd.push_back(program);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

Result run_program(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env) {
    Result r;
    int p[2];
    if (pipe(p) != 0) return r;
    mfpsys::test::Child child([&] {
        close(p[0]);
        dup2(p[1], 1);
        close(p[1]);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> a;
        for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
        return 127;
    });
    close(p[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
    close(p[0]);
    r.outcome = child.wait();
    return r;
}

}  // namespace simtest
