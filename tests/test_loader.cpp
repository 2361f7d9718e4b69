// Record decoders, format recognition, reading trace files through the
// loader (plain, compressed, broken, random bytes), the folding map, the
// loader's waits before any input came and the valgrind options it
// refuses.
#include "loader.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "isolate.h"
#include "machine.h"
#include "sim_run.h"
#include "transport/fold_map.h"

namespace {

struct Decoded {
  int result;
  uint64_t addr;
  int kind;
};

Decoded decode(int format, const std::string &line) {
  md_init_decoder();
  md_ref ref{0, -1};
  int result = md_decode_line(format, line.data(), line.size(), &ref);
  return {result, ref.addr, ref.kind};
}

void expect_ref(int format, const std::string &line, uint64_t addr, int kind) {
  Decoded d = decode(format, line);
  EXPECT_EQ(d.result, MD_LINE_REF) << line;
  EXPECT_EQ(d.addr, addr) << line;
  EXPECT_EQ(d.kind, kind) << line;
}

void expect_result(int format, const std::string &line, int result) {
  EXPECT_EQ(decode(format, line).result, result) << "`" << line << "'";
}

TEST(Decoders, Din) {
  expect_ref(MD_FMT_DIN, "0 1f00", 0x1f00, MD_REF_LOAD);
  expect_ref(MD_FMT_DIN, "1 0x7FFF0000", 0x7fff0000, MD_REF_STORE);
  expect_ref(MD_FMT_DIN, "  2\t400100 extra fields\r", 0x400100, MD_REF_INST);
  expect_ref(MD_FMT_DIN, "0 ffffffffffffffff", ~0ull, MD_REF_LOAD);
  for (const char *skipped : {"3 0", "4 10", "", "   \r"})
    expect_result(MD_FMT_DIN, skipped, MD_LINE_SKIP);
  for (const char *bad : {"5 10", "0", "0 ", "0 xyz", "01 10",
                          "0 10000000000000000",
                          "0 12g", "a 10", "0 0x", "-1 10"})
    expect_result(MD_FMT_DIN, bad, MD_LINE_BAD);
}

TEST(Decoders, Lackey) {
  expect_ref(MD_FMT_LACKEY, "I  04001100,3", 0x4001100, MD_REF_INST);
  expect_ref(MD_FMT_LACKEY, " L 1ffefffd48,8", 0x1ffefffd48ull, MD_REF_LOAD);
  expect_ref(MD_FMT_LACKEY, " S 7fff00001000,4", 0x7fff00001000ull,
             MD_REF_STORE);
  expect_ref(MD_FMT_LACKEY, " M 0804a000,16  ", 0x804a000, MD_REF_MODIFY);
  for (const char *skipped : {"==1234== Lackey", "==1== ", ""})
    expect_result(MD_FMT_LACKEY, skipped, MD_LINE_SKIP);
  for (const char *bad : {" X 10,4", " L 10", " L 10,", " L 10,4x", "I 10 4",
                          "L10,4", "hello", " L ,4"})
    expect_result(MD_FMT_LACKEY, bad, MD_LINE_BAD);
}

TEST(Decoders, Hex) {
  expect_ref(MD_FMT_HEX, "deadbeef", 0xdeadbeef, MD_REF_NONE);
  expect_ref(MD_FMT_HEX, "  0X10 # a comment", 0x10, MD_REF_NONE);
  for (const char *skipped : {"# only a comment", "", " \t"})
    expect_result(MD_FMT_HEX, skipped, MD_LINE_SKIP);
  for (const char *bad : {"10 20", "0x", "zz", "10;", "12345678901234567"})
    expect_result(MD_FMT_HEX, bad, MD_LINE_BAD);
}

TEST(Decoders, GuessFormatByContent) {
  auto guess = [](const std::string &text) {
    return md_guess_format(reinterpret_cast<const unsigned char *>(text.data()),
                           text.size(), 1);
  };
  EXPECT_EQ(guess("==1== Lackey\nI  0400,3\n L 10,4\n"), MD_FMT_LACKEY);
  EXPECT_EQ(guess("\n2 400\n0 10\n"), MD_FMT_DIN);
  EXPECT_EQ(guess("# trace\n0x400\n10\n"), MD_FMT_HEX);
  EXPECT_EQ(guess(std::string("\x00\x10\x00\x00\x04\x10\x00\x00", 8)),
            MD_FMT_BIN32);
  EXPECT_EQ(guess("hello world\n"), MD_FMT_AUTO);
  EXPECT_EQ(guess(""), MD_FMT_AUTO);
  EXPECT_EQ(md_format_by_name("bin32"), MD_FMT_BIN32);
  EXPECT_EQ(md_format_by_name("csv"), -1);
}

// Text is recognised by the records that parse, whatever bytes lie in its
// comments; bin32 only when no text format fits and the bytes look like
// binary words; a bad early record, or only skipped lines, decide nothing.
TEST(Decoders, RecognitionGoesByTheRecordsThatParse) {
  auto guess = [](const std::string &text, int at_end = 1) {
    return md_guess_format(reinterpret_cast<const unsigned char *>(text.data()),
                           text.size(), at_end);
  };
  EXPECT_EQ(guess("# caf\xc3\xa9 \xe2\x98\x95\n0x400\n10\n"), MD_FMT_HEX);
  EXPECT_EQ(guess(std::string("# NUL \0\n10\n20\n", 14)), MD_FMT_HEX);
  EXPECT_EQ(guess("==1== \xff\xfe\n I 0400,3\n L 10,4\n"), MD_FMT_LACKEY);
  // 16 bytes, whole words, but text with a NUL inside a record.
  EXPECT_EQ(guess(std::string("0 10\n0 2\0\n0 300\n", 16)), MD_FMT_AUTO);
  EXPECT_EQ(guess("0 10\nxyz\n0 30\n"), MD_FMT_AUTO);
  EXPECT_EQ(guess("==1== Lackey\n==1== Command: x\n"), MD_FMT_AUTO);
  // A last line without its newline is a record only at the end.
  EXPECT_EQ(guess("10"), MD_FMT_HEX);
  EXPECT_EQ(guess("10", 0), MD_FMT_AUTO);
  EXPECT_EQ(guess("10\n2", 0), MD_FMT_HEX);
}

// Random lines never crash a decoder and give one of its three answers.
TEST(Decoders, RandomLinesAreSkippedDecodedOrRefused) {
  srand(1);
  for (int i = 0; i < 20000; i++) {
    std::string line(static_cast<size_t>(rand() % 40), ' ');
    const char alphabet[] = "0123456789abcdefxX ,=#ILSM\t\r\x01\xff";
    for (char &c : line)
      c = i % 2 ? static_cast<char>(rand()) : alphabet[rand() % 31];
    for (int format : {MD_FMT_DIN, MD_FMT_LACKEY, MD_FMT_HEX}) {
      int r = decode(format, line).result;
      EXPECT_TRUE(r == MD_LINE_REF || r == MD_LINE_SKIP || r == MD_LINE_BAD);
    }
  }
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantle-loader-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  std::string write(const std::string &name, const std::string &bytes) {
    std::string path = dir_ + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
  }
  std::string dir_;
};

// Reads a whole input in a child; sends back addresses and kinds, and
// prints the final state and error.
ChildOutcome read_all(const std::string &path, int format = MD_FMT_AUTO) {
  return run_isolated([&] {
    char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
    ld_open(path.c_str(), 1, argv, format, nullptr);
    const md_addr_t *addrs;
    const unsigned char *kinds;
    size_t n;
    while ((n = ld_read(&addrs, &kinds, 7)) > 0)
      for (size_t i = 0; i < n; i++) {
        send_to_parent(&addrs[i], sizeof addrs[i]);
        unsigned char k = ld_has_kinds() ? kinds[i] : 0;
        send_to_parent(&k, 1);
      }
    printf("%s state %d: %s\n", md_format_name(ld_format()), ld_state(),
           ld_error());
    ld_finish(0);
  });
}

std::vector<std::pair<md_addr_t, int>> refs_of(const ChildOutcome &o) {
  std::vector<std::pair<md_addr_t, int>> refs;
  for (size_t at = 0; at + 5 <= o.data.size(); at += 5) {
    md_addr_t a;
    memcpy(&a, o.data.data() + at, 4);
    refs.push_back({a, static_cast<unsigned char>(o.data[at + 4])});
  }
  return refs;
}

TEST_F(LoaderTest, ReadsBin32PlainAndCompressed) {
  std::string bytes;
  std::vector<md_addr_t> want;
  for (uint32_t i = 0; i < 10000; i++) {
    md_addr_t a = i * 2654435761u;
    want.push_back(a);
    for (int b = 0; b < 4; b++)
      bytes.push_back(static_cast<char>(a >> (8 * b)));
  }
  std::string path = write("t.bin", bytes);
  std::string gz = "gzip -c '" + path + "' > '" + path + ".gz'";
  ASSERT_EQ(system(gz.c_str()), 0);
  for (std::string input : {path, path + ".gz"}) {
    ChildOutcome o = read_all(input);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "bin32 state 1: \n");
    auto refs = refs_of(o);
    ASSERT_EQ(refs.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(refs[i].first, want[i]);
  }
}

// Reads a bin32 input with read sizes taken in turn from caps (large ones
// go straight to the caller's array once the first buffer is drained, small
// ones through the buffer); sends back the addresses and prints the final
// state and error.
ChildOutcome read_bin32_in_turns(const std::string &path,
                                 const std::vector<size_t> &caps) {
  return run_isolated([&] {
    char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
    ld_open(path.c_str(), 1, argv, MD_FMT_BIN32, nullptr);
    const md_addr_t *addrs;
    const unsigned char *kinds;
    size_t n, turn = 0;
    while ((n = ld_read(&addrs, &kinds, caps[turn++ % caps.size()])) > 0)
      send_to_parent(addrs, n * sizeof(md_addr_t));
    printf("state %d: %s\n", ld_state(), ld_error());
    ld_finish(0);
  });
}

TEST_F(LoaderTest, LongBin32InputsReadInLargeAndSmallTurns) {
  const uint32_t words = 700000;  // 2.8 MB: well past the first buffer
  std::string bytes;
  std::vector<md_addr_t> want;
  for (uint32_t i = 0; i < words; i++) {
    md_addr_t a = i * 2246822519u + 7;
    want.push_back(a);
    for (int b = 0; b < 4; b++)
      bytes.push_back(static_cast<char>(a >> (8 * b)));
  }
  std::string whole = write("whole.bin", bytes);
  std::string gz = "gzip -c '" + whole + "' > '" + whole + ".gz'";
  ASSERT_EQ(system(gz.c_str()), 0);
  std::string odd = write("odd.bin", bytes + "xyz");
  const std::vector<std::vector<size_t>> turns = {
      {65536}, {65536, 7, 1500, 1, 1024, 1023, 40000}};
  for (const std::vector<size_t> &caps : turns) {
    for (const std::string &input : {whole, whole + ".gz", odd}) {
      SCOPED_TRACE(input + ", " + std::to_string(caps.size()) + " sizes");
      ChildOutcome o = read_bin32_in_turns(input, caps);
      ASSERT_EQ(o.status, 0) << o.err;
      ASSERT_EQ(o.data.size(), want.size() * sizeof(md_addr_t));
      EXPECT_EQ(memcmp(o.data.data(), want.data(), o.data.size()), 0);
      if (input == odd)
        EXPECT_EQ(o.out, "state 2: `" + odd +
                             "': 3 trailing bytes at the end (a bin32 trace "
                             "holds whole 32-bit words)\n");
      else
        EXPECT_EQ(o.out, "state 1: \n");
    }
  }
}

TEST_F(LoaderTest, Bin32FromAPipeInPiecesOfAnySize) {
  // Standard input fed in pieces of 1 to 5000 bytes, most not whole words:
  // a read straight to the caller's array can end inside a word.
  const uint32_t words = 400000;
  std::string bytes;
  std::vector<md_addr_t> want;
  for (uint32_t i = 0; i < words; i++) {
    md_addr_t a = ~i * 40503u;
    want.push_back(a);
    for (int b = 0; b < 4; b++)
      bytes.push_back(static_cast<char>(a >> (8 * b)));
  }
  ChildOutcome o = run_isolated([&] {
    int p[2];
    if (pipe(p) != 0) exit(5);
    pid_t writer = fork();
    if (writer == 0) {
      close(p[0]);
      size_t at = 0, piece = 1;
      while (at < bytes.size()) {
        size_t n = std::min(piece, bytes.size() - at);
        if (::write(p[1], bytes.data() + at, n) != static_cast<ssize_t>(n))
          _exit(6);
        at += n;
        piece = piece * 7 % 5003 + 1;
      }
      _exit(0);
    }
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
    char dash[] = "-";
    char *argv[] = {dash, nullptr};
    ld_open("-", 1, argv, MD_FMT_BIN32, nullptr);
    const md_addr_t *addrs;
    const unsigned char *kinds;
    size_t n;
    while ((n = ld_read(&addrs, &kinds, LD_MOST_RECORDS)) > 0)
      send_to_parent(addrs, n * sizeof(md_addr_t));
    printf("state %d: %s\n", ld_state(), ld_error());
    ld_finish(0);
    int status = 0;
    waitpid(writer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) exit(7);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "state 1: \n");
  ASSERT_EQ(o.data.size(), want.size() * sizeof(md_addr_t));
  EXPECT_EQ(memcmp(o.data.data(), want.data(), o.data.size()), 0);
}

TEST_F(LoaderTest, StopsAtTheFirstMalformedLine) {
  std::string path = write("t.din", "2 10\n0 20\n\n1 30\n0 4O\n0 50\n");
  ChildOutcome o = read_all(path);
  ASSERT_EQ(o.status, 0) << o.err;
  auto refs = refs_of(o);
  ASSERT_EQ(refs.size(), 3u);
  EXPECT_EQ(refs[2], std::make_pair(md_addr_t{0x30}, int{MD_REF_STORE}));
  EXPECT_EQ(o.out, "din state 2: `" + path +
                       "', line 5: malformed din record: `0 4O'\n");
}

TEST_F(LoaderTest, LastLineWithoutNewlineAndLongLines) {
  ChildOutcome o = read_all(write("t.hex", "10\n20"));
  EXPECT_EQ(refs_of(o).size(), 2u);
  EXPECT_EQ(o.out, "hex state 1: \n");
  std::string longline = "10\n" + std::string(1 << 21, '1') + "\n";
  o = read_all(write("long.hex", longline), MD_FMT_HEX);
  EXPECT_EQ(refs_of(o).size(), 1u);
  EXPECT_NE(o.out.find("line 2: malformed hex record: `1111"),
            std::string::npos);
  EXPECT_NE(o.out.find("...' (line too long)"), std::string::npos) << o.out;
}

// A line of exactly 1 MiB, its newline aside, is read; one byte more is
// too long.
TEST_F(LoaderTest, LineOfOneMebibyteIsTheLongestRead) {
  auto line_of = [](size_t bytes) {
    std::string line = "0 40 ";
    line.resize(bytes, 'x');
    return "2 10\n" + line + "\n0 50\n";
  };
  ChildOutcome o = read_all(write("t.din", line_of(1 << 20)), MD_FMT_DIN);
  EXPECT_EQ(refs_of(o).size(), 3u);
  EXPECT_EQ(o.out, "din state 1: \n");
  o = read_all(write("u.din", line_of((1 << 20) + 1)), MD_FMT_DIN);
  EXPECT_EQ(refs_of(o).size(), 1u);
  EXPECT_NE(o.out.find("line 2: malformed din record: `0 40 xxx"),
            std::string::npos) << o.out;
  EXPECT_NE(o.out.find("(line too long)"), std::string::npos) << o.out;
}

// While its input has delivered nothing (a FIFO named as the trace with no
// writer yet, standard input a pipe whose writer is silent), ld_open asks
// the wait question, so that the caller can answer signals, and waits on
// whatever the answer.
TEST_F(LoaderTest, OpeningAsksTheWaitQuestionWhileNothingCame) {
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int silent[2];
  ASSERT_EQ(pipe(silent), 0);
  for (const std::string &name : {fifo, std::string("-")}) {
    ChildOutcome o = run_isolated([&] {
      alarm(10);  // never asked: fail rather than hang
      dup2(silent[0], 0);
      ld_on_wait([]() -> int {
        static int asked;
        if (++asked == 3) {
          printf("asked\n");
          exit(0);
        }
        return 1;
      });
      char *argv[] = {const_cast<char *>(name.c_str()), nullptr};
      ld_open(name.c_str(), 1, argv, MD_FMT_DIN, nullptr);
      printf("opened\n");
    });
    EXPECT_EQ(o.status, 0) << name << ": " << o.err;
    EXPECT_EQ(o.out, "asked\n") << name;
  }
  close(silent[0]);
  close(silent[1]);
}

// Under valgrind, -trace:valgrind words that would stop or divert lackey's
// trace are refused before the program runs; the others are kept.
TEST_F(LoaderTest, ValgrindOptionsThatDivertTheTraceAreRefused) {
  if (access("/usr/bin/valgrind", X_OK) != 0)
    GTEST_SKIP() << "valgrind is not installed";
  auto keep = [](const std::string &words) {
    return run_isolated([&] {
      setenv("PATH", "/usr/bin:/bin", 1);
      ld_use_tracer(LD_TRACER_VALGRIND, nullptr);
      char *argv[] = {const_cast<char *>("/bin/true"), nullptr};
      ld_open("/bin/true", 1, argv, MD_FMT_AUTO, nullptr);
      ld_tracer_options(words.c_str());
      printf("kept\n");
    });
  };
  for (const char *word :
       {"--tool=memcheck", "--trace-mem=no", "--log-file=/dev/null",
        "--log-fd=2", "--log-socket=127.0.0.1", "--trace-superblocks=yes",
        "--help", "-h", "--version"}) {
    ChildOutcome o = keep(std::string("--trace-children=no ") + word);
    EXPECT_EQ(o.status, 1) << word;
    EXPECT_NE(o.err.find(std::string("-trace:valgrind `") + word +
                         "' is refused: "),
              std::string::npos) << o.err;
  }
  ChildOutcome o = keep("--tool=lackey --trace-mem=yes --trace-children=no "
                        "--trace-superblocks=no --log-file-exactly-not");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "kept\n");
}

// valgrind's header lines may fill more than the first 4 KiB; the first
// record after them decides. Text with a NUL in a record is refused, not
// read as bin32 words, although its length is a multiple of 4.
TEST_F(LoaderTest, RecognisesPastALongHeaderAndRefusesBrokenText) {
  std::string header;
  while (header.size() < 6000)
    header += "==4242== Command: ./prog " + std::string(100, 'a') + "\n";
  ChildOutcome o =
      read_all(write("t.lackey", header + "I  0400,3\n L 10,4\n"));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "lackey state 1: \n");
  EXPECT_EQ(refs_of(o).size(), 2u);
  std::string broken = write("t.din", std::string("0 10\n0 2\0\n0 300\n", 16));
  o = read_all(broken);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("cannot recognise the format of trace file `" +
                       broken + "'; name it with -trace:format"),
            std::string::npos)
      << o.err;
}

TEST_F(LoaderTest, BrokenCompressedFileIsAClearError) {
  std::string path = write("t.gz", std::string("\x1f\x8b\x08\x00garbage", 11));
  ChildOutcome o = read_all(path);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("fatal: "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find(path), std::string::npos);
}

// Files of random bytes (and random text) never crash the loader: they are
// read through, or stopped with a message, or refused with a fatal error.
TEST_F(LoaderTest, RandomBytesNeverCrash) {
  srand(2);
#ifdef __SANITIZE_ADDRESS__
  const int files = 60;
#else
  const int files = 200;
#endif
  for (int i = 0; i < files; i++) {
    std::string bytes(static_cast<size_t>(rand() % 3000), '\0');
    const char text[] = "0123456789abcdef \n\n#=ILSMx,";
    for (char &c : bytes)
      c = i % 2 ? static_cast<char>(rand()) : text[rand() % 28];
    char name[32];
    snprintf(name, sizeof name, "r%d", i);
    std::string path = write(name, bytes);
    ChildOutcome o = read_all(path);
    EXPECT_EQ(o.signal, 0) << path;
    if (o.status == 0)
      EXPECT_NE(o.out.find(" state "), std::string::npos);
    else
      EXPECT_EQ(o.err.rfind("fatal: ", 0), 0u) << o.err;
  }
}

TEST(Folding, KeepsLowAddressesAndNeverCollides) {
  fm_reset(FM_DEFAULT_REGION_BITS);
  md_addr_t f;
  ASSERT_TRUE(ld_fold_address(0x12345678, &f));
  EXPECT_EQ(f, 0x12345678u);
  // A wide region takes the highest free slot and keeps its low 24 bits.
  ASSERT_TRUE(ld_fold_address(0x7fff00abcdefull, &f));
  EXPECT_EQ(f, 0xffabcdefu);
  // A low region whose place is taken moves, not shares.
  ASSERT_TRUE(ld_fold_address(0xff000010ull, &f));
  EXPECT_EQ(f, 0xfe000010u);
  ASSERT_TRUE(ld_fold_address(0x7fff00000001ull, &f));
  EXPECT_EQ(f, 0xff000001u);
  EXPECT_TRUE(ld_fold_address(0x12000000, &f));
  EXPECT_EQ(f, 0x12000000u);
}

// Regions of 1 MiB: the 4096 places of the 32-bit space are all used, by
// far regions and by low ones that keep their place, then the map is full.
TEST(Folding, FullMapRefusesANewRegionOnlyWhen4GiBAreTaken) {
  fm_reset(20);
  EXPECT_EQ(fm_region_bits(), 20);
  md_addr_t f;
  std::vector<bool> seen(4096);
  for (uint64_t r = 0; r < 4096; r++) {
    uint64_t addr = r % 3 ? ((r * 7919 + 1) << 40) | 0x5a : (r << 20) | 0x5a;
    ASSERT_TRUE(ld_fold_address(addr, &f)) << r;
    EXPECT_EQ(f & 0xfffff, 0x5au);
    EXPECT_FALSE(seen[f >> 20]) << r;
    seen[f >> 20] = true;
  }
  EXPECT_FALSE(ld_fold_address(0x00100000u, &f));  // region 1: not met
  EXPECT_FALSE(ld_fold_address(1ull << 60, &f));
  EXPECT_TRUE(ld_fold_address((7920ull << 40) | 0x77, &f));  // a known one
  EXPECT_EQ(f & 0xfffff, 0x77u);
  fm_reset(FM_DEFAULT_REGION_BITS);
}

// Regions of one 16-byte line, hundreds of thousands of them (the map
// grows many times over): each line keeps one place and its low bits, no
// two share a place, and 32-bit lines met first keep their own place.
TEST(Folding, ManyLineSizedRegionsStayDistinctAsTheMapGrows) {
  fm_reset(4);
  std::vector<uint64_t> addrs;
  uint64_t x = 99;
  for (int i = 0; i < 300000; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    addrs.push_back(i < 1000 ? (x >> 32) : (x >> 8));
  }
  std::vector<md_addr_t> folded(addrs.size());
  for (size_t i = 0; i < addrs.size(); i++) {
    ASSERT_TRUE(ld_fold_address(addrs[i], &folded[i])) << i;
    EXPECT_EQ(folded[i] & 15, addrs[i] & 15);
    if (i < 1000) {
      EXPECT_EQ(folded[i], addrs[i]);
    }
  }
  std::vector<std::pair<md_addr_t, uint64_t>> pairs;
  for (size_t i = 0; i < addrs.size(); i++) {
    md_addr_t again;
    ASSERT_TRUE(ld_fold_address(addrs[i], &again));
    EXPECT_EQ(again, folded[i]) << i;
    pairs.push_back({folded[i] >> 4, addrs[i] >> 4});
  }
  std::sort(pairs.begin(), pairs.end());
  for (size_t i = 1; i < pairs.size(); i++)
    if (pairs[i].first == pairs[i - 1].first) {
      EXPECT_EQ(pairs[i].second, pairs[i - 1].second) << "two lines share";
    }
  fm_reset(FM_DEFAULT_REGION_BITS);
}

// vantle-sim answers signals before its input has delivered a byte (a
// FIFO named as the trace with no writer yet, standard input a pipe whose
// writer is silent): SIGUSR1 is told that nothing has been read and the
// wait goes on; SIGINT, SIGTERM and SIGUSR2 end it with a line saying that
// nothing was simulated, no statistics, and the status each gives a run.
class SignalsBeforeInputTest : public ScratchDirTest {};

TEST_F(SignalsBeforeInputTest, AreAnsweredWithNothingSimulated) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  int silent[2];
  ASSERT_EQ(pipe(silent), 0);
  const struct {
    int signal;
    const char *name;
    int status;
  } ends[] = {{SIGINT, "SIGINT", 130}, {SIGTERM, "SIGTERM", 143},
              {SIGUSR2, "SIGUSR2", 0}};
  for (const auto &e : ends)
    for (const std::string &input : {path("fifo"), std::string("-")}) {
      FifoRun r{VANTLE_SIM_PATH};
      int kept_input = dup(0);
      dup2(silent[0], 0);
      r.launch({input.c_str()});
      dup2(kept_input, 0);
      close(kept_input);
      ASSERT_TRUE(r.read_until("cache simulator")) << r.err;
      kill(r.pid, SIGUSR1);
      EXPECT_TRUE(r.read_until("sim: nothing has been read from the input "
                               "yet\n")) << input << ": " << r.err;
      kill(r.pid, e.signal);
      EXPECT_TRUE(r.read_until(std::string("sim: run ended by ") + e.name +
                               " before the input delivered anything; "
                               "nothing was simulated\n"))
          << input << ": " << r.err;
      int wstatus = 0;
      ASSERT_TRUE(r.exits(&wstatus)) << r.err;
      EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == e.status)
          << e.name << " " << input << ": " << r.err;
      r.finish();
      EXPECT_EQ(r.err.find("simulation statistics"), std::string::npos);
    }
  close(silent[0]);
  close(silent[1]);
}

}  // namespace
