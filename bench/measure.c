/* Runs a command and reports what it cost: wall seconds, peak resident set size in KiB,
 * user and system CPU seconds, with microsecond resolution (GNU time rounds CPU time to
 * 10 ms, too coarse for a start-up). This small program forks the command itself, so the
 * peak size is the command's own and not that of a large parent.
 *
 *   measure REPORT_FILE COMMAND [ARGS...]     exit status: the command's
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure REPORT_FILE COMMAND [ARGS...]\n");
    return 125;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 126;
  clock_gettime(CLOCK_MONOTONIC, &end);
  FILE *report = fopen(argv[1], "w");
  if (report == NULL) return 126;
  fprintf(report, "%.6f %ld %.6f %.6f\n",
          (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
          usage.ru_maxrss, usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
          usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
  fclose(report);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
