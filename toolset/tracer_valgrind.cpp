// The loader's valgrind tracer (tracer_valgrind.h): owns valgrind's path,
// the user's valgrind options and the pids of the processes traced.
// Reads PATH.
#include "toolset/tracer_valgrind.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "misc.h"

namespace {

struct valgrind_tracer {
  char *path = nullptr;
  // Further valgrind options, blank-separated (split in place by
  // tv_command).
  char *options = nullptr;
  // The processes traced: the pids of valgrind's own lines, as they came.
  long *pids = nullptr;
  size_t count = 0, capacity = 0;
};

valgrind_tracer valgrind;

// Why valgrind option word (name[=value]) would stop or divert the trace
// that vantle-sim reads, lackey's lines on the descriptor it gives
// valgrind; null when it would not.
const char *diverts_trace(const char *word) {
  const char *equals = strchr(word, '=');
  size_t len = equals ? static_cast<size_t>(equals - word) : strlen(word);
  const char *value = equals ? equals + 1 : "";
  auto is = [&](const char *name) {
    return strlen(name) == len && !strncmp(word, name, len);
  };
  if (is("--tool") && strcmp(value, "lackey"))
    return "another tool writes no lackey trace";
  if (is("--trace-mem") && strcmp(value, "yes"))
    return "lackey would trace no memory references";
  if (is("--log-file") || is("--log-fd") || is("--log-socket"))
    return "lackey's trace would go elsewhere than to vantle-sim";
  if (is("--trace-superblocks") && !strcmp(value, "yes"))
    return "lackey would write lines that are no references among them";
  if (is("-h") || is("--help") || is("--help-debug") ||
      is("--help-dyn-options") || is("--version"))
    return "valgrind would answer it and exit without running the program";
  return nullptr;
}

}  // namespace

void tv_find(const char *program) {
  valgrind.path = find_on_path(getenv("PATH"), "valgrind");
  if (!valgrind.path)
    _fatal("loader", "ld_open", __LINE__,
           "valgrind is not installed (not found on PATH); it is needed to "
           "trace the program `%s'", program);
}

const char *tv_path(void) { return valgrind.path; }

void tv_use_options(const char *words) {
  free(valgrind.options);
  valgrind.options = words ? strdup(words) : nullptr;
  if (!words) return;
  char *copy = strdup(words), *rest = nullptr;
  for (char *w = strtok_r(copy, " \t", &rest); w;
       w = strtok_r(nullptr, " \t", &rest))
    if (const char *why = diverts_trace(w))
      _fatal("loader", "ld_tracer_options", __LINE__,
             "-trace:valgrind `%s' is refused: %s", w, why);
  free(copy);
}

// Lackey's options, then the user's (later options win), then the program
// and its arguments. Children are traced so that a program started
// through a wrapper (a script that execs it, a shim) is traced with it.
char **tv_command(char **argv, int log_fd) {
  static const char *const lackey[] = {"--tool=lackey", "--trace-mem=yes",
                                       "--trace-children=yes"};
  enum { LACKEY_WORDS = sizeof lackey / sizeof lackey[0] };
  static char log_option[32];
  char none[1] = "";
  char *user = valgrind.options ? valgrind.options : none;
  int argc = 0;
  while (argv[argc]) argc++;
  size_t most = LACKEY_WORDS + 2 + strlen(user) / 2 + 1 +
                static_cast<size_t>(argc) + 1;
  char **args = static_cast<char **>(
      checked_calloc(most, sizeof(char *), "loader", "ld_start", __LINE__));
  size_t k = 0;
  args[k++] = valgrind.path;
  for (const char *word : lackey) args[k++] = const_cast<char *>(word);
  snprintf(log_option, sizeof log_option, "--log-fd=%d", log_fd);
  args[k++] = log_option;
  char *rest = nullptr;
  for (char *w = strtok_r(user, " \t", &rest); w;
       w = strtok_r(nullptr, " \t", &rest))
    args[k++] = w;
  for (int i = 0; i < argc; i++) args[k++] = argv[i];
  return args;
}

void tv_note_line(const char *line, size_t len) {
  if (len <= 2 || line[0] != '=' || line[1] != '=') return;
  size_t at = 2;
  long pid = 0;
  while (at < len && at < 12 && line[at] >= '0' && line[at] <= '9')
    pid = pid * 10 + (line[at++] - '0');
  if (at == 2 || at + 1 >= len || line[at] != '=' || line[at + 1] != '=')
    return;
  for (size_t i = valgrind.count; i-- > 0;)
    if (valgrind.pids[i] == pid) return;
  if (valgrind.count == valgrind.capacity) {
    valgrind.capacity = valgrind.capacity ? 2 * valgrind.capacity : 16;
    long *grown = static_cast<long *>(
        realloc(valgrind.pids, valgrind.capacity * sizeof(long)));
    if (!grown)
      _fatal("loader", "note_process", __LINE__, "out of virtual memory");
    valgrind.pids = grown;
  }
  valgrind.pids[valgrind.count++] = pid;
}

long long tv_processes(void) { return static_cast<long long>(valgrind.count); }

void tv_reset(void) {
  free(valgrind.path);
  free(valgrind.options);
  free(valgrind.pids);
  valgrind = valgrind_tracer{};
}
