// mfpctl shm: the registry table and the dynamic keys in use.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "mfpsys/mm.h"
#include "mfpsys/registry.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/json.h"

namespace mfpctl {

static const char kUsage[] = "mfpctl shm list [--json] | mfpctl shm keys [--json]";

// The registry table's key and layout are part of the system's interface:
// a 24-byte header (slot count at offset 8) and 12-byte slots {key, shmid, size}.
constexpr int kTableKey = 24553;
constexpr int kDynFirst = 21000;
constexpr int kDynCount = 248;

struct Slot {
    int32_t key, shmid, size;
};

static int list(const Args& a) {
    std::vector<Slot> slots;
    int id = shmget(kTableKey, 0, 0);
    if (id >= 0) {
        void* p = shmat(id, nullptr, SHM_RDONLY);
        if (p == reinterpret_cast<void*>(-1)) return fail("cannot map the registry table: %s", std::strerror(errno));
        const auto* w = static_cast<const int32_t*>(p);
        int32_t count = w[2];
        shmid_ds ds{};
        std::size_t seg = shmctl(id, IPC_STAT, &ds) == 0 ? ds.shm_segsz : 0;
        for (int32_t i = 0; i < count && 24 + 12 * (std::size_t(i) + 1) <= seg; ++i) {
            Slot s;
            std::memcpy(&s, static_cast<const char*>(p) + 24 + 12 * i, sizeof s);
            if (s.key != 0) slots.push_back(s);
        }
        shmdt(p);
    }
    Json j;
    if (a.json) j.begin_object().field("table", id >= 0).begin_array("entries");
    else if (id < 0) std::printf("no registry table in this system yet\n");
    else std::printf("%-8s %-10s %-10s %-8s\n", "key", "shmid", "size", "attached");
    for (const auto& s : slots) {
        shmid_ds ds{};
        long nattch = -1;
        if (s.shmid != 0 && shmctl(s.shmid, IPC_STAT, &ds) == 0) nattch = static_cast<long>(ds.shm_nattch);
        if (a.json) {
            j.begin_object().field("key", s.key).field("shmid", s.shmid).field("size", s.size);
            if (nattch >= 0) j.field("attached", static_cast<int64_t>(nattch)); else j.null_field("attached");
            j.end_object();
        } else {
            std::printf("%-8d %-10d %-10d ", s.key, s.shmid, s.size);
            if (nattch >= 0) std::printf("%ld\n", nattch); else std::printf("gone\n");
        }
    }
    if (a.json) j.end_array().end_object().print();
    return kOk;
}

static int keys(const Args& a) {
    if (mmInit() != 0) return fail("the key bitmap is not available (mmInit: -1)");
    const auto* bits = reinterpret_cast<const unsigned char*>(pMmInfo);
    std::vector<int> used;
    for (int i = 0; i < kDynCount; ++i)
        if (bits[i / 8] & (1u << (i % 8))) used.push_back(kDynFirst + i);
    if (a.json) {
        Json j;
        j.begin_object().field("in_use", static_cast<int64_t>(used.size())).begin_array("keys");
        for (int k : used) j.value(k);
        j.end_array().end_object().print();
    } else {
        std::printf("%zu dynamic key(s) in use\n", used.size());
        for (int k : used) std::printf("%d\n", k);
    }
    return kOk;
}

int cmd_shm(const std::string& verb, const Args& a) {
    if (a.help) {
        std::printf("usage: %s\n\n  list  every registered segment: key, segment id, size, processes attached\n"
                    "  keys  the dynamic segment keys (21000..21247) marked in use\n", kUsage);
        return kOk;
    }
    if (!a.words.empty()) return usage_error(kUsage, "shm %s takes no argument", verb.c_str());
    if (verb == "list") return list(a);
    if (verb == "keys") return keys(a);
    return usage_error(kUsage, verb.empty() ? "shm needs a command" : "unknown shm command '%s'", verb.c_str());
}

}  // namespace mfpctl
