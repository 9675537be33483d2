// mfpctl: every service of libmfpsys at the board's shell.
#include <cctype>
#include <cstring>

#include "tools/cli.h"
#include "tools/commands.h"

using namespace mfpctl;

static const char kTopUsage[] =
    "mfpctl FAMILY COMMAND [ARGS] [--json] [--help]\n"
    "\n"
    "  nv read ADDR [-o FILE] [--length N]  read an NV block (hex dump, or raw bytes to FILE or a pipe)\n"
    "  nv write ADDR [FILE|-]               write an NV block (retrying while the store is busy)\n"
    "  nv erase-all                         erase every sector marked for erase-all\n"
    "  nv status [--json]                   sector and block records, powered-up flag, write lock\n"
    "  mac get [--json]                     the board's Ethernet address from the boot environment\n"
    "  mac set XX:XX:XX:XX:XX:XX            store a new Ethernet address\n"
    "  shm list [--json]                    the shared-memory registry\n"
    "  shm keys [--json]                    the dynamic segment keys in use\n"
    "  dwl show AREA [--json]               a download area's header and first data bytes\n"
    "  flash inspect [IMAGE|--board DIR] [--json]\n"
    "                                       decode a flash image offline: NV sectors, boot environment\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 bad usage.\n";

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(kTopUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kBadUsage : kOk;
    }
    std::string family = argv[1];
    std::string verb;
    Args a;
    for (int i = 2; i < argc; ++i) {
        std::string w = argv[i];
        auto need_value = [&](std::optional<std::string>& slot) -> bool {
            if (i + 1 >= argc) return false;
            slot = argv[++i];
            return true;
        };
        if (w == "--json") {
            a.json = true;
        } else if (w == "--help" || w == "-h") {
            a.help = true;
        } else if (w == "-o") {
            if (!need_value(a.out)) return usage_error("-o FILE", "-o needs a file name");
        } else if (w == "--board") {
            if (!need_value(a.board)) return usage_error("--board DIR", "--board needs a directory");
        } else if (w == "--length") {
            if (!need_value(a.length)) return usage_error("--length N", "--length needs a number");
        } else if (w.size() > 1 && w[0] == '-' && w != "-" && !(w.size() > 1 && std::isdigit(static_cast<unsigned char>(w[1])))) {
            return usage_error(kTopUsage, "unknown option %s", w.c_str());
        } else if (verb.empty()) {
            verb = w;
        } else {
            a.words.push_back(w);
        }
    }
    if (family == "nv") return cmd_nv(verb, a);
    if (family == "mac") return cmd_mac(verb, a);
    if (family == "shm") return cmd_shm(verb, a);
    if (family == "dwl") return cmd_dwl(verb, a);
    if (family == "flash") return cmd_flash(verb, a);
    return usage_error(kTopUsage, "unknown family '%s'", family.c_str());
}
