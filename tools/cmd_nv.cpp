// mfpctl nv: read, write and erase NV blocks, and show the store's tables.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mfpsys/nv.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/json.h"

namespace mfpctl {

static const char kUsage[] =
    "mfpctl nv read ADDR [-o FILE] [--length N] | nv write ADDR [FILE|-] | nv erase-all | nv status [--json]";

const char* nv_result_name(int rc) {
    switch (rc) {
    case 0: return "success";
    case NV_E_BUSY: return "NV_E_BUSY (the store is busy)";
    case NV_E_RETRY_OVER: return "NV_E_RETRY_OVER (still busy after ten attempts)";
    case NV_E_PARAM: return "NV_E_PARAM (no block at this address, or data larger than the block)";
    case NV_E_SYSTEM: return "NV_E_SYSTEM (the flash device or shared memory failed)";
    default: return "unknown result";
    }
}

// The block's capacity from the compiled-in table: callers know blocks by
// these addresses, and the capacity never changes at run time.
static int block_index(int32_t addr) {
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        if (_nvVrtlSec[b].blockAddr == addr) return b;
    return -1;
}

static bool write_all(int fd, const uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

static int nv_read(const Args& a) {
    if (a.words.size() != 1) return usage_error(kUsage, "nv read takes one block address");
    auto addr = parse_i32(a.words[0]);
    if (!addr) return usage_error(kUsage, "'%s' is not a block address", a.words[0].c_str());
    int b = block_index(*addr);
    uint32_t len = b >= 0 ? _nvVrtlSec[b].capacity : 0;
    if (a.length) {
        auto l = parse_u32(*a.length);
        if (!l) return usage_error(kUsage, "'%s' is not a length", a.length->c_str());
        len = *l;
    }
    std::vector<uint8_t> buf(len ? len : 1);
    int rc = nvRead(*addr, len, buf.data());
    if (rc != 0)
        return fail("block 0x%04x was not read (nvRead: %d): no such block, a length above its capacity, "
                    "no stored image, or its power-up image was already read", static_cast<unsigned>(*addr), rc);
    bool raw = a.out.has_value() || !isatty(STDOUT_FILENO);
    if (a.out && *a.out != "-") {
        FILE* f = std::fopen(a.out->c_str(), "wb");
        if (!f) return fail("cannot open %s: %s", a.out->c_str(), std::strerror(errno));
        bool ok = std::fwrite(buf.data(), 1, len, f) == len;
        ok = std::fclose(f) == 0 && ok;
        if (!ok) return fail("cannot write %s", a.out->c_str());
    } else if (raw) {
        std::fflush(stdout);
        if (!write_all(STDOUT_FILENO, buf.data(), len)) return fail("cannot write to standard output");
    } else {
        hexdump(stdout, buf.data(), len);
    }
    return kOk;
}

static bool slurp(const std::string& path, std::vector<uint8_t>& out) {
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    bool ok = !std::ferror(f);
    if (f != stdin) std::fclose(f);
    return ok;
}

static int nv_write(const Args& a) {
    if (a.words.empty() || a.words.size() > 2) return usage_error(kUsage, "nv write takes a block address and a file");
    auto addr = parse_i32(a.words[0]);
    if (!addr) return usage_error(kUsage, "'%s' is not a block address", a.words[0].c_str());
    std::string src = a.words.size() == 2 ? a.words[1] : "-";
    std::vector<uint8_t> data;
    if (!slurp(src, data)) return fail("cannot read %s: %s", src.c_str(), std::strerror(errno));
    if (on_terminal()) std::fprintf(stderr, "writing %zu bytes to block 0x%04x...\n", data.size(), static_cast<unsigned>(*addr));
    static const uint8_t none = 0;
    int rc = nvWriteRetry(*addr, static_cast<uint32_t>(data.size()), data.empty() ? &none : data.data());
    if (rc != 0) return fail("block 0x%04x was not written: %s", static_cast<unsigned>(*addr), nv_result_name(rc));
    std::printf("block 0x%04x: %zu bytes written (%s)\n", static_cast<unsigned>(*addr), data.size(), nv_result_name(rc));
    return kOk;
}

static int nv_erase_all(const Args& a) {
    if (!a.words.empty()) return usage_error(kUsage, "nv erase-all takes no argument");
    // Erase-all works on this process's view of the tables.
    nvSharedMemAttach();
    if (nvSharedMemRetrieve() != 0) return fail("the NV shared state is not available");
    if (on_terminal()) std::fprintf(stderr, "erasing every sector flagged for erase-all, one after the other...\n");
    int rc = nvEraseAll();
    nvSharedMemDetach();
    if (rc != 0) return fail("erase-all did not complete (nvEraseAll: %d)", rc);
    if (on_terminal()) std::fprintf(stderr, "done\n");
    std::printf("erase-all done\n");
    return kOk;
}

union semun_arg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

static int nv_status(const Args& a) {
    if (!a.words.empty()) return usage_error(kUsage, "nv status takes no argument");
    nvSharedMemAttach();
    if (nvSharedMemRetrieve() != 0 || !nvRealSec[0]) return fail("the NV shared state is not available");
    const auto* st = reinterpret_cast<const NvSharedState*>(nvRealSec[0]);
    int semid = st->otherInfo[0];
    bool powered = st->otherInfo[1] != 0;
    int lock = -1;  // -1 unknown, 1 free, 0 held
    if (powered && semid > 0) {
        semun_arg none{};
        int v = semctl(semid, 0, GETVAL, none);
        if (v >= 0) lock = v;
    }
    const char* lock_word = lock == 1 ? "free" : lock == 0 ? "held" : "none";
    if (a.json) {
        Json j;
        j.begin_object().field("powered_up", powered).field("write_lock", lock_word).field("write_lock_id", semid)
            .begin_array("sectors");
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
            const NvRealSecEntry& r = st->realSec[s];
            j.begin_object().field("index", s).field("flash_offset", r.flashOfst).field("size", r.size)
                .field("ring", r.ringId).field("erase_all", r.eraseAllFlag == 1).field("used_entries", r.usedEntries)
                .field("count", static_cast<uint32_t>(r.secCnt)).field("write_offset", r.writeOfst)
                .field("erase_state", r.eraseState == NV_ERASE_STATE_ERASING ? "erasing" : "ready")
                .field("next", r.next).field("prev", r.prev).end_object();
        }
        j.end_array().begin_array("blocks");
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            const NvVrtlSecEntry& v = st->vrtlSec[b];
            j.begin_object().field("index", b).field("address", v.blockAddr).field("capacity", v.capacity)
                .field("ring", v.ringId).field("current_sector", v.crntSec).field("data_offset", v.dataOfst)
                .field("power_up_image", v.cache != 0).end_object();
        }
        j.end_array().end_object().print();
    } else {
        std::printf("powered up: %s   write lock: %s (id %d)\n", powered ? "yes" : "no (tables hold their defaults)",
                    lock_word, semid);
        std::printf("\nsec  offset   size     ring erase-all used count  write-ofst state   next prev\n");
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
            const NvRealSecEntry& r = st->realSec[s];
            char cnt[8];
            if (r.secCnt == NV_SEC_CNT_NONE) std::snprintf(cnt, sizeof cnt, "none");
            else std::snprintf(cnt, sizeof cnt, "%u", r.secCnt);
            std::printf("%-4d 0x%05x  0x%05x  %-4d %-9s %-4u %-6s 0x%05x    %-7s %-4u %u\n", s, r.flashOfst, r.size,
                        r.ringId, r.eraseAllFlag == 1 ? "yes" : "no", r.usedEntries, cnt, r.writeOfst,
                        r.eraseState == NV_ERASE_STATE_ERASING ? "erasing" : "ready", r.next, r.prev);
        }
        std::printf("\nblock address capacity ring sector data-ofst power-up image\n");
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            const NvVrtlSecEntry& v = st->vrtlSec[b];
            std::printf("%-5d 0x%04x  0x%05x  %-4d %-6u %-9d %s\n", b, static_cast<unsigned>(v.blockAddr), v.capacity,
                        v.ringId, v.crntSec, v.dataOfst, v.cache ? "waiting to be read" : "none");
        }
    }
    nvSharedMemDetach();
    return kOk;
}

int cmd_nv(const std::string& verb, const Args& a) {
    if (a.help) {
        std::printf("usage: %s\n\n"
                    "  read ADDR    the block's power-up image (each image can be read once per power-up);\n"
                    "               a hex dump on a terminal, raw bytes to -o FILE or a pipe\n"
                    "  write ADDR   store FILE (or standard input) as the block's new image\n"
                    "  erase-all    erase every sector flagged for erase-all\n"
                    "  status       the sector and block records, the powered-up flag, the write lock\n"
                    "Block addresses: 0x0000, 0x0400, 0x0800 (0xFF00 bytes each), 0x1000 (0x7F00 bytes).\n",
                    kUsage);
        return kOk;
    }
    if (verb == "read") return nv_read(a);
    if (verb == "write") return nv_write(a);
    if (verb == "erase-all") return nv_erase_all(a);
    if (verb == "status") return nv_status(a);
    return usage_error(kUsage, verb.empty() ? "nv needs a command" : "unknown nv command '%s'", verb.c_str());
}

}  // namespace mfpctl
