/* Runs a command and prints its wall time and peak resident memory.
 *
 * The peak a kernel reports for a child includes the memory of the process
 * it was forked from, so measuring from a large parent (a Python script)
 * would overstate it; this launcher is small enough not to matter.
 * usage: measure <fd> <command> [args...]   prints "<seconds> <peak KiB>" on <fd> */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    int report = atoi(argv[1]);
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    pid_t pid = fork();
    if (pid == 0) {
        close(report);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) return 2;
    clock_gettime(CLOCK_MONOTONIC, &b);
    double seconds = (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9;
    dprintf(report, "%.6f %ld\n", seconds, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
