/* A client of the installed library: registers a segment and sees it. */
#include <mfpsys/mfpsys.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    if (KUSharedMemAttach(4242, 64) != 64) return 1;
    char *p = (char *)KUSharedMemRetrieveMemory(4242);
    if (p == NULL) return 2;
    strcpy(p, "client ok");
    int key = 0;
    if (mmMakeSharedMemoryKey(&key) != 0 || key != 21000) return 3;
    puts(p);
    return 0;
}
