/* A client process: draws N dynamic keys, registers a segment under each and
 * writes a greeting into it. The keys stay in use after it exits, as every
 * allocation outlives the process that made it. */
#include <mfpsys/mm.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 1;
    for (int i = 0; i < n; ++i) {
        int key = 0;
        if (mmMakeSharedMemoryKey(&key) != 0) {
            fprintf(stderr, "no dynamic key left\n");
            return 1;
        }
        if (mmSharedMemAttach(key, 4096) != 4096) return 1;
        char *p = (char *)mmSharedMemRetrieveMemory(key);
        if (p == NULL) return 1;
        snprintf(p, 4096, "segment %d of client %d", key, i);
        printf("client holds key %d\n", key);
    }
    return 0;
}
