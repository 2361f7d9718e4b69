// The decompressor of a trace (decompressor.h): owns the table of
// compressed formats and the one tool's process. Reads GZIP_PATH (host.h)
// and PATH (to find the other tools).
#include "toolset/decompressor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host.h"
#include "misc.h"

namespace {

struct Compression {
  const char *tool;  // also the format's name
  const char *options;  // decompress to standard output, no progress lines
  unsigned char magic[6];
  size_t magic_len;
  bool digit_after;  // the magic is followed by a digit '1' to '9'
};
const Compression kCompressions[] = {
    {"gzip", "-dc", {0x1f, 0x8b}, 2, false},
    {"xz", "-dc", {0xfd, '7', 'z', 'X', 'Z', 0x00}, 6, false},
    {"zstd", "-dcq", {0x28, 0xb5, 0x2f, 0xfd}, 4, false},
    {"bzip2", "-dc", {'B', 'Z', 'h'}, 3, true},
};

struct {
  const Compression *compression;
  pid_t pid;
} running = {nullptr, -1};

// Ends the process: the input named on the command line cannot be used.
#define fail(...) _fatal("loader", "ld_open", __LINE__, __VA_ARGS__)

// The tool's path: gzip is the one the build found; the others are looked
// up on PATH (when unset, in the usual directories). Ends the process,
// naming the format and the tool, when it is missing.
char *find_tool(const Compression *c, const char *name) {
  if (c == &kCompressions[0]) {
    const char *gzip = GZIP_PATH;
    if (!*gzip || access(gzip, X_OK) != 0)
      fail("cannot read compressed trace `%s': gzip not found at `%s'", name,
           gzip);
    return strdup(gzip);
  }
  const char *path = getenv("PATH");
  char *tool = find_on_path(path ? path : "/usr/local/bin:/usr/bin:/bin",
                            c->tool);
  if (!tool)
    fail("cannot read %s-compressed trace `%s': %s is not installed (not "
         "found on PATH)", c->tool, name, c->tool);
  return tool;
}

// Whatever ends the process (a fatal error included) stops the tool too.
void reap_at_exit() {
  static bool registered;
  if (!registered) atexit([] { dc_finish(true); });
  registered = true;
}

// Waits for the tool's end; its wait status.
int wait_for_tool() {
  int status = 0;
  while (waitpid(running.pid, &status, 0) < 0 && errno == EINTR) {
  }
  running.pid = -1;
  return status;
}

}  // namespace

const char *dc_tool_of(const unsigned char *head, size_t len) {
  for (const Compression &c : kCompressions) {
    size_t need = c.magic_len + (c.digit_after ? 1 : 0);
    if (len >= need && memcmp(head, c.magic, c.magic_len) == 0 &&
        (!c.digit_after || (head[c.magic_len] >= '1' &&
                            head[c.magic_len] <= '9')))
      return c.tool;
  }
  return nullptr;
}

int dc_start(const char *tool_name, const char *name) {
  const Compression *c = kCompressions;
  while (strcmp(c->tool, tool_name)) c++;
  char *tool = find_tool(c, name);
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0)
    fail("cannot read `%s': %s", name, strerror(errno));
  pid_t pid = fork();
  if (pid < 0) fail("cannot read `%s': %s", name, strerror(errno));
  if (pid == 0) {
    dup2(p[1], 1);
    if (strcmp(name, "-") == 0)
      execl(tool, c->tool, c->options, static_cast<char *>(nullptr));
    else
      execl(tool, c->tool, c->options, "--", name,
            static_cast<char *>(nullptr));
    fprintf(stderr, "vantle-sim: cannot run %s: %s\n", tool, strerror(errno));
    _exit(127);
  }
  free(tool);
  close(p[1]);
  running = {c, pid};
  reap_at_exit();
  return p[0];
}

const char *dc_tool(void) {
  return running.compression ? running.compression->tool : nullptr;
}

void dc_reap(char *failure, size_t n) {
  if (running.pid <= 0) return;
  int status = wait_for_tool();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  snprintf(failure, n,
           "%s could not decompress the rest (%s %d); the file is "
           "truncated or corrupt", dc_tool(),
           WIFSIGNALED(status) ? "signal" : "status",
           WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
}

int dc_finish(bool kill_it) {
  if (running.pid <= 0) return 0;
  if (kill_it) kill(running.pid, SIGKILL);
  int status = wait_for_tool();
  return WIFEXITED(status)     ? WEXITSTATUS(status)
         : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                               : 128;
}

void dc_reset(void) {
  dc_finish(true);
  running = {nullptr, -1};
}
