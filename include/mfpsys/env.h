/* Boot-environment MAC address: the board's Ethernet address as stored in the
 * boot loader's environment sector of the flash ("ethaddr=" entry). */
#ifndef MFPSYS_ENV_H
#define MFPSYS_ENV_H

#include <stdint.h>

#include "mfpsys/export.h"

MFPSYS_BEGIN_DECLS

/* The default environment (1078 bytes): 23 NUL-terminated entries, the empty
 * entry that ends the list, and one more NUL. A rewrite that finds the stored
 * environment blank, or failing its checksum or data-end test, starts again
 * from this. */
MFPSYS_API extern const unsigned char env_table[1078];

/* Per-process working buffers, shared by the four calls below. env_buff and
 * env_tmp are images of the 8 KiB sector indexed by offset in the sector:
 * env_buff as read, env_tmp as built for writing back. mac holds the address
 * entry being written, or the address text handed out by env_mac_read. */
MFPSYS_API extern unsigned char env_buff[8192];
MFPSYS_API extern unsigned char env_tmp[8192];
MFPSYS_API extern char mac[30];

/* What env_mac_read returns on failure: the pointer with all bits set. */
#define ENV_MAC_READ_FAILED ((char *)-1)

/* Reads the stored address text (the value of the first "ethaddr=" entry).
 * Returns mac, which holds the text until the next call of any of these four
 * functions in this process; a null pointer when the environment is blank
 * (erased); ENV_MAC_READ_FAILED, that is (char *)-1, on any failure (device
 * error, the system-wide lock not obtained, damaged environment or list, no
 * address entry, a value of more than 29 characters). A short read of the
 * sector is no failure: what was not read fails the checksum. Compare with
 * both before using the result as text. */
MFPSYS_API char *env_mac_read(void);

/* Stores text (at most 20 characters, form not checked) as the one
 * "ethaddr=" entry, last in the list, and rewrites the sector: erase, a
 * two-second wait, write. Other entries are kept byte for byte and in order;
 * a blank environment, or one failing its checksum or data-end test, is
 * first replaced by env_table; a list that cannot be walked (an entry too
 * long, no end) is refused with -1 and left as it was. Returns 0, or -1 on
 * failure (null or too long text before any device access). A read of fewer
 * than 7680 bytes fails ("nvram read error") before the erase and leaves the
 * stored environment as it was. */
MFPSYS_API int32_t env_mac_write(const char *text);

/* The stored address as six bytes (either case of hex digits, any separator).
 * A blank environment gives six 0xFF bytes and 0. On failure returns -1 and
 * leaves the bytes unchanged; a null pointer is refused with -1. */
MFPSYS_API int32_t env_mac_read_n(unsigned char *bytes);

/* Stores six bytes as "xx:xx:xx:xx:xx:xx" in lowercase; env_mac_write's
 * result. A null pointer is refused with -1. */
MFPSYS_API int32_t env_mac_write_n(const unsigned char *bytes);

MFPSYS_END_DECLS

#endif /* MFPSYS_ENV_H */
