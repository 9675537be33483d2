/* The public headers compile as C99 and their failure values compare as C
 * callers write them. */
#include "mfpsys/dwl.h"
#include "mfpsys/env.h"

int c_read_failed_is_all_ones(void) {
    char *r = ENV_MAC_READ_FAILED;
    return r == (char *)-1 && (uintptr_t)r == UINTPTR_MAX;
}

int c_sizes_of_exported_buffers(void) {
    return sizeof env_table == 1078 && sizeof env_buff == 8192 && sizeof env_tmp == 8192 &&
           sizeof mac == 30;
}
