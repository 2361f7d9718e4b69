// Names of code addresses, on a small program built PIE and non-PIE with
// debug information: its own printed addresses and /proc/self/maps, the
// names nm -C gives its functions, its source text for the lines; code no
// symbol covers, code in no module; files that are gone, truncated or
// corrupted; the maps text of a process.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "misc.h"
#include "rng.h"
#include "sim_run.h"
#include "toolset/site_names.h"

namespace {

// A run of the program: the addresses it printed, by name, and its maps.
struct program_run {
  std::vector<std::pair<std::string, uint64_t>> functions;
  std::vector<code_module> modules;
};

program_run run_named(const char *program) {
  program_run r;
  std::string out = command_output(program);
  size_t maps = 0;
  for (const std::string &line : lines_of(out)) {
    char name[64];
    unsigned long long address;
    if (line.compare(0, 2, "0x") == 0 &&
        sscanf(line.c_str(), "%llx %63s", &address, name) == 2) {
      r.functions.push_back({name, address});
      maps += line.size() + 1;
    }
  }
  r.modules = modules_from_maps(out.c_str() + maps);
  return r;
}

// nm -C's name of the function whose symbol name contains part.
std::string nm_name(const char *program, const char *part) {
  for (const std::string &line :
       lines_of(command_output(std::string("nm -C ") + program))) {
    size_t name = line.find(" T ");
    if (name != std::string::npos && line.find(part) != std::string::npos)
      return line.substr(name + 3);
  }
  return "";
}

// The source lines from "<needle>" to the function's closing brace.
std::pair<unsigned, unsigned> source_span(const char *needle) {
  std::vector<std::string> lines = lines_of(read_file(NAMED_SOURCE));
  unsigned first = 0;
  for (unsigned i = 0; i < lines.size(); i++) {
    if (!first && lines[i].find(needle) != std::string::npos) first = i + 1;
    if (first && lines[i] == "}") return {first, i + 1};
  }
  return {0, 0};
}

class SiteNamesTest : public ::testing::TestWithParam<const char *> {};

// Each function by its own address and by an address inside it, demangled
// as nm -C has it; the ELF header, which no symbol covers, as
// module+offset; an address no module maps as itself; with lines, the
// source file and a line inside the function.
TEST_P(SiteNamesTest, NamesTheProgramsFunctionsAndLines) {
  const char *program = GetParam();
  program_run run = run_named(program);
  ASSERT_EQ(run.functions.size(), 3u);
  const code_module *image = nullptr;
  for (const code_module &m : run.modules)
    if (m.offset == 0 && !image &&
        std::string(base_name(m.path.c_str())) == base_name(program))
      image = &m;
  ASSERT_NE(image, nullptr);
  std::vector<uint64_t> addresses;
  for (auto &f : run.functions) {
    addresses.push_back(f.second);
    addresses.push_back(f.second + 3);
  }
  addresses.push_back(image->start);
  addresses.push_back(0x10);
  std::vector<site_name> names =
      name_sites(addresses.data(), addresses.size(), run.modules, true);
  ASSERT_EQ(names.size(), addresses.size());
  const char *expected[] = {"stream_sum", "small_reuse", "kern::walk("};
  const char *defined[] = {"stream_sum(const", "small_reuse(long",
                           "long walk("};
  for (size_t i = 0; i < 3; i++) {
    std::string want = nm_name(program, expected[i]);
    ASSERT_FALSE(want.empty()) << expected[i];
    auto [first, last] = source_span(defined[i]);
    for (size_t k = 2 * i; k < 2 * i + 2; k++) {
      SCOPED_TRACE(expected[i] + std::to_string(k));
      EXPECT_EQ(names[k].function, want);
      EXPECT_EQ(names[k].module, image->path);
      EXPECT_STREQ(base_name(names[k].file.c_str()), "named.cpp");
      EXPECT_GE(names[k].line, first);
      EXPECT_LE(names[k].line, last);
    }
  }
  // The first page of a non-PIE program lies at its own virtual address.
  char header[64];
  snprintf(header, sizeof header, "%s+0x%llx", base_name(program),
           static_cast<unsigned long long>(
               strstr(program, "nopie") ? image->start : 0));
  EXPECT_EQ(names[6].function, header);
  EXPECT_EQ(names[7].function, "0x10");
  EXPECT_EQ(names[7].module, "");
  // Without lines wanted, none is looked for.
  std::vector<site_name> plain =
      name_sites(addresses.data(), 1, run.modules, false);
  EXPECT_EQ(plain[0].function, names[0].function);
  EXPECT_EQ(plain[0].line, 0u);
}

INSTANTIATE_TEST_SUITE_P(PieAndNot, SiteNamesTest,
                         ::testing::Values(NAMED_PIE_PATH, NAMED_NOPIE_PATH));

// Code that no symbol covers takes its name from the debug information
// (a copy of the program without any symbol table); a symbol table that
// lacks the function does not lend it its neighbour's name (addr2line's
// guess for a copy without the one symbol).
TEST(SiteNamesDebugInfo, CodeWithoutSymbolsNamedByDebugInformation) {
  program_run run = run_named(NAMED_PIE_PATH);
  ASSERT_EQ(run.functions.size(), 3u);
  char dir[] = "/tmp/vantle-names-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string bare = std::string(dir) + "/bare", partial = bare + "-partial";
  ASSERT_EQ(system(("objcopy --strip-all --keep-section='.debug_*' " +
                    std::string(NAMED_PIE_PATH) + " " + bare)
                       .c_str()),
            0);
  ASSERT_EQ(system(("objcopy --strip-symbol=stream_sum " +
                    std::string(NAMED_PIE_PATH) + " " + partial)
                       .c_str()),
            0);
  auto named = [&](const std::string &copy, bool lines) {
    std::vector<code_module> modules = run.modules;
    for (code_module &m : modules)
      if (m.path.find("named-pie") != std::string::npos) m.path = copy;
    uint64_t at[] = {run.functions[0].second, run.functions[2].second};
    return name_sites(at, 2, modules, lines);
  };
  std::vector<site_name> n = named(bare, true);
  EXPECT_EQ(n[0].function, "stream_sum");
  EXPECT_EQ(n[1].function, nm_name(NAMED_PIE_PATH, "kern::walk("));
  EXPECT_EQ(named(bare, false)[0].function.rfind("bare+0x", 0), 0u);
  n = named(partial, true);
  EXPECT_EQ(n[0].function.rfind("bare-partial+0x", 0), 0u) << n[0].function;
  auto [first, last] = source_span("stream_sum(const");
  EXPECT_GE(n[0].line, first);
  EXPECT_LE(n[0].line, last);
  for (const std::string &f : {bare, partial}) unlink(f.c_str());
  rmdir(dir);
}

// A file that is gone, cut short anywhere, or corrupted in its headers
// names by module+offset (or still by symbol), never crashes or reads
// outside the file; the offset of a file no segment places is the file's.
TEST(SiteNamesHostile, BrokenFilesNameByOffset) {
  std::string bytes = read_file(NAMED_PIE_PATH);
  ASSERT_GT(bytes.size(), 4096u);
  char dir[] = "/tmp/vantle-names-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string broken = std::string(dir) + "/libbroken.so";
  uint64_t address = 0x7000001010;
  std::vector<code_module> modules = {
      {broken, 0x7000000000, 0x7000100000, 0x2000}};
  EXPECT_EQ(name_sites(&address, 1, modules, true)[0].function,
            "libbroken.so+0x3010");  // gone
  Rng rng(16);
  for (int trial = 0; trial < 300; trial++) {
    std::string copy = bytes;
    if (trial < 60) {
      copy.resize(rng.below(bytes.size()));
    } else {
      // Scramble header fields: offsets, counts and sizes of the ELF,
      // program and section headers, and bytes of the section table.
      uint64_t shoff;
      memcpy(&shoff, copy.data() + 0x28, 8);
      for (int k = 0; k < 1 + trial % 4; k++) {
        size_t at = rng.chance(0.5) ? 0x18 + rng.below(0x28)
                                    : shoff + rng.below(copy.size() - shoff);
        if (at < copy.size()) copy[at] = static_cast<char>(rng.next());
      }
    }
    write_file(broken, copy);
    std::vector<site_name> n = name_sites(&address, 1, modules, trial % 8 == 0);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].module, broken);
    EXPECT_FALSE(n[0].function.empty());
  }
  write_file(broken, std::string("\x7f"
                                 "ELF\x02\x01\x01",
                                 7));
  EXPECT_EQ(name_sites(&address, 1, modules, true)[0].function,
            "libbroken.so+0x3010");
  unlink(broken.c_str());
  rmdir(dir);
}

// File-backed mappings only, whatever their permissions; paths with blanks
// whole; " (deleted)" dropped; lines that do not parse skipped.
TEST(SiteNamesMaps, FileBackedMappingsOfAMapsText) {
  const char text[] =
      "4000000000-4000001000 r--p 00000000 fe:00 12 /opt/my app/prog\n"
      "4000001000-4000002000 r--p 00001000 fe:00 12 /opt/my app/prog\n"
      "4000100000-4000200000 rw-p 00000000 00:00 0 \n"
      "5000000000-5000021000 rw-p 00000000 00:00 0          [heap]\n"
      "garbage line\n"
      "7f0000000000-7f0000010000 r-xp 00028000 fe:00 99 /lib/libc.so.6 "
      "(deleted)\n"
      "7fff00000000-7fff00021000 rw-p 00000000 00:00 0 [stack]";
  std::vector<code_module> m = modules_from_maps(text);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[1].path, "/opt/my app/prog");
  EXPECT_EQ(m[1].start, 0x4000001000u);
  EXPECT_EQ(m[1].end, 0x4000002000u);
  EXPECT_EQ(m[1].offset, 0x1000u);
  EXPECT_EQ(m[2].path, "/lib/libc.so.6");
  EXPECT_EQ(m[2].offset, 0x28000u);
  std::vector<code_module> own;
  ASSERT_EQ(read_maps_file("/proc/self/maps", &own), 0);
  EXPECT_FALSE(own.empty());
  EXPECT_EQ(read_maps_file("/proc/self/no-such", &own), -1);
}

}  // namespace
