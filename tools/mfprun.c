/* mfprun CMD [ARGS] [';' | '&' CMD [ARGS]]...
 * Runs programs in one boot of the virtual board, whose guest has no shell:
 * ';' waits for the command before it and every one started with '&' before
 * that; '&' starts the next command at once. Each command keeps the standard
 * output and error. Exit status: the first failure's (128 + N for a command
 * killed by signal N), 127 for a program that could not be started. */
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static int status = 0;

static void reap_all(void) {
    int st;
    while (wait(&st) > 0) {
        int s = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (s != 0 && status == 0) status = s;
    }
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: mfprun CMD [ARGS] [';' | '&' CMD [ARGS]]...\n");
        return 2;
    }
    for (int i = 1; i < argc;) {
        int j = i;
        while (j < argc && strcmp(argv[j], ";") != 0 && strcmp(argv[j], "&") != 0) ++j;
        int background = j < argc && strcmp(argv[j], "&") == 0;
        argv[j] = NULL;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            execvp(argv[i], argv + i);
            perror(argv[i]);
            _exit(127);
        }
        if (pid < 0 && status == 0) status = 127;
        if (!background) reap_all();
        i = j + 1;
    }
    reap_all();
    return status;
}
