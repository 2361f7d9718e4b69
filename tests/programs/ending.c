/* A program that loads the first n words of an array and ends in a way
 * that a tracer must survive, for the tracer tests. Runs of different n
 * differ by the loads of the loop alone.
 *
 *   ending how n    (n at most 65536; how:
 *                    exit      returns 0
 *                    abort     calls abort
 *                    fault     stores through a null pointer
 *                    kill      sends itself SIGKILL
 *                    exec      execs itself as "ending exit 0"
 *                    fork      returns 0 after a forked child has loaded
 *                              the whole array four times
 *                    childdies returns 0 after a forked child has loaded
 *                              the first n words and killed itself
 *                    close     first closes descriptors 3 to 4095
 *                    dup2      first puts /dev/null on descriptors 3 to 4095
 *                    read      first reads and closes descriptors 500 to
 *                              4095, without waiting on any) */
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum { WORDS = 65536, LAST_DESCRIPTOR = 4095 };
static volatile long words[WORDS];

/* One load a word: the loop has registers enough for everything else. */
static __attribute__((noinline)) long load_words(long n) {
  long sum = 0;
  for (long i = 0; i < n; i++) sum += words[i];
  return sum;
}

/* A child loads the whole array a few times over, while the parent's last
 * records wait in its batch; the parent waits for it. */
static void fork_a_busy_child(void) {
  pid_t child = fork();
  if (child == 0) {
    long sum = 0;
    for (int round = 0; round < 4; round++) sum += load_words(WORDS);
    _exit(sum != 0);
  }
  if (child > 0) waitpid(child, NULL, 0);
}

/* A child loads the first n words and dies by SIGKILL, its last records
 * unwritten; the parent waits for it. */
static void fork_a_dying_child(long n) {
  pid_t child = fork();
  if (child == 0) {
    if (load_words(n) == 0) kill(getpid(), SIGKILL);
    _exit(1);
  }
  if (child > 0) waitpid(child, NULL, 0);
}

/* Does to the descriptors what how says (nothing for the other ways). */
static void meddle(const char *how) {
  int null = open("/dev/null", O_RDWR);
  char bytes[64];
  for (int fd = 3; fd <= LAST_DESCRIPTOR; fd++) {
    if (!strcmp(how, "close") && fd != null) close(fd);
    if (!strcmp(how, "dup2") && fd != null) dup2(null, fd);
    if (!strcmp(how, "read") && fd >= 500) {
      fcntl(fd, F_SETFL, O_NONBLOCK);
      if (read(fd, bytes, sizeof bytes) < 0) bytes[0] = 0;
      close(fd);
    }
  }
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  const char *how = argv[1];
  long n = strtol(argv[2], NULL, 10);
  if (n < 0 || n > WORDS) return 2;
  meddle(how);
  long sum = load_words(n);
  if (!strcmp(how, "abort")) abort();
  if (!strcmp(how, "fault")) *(volatile long *)(uintptr_t)sum = 1;
  if (!strcmp(how, "kill")) kill(getpid(), SIGKILL);
  if (!strcmp(how, "exec")) execl(argv[0], argv[0], "exit", "0", (char *)0);
  if (!strcmp(how, "fork")) fork_a_busy_child();
  if (!strcmp(how, "childdies")) fork_a_dying_child(n);
  return sum != 0;
}
