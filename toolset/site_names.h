// Names of the code behind instruction addresses: the function that holds
// each one, read from its module's ELF symbol table (.symtab, else
// .dynsym) and demangled; "module+0x<offset>" where no symbol covers it
// (the offset is the address as the module's file places it, as nm and
// addr2line show it); the raw "0x<address>" outside every module. With
// lines wanted, the source file and line from the module's debug
// information (addr2line, one process per module), and there the name of
// code that no symbol covers, where it has one. A module's file is
// read once, whatever the number of addresses; a file that is gone, is
// not ELF or lies about its offsets gives "module+0x<offset>" and nothing
// worse.
#ifndef VANTLE_TOOLSET_SITE_NAMES_H_
#define VANTLE_TOOLSET_SITE_NAMES_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// One file mapping of the traced program: the file at path, its bytes from
// offset on mapped at [start, end).
struct code_module {
  std::string path;
  uint64_t start;
  uint64_t end;     // one past the mapping's last byte
  uint64_t offset;  // the file offset mapped at start
};

// What names one address.
struct site_name {
  std::string function;  // "main", "ns::f(int)", "libm.so.6+0x1a2c",
                         // "0x7f0012345678"
  std::string module;    // the module's path; empty outside every module
  std::string file;      // source file; empty when not known
  unsigned line = 0;     // source line; 0 when not known
};

// Names addresses[0 .. count-1] (result i names address i) against the
// modules (several mappings of one path are one module, read once); with
// lines, finds source file and line too where the module has debug
// information. Never fails: what cannot be read is named by address.
std::vector<site_name> name_sites(const uint64_t *addresses, size_t count,
                                  const std::vector<code_module> &modules,
                                  bool lines);

// The file-backed mappings of a /proc/<pid>/maps text ("start-end perms
// offset dev inode path" lines), in its order, whatever their permissions
// (QEMU maps a guest's code without execute). Lines without a path that
// starts with '/' (anonymous, [heap], [stack], ...) and lines that do not
// parse are left out; a " (deleted)" after the path is dropped.
std::vector<code_module> modules_from_maps(const char *text);

// modules_from_maps of the file at path (e.g. "/proc/1234/maps"). Returns
// 0, or -1 with errno set when the file cannot be read.
int read_maps_file(const char *path, std::vector<code_module> *modules);

#endif  // VANTLE_TOOLSET_SITE_NAMES_H_
