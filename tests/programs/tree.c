/* A program for the process-tree tests: some work, then one step. Built
 * dynamically linked (tree) and statically (tree-static).
 *
 *   tree n leaf               n rounds of work
 *   tree n fork-sh script     n rounds; then forks a child that does n
 *                             rounds and runs /bin/sh -c "script n", and
 *                             waits for it
 *   tree n exec program ...   n rounds; then execs program with the words
 *                             after it
 *   tree n spawn program ...  n rounds; then runs program with the words
 *                             after it through posix_spawn, and waits
 *   tree k far                after a fork, parent and child each load one
 *                             word of each of k pages of their own, the
 *                             parent's 64 GiB from the child's; the child
 *                             touches its pages first
 *
 * A round loads and stores every word of a 64 KiB array. */
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

enum { WORDS = 8192, PAGE = 4096, MOST_PAGES = 4096 };
static volatile long words[WORDS];

static void work(long rounds) {
  for (long r = 0; r < rounds; r++)
    for (int i = 0; i < WORDS; i++) words[i] = words[i] + 1;
}

/* Loads one word of each of k pages at 2^36 * which. */
static int touch_far(long k, uintptr_t which) {
  if (k == 0) return 0;
  volatile char *pages = mmap((void *)(which << 36), (size_t)k * PAGE,
                              PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return 3;
  long sum = 0;
  for (long i = 0; i < k; i++) sum += pages[i * PAGE];
  return sum != 0;
}

static int far_apart(long k) {
  if (k < 0 || k > MOST_PAGES) return 2;
  pid_t child = fork();
  if (child == 0) _exit(touch_far(k, 2));
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 4;
  if (!WIFEXITED(status) || WEXITSTATUS(status)) return 5;
  return touch_far(k, 1);
}

static int fork_sh(long n, const char *script) {
  pid_t child = fork();
  if (child == 0) {
    char command[4096];
    work(n);
    snprintf(command, sizeof command, "%s %ld", script, n);
    execl("/bin/sh", "sh", "-c", command, (char *)0);
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 4;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
}

extern char **environ;

static int spawn(char **args) {
  pid_t child;
  int status = 0;
  if (posix_spawn(&child, args[0], NULL, NULL, args, environ) != 0 ||
      waitpid(child, &status, 0) != child)
    return 4;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
}

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  long n = strtol(argv[1], NULL, 10);
  const char *step = argv[2];
  if (!strcmp(step, "far")) return far_apart(n);
  work(n);
  if (!strcmp(step, "leaf")) return 0;
  if (!strcmp(step, "fork-sh") && argc == 4) return fork_sh(n, argv[3]);
  if (!strcmp(step, "spawn") && argc >= 4) return spawn(argv + 3);
  if (!strcmp(step, "exec") && argc >= 4) {
    execv(argv[3], argv + 3);
    return 127;
  }
  return 2;
}
