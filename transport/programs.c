/* What runs a program (programs.h): the ELF machines QEMU's user mode
 * emulates, and the kernel's reading of a "#!" line. No state. */
#include "transport/programs.h"

#include <elf.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

long trace_read_head(const char *path, unsigned char *head) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long got = 0;
  while (got < TRACE_HEAD_BYTES) {
    ssize_t n = read(fd, head + got, (size_t)(TRACE_HEAD_BYTES - got));
    if (n <= 0) break;
    got += n;
  }
  close(fd);
  return got;
}

enum { ANY_CLASS = 0, ANY_ORDER = 0 };

/* The emulators of QEMU's user mode, by ELF machine, word size
 * (ELFCLASS32/64) and byte order (ELFDATA2LSB/MSB). */
static const struct {
  int machine, elf_class, order;
  const char *arch;
} emulators[] = {
    {EM_X86_64, ANY_CLASS, ANY_ORDER, "x86_64"},
    {EM_386, ANY_CLASS, ANY_ORDER, "i386"},
    {EM_AARCH64, ANY_CLASS, ELFDATA2LSB, "aarch64"},
    {EM_AARCH64, ANY_CLASS, ELFDATA2MSB, "aarch64_be"},
    {EM_ARM, ANY_CLASS, ELFDATA2LSB, "arm"},
    {EM_ARM, ANY_CLASS, ELFDATA2MSB, "armeb"},
    {EM_RISCV, ELFCLASS64, ANY_ORDER, "riscv64"},
    {EM_RISCV, ELFCLASS32, ANY_ORDER, "riscv32"},
    {EM_PPC64, ANY_CLASS, ELFDATA2LSB, "ppc64le"},
    {EM_PPC64, ANY_CLASS, ELFDATA2MSB, "ppc64"},
    {EM_PPC, ANY_CLASS, ANY_ORDER, "ppc"},
    {EM_S390, ANY_CLASS, ANY_ORDER, "s390x"},
    {EM_MIPS, ELFCLASS64, ELFDATA2LSB, "mips64el"},
    {EM_MIPS, ELFCLASS64, ELFDATA2MSB, "mips64"},
    {EM_MIPS, ELFCLASS32, ELFDATA2LSB, "mipsel"},
    {EM_MIPS, ELFCLASS32, ELFDATA2MSB, "mips"},
    {EM_LOONGARCH, ANY_CLASS, ANY_ORDER, "loongarch64"},
    {EM_SPARCV9, ANY_CLASS, ANY_ORDER, "sparc64"},
    {EM_SPARC32PLUS, ANY_CLASS, ANY_ORDER, "sparc32plus"},
    {EM_SPARC, ANY_CLASS, ANY_ORDER, "sparc"},
    {EM_68K, ANY_CLASS, ANY_ORDER, "m68k"},
    {EM_SH, ANY_CLASS, ELFDATA2LSB, "sh4"},
    {EM_SH, ANY_CLASS, ELFDATA2MSB, "sh4eb"},
    {EM_ALPHA, ANY_CLASS, ANY_ORDER, "alpha"},
    {EM_PARISC, ANY_CLASS, ANY_ORDER, "hppa"},
};

const char *trace_emulator_arch(const unsigned char *head, long n,
                                int *machine) {
  *machine = 0;
  if (n < 20 || memcmp(head, ELFMAG, SELFMAG) != 0) return NULL;
  int elf_class = head[EI_CLASS], order = head[EI_DATA];
  *machine = order == ELFDATA2MSB ? head[18] << 8 | head[19]
                                  : head[19] << 8 | head[18];
  for (size_t i = 0; i < sizeof emulators / sizeof emulators[0]; i++)
    if (emulators[i].machine == *machine &&
        (!emulators[i].elf_class || emulators[i].elf_class == elf_class) &&
        (!emulators[i].order || emulators[i].order == order))
      return emulators[i].arch;
  return NULL;
}

static int blank(unsigned char c) { return c == ' ' || c == '\t'; }

/* Copies head[from..to) into out, which holds TRACE_HEAD_BYTES. */
static void copy_out(const unsigned char *head, long from, long to,
                     char *out) {
  memcpy(out, head + from, (size_t)(to - from));
  out[to - from] = '\0';
}

int trace_script_line(const unsigned char *head, long n, char *interp,
                      char *arg) {
  if (n < 2 || head[0] != '#' || head[1] != '!') return 0;
  long end = 2;
  while (end < n && head[end] != '\n') end++;
  long at = 2;
  while (at < end && blank(head[at])) at++;
  long name_end = at;
  while (name_end < end && !blank(head[name_end])) name_end++;
  /* No interpreter, or one the line's cut might have cut: the kernel
   * refuses both. */
  if (name_end == at || (end == n && name_end == n)) return 0;
  copy_out(head, at, name_end, interp);
  at = name_end;
  while (at < end && blank(head[at])) at++;
  long arg_end = end;
  while (arg_end > at && blank(head[arg_end - 1])) arg_end--;
  copy_out(head, at, arg_end, arg);
  return 1;
}

char *trace_plugin_argument(const char *plugin, int fd) {
  size_t size = 2 * strlen(plugin) + sizeof ",ring=-2147483648";
  char *arg = malloc(size), *out = arg;
  if (!arg) return NULL;
  for (const char *c = plugin; *c; c++) {
    if (*c == ',') *out++ = ',';
    *out++ = *c;
  }
  snprintf(out, size - (size_t)(out - arg), ",ring=%d", fd);
  return arg;
}
