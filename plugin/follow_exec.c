/* Following an exec of the guest (follow_exec.h): the guest's words read
 * out of its memory, the program resolved as the kernel resolves it, the
 * emulator found, QEMU's command and environment made, and QEMU run in
 * place of this process. State: QEMU's copy_from_user, looked up once. */
#define _GNU_SOURCE
#include "plugin/follow_exec.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transport/programs.h"

static const struct guest_abi abis[] = {
    {"x86_64", 59, 322, 56, 57, 58, 8, 0},
    {"i386", 11, 358, 120, 2, 190, 4, 0},
    {"aarch64", 221, 281, 220, -1, -1, 8, 0},
    {"aarch64_be", 221, 281, 220, -1, -1, 8, 1},
    {"riscv64", 221, 281, 220, -1, -1, 8, 0},
    {"riscv32", 221, 281, 220, -1, -1, 4, 0},
    {"loongarch64", 221, 281, 220, -1, -1, 8, 0},
    {"arm", 11, 387, 120, 2, 190, 4, 0},
    {"armeb", 11, 387, 120, 2, 190, 4, 1},
    {"ppc", 11, 362, 120, 2, 189, 4, 1},
    {"ppc64", 11, 362, 120, 2, 189, 8, 1},
    {"ppc64le", 11, 362, 120, 2, 189, 8, 0},
    {"s390x", 11, 354, 120, 2, 190, 8, 1},
};

const struct guest_abi *guest_abi_of(const char *machine) {
  for (size_t i = 0; machine && i < sizeof abis / sizeof abis[0]; i++)
    if (!strcmp(machine, abis[i].machine)) return &abis[i];
  return NULL;
}

/* QEMU's linux-user copy_from_user(host, guest address, length): 0 when
 * every page was readable. Not part of the plugin interface, but exported
 * by QEMU's executable; without it execs are not followed. */
typedef int (*copy_fn)(void *, unsigned long, long);
static copy_fn copy_from_guest(void) {
  static copy_fn fn;
  static int looked;
  if (!looked) fn = (copy_fn)dlsym(RTLD_DEFAULT, "copy_from_user");
  looked = 1;
  return fn;
}

int can_follow_exec(void) { return copy_from_guest() != NULL; }

/* Reads go by pieces that cross no guest page (no machine QEMU emulates
 * has pages smaller than 1 KiB), so that a string that ends just before an
 * unreadable page reads whole. */
enum { PIECE = 1024, MOST_STRING = 1 << 17, MOST_WORDS = 1 << 20 };

/* The string at guest address at (malloc'd), or null on a fault. */
static char *guest_string(uint64_t at) {
  size_t size = 0, cap = 2 * PIECE;
  char *s = malloc(cap);
  while (s && size <= MOST_STRING) {
    size_t piece = PIECE - (size_t)(at % PIECE);
    if (size + piece > cap) {
      char *grown = realloc(s, cap *= 2);
      if (!grown) break;
      s = grown;
    }
    if (copy_from_guest()(s + size, (unsigned long)at, (long)piece)) break;
    if (memchr(s + size, '\0', piece)) return s;
    size += piece;
    at += piece;
  }
  free(s);
  return NULL;
}

static void free_words(char **words) {
  for (size_t i = 0; words && words[i]; i++) free(words[i]);
  free(words);
}

/* The pointer the guest stores at at; 0 on a fault (*ok cleared). */
static uint64_t guest_pointer(const struct guest_abi *abi, uint64_t at,
                              int *ok) {
  unsigned char b[8];
  if (copy_from_guest()(b, (unsigned long)at, abi->pointer_bytes)) *ok = 0;
  uint64_t p = 0;
  for (int i = 0; *ok && i < abi->pointer_bytes; i++)
    p |= (uint64_t)b[abi->big_endian ? abi->pointer_bytes - 1 - i : i]
         << (8 * i);
  return p;
}

/* The null-ended array of strings at guest address at (all malloc'd); a
 * null address is an empty array, as the kernel takes it. Null on a
 * fault. */
static char **guest_words(const struct guest_abi *abi, uint64_t at) {
  size_t n = 0, cap = 16;
  char **words = calloc(cap, sizeof *words);
  int ok = 1;
  while (words && at) {
    uint64_t p = guest_pointer(abi, at + n * abi->pointer_bytes, &ok);
    if (!ok || !p) break;
    if (n + 2 > cap) {
      char **grown = cap < MOST_WORDS ? realloc(words, 2 * cap * sizeof *words)
                                      : NULL;
      if (!grown) break;
      words = grown;
      cap *= 2;
    }
    words[n + 1] = NULL;
    if (!(words[n] = guest_string(p))) break;
    n++;
  }
  if (words && at && (!ok || words[n])) {
    free_words(words);
    return NULL;
  }
  return words;
}

/* An exec being followed: the guest's words, then what runs. */
struct plan {
  char *path;          /* as the guest named it */
  char **argv, **envp; /* the guest's */
  char *run;           /* the ELF image QEMU runs (the path, or the
                          interpreter of a script) */
  char **run_argv;     /* its words: a script's interpreter and argument
                          before the guest's own */
  char emulator[PATH_MAX];
  const char *arch;
  uint32_t untraced;   /* why it runs untraced, or 0 */
};

static void free_plan(struct plan *p) {
  free(p->path);
  free_words(p->argv);
  free_words(p->envp);
  free(p->run);
  free_words(p->run_argv);
}

/* The path an execveat names: fd's own file, or path under fd. */
static char *at_path(int64_t fd, const char *path, uint64_t flags) {
  enum { FD_CWD = -100, EMPTY_PATH = 0x1000 };
  char *out = NULL;
  if (path[0] == '/' || (fd == FD_CWD && path[0]))
    return strdup(path);
  if (!path[0] && (flags & EMPTY_PATH))
    return asprintf(&out, "/proc/self/fd/%d", (int)fd) < 0 ? NULL : out;
  return asprintf(&out, "/proc/self/fd/%d/%s", (int)fd, path) < 0 ? NULL : out;
}

/* Reads the exec's words out of the guest's memory; 0 on a fault. */
static int read_call(struct plan *p, const struct guest_abi *abi,
                     int64_t number, const uint64_t *a) {
  int at = number == abi->execveat; /* execveat(fd, path, argv, envp, flags) */
  char *named = guest_string(a[at]);
  if (!named) return 0;
  p->path = at ? at_path((int64_t)(int32_t)a[0], named, a[4]) : named;
  if (at) free(named);
  p->argv = guest_words(abi, a[at + 1]);
  p->envp = guest_words(abi, a[at + 2]);
  return p->path && p->argv && p->envp;
}

/* words with first before them (and second, unless it is empty), and then
 * without their own first word; null when out of memory. */
static char **with_interpreter(char **words, const char *first,
                               const char *second, const char *script) {
  size_t n = 0;
  while (words[n]) n++;
  char **out = calloc(n + 4, sizeof *out);
  if (!out) return NULL;
  size_t k = 0;
  out[k++] = strdup(first);
  if (second[0]) out[k++] = strdup(second);
  out[k++] = strdup(script);
  for (size_t i = 1; i < n; i++) out[k++] = words[i], words[i] = NULL;
  free_words(words);
  return out;
}

/* Finds qemu-<arch> along search (a PATH) into out. */
static int find_emulator(const char *search, const char *arch, char *out) {
  for (const char *dir = search; *dir;) {
    size_t len = strcspn(dir, ":");
    if (len && snprintf(out, PATH_MAX, "%.*s/qemu-%s", (int)len, dir, arch) <
                   PATH_MAX &&
        access(out, X_OK) == 0)
      return 1;
    dir += len + (dir[len] == ':');
  }
  return 0;
}

/* Works out what the exec runs, as the kernel would: follows "#!" lines
 * down to an ELF image. 0 when the kernel will refuse the exec. */
static int resolve(struct plan *p, const struct trace_live *live) {
  p->run = strdup(p->path);
  p->run_argv = p->argv;
  p->argv = NULL;
  for (int depth = 0; p->run && p->run_argv && depth <= TRACE_SCRIPT_DEPTH;
       depth++) {
    struct stat st;
    unsigned char head[TRACE_HEAD_BYTES];
    if (stat(p->run, &st) != 0 || !S_ISREG(st.st_mode) ||
        access(p->run, X_OK) != 0)
      return 0;
    long n = trace_read_head(p->run, head);
    char interp[TRACE_HEAD_BYTES], arg[TRACE_HEAD_BYTES];
    int machine;
    if ((p->arch = trace_emulator_arch(head, n, &machine))) {
      if (st.st_mode & (S_ISUID | S_ISGID))
        p->untraced = TRACE_UNTRACED_SETUID;
      else if (!find_emulator(live->search_path, p->arch, p->emulator))
        p->untraced = TRACE_UNTRACED_MACHINE;
      return 1;
    }
    if (machine) {
      p->untraced = TRACE_UNTRACED_MACHINE;
      return 1;
    }
    if (!trace_script_line(head, n, interp, arg)) return 0;
    p->run_argv = with_interpreter(p->run_argv, interp, arg, p->run);
    free(p->run);
    p->run = strdup(interp);
  }
  return 0;
}

/* Whether QEMU itself must not have env entry e in its environment: the
 * dynamic loader's variables are meant for the guest's loader, and go to
 * the guest through -E (which splits on commas: one holding a comma stays
 * where it is). */
static int for_guest_only(const char *e) {
  return !strncmp(e, "LD_", 3) && !strchr(e, ',');
}

/* Runs the plan's program under QEMU with the plugin and the shared file,
 * opened anew through vantle-sim's descriptor; returns when it cannot. */
static void run_under_qemu(const struct plan *p, const struct trace_live *l) {
  char shared[64];
  snprintf(shared, sizeof shared, "/proc/%d/fd/%d", l->reader_pid,
           l->reader_fd);
  int opened = open(shared, O_RDWR);
  int fd = opened < 0 ? -1 : fcntl(opened, F_DUPFD, TRACE_HIGH_DESCRIPTOR);
  if (opened >= 0) close(opened);
  char *plugin = fd < 0 ? NULL : trace_plugin_argument(l->plugin, fd);
  size_t words = 0, env = 0;
  while (p->run_argv[words]) words++;
  while (p->envp[env]) env++;
  char **args = calloc(words + 2 * env + 12, sizeof *args);
  char **host_env = calloc(env + 1, sizeof *host_env);
  if (plugin && args && host_env) {
    size_t k = 0, h = 0;
    args[k++] = (char *)p->emulator;
    if (l->sysroot[0] && !strcmp(p->arch, l->sysroot_arch)) {
      args[k++] = "-L";
      args[k++] = (char *)l->sysroot;
    }
    args[k++] = "-plugin";
    args[k++] = plugin;
    args[k++] = "-0";
    args[k++] = p->run_argv[0] ? p->run_argv[0] : p->run;
    for (size_t i = 0; i < env; i++) {
      if (!for_guest_only(p->envp[i])) {
        host_env[h++] = p->envp[i];
        continue;
      }
      args[k++] = "-E";
      args[k++] = p->envp[i];
    }
    args[k++] = p->run;
    for (size_t i = 1; i < words; i++) args[k++] = p->run_argv[i];
    execve(p->emulator, args, host_env);
  }
  free(args);
  free(host_env);
  free(plugin);
  if (fd >= 0) close(fd);
}

enum followed follow_exec(struct trace_file *f, const struct guest_abi *abi,
                          int64_t number, const uint64_t *args,
                          uint32_t *state) {
  struct plan p;
  memset(&p, 0, sizeof p);
  enum followed result = EXEC_UNTRACED;
  if (!can_follow_exec() || !read_call(&p, abi, number, args)) {
    trace_live_untraced(f, p.path ? p.path : "a program",
                        TRACE_UNTRACED_UNREAD);
  } else if (!resolve(&p, f->live)) {
    result = EXEC_NOT_RUN;
  } else if (p.untraced) {
    trace_live_untraced(f, p.path, p.untraced);
  } else {
    __atomic_store_n(state, TRACE_PROC_EXECING, __ATOMIC_SEQ_CST);
    run_under_qemu(&p, f->live);
    trace_live_untraced(f, p.path, TRACE_UNTRACED_FAILED);
  }
  free_plan(&p);
  return result;
}
