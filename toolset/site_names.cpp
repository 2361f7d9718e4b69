// Names of code addresses (site_names.h): reads each module's ELF file
// once, through bounds-checked reads of the parts it needs (the file may be
// truncated, garbage or hostile), into its loadable segments and a sorted
// array of function symbols; names each address by binary search, and asks
// addr2line for the source lines of a module's addresses all at once.
// Owns nothing past a call.
#include "toolset/site_names.h"

#include <cxxabi.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <unordered_set>

#include "misc.h"

namespace {

// ---- A module's file, read where it is asked and nowhere else ------------

struct elf_file {
  int fd;
  uint64_t size;
};

// Reads [offset, offset + length) of the file into bytes; false when the
// range lies outside the file, is unreasonably large, or cannot be read.
bool read_range(const elf_file &f, uint64_t offset, uint64_t length,
                std::vector<unsigned char> *bytes) {
  const uint64_t kMost = uint64_t{1} << 30;
  if (offset > f.size || length > f.size - offset || length > kMost)
    return false;
  bytes->resize(length);
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(f.fd, bytes->data() + done, length - done,
                      static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Record i of a table read from the file, when it lies inside the bytes.
template <class T>
bool record(const std::vector<unsigned char> &bytes, uint64_t entry_size,
            uint64_t i, T *out) {
  if (entry_size < sizeof(T) || i > bytes.size() / entry_size ||
      i * entry_size + sizeof(T) > bytes.size())
    return false;
  memcpy(out, bytes.data() + i * entry_size, sizeof(T));
  return true;
}

// ---- What a module's file says ------------------------------------------

struct segment {
  uint64_t offset, size, vaddr;  // file bytes [offset, offset + size)
};

struct symbol {
  uint64_t value, size;
  int rank;  // global, weak, local: the first of one value names it
  std::string name;
};

struct module_image {
  std::string path;
  std::vector<segment> segments;
  std::vector<symbol> symbols;            // by value, one per value
  std::unordered_set<std::string> names;  // of every symbol of the table
};

int binding_rank(unsigned char info) {
  switch (ELF64_ST_BIND(info)) {
    case STB_GLOBAL:
      return 0;
    case STB_WEAK:
      return 1;
    default:
      return 2;
  }
}

// The functions of symbol table section table (its strings in section
// link), appended to image.
template <class Shdr, class Sym>
void read_symbols(const elf_file &f, const Shdr &table, const Shdr &strings,
                  module_image *image) {
  std::vector<unsigned char> syms, names;
  if (!read_range(f, table.sh_offset, table.sh_size, &syms) ||
      !read_range(f, strings.sh_offset, strings.sh_size, &names))
    return;
  uint64_t entry = table.sh_entsize ? table.sh_entsize : sizeof(Sym);
  Sym s;
  for (uint64_t i = 1; record(syms, entry, i, &s); i++) {
    if (s.st_name >= names.size()) continue;
    const char *name = reinterpret_cast<const char *>(names.data()) + s.st_name;
    size_t room = names.size() - s.st_name;
    size_t length = strnlen(name, room);
    if (length == 0 || length == room) continue;  // empty, or no end
    image->names.emplace(name, length);
    int type = ELF64_ST_TYPE(s.st_info);
    if ((type == STT_FUNC || type == STT_GNU_IFUNC) &&
        s.st_shndx != SHN_UNDEF && s.st_value != 0)
      image->symbols.push_back({s.st_value, s.st_size, binding_rank(s.st_info),
                                std::string(name, length)});
  }
}

// The section headers, then .symtab (else .dynsym) and its strings.
template <class Ehdr, class Shdr, class Sym>
void read_sections(const elf_file &f, const Ehdr &h, module_image *image) {
  uint64_t count = h.e_shnum;
  std::vector<unsigned char> first;
  Shdr zero;
  if (count == 0 && h.e_shoff &&  // more sections than e_shnum holds
      read_range(f, h.e_shoff, sizeof(Shdr), &first) &&
      record(first, sizeof(Shdr), 0, &zero))
    count = zero.sh_size;
  std::vector<unsigned char> table;
  if (h.e_shentsize < sizeof(Shdr) || count == 0 ||
      count > f.size / h.e_shentsize ||
      !read_range(f, h.e_shoff, count * h.e_shentsize, &table))
    return;
  for (uint32_t wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
    Shdr s, strings;
    for (uint64_t i = 0; record(table, h.e_shentsize, i, &s); i++)
      if (s.sh_type == wanted &&
          record(table, h.e_shentsize, s.sh_link, &strings))
        read_symbols<Shdr, Sym>(f, s, strings, image);
    if (!image->symbols.empty()) return;
  }
}

template <class Ehdr, class Phdr, class Shdr, class Sym>
void read_elf(const elf_file &f, module_image *image) {
  std::vector<unsigned char> bytes;
  Ehdr h;
  if (!read_range(f, 0, sizeof h, &bytes) || !record(bytes, sizeof h, 0, &h))
    return;
  if (h.e_phentsize >= sizeof(Phdr) &&
      read_range(f, h.e_phoff, uint64_t{h.e_phnum} * h.e_phentsize, &bytes)) {
    Phdr p;
    for (uint64_t i = 0; record(bytes, h.e_phentsize, i, &p); i++)
      if (p.p_type == PT_LOAD)
        image->segments.push_back({p.p_offset, p.p_filesz, p.p_vaddr});
  }
  read_sections<Ehdr, Shdr, Sym>(f, h, image);
  std::sort(image->symbols.begin(), image->symbols.end(),
            [](const symbol &a, const symbol &b) {
              if (a.value != b.value) return a.value < b.value;
              if (a.rank != b.rank) return a.rank < b.rank;
              return a.name < b.name;
            });
  auto same = [](const symbol &a, const symbol &b) {
    return a.value == b.value;
  };
  image->symbols.erase(
      std::unique(image->symbols.begin(), image->symbols.end(), same),
      image->symbols.end());
}

// The image of the file at path: empty when it is not an ELF file of this
// host's byte order.
module_image read_module(const std::string &path) {
  module_image image;
  image.path = path;
  elf_file f{open(path.c_str(), O_RDONLY | O_CLOEXEC), 0};
  if (f.fd < 0) return image;
  struct stat st;
  unsigned char ident[EI_NIDENT];
  if (fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) &&
      pread(f.fd, ident, sizeof ident, 0) == EI_NIDENT &&
      memcmp(ident, ELFMAG, SELFMAG) == 0 &&
      ident[EI_DATA] == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
                             ? ELFDATA2LSB
                             : ELFDATA2MSB)) {
    f.size = static_cast<uint64_t>(st.st_size);
    if (ident[EI_CLASS] == ELFCLASS64)
      read_elf<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym>(f, &image);
    else if (ident[EI_CLASS] == ELFCLASS32)
      read_elf<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym>(f, &image);
  }
  close(f.fd);
  return image;
}

// ---- Naming ---------------------------------------------------------------

// Where an address lies in its module's file.
struct placed {
  int module = -1;      // index into the images; -1 outside every module
  uint64_t offset = 0;  // in the file's virtual addresses when known
  bool virtual_address = false;  // a loadable segment holds it
};

// The mappings, by start, each with its image's index.
struct mapping {
  uint64_t start, end, offset;
  int module;
};

placed place(uint64_t address, const std::vector<mapping> &maps,
             const std::vector<module_image> &images) {
  placed p;
  auto after = std::upper_bound(
      maps.begin(), maps.end(), address,
      [](uint64_t a, const mapping &m) { return a < m.start; });
  if (after == maps.begin() || address >= (after - 1)->end) return p;
  const mapping &m = *(after - 1);
  p.module = m.module;
  p.offset = address - m.start + m.offset;
  for (const segment &s : images[m.module].segments)
    if (p.offset >= s.offset && p.offset - s.offset < s.size) {
      p.offset = p.offset - s.offset + s.vaddr;
      p.virtual_address = true;
      break;
    }
  return p;
}

std::string demangled(const std::string &name) {
  int status = 0;
  char *text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string result = status == 0 && text ? text : name;
  free(text);
  return result;
}

// The symbol covering vaddr, or null.
const symbol *covering(const module_image &image, uint64_t vaddr) {
  const std::vector<symbol> &s = image.symbols;
  auto after =
      std::upper_bound(s.begin(), s.end(), vaddr,
                       [](uint64_t a, const symbol &b) { return a < b.value; });
  if (after == s.begin()) return nullptr;
  const symbol &c = *(after - 1);
  bool inside = c.size ? vaddr - c.value < c.size : vaddr == c.value;
  return inside ? &c : nullptr;
}

std::string hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// ---- Source lines through addr2line ---------------------------------------

// addr2line's path, looked up once per call of name_sites; empty (and
// said once per process) when there is none.
std::string find_addr2line() {
  static bool said;
  char *found = find_on_path(getenv("PATH"), "addr2line");
  std::string path = found ? found : "";
  free(found);
  if (path.empty() && !said) {
    said = true;
    fprintf(stderr,
            "sim: no addr2line on PATH: sites are named without "
            "source lines (Debian: apt-get install binutils)\n");
  }
  return path;
}

// Runs addr2line on the module's file with the addresses (one per line on
// its standard input, from an unlinked temporary file, so that neither
// side waits on a full pipe) and returns its output; empty on any failure.
std::string run_addr2line(const std::string &tool, const std::string &file,
                          const std::vector<uint64_t> &vaddrs) {
  char name[] = "/tmp/vantle-lines-XXXXXX";
  int input = mkstemp(name);
  if (input < 0) return "";
  unlink(name);
  std::string text;
  for (uint64_t v : vaddrs) text += hex(v) + "\n";
  int fds[2] = {-1, -1};
  bool ready = write(input, text.data(), text.size()) ==
                   static_cast<ssize_t>(text.size()) &&
               lseek(input, 0, SEEK_SET) == 0 && pipe(fds) == 0;
  pid_t pid = ready ? fork() : -1;
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(input, 0);
    dup2(fds[1], 1);
    if (null >= 0) dup2(null, 2);
    execl(tool.c_str(), "addr2line", "-a", "-i", "-f", "-e", file.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(input);
  if (fds[1] >= 0) close(fds[1]);
  std::string out;
  char buffer[65536];
  ssize_t n;
  while (pid > 0 && (n = read(fds[0], buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  if (fds[0] >= 0) close(fds[0]);
  int status;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return out;
}

// "file:line" or "file:line (discriminator n)" into name; "??" and "?"
// leave it unknown.
void parse_location(const std::string &text, site_name *name) {
  std::string where = text.substr(0, text.find(" (discriminator"));
  size_t colon = where.rfind(':');
  if (colon == std::string::npos) return;
  std::string file = where.substr(0, colon);
  unsigned long line = strtoul(where.c_str() + colon + 1, nullptr, 10);
  if (file.empty() || file == "??" || line == 0 || line > 0xffffffffu) return;
  name->file = file;
  name->line = static_cast<unsigned>(line);
}

// Whether a line of addr2line's output is an address, which -a writes
// before each address's answer.
bool address_line(const std::string &line) {
  return line.size() > 2 && line.compare(0, 2, "0x") == 0 &&
         line.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
}

// The source lines of the named addresses of one module. For each address
// addr2line writes the address, then a function line and a location line
// for each inlined call around it (-i), innermost first: the last pair is
// the function that holds the address and its line there, the one a reader
// looks for. Code that no symbol named (unnamed[k]) takes the function's
// name from the debug information, where it has one; a name of the symbol
// table is addr2line's guess from the nearest symbol before the address,
// which the table has already found not to cover it, and is not taken.
void add_lines(const std::string &tool, const module_image &image,
               const std::vector<size_t> &which,
               const std::vector<uint64_t> &vaddrs,
               const std::vector<bool> &unnamed,
               std::vector<site_name> *names) {
  std::string out = run_addr2line(tool, image.path, vaddrs);
  size_t block = 0, in_block = 0;
  std::string function, location;
  auto close = [&]() {
    if (block > 0 && block <= which.size()) {
      site_name &n = (*names)[which[block - 1]];
      if (!location.empty()) parse_location(location, &n);
      if (unnamed[block - 1] && !function.empty() && function != "??" &&
          !image.names.count(function))
        n.function = demangled(function);
    }
    function.clear();
    location.clear();
  };
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos;
       at = end + 1) {
    std::string line = out.substr(at, end - at);
    if (address_line(line)) {
      close();
      block++;
      in_block = 0;
    } else {
      (++in_block % 2 ? function : location) = line;
    }
  }
  close();
}

}  // namespace

std::vector<site_name> name_sites(const uint64_t *addresses, size_t count,
                                  const std::vector<code_module> &modules,
                                  bool lines) {
  std::vector<module_image> images;
  std::map<std::string, int> by_path;
  std::vector<mapping> maps;
  for (const code_module &m : modules) {
    if (m.end <= m.start) continue;
    auto [it, added] = by_path.emplace(m.path, static_cast<int>(images.size()));
    if (added) images.push_back(read_module(m.path));
    maps.push_back({m.start, m.end, m.offset, it->second});
  }
  std::sort(maps.begin(), maps.end(), [](const mapping &a, const mapping &b) {
    return a.start < b.start;
  });
  std::vector<site_name> names(count);
  std::vector<std::vector<size_t>> wanted(images.size());
  std::vector<std::vector<uint64_t>> vaddrs(images.size());
  std::vector<std::vector<bool>> unnamed(images.size());
  for (size_t i = 0; i < count; i++) {
    placed p = place(addresses[i], maps, images);
    site_name &n = names[i];
    if (p.module < 0) {
      n.function = hex(addresses[i]);
      continue;
    }
    const module_image &image = images[p.module];
    n.module = image.path;
    const symbol *s = p.virtual_address ? covering(image, p.offset) : nullptr;
    n.function =
        s ? demangled(s->name)
          : std::string(base_name(image.path.c_str())) + "+" + hex(p.offset);
    if (lines && p.virtual_address) {
      wanted[p.module].push_back(i);
      vaddrs[p.module].push_back(p.offset);
      unnamed[p.module].push_back(s == nullptr);
    }
  }
  std::string tool;
  for (size_t m = 0; m < images.size(); m++) {
    if (wanted[m].empty()) continue;
    if (tool.empty()) tool = find_addr2line();
    if (tool.empty()) break;
    add_lines(tool, images[m], wanted[m], vaddrs[m], unnamed[m], &names);
  }
  return names;
}

std::vector<code_module> modules_from_maps(const char *text) {
  std::vector<code_module> modules;
  for (const char *line = text; line && *line;) {
    const char *end = strchr(line, '\n');
    std::string row(line, end ? end - line : strlen(line));
    line = end ? end + 1 : nullptr;
    unsigned long long start, stop, offset;
    int path_at = -1;
    if (sscanf(row.c_str(), "%llx-%llx %*s %llx %*s %*s %n", &start, &stop,
               &offset, &path_at) != 3 ||
        path_at < 0 || row[path_at] != '/' || stop <= start)
      continue;
    std::string path = row.substr(path_at);
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) ==
            0)
      path.resize(path.size() - deleted.size());
    modules.push_back({path, start, stop, offset});
  }
  return modules;
}

int read_maps_file(const char *path, std::vector<code_module> *modules) {
  FILE *f = fopen(path, "re");
  if (!f) return -1;
  std::string text;
  char buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  bool failed = ferror(f);
  fclose(f);
  if (failed) {
    errno = EIO;
    return -1;
  }
  *modules = modules_from_maps(text.c_str());
  return 0;
}
