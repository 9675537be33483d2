// mfpctl dwl: a download area's header and its first data bytes.
#include <cstdint>
#include <cstring>

#include "mfpsys/dwl.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/json.h"

namespace mfpctl {

static const char kUsage[] = "mfpctl dwl show AREA [--json]   (AREA 0 or 1)";

int cmd_dwl(const std::string& verb, const Args& a) {
    if (a.help) {
        std::printf("usage: %s\n\n  show  check the area's header (magic 4D 45 00 03, info byte 0 of 0 or 1),\n"
                    "        print the 12 info bytes and the first 64 data bytes\n", kUsage);
        return kOk;
    }
    if (verb != "show") return usage_error(kUsage, verb.empty() ? "dwl needs a command" : "unknown dwl command '%s'", verb.c_str());
    if (a.words.size() != 1) return usage_error(kUsage, "dwl show takes one area number");
    auto area = parse_i32(a.words[0]);
    if (!area || mmNORConvKey(*area) < 0) return usage_error(kUsage, "'%s' is not a download area (0 or 1)", a.words[0].c_str());

    // The raw header first, so a refused area can still be shown.
    const auto* raw = static_cast<const unsigned char*>(vfsDWL_GetArea(*area));
    if (!raw) return fail("download area %d cannot be mapped (vfsDWL_GetArea: null)", *area);
    unsigned char head[20];
    std::memcpy(head, raw, sizeof head);
    vfsDWL_FreeArea(*area, const_cast<unsigned char*>(raw));

    unsigned char info[12] = {};
    const auto* data = static_cast<const unsigned char*>(mmNORConnect(*area, info));
    bool magic_ok = head[0] == 0x4D && head[1] == 0x45 && head[2] == 0x00 && head[3] == 0x03;
    constexpr std::size_t kShow = 64;
    unsigned char first[kShow] = {};
    if (data) std::memcpy(first, data, kShow);

    if (a.json) {
        Json j;
        char magic[9];
        std::snprintf(magic, sizeof magic, "%02x%02x%02x%02x", head[0], head[1], head[2], head[3]);
        j.begin_object().field("area", *area).field("magic", magic).field("magic_ok", magic_ok)
            .field("accepted", data != nullptr).begin_array("info");
        for (int i = 0; i < 12; ++i) j.value(head[8 + i]);
        j.end_array();
        if (data) {
            j.begin_array("data");
            for (std::size_t i = 0; i < kShow; ++i) j.value(first[i]);
            j.end_array();
        }
        j.end_object().print();
    } else {
        std::printf("area %d: magic %02x %02x %02x %02x (%s), info byte 0 = %u -> %s\n", *area,
                    head[0], head[1], head[2], head[3], magic_ok ? "valid" : "wrong",
                    head[8], data ? "accepted" : "refused");
        std::printf("info:");
        for (int i = 0; i < 12; ++i) std::printf(" %02x", head[8 + i]);
        std::printf("\n");
        if (data) {
            std::printf("data (first %zu bytes):\n", kShow);
            hexdump(stdout, first, kShow, 20);
        }
    }
    if (data) mmNORDisconnect(*area, const_cast<unsigned char*>(data));
    return data ? kOk : kFailed;
}

}  // namespace mfpctl
