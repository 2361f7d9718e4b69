// The loader's QEMU tracer: which qemu-<arch> runs a program (from its ELF
// header), where vantle's plugin lies (beside the executable), how QEMU is
// started with it. Holds no state.
#include "toolset/tracer_qemu.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "misc.h"

enum { ANY_CLASS = 0, ANY_ORDER = 0 };

// The emulators of QEMU's user mode, by ELF machine, word size
// (ELFCLASS32/64) and byte order (ELFDATA2LSB/MSB).
static const struct {
  int machine, elf_class, order;
  const char *arch;
} kEmulators[] = {
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

bool tq_emulator_name(const char *path, char *name, size_t size, char *why,
                      size_t why_size) {
  unsigned char head[20];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t got = fd < 0 ? -1 : read(fd, head, sizeof head);
  if (fd >= 0) close(fd);
  if (got < static_cast<ssize_t>(sizeof head) ||
      memcmp(head, ELFMAG, SELFMAG) != 0) {
    snprintf(why, why_size, "`%s' is not an ELF executable", path);
    return false;
  }
  int elf_class = head[EI_CLASS], order = head[EI_DATA];
  int machine = order == ELFDATA2MSB ? head[18] << 8 | head[19]
                                     : head[19] << 8 | head[18];
  for (const auto &e : kEmulators)
    if (e.machine == machine && (!e.elf_class || e.elf_class == elf_class) &&
        (!e.order || e.order == order)) {
      snprintf(name, size, "qemu-%s", e.arch);
      return true;
    }
  snprintf(why, why_size, "QEMU emulates no machine %d (the ELF machine of "
           "`%s')", machine, path);
  return false;
}

char *tq_plugin_path(void) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) n = 0;
  self[n] = '\0';
  const char *slash = strrchr(self, '/');
  int dir = slash ? static_cast<int>(slash - self) : 0;
  size_t size = static_cast<size_t>(dir) + sizeof "/vantle-qemu.so";
  char *path = static_cast<char *>(
      checked_calloc(size, 1, "tracer_qemu", "tq_plugin_path", __LINE__));
  snprintf(path, size, "%.*s/vantle-qemu.so", dir, self);
  return path;
}

// QEMU's -plugin argument: the path, commas doubled as its option syntax
// wants, the descriptors and the region size.
static char *plugin_argument(const char *plugin, int socket_fd, int ring_fd,
                             int region_bits) {
  size_t size = 2 * strlen(plugin) + 64;
  char *arg = static_cast<char *>(
      checked_calloc(size, 1, "tracer_qemu", "tq_command", __LINE__));
  char *out = arg;
  for (const char *p = plugin; *p; p++) {
    if (*p == ',') *out++ = ',';
    *out++ = *p;
  }
  snprintf(out, size - static_cast<size_t>(out - arg),
           ",fd=%d,ring=%d,region=%d", socket_fd, ring_fd, region_bits);
  return arg;
}

char **tq_command(const char *emulator, const char *plugin,
                  const char *sysroot, char **argv, int socket_fd,
                  int ring_fd, int region_bits) {
  // The argument outlives the command: QEMU reads it after exec.
  static char *plugin_arg;
  free(plugin_arg);
  plugin_arg = plugin_argument(plugin, socket_fd, ring_fd, region_bits);
  int argc = 0;
  while (argv[argc]) argc++;
  char **args = static_cast<char **>(checked_calloc(
      static_cast<size_t>(argc) + 6, sizeof(char *), "tracer_qemu",
      "tq_command", __LINE__));
  int k = 0;
  args[k++] = const_cast<char *>(emulator);
  if (sysroot) {
    args[k++] = const_cast<char *>("-L");
    args[k++] = const_cast<char *>(sysroot);
  }
  args[k++] = const_cast<char *>("-plugin");
  args[k++] = plugin_arg;
  for (int i = 0; i < argc; i++) args[k++] = argv[i];
  return args;
}
