// mfpctl mac: the board's Ethernet address in the boot environment.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "mfpsys/env.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/json.h"

namespace mfpctl {

static const char kUsage[] = "mfpctl mac get [--json] | mfpctl mac set XX:XX:XX:XX:XX:XX";

// Six pairs of hex digits joined by ':' (or '-'); nothing else is written.
static bool parse_mac(const std::string& s, unsigned char out[6]) {
    if (s.size() != 17) return false;
    for (int i = 0; i < 6; ++i) {
        int v = 0;
        for (int j = 0; j < 2; ++j) {
            char c = s[3 * i + j];
            int d = c >= '0' && c <= '9' ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out[i] = static_cast<unsigned char>(v);
        if (i < 5 && s[3 * i + 2] != ':' && s[3 * i + 2] != '-') return false;
    }
    return true;
}

// env_mac_write_n, with what the library prints caught and passed on. The
// library reports in fixed words, on standard output, that it found no valid
// environment and started again from the defaults; *rebuilt tells whether it
// did. If the output cannot be caught it goes straight through.
static int write_address(const unsigned char b[6], bool* rebuilt) {
    static const std::string kRebuiltLine = "checksum error : ";
    *rebuilt = false;
    std::fflush(stdout);
    FILE* caught = std::tmpfile();
    const int saved = caught ? dup(STDOUT_FILENO) : -1;
    if (saved == -1 || dup2(fileno(caught), STDOUT_FILENO) == -1) {
        if (saved != -1) close(saved);
        if (caught) std::fclose(caught);
        return env_mac_write_n(b);
    }
    const int rc = env_mac_write_n(b);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::rewind(caught);
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, caught)) > 0;) out.append(buf, n);
    std::fclose(caught);
    std::fwrite(out.data(), 1, out.size(), stdout);
    *rebuilt = out.starts_with(kRebuiltLine) || out.find("\n" + kRebuiltLine) != std::string::npos;
    return rc;
}

int cmd_mac(const std::string& verb, const Args& a) {
    if (a.help) {
        std::printf("usage: %s\n\n  get  print the address stored in the boot environment\n"
                    "  set  store a new address (the old entry is replaced; takes about two seconds).\n"
                    "       A blank or damaged environment is first rebuilt from the defaults, and\n"
                    "       this is said on standard output.\n", kUsage);
        return kOk;
    }
    if (verb == "get") {
        if (!a.words.empty()) return usage_error(kUsage, "mac get takes no argument");
        auto r = reinterpret_cast<intptr_t>(env_mac_read());
        if (r == -1) return fail("cannot read the Ethernet address (env_mac_read: -1): no valid environment or no ethaddr entry");
        if (a.json) {
            Json j;
            j.begin_object();
            if (r == 0) {
                j.field("blank", true).null_field("ethaddr");
            } else {
                j.field("blank", false).field("ethaddr", reinterpret_cast<const char*>(r));
            }
            j.end_object().print();
        } else if (r == 0) {
            std::printf("boot environment is blank (no address stored)\n");
        } else {
            std::printf("%s\n", reinterpret_cast<const char*>(r));
        }
        return kOk;
    }
    if (verb == "set") {
        if (a.words.size() != 1) return usage_error(kUsage, "mac set takes one address");
        unsigned char b[6];
        if (!parse_mac(a.words[0], b))
            return usage_error(kUsage, "'%s' is not an address of the form 00:1a:2b:3c:4d:5e", a.words[0].c_str());
        if (on_terminal()) std::fprintf(stderr, "rewriting the boot environment...\n");
        bool rebuilt = false;
        int rc = write_address(b, &rebuilt);
        if (rc != 0) return fail("the boot environment was not rewritten (env_mac_write_n: %d)", rc);
        // Every other entry of a damaged environment is gone: say so plainly.
        if (rebuilt)
            std::printf("no valid boot environment was stored (blank or damaged): it was rebuilt from the "
                        "default environment, with the new address\n");
        if (on_terminal()) std::fprintf(stderr, "done\n");
        return kOk;
    }
    return usage_error(kUsage, verb.empty() ? "mac needs a command" : "unknown mac command '%s'", verb.c_str());
}

}  // namespace mfpctl
