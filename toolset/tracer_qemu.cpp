// The loader's QEMU tracer (tracer_qemu.h): which qemu-<arch> runs a
// program (from its ELF header, or its interpreter's for a script), where
// vantle's plugin lies (beside the executable), what the shared file tells
// the plugins, and how QEMU is started. Owns the emulator's and the
// plugin's paths and the words a script's interpreters put before it.
// Reads PATH.
#include "toolset/tracer_qemu.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "misc.h"
#include "toolset/live_reader.h"
#include "toolset/site_numbers.h"
#include "transport/live_ring.h"
#include "transport/programs.h"

namespace {

// The emulator, the plugin and the libraries of a foreign program; the
// words that run the program, before its own arguments: its path, or for
// a script the interpreter's, its argument and the script's (run_words[0]
// is the ELF image QEMU loads).
enum { kMostWords = 3 * TRACE_SCRIPT_DEPTH + 1 };
struct {
  char *emulator, *plugin;
  const char *sysroot;
  const char *arch;
  char *plugin_argument;  // read by QEMU after exec
  char *run_words[kMostWords];
  int word_count;
} launch;

// The plugin beside the running executable (malloc'd path), whether it is
// there or not.
char *plugin_path(void) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) n = 0;
  self[n] = '\0';
  const char *slash = strrchr(self, '/');
  int dir = slash ? static_cast<int>(slash - self) : 0;
  size_t size = static_cast<size_t>(dir) + sizeof "/vantle-qemu.so";
  char *path = static_cast<char *>(
      checked_calloc(size, 1, "tracer_qemu", "plugin_path", __LINE__));
  snprintf(path, size, "%.*s/vantle-qemu.so", dir, self);
  return path;
}

void forget_words(void) {
  for (int i = 0; i < launch.word_count; i++) free(launch.run_words[i]);
  launch.word_count = 0;
}

// A script's "#!I A": the words I, A (unless empty) and the script replace
// the first word, as the kernel runs it.
void put_interpreter(const char *interp, const char *arg) {
  char *was[kMostWords];
  int n = launch.word_count;
  std::copy(launch.run_words, launch.run_words + n, was);
  int k = 0;
  launch.run_words[k++] = strdup(interp);
  if (*arg) launch.run_words[k++] = strdup(arg);
  launch.run_words[k++] = was[0];
  for (int i = 1; i < n; i++) launch.run_words[k++] = was[i];
  launch.word_count = k;
}

// Finds the architecture of the ELF image that runs the program at path
// (following "#!" lines, as deep as the kernel does), putting the words
// that run it in launch; false, with why filled, when there is none.
bool find_machine(const char *path, char *why, size_t why_size) {
  forget_words();
  launch.run_words[launch.word_count++] = strdup(path);
  for (int depth = 0; depth <= TRACE_SCRIPT_DEPTH; depth++) {
    const char *run = launch.run_words[0];
    unsigned char head[TRACE_HEAD_BYTES];
    long n = trace_read_head(run, head);
    int machine;
    if ((launch.arch = trace_emulator_arch(head, n, &machine))) return true;
    if (machine) {
      snprintf(why, why_size, "QEMU emulates no machine %d (the ELF machine "
               "of `%s')", machine, run);
      return false;
    }
    char interp[TRACE_HEAD_BYTES], arg[TRACE_HEAD_BYTES];
    if (!trace_script_line(head, n, interp, arg) ||
        depth == TRACE_SCRIPT_DEPTH) {
      snprintf(why, why_size, "`%s' is not an ELF executable", run);
      return false;
    }
    put_interpreter(interp, arg);
  }
  return false;
}

}  // namespace

bool tq_find(const char *path, char *why, size_t why_size) {
  if (!find_machine(path, why, why_size)) return false;
  char emulator[64];
  snprintf(emulator, sizeof emulator, "qemu-%s", launch.arch);
  launch.emulator = find_on_path(getenv("PATH"), emulator);
  if (!launch.emulator) {
    snprintf(why, why_size, "%s is not installed (not found on PATH)",
             emulator);
    return false;
  }
  launch.plugin = plugin_path();
  if (access(launch.plugin, R_OK) != 0) {
    snprintf(why, why_size, "vantle's QEMU plugin `%s' is missing",
             launch.plugin);
    return false;
  }
  return true;
}

const char *tq_path(void) { return launch.emulator; }

const char *tq_interpreter(void) {
  return launch.word_count > 1 ? launch.run_words[0] : nullptr;
}

void tq_use_sysroot(const char *sysroot) { launch.sysroot = sysroot; }

int tq_share(int region_bits, unsigned interleave) {
  int fd = lr_share(region_bits);
  if (fd < 0) return -1;
  trace_live *live = lr_record();
  live->interleave = interleave;
  live->sites = sn_on();
  snprintf(live->plugin, sizeof live->plugin, "%s", launch.plugin);
  snprintf(live->sysroot, sizeof live->sysroot, "%s",
           launch.sysroot ? launch.sysroot : "");
  snprintf(live->sysroot_arch, sizeof live->sysroot_arch, "%s", launch.arch);
  const char *path = getenv("PATH");
  snprintf(live->search_path, sizeof live->search_path, "%s",
           path ? path : "");
  return fd;
}

char **tq_command(char **argv, int shared_fd) {
  free(launch.plugin_argument);
  launch.plugin_argument = trace_plugin_argument(launch.plugin, shared_fd);
  if (!launch.plugin_argument)
    _fatal("tracer_qemu", "tq_command", __LINE__, "out of virtual memory");
  int argc = 0;
  while (argv[argc]) argc++;
  char **args = static_cast<char **>(checked_calloc(
      static_cast<size_t>(argc + launch.word_count) + 6, sizeof(char *),
      "tracer_qemu", "tq_command", __LINE__));
  int k = 0;
  args[k++] = launch.emulator;
  if (launch.sysroot) {
    args[k++] = const_cast<char *>("-L");
    args[k++] = const_cast<char *>(launch.sysroot);
  }
  args[k++] = const_cast<char *>("-plugin");
  args[k++] = launch.plugin_argument;
  for (int i = 0; i < launch.word_count; i++) args[k++] = launch.run_words[i];
  for (int i = 1; i < argc; i++) args[k++] = argv[i];
  return args;
}

void tq_reset(void) {
  forget_words();
  free(launch.emulator);
  free(launch.plugin);
  free(launch.plugin_argument);
  launch = {};
}
