// Fuzz target: vantle-sim's command line, parsed by the options database
// with the driver's and the simulator module's option tables, then echoed
// and listed as vantle-sim does. The input is split into words at blanks,
// newlines and NULs. A refused command line ends through exit(), which
// this target is linked to wrap (-Wl,--wrap=exit) so that it returns here.
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "toolset/driver.h"
#include "options.h"
#include "sim.h"
#include "words.h"

// The simulator's shared state, which vantle-sim's driver defines.
int sim_dump_stats, sim_exit_now;
volatile sig_atomic_t sim_end_signal;
jmp_buf sim_exit_buf;
int sim_swap_bytes, sim_swap_words;
counter_t sim_num_insn;
time_t sim_start_time, sim_end_time;
int sim_elapsed_time;
opt_odb_t *sim_odb;
stat_sdb_t *sim_sdb;
char *sim_xtr_fname, *sim_chkpt_fname;
FILE *sim_xtr_fd, *sim_progfd;
void sim_print_stats(FILE *) {}

static jmp_buf refused;
static bool parsing;

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (parsing) longjmp(refused, 1);
  __real_exit(status);
}

namespace {

int exec_index;

int orphan(int i, int, char **) {
  exec_index = i;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = fopen("/dev/null", "w");
  std::vector<std::string> words{"vantle-sim"};
  for (std::string &w : split_words(data, size)) words.push_back(w);
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  opt_odb_t *odb = opt_new(orphan);
  driver_options driver{};
  driver_reg_options(odb, &driver);
  sim_reg_options(odb);
  exec_index = -1;
  parsing = true;
  if (setjmp(refused) == 0) {
    opt_process_options(odb, static_cast<int>(words.size()), argv.data());
    opt_print_options(odb, sink, 1, 1);
    opt_print_options(odb, sink, 0, 0);
    opt_print_help(odb, sink);
  }
  parsing = false;
  opt_delete(odb);
  return 0;
}
