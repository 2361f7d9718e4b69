// The options database: defaults, parsing, where parsing stops, the errors
// that end the process, and the two printouts.
#include "options.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "isolate.h"

namespace {

struct Vars {
  int flag = -1, number = -1;
  unsigned int count = 0;
  char *text = nullptr;
};

int orphan_index = -1;
int record_orphan(int i, int, char **) {
  orphan_index = i;
  return 0;
}

opt_odb_t *make_db(Vars *v) {
  opt_odb_t *odb = opt_new(record_orphan);
  opt_reg_flag(odb, "-f", "a flag", &v->flag, 0, 0, nullptr);
  opt_reg_int(odb, "-n", "a number", &v->number, 7, 1, nullptr);
  opt_reg_uint(odb, "-count", "a count", &v->count, 3, 1, nullptr);
  opt_reg_string(odb, "-name", "a name", &v->text, "none", 0, nullptr);
  return odb;
}

void parse(opt_odb_t *odb, std::vector<const char *> words) {
  words.insert(words.begin(), "prog");
  opt_process_options(odb, static_cast<int>(words.size()),
                      const_cast<char **>(words.data()));
}

TEST(Options, RegistrationSetsDefaults) {
  Vars v;
  opt_delete(make_db(&v));
  EXPECT_EQ(v.flag, 0);
  EXPECT_EQ(v.number, 7);
  EXPECT_EQ(v.count, 3u);
  EXPECT_STREQ(v.text, "none");
}

TEST(Options, ParsesValuesAndStopsAtTheFirstOtherWord) {
  Vars v;
  opt_odb_t *odb = make_db(&v);
  orphan_index = -1;
  parse(odb, {"-n", "-12", "-f", "-count", "4000000000", "-name", "x y",
              "prog.exe", "-n", "5"});
  EXPECT_EQ(v.flag, 1);
  EXPECT_EQ(v.number, -12);
  EXPECT_EQ(v.count, 4000000000u);
  EXPECT_STREQ(v.text, "x y");
  EXPECT_EQ(orphan_index, 8);  // words after it are left alone
  EXPECT_TRUE(opt_find_option(odb, "-f")->given);
  EXPECT_EQ(opt_find_option(odb, "-nope"), nullptr);
  opt_delete(odb);
}

// A repeatable option (one -cache:opts per family): every value, in order,
// up to the first word that is not an option, while the variable keeps
// the last.
TEST(Options, EveryValueOfAnOptionIsToldInOrder) {
  Vars v;
  opt_odb_t *odb = make_db(&v);
  std::vector<std::string> told;
  opt_on_each(
      odb, "-name",
      [](const char *value, void *context) {
        static_cast<std::vector<std::string> *>(context)->push_back(value);
      },
      &told);
  parse(odb, {"-name", "a", "-n", "2", "-name", "-b c", "-f", "-name", "",
              "prog", "-name", "after"});
  EXPECT_EQ(told, (std::vector<std::string>{"a", "-b c", ""}));
  EXPECT_STREQ(v.text, "");
  opt_delete(odb);
}

TEST(Options, NoOrphanLeavesTheIndexAlone) {
  Vars v;
  opt_odb_t *odb = make_db(&v);
  orphan_index = -1;
  parse(odb, {"-n", "1"});
  EXPECT_EQ(orphan_index, -1);
  opt_delete(odb);
}

TEST(Options, BadCommandLinesEndWithOneLineAndStatusOne) {
  struct Case {
    std::vector<const char *> words;
    const char *message;
  } cases[] = {
      {{"-x"}, "error: unknown option `-x'"},
      {{"-n"}, "error: option `-n' needs a value"},
      {{"-n", "12x"}, "error: option `-n' needs a decimal integer, not `12x'"},
      {{"-n", ""}, "needs a decimal integer"},
      {{"-n", "99999999999"}, "needs a decimal integer"},
      {{"-count", "-1"}, "needs an unsigned decimal integer, not `-1'"},
      {{"-count", "4294967296"}, "needs an unsigned decimal integer"},
  };
  for (auto &c : cases) {
    ChildOutcome o = run_isolated([&] {
      Vars v;
      parse(make_db(&v), c.words);
    });
    EXPECT_EQ(o.status, 1) << c.message;
    EXPECT_EQ(o.err.rfind("error: ", 0), 0u) << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);
  }
}

TEST(Options, PrintsHelpAndValuesInRegistrationOrder) {
  ChildOutcome o = run_isolated([] {
    Vars v;
    opt_odb_t *odb = make_db(&v);
    parse(odb, {"-n", "42", "-name", "abc"});
    opt_print_help(odb, stdout);
    puts("--");
    opt_print_options(odb, stdout, 1, 1);
    puts("--");
    opt_print_options(odb, stdout, 0, 0);
  });
  size_t help_end = o.out.find("--\n");
  std::string help = o.out.substr(0, help_end);
  size_t f = help.find("-f "), n = help.find("-n <int>"),
         c = help.find("-count <uint>"), s = help.find("-name <string>");
  ASSERT_NE(s, std::string::npos) << help;
  EXPECT_LT(f, n);
  EXPECT_LT(n, c);
  EXPECT_LT(c, s);
  EXPECT_NE(help.find("# a number"), std::string::npos);
  std::string printed = o.out.substr(help_end + 3);
  std::string only = printed.substr(0, printed.find("--\n"));
  EXPECT_NE(only.find("42 # a number"), std::string::npos) << only;
  EXPECT_NE(only.find("-count"), std::string::npos);
  EXPECT_EQ(only.find("-name"), std::string::npos);  // print flag 0
  std::string all = printed.substr(printed.find("--\n") + 3);
  EXPECT_NE(all.find("abc\n"), std::string::npos) << all;
  EXPECT_NE(all.find("false\n"), std::string::npos);
  EXPECT_EQ(all.find("#"), std::string::npos);
}

TEST(Options, DuplicateRegistrationIsFatal) {
  ChildOutcome o = run_isolated([] {
    Vars v;
    opt_odb_t *odb = make_db(&v);
    opt_reg_flag(odb, "-f", "again", &v.flag, 0, 0, nullptr);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("duplicate option `-f'"), std::string::npos);
}

}  // namespace
