// The host probe: every mode of the program as the build runs it, the gzip
// search over a table, the error paths through chosen probe answers, and
// the definitions the build hands to the compiler.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <string>
#include <vector>

#include "isolate.h"

// The probe is one file: its functions, without its main
// (HOSTCHECK_NO_MAIN, defined by the build), are compiled in here.
#include "hostcheck.cpp"

namespace {

struct ProbeRun {
  int status;
  std::string out;
  std::string err;
};

// Runs the hostcheck program with the given arguments.
ProbeRun run_program(const std::vector<std::string> &args) {
  ChildOutcome o = run_isolated([&] {
    std::vector<char *> argv;
    std::string program = HOSTCHECK_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  });
  return {o.status, o.out, o.err};
}

// Runs run_hostcheck in a child with chosen answers and gzip table.
ProbeRun run_with(const std::vector<std::string> &args, host_answers answers,
             const char *const *paths) {
  ChildOutcome o = run_isolated([&] {
    std::vector<std::string> copy = args;
    std::vector<char *> argv;
    std::string name = "hostcheck";
    argv.push_back(name.data());
    for (auto &a : copy) argv.push_back(a.data());
    int status = run_hostcheck(static_cast<int>(argv.size()), argv.data(),
                               answers, paths);
    fflush(stdout);
    fflush(stderr);
    _exit(status);
  });
  return {o.status, o.out, o.err};
}

// The orders and shifts of this host, as the flags line must state them.
std::string host_definitions() {
  bool little = std::endian::native == std::endian::little;
  // IEEE doubles keep the words in the byte order on every mainstream host.
  std::string line = little ? "-DBYTES_LITTLE_ENDIAN -DWORDS_LITTLE_ENDIAN "
                            : "-DBYTES_BIG_ENDIAN -DWORDS_BIG_ENDIAN ";
  line += "-DFAST_SRL ";
  if ((-7 >> 1) == -4) line += "-DFAST_SRA ";
  return line;
}

// Whether the program at path compresses and decompresses like gzip.
bool gzip_works(const std::string &path) {
  std::string cmd = "printf vantle | '" + path + "' -c | '" + path + "' -dc";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return false;
  char buf[16] = {0};
  size_t n = fread(buf, 1, sizeof buf - 1, p);
  return pclose(p) == 0 && std::string(buf, n) == "vantle";
}

// Whether gzip is where every Debian-like host keeps it.
bool host_has_gzip() {
  return access("/bin/gzip", X_OK) == 0 || access("/usr/bin/gzip", X_OK) == 0;
}

TEST(HostcheckProgram, FlagsLineDescribesThisHost) {
  for (const auto &args : {std::vector<std::string>{},
                           std::vector<std::string>{"-flags"}}) {
    ProbeRun r = run_program(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string want = host_definitions();
    ASSERT_EQ(r.out.substr(0, want.size()), want);
    // Then the gzip found, if any: one that works.
    std::string rest = r.out.substr(want.size());
    const std::string prefix = "-DGZIP_PATH=\"", suffix = "\" ";
    if (!host_has_gzip() && rest.empty()) continue;
    ASSERT_GT(rest.size(), prefix.size() + suffix.size()) << r.out;
    ASSERT_EQ(rest.substr(0, prefix.size()), prefix);
    ASSERT_EQ(rest.substr(rest.size() - suffix.size()), suffix);
    std::string gzip = rest.substr(prefix.size(),
                                   rest.size() - prefix.size() - suffix.size());
    EXPECT_TRUE(gzip_works(gzip)) << gzip;
  }
}

TEST(HostcheckProgram, SingleQuestions) {
  ProbeRun s = run_program({"-s"});
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.out, std::endian::native == std::endian::little ? "little\n"
                                                              : "big\n");
  ProbeRun libs = run_program({"-libs"});
  EXPECT_EQ(libs.status, 0);
  EXPECT_EQ(libs.out, " \n");
  ProbeRun t = run_program({"-t"});
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.out, "sizeof(int) = " + std::to_string(sizeof(int)) +
                       "\nsizeof(long) = " + std::to_string(sizeof(long)) +
                       "\n");
  for (const ProbeRun &r : {s, libs, t}) EXPECT_EQ(r.err, "");
}

TEST(HostcheckProgram, OtherInvocationsPrintNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"-x"}, {"flags"}, {"-S"}, {""}, {"-s", "-t"}, {"-flags", "-flags"},
      {"-libs", "x", "y"}};
  for (const auto &args : cases) {
    ProbeRun r = run_program(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
}

// A scratch directory with executable and non-executable "gzip" files.
struct Scratch {
  std::string dir;
  Scratch() {
    char tmpl[] = "/tmp/hostcheck-test-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  std::string file(const std::string &name, mode_t mode) {
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "w");
    fputs("#!/bin/sh\n", f);
    fclose(f);
    chmod(path.c_str(), mode);
    return path;
  }
  ~Scratch() {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0)
      fprintf(stderr, "cannot remove %s\n", dir.c_str());
  }
};

TEST(HostcheckSearch, FirstExecutablePathWins) {
  Scratch s;
  std::string missing = s.dir + "/none/gzip";
  std::string plain = s.file("plain", 0644);
  std::string first = s.file("first", 0755);
  std::string second = s.file("second", 0755);
  const char *table[] = {missing.c_str(), plain.c_str(), first.c_str(),
                         second.c_str(), nullptr};
  EXPECT_STREQ(find_gzip(table), first.c_str());
  EXPECT_STREQ(find_gzip(table + 3), second.c_str());
  const char *none[] = {missing.c_str(), nullptr};
  const char *empty[] = {nullptr};
  EXPECT_EQ(find_gzip(none), nullptr);
  EXPECT_EQ(find_gzip(empty), nullptr);

  // The flags line names the first hit, and ends after the shifts without.
  host_answers little{1, 1, 1, 1};
  ProbeRun with = run_with({}, little, table);
  EXPECT_EQ(with.status, 0);
  EXPECT_EQ(with.out, "-DBYTES_LITTLE_ENDIAN -DWORDS_LITTLE_ENDIAN "
                      "-DFAST_SRL -DFAST_SRA -DGZIP_PATH=\"" + first + "\" ");
  ProbeRun without = run_with({"-flags"}, little, none);
  EXPECT_EQ(without.status, 0);
  EXPECT_EQ(without.out, "-DBYTES_LITTLE_ENDIAN -DWORDS_LITTLE_ENDIAN "
                         "-DFAST_SRL -DFAST_SRA ");
}

TEST(HostcheckAnswers, OtherHostsAndErrors) {
  const char *none[] = {nullptr};
  ProbeRun big = run_with({}, {0, 0, 1, 0}, none);
  EXPECT_EQ(big.status, 0);
  EXPECT_EQ(big.out, "-DBYTES_BIG_ENDIAN -DWORDS_BIG_ENDIAN -DFAST_SRL ");
  EXPECT_EQ(run_with({"-s"}, {0, 0, 1, 0}, none).out, "big\n");

  ProbeRun no_bytes = run_with({}, {2, 1, 1, 1}, none);
  EXPECT_EQ(no_bytes.status, 1);
  EXPECT_EQ(no_bytes.out, "");
  EXPECT_EQ(no_bytes.err, "\nerror: cannot determine byte order!\n");
  ProbeRun s_no_bytes = run_with({"-s"}, {2, 1, 1, 1}, none);
  EXPECT_EQ(s_no_bytes.status, 1);
  EXPECT_EQ(s_no_bytes.out, "");
  EXPECT_EQ(s_no_bytes.err, "\nerror: cannot determine byte order!\n");

  ProbeRun no_words = run_with({}, {1, 2, 1, 1}, none);
  EXPECT_EQ(no_words.status, 1);
  EXPECT_EQ(no_words.out, "-DBYTES_LITTLE_ENDIAN ");
  EXPECT_EQ(no_words.err, "\nerror: cannot determine word order!\n");

  // Mixed orders: the whole line first, then the refusal.
  for (host_answers mixed : {host_answers{1, 0, 1, 1},
                             host_answers{0, 1, 1, 1}}) {
    ProbeRun r = run_with({}, mixed, none);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, mixed.byte_order
                         ? "-DBYTES_LITTLE_ENDIAN -DWORDS_BIG_ENDIAN "
                           "-DFAST_SRL -DFAST_SRA "
                         : "-DBYTES_BIG_ENDIAN -DWORDS_LITTLE_ENDIAN "
                           "-DFAST_SRL -DFAST_SRA ");
    EXPECT_EQ(r.err,
              "\nerror: opposite byte/word endian currently not supported!\n");
  }
  // Only the flags mode looks at the orders this way.
  ProbeRun t = run_with({"-t"}, {1, 0, 1, 1}, none);
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.err, "");
}

// The build pasted the probe's answers into this file's compile flags.
TEST(HostcheckBuild, DefinitionsReachTheCompiler) {
#if defined(BYTES_LITTLE_ENDIAN)
  EXPECT_EQ(std::endian::native, std::endian::little);
#elif defined(BYTES_BIG_ENDIAN)
  EXPECT_EQ(std::endian::native, std::endian::big);
#else
  ADD_FAILURE() << "no byte-order definition from hostcheck";
#endif
#if defined(WORDS_LITTLE_ENDIAN) == defined(BYTES_LITTLE_ENDIAN)
  SUCCEED();
#else
  ADD_FAILURE() << "word and byte order definitions disagree";
#endif
#ifndef FAST_SRL
  ADD_FAILURE() << "FAST_SRL missing";
#endif
#ifdef GZIP_PATH
  EXPECT_TRUE(gzip_works(GZIP_PATH)) << GZIP_PATH;
#else
  EXPECT_FALSE(host_has_gzip()) << "gzip is here, but the build did not say";
#endif
}

}  // namespace
