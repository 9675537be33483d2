// mfpctl flash inspect: decodes a flash image offline, with no board running.
//
// NV sectors: header, control entries with both checksums verified, and what
// a power-up would do (which record it loads for each block, which sectors it
// erases). Boot environment: checksum, data length, entries. The checksums
// and the environment's walk are the library's own code (nvCalcCksm and the
// environment's format routines), so the inspector and the library cannot
// disagree on them.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "env/env_internal.h"
#include "mfpsys/nv.h"
#include "nv/nv_format.h"
#include "tools/json.h"
#include "tools/mfpctl.h"

namespace mfpctl {

static const char kUsage[] = "mfpctl flash inspect [IMAGE | --board DIR] [--json]";
constexpr uint32_t kImageSize = 0x80000;

using mfpsys::nv::be16;
using mfpsys::nv::be32;
using mfpsys::nv::kCtlBase;
using mfpsys::nv::kCtlSize;

struct Entry {
    int index;
    uint16_t mark, data_cksum, ctl_cksum;
    uint32_t data_ofst;
    int32_t block_addr;
    bool in_use, complete, ctl_ok;
    int block;          // index of the block it names, or -1
    bool data_checked, data_ok;
    bool loaded = false;  // the record a power-up loads for its block
};

struct SectorView {
    int index;
    uint32_t offset, size;
    int32_t ring;
    uint32_t erase_id;
    uint16_t mark;
    uint8_t count_bytes[4];
    bool id_ok, mark_ok, count_ok, header_ok, blank;
    uint32_t count;  // valid only with header_ok
    std::vector<Entry> entries;
    const char* fate = "untouched";  // what a power-up does with it
};

static std::string erase_id_name(uint32_t id) {
    if (id == NV_ERASE_ID_READY) return "ready";
    if (id == NV_ERASE_ID_ERASING) return "erase started";
    if (id == 0xFFFFFFFFu) return "erased";
    return "invalid";
}

static SectorView decode_sector(const std::vector<uint8_t>& img, int s) {
    const NvRealSecEntry& t = _nvRealSec[s];
    SectorView v{};
    v.index = s;
    v.offset = t.flashOfst;
    v.size = t.size;
    v.ring = t.ringId;
    const uint8_t* p = img.data() + t.flashOfst;
    v.erase_id = be32(p);
    v.mark = be16(p + 8);
    std::memcpy(v.count_bytes, p + 4, 4);
    v.id_ok = v.erase_id == NV_ERASE_ID_READY;
    v.mark_ok = v.mark == NV_MARK_FREE || v.mark == NV_MARK_USED || v.mark == NV_MARK_DONE;
    v.count_ok = (nvCalcCksm(p + 4, 3) & 0xFFu) == p[7];
    v.header_ok = v.id_ok && v.mark_ok && v.count_ok;
    v.count = be16(p + 4);
    v.blank = (v.erase_id == 0xFFFFFFFFu || v.erase_id == NV_ERASE_ID_READY);
    for (uint32_t i = 4; v.blank && i < t.size; ++i) v.blank = p[i] == 0xFF;
    for (int e = 0; e < NV_CTL_ENTRY_NUM; ++e) {
        const uint8_t* c = p + kCtlBase + kCtlSize * e;
        Entry en{};
        en.index = e;
        en.mark = be16(c);
        en.in_use = !(en.mark & 0x8000);
        if (!en.in_use) continue;
        en.complete = !(en.mark & 0xC000);
        en.data_cksum = be16(c + 2);
        en.data_ofst = be32(c + 4);
        en.block_addr = static_cast<int32_t>(be32(c + 8));
        en.ctl_cksum = be16(c + 14);
        en.ctl_ok = (nvCalcCksm(c, 14) & 0xFFFFu) == en.ctl_cksum;
        en.block = -1;
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
            if (_nvVrtlSec[b].blockAddr == en.block_addr) { en.block = b; break; }
        if (en.block >= 0) {
            uint32_t cap = _nvVrtlSec[en.block].capacity;
            if (en.data_ofst >= NV_CTL_AREA_SIZE && en.data_ofst <= t.size && cap <= t.size - en.data_ofst) {
                en.data_checked = true;
                en.data_ok = (nvCalcCksm(p + en.data_ofst, static_cast<int32_t>(cap)) & 0xFFFFu) == en.data_cksum;
            }
        }
        v.entries.push_back(en);
    }
    return v;
}

// The newest sector of a ring: the highest count, where counts 0..15 follow
// counts above 0xFFF0 (the count wraps), and of equal counts the lowest index.
static int newest(const std::vector<SectorView>& secs, int32_t ring) {
    int64_t w[NV_REAL_SEC_NUM];
    bool high = false;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        w[s] = (secs[s].ring == ring && secs[s].header_ok && secs[s].count != NV_SEC_CNT_NONE) ? int64_t{secs[s].count} : int64_t{-1};
        if (w[s] > 0xFFF0) high = true;
    }
    int best = -1;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        if (high && w[s] >= 0 && w[s] <= 15) w[s] += 0x10000;
        if (w[s] >= 0 && (best < 0 || w[s] > w[best])) best = s;
    }
    return best;
}

// What a power-up makes of each ring: walking back from the newest sector,
// the newest intact record of each block is loaded; the sectors it passes
// without finding every block, and all older ones, are erased unless blank.
static void predict(std::vector<SectorView>& secs, int loaded_from[NV_VRTL_SEC_NUM],
                    uint32_t loaded_ofst[NV_VRTL_SEC_NUM]) {
    int prev[NV_REAL_SEC_NUM];
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i) prev[i] = i;
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i)
        for (int k = 1; k <= NV_REAL_SEC_NUM; ++k) {
            int j = (i + k) % NV_REAL_SEC_NUM;
            if (secs[j].ring == secs[i].ring) { prev[j] = i; break; }
        }
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) loaded_from[b] = -1;
    std::vector<int32_t> rings;
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        bool seen = false;
        for (int32_t r : rings) seen |= r == _nvVrtlSec[b].ringId;
        if (!seen) rings.push_back(_nvVrtlSec[b].ringId);
    }
    for (int32_t r : rings) {
        auto erase_unless_blank = [&](int s) { secs[s].fate = secs[s].blank ? "blank" : "erased"; };
        int cur = newest(secs, r);
        if (cur < 0) {
            for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
                if (secs[s].ring == r) erase_unless_blank(s);
            continue;
        }
        bool searching = true;
        int s = cur;
        do {
            if (searching) {
                for (auto it = secs[s].entries.rbegin(); it != secs[s].entries.rend(); ++it) {
                    Entry& e = *it;
                    if (!e.complete || !e.ctl_ok || e.block < 0 || loaded_from[e.block] >= 0) continue;
                    if (e.data_checked && e.data_ok) {
                        e.loaded = true;
                        loaded_from[e.block] = s;
                        loaded_ofst[e.block] = e.data_ofst;
                    }
                }
                bool all = true;
                for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
                    if (_nvVrtlSec[b].ringId == r && loaded_from[b] < 0) all = false;
                if (all) {
                    secs[s].fate = "kept (current)";
                    searching = false;
                } else {
                    erase_unless_blank(s);
                }
            } else {
                erase_unless_blank(s);
            }
            s = prev[s];
        } while (s != cur);
    }
}

static bool load_image(const Args& a, std::vector<uint8_t>& img, std::string& from) {
    if (a.board) from = *a.board + "/flash.img";
    else from = a.words.empty() ? "" : a.words[0];
    FILE* f = std::fopen(from.c_str(), "rb");
    if (!f) return false;
    img.assign(kImageSize, 0xFF);
    std::size_t n = std::fread(img.data(), 1, kImageSize, f);
    std::fclose(f);
    return n == kImageSize;
}

static void print_env(const uint8_t* sector, Json* j) {
    using namespace mfpsys::env;
    const uint8_t* area = sector + kAreaOffset;
    uint32_t word = be32(sector + kWordOffset);
    uint32_t sum = env_checksum(area, static_cast<int32_t>(kAreaSize));
    int32_t len = env_data_len(area);
    const char* state = len == 0 ? "blank" : (len > 0 && sum == word) ? "valid" : "invalid";
    std::vector<std::string> entries;
    const char* end = "end";
    if (len != 0) {
        EntryWalker w(area);
        for (;;) {
            auto st = w.next();
            if (st == EntryWalker::Step::Entry) {
                entries.emplace_back(reinterpret_cast<const char*>(w.text()));
                continue;
            }
            end = st == EntryWalker::Step::End ? "end" : st == EntryWalker::Step::TooLong ? "entry too long" : "unterminated";
            break;
        }
    }
    if (j) {
        j->begin_object("boot_environment").field("state", state).field("checksum_word", word)
            .field("checksum", sum).field("checksum_ok", sum == word).field("data_length", len)
            .field("list_end", end).begin_array("entries");
        for (auto& e : entries) j->value(e);
        j->end_array().end_object();
        return;
    }
    std::printf("\nboot environment (0x7a000): %s, checksum word %08x, computed %08x (%s), data length %d\n", state,
                word, sum, sum == word ? "match" : "MISMATCH", len);
    for (auto& e : entries) std::printf("  %s\n", e.c_str());
    if (len != 0 && std::strcmp(end, "end") != 0) std::printf("  (list: %s)\n", end);
}

int cmd_flash(const std::string& verb, const Args& a) {
    if (a.help) {
        std::printf("usage: %s\n\nDecodes a 512 KiB flash image offline (a board's flash.img with --board):\n"
                    "every NV sector's header and control entries with their checksums, what a power-up\n"
                    "would load and erase, and the boot-environment sector.\n", kUsage);
        return kOk;
    }
    if (verb != "inspect") return usage_error(kUsage, verb.empty() ? "flash needs a command" : "unknown flash command '%s'", verb.c_str());
    if (a.words.size() + (a.board ? 1 : 0) != 1) return usage_error(kUsage, "flash inspect takes one image or --board DIR");
    std::vector<uint8_t> img;
    std::string from;
    if (!load_image(a, img, from)) return fail("cannot read a 512 KiB flash image from %s", from.c_str());

    std::vector<SectorView> secs;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) secs.push_back(decode_sector(img, s));
    int loaded_from[NV_VRTL_SEC_NUM];
    uint32_t loaded_ofst[NV_VRTL_SEC_NUM] = {};
    predict(secs, loaded_from, loaded_ofst);

    if (a.json) {
        Json j;
        j.begin_object().field("image", from).begin_array("sectors");
        for (auto& v : secs) {
            j.begin_object().field("index", v.index).field("offset", v.offset).field("size", v.size).field("ring", v.ring)
                .field("erase_id", v.erase_id).field("erase_id_state", erase_id_name(v.erase_id))
                .field("mark", static_cast<uint32_t>(v.mark)).field("mark_ok", v.mark_ok)
                .field("count_ok", v.count_ok).field("header_ok", v.header_ok);
            if (v.header_ok) j.field("count", v.count); else j.null_field("count");
            j.field("blank", v.blank).field("power_up", v.fate).begin_array("entries");
            for (auto& e : v.entries) {
                j.begin_object().field("index", e.index).field("data_mark", static_cast<uint32_t>(e.mark))
                    .field("complete", e.complete).field("block_address", e.block_addr)
                    .field("data_offset", e.data_ofst).field("control_checksum_ok", e.ctl_ok);
                if (e.data_checked) j.field("data_checksum_ok", e.data_ok); else j.null_field("data_checksum_ok");
                j.field("loaded", e.loaded).end_object();
            }
            j.end_array().end_object();
        }
        j.end_array().begin_array("blocks");
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            j.begin_object().field("address", _nvVrtlSec[b].blockAddr);
            if (loaded_from[b] >= 0) j.field("loaded_from", loaded_from[b]).field("data_offset", loaded_ofst[b]);
            else j.null_field("loaded_from");
            j.end_object();
        }
        j.end_array();
        print_env(img.data() + mfpsys::env::kSectorStart, &j);
        j.end_object().print();
        return kOk;
    }
    std::printf("flash image %s\n", from.c_str());
    for (auto& v : secs) {
        std::printf("\nsector %d at 0x%05x (%u KiB, ring %d): erase ID %08x (%s), ", v.index, v.offset, v.size / 1024,
                    v.ring, v.erase_id, erase_id_name(v.erase_id).c_str());
        if (v.header_ok) std::printf("count %u, mark %04x", v.count, v.mark);
        else std::printf("header %s%s%s", v.id_ok ? "" : "[erase ID] ", v.mark_ok ? "" : "[mark] ", v.count_ok ? "" : "[count check]");
        std::printf("%s\n  power-up: %s\n", v.blank ? ", blank" : "", v.fate);
        for (auto& e : v.entries) {
            std::printf("  entry %2d: mark %04x %-10s block 0x%04x at 0x%05x  control %s  data %s%s\n", e.index, e.mark,
                        e.complete ? "complete" : "incomplete", static_cast<unsigned>(e.block_addr), e.data_ofst,
                        e.ctl_ok ? "ok " : "BAD", e.data_checked ? (e.data_ok ? "ok " : "BAD") : "-- ",
                        e.loaded ? "  <- loaded at power-up" : "");
        }
    }
    std::printf("\n");
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        if (loaded_from[b] >= 0) std::printf("block 0x%04x: power-up loads it from sector %d\n", static_cast<unsigned>(_nvVrtlSec[b].blockAddr), loaded_from[b]);
        else std::printf("block 0x%04x: no intact copy\n", static_cast<unsigned>(_nvVrtlSec[b].blockAddr));
    }
    print_env(img.data() + mfpsys::env::kSectorStart, nullptr);
    return kOk;
}

}  // namespace mfpctl
