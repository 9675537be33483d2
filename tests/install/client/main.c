/* A client of the installed library: registers a segment and sees it.
 * On a simulated board, "nv-write TEXT" stores TEXT in NV block 0x0400;
 * after a restart, "nv-scan" runs the power-up scan and ends, and "nv-read"
 * in another process prints the block from the cache that the scan left. */
#include <mfpsys/mfpsys.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    char block[64] = {0};
    if (argc == 3 && strcmp(argv[1], "nv-write") == 0) {
        strncpy(block, argv[2], sizeof block - 1);
        nvRead(0x0400, 0, NULL); /* clients read before they first write */
        return nvWriteRetry(0x0400, sizeof block, block) == 0 ? 0 : 4;
    }
    if (argc == 2 && strcmp(argv[1], "nv-scan") == 0) {
        nvRead(0x0000, 0, NULL); /* block 0 holds nothing: only the scan counts */
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "nv-read") == 0) {
        if (nvRead(0x0400, sizeof block, block) != 0) return 6;
        puts(block);
        return 0;
    }
    if (KUSharedMemAttach(4242, 64) != 64) return 1;
    char *p = (char *)KUSharedMemRetrieveMemory(4242);
    if (p == NULL) return 2;
    strcpy(p, "client ok");
    int key = 0;
    if (mmMakeSharedMemoryKey(&key) != 0 || key != 21000) return 3;
    puts(p);
    return 0;
}
