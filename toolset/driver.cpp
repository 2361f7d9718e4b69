// The driver's option table (driver.h).
#include "toolset/driver.h"

#include "misc.h"
#include "qlint.h"
#include "sim.h"

void driver_reg_options(opt_odb_t *odb, driver_options *opts) {
  opt_reg_flag(odb, "-h", "print help message", &opts->help_me, 0, 0,
               nullptr);
  opt_reg_flag(odb, "-v", "verbose operation", &verbose, 0, 0, nullptr);
  opt_reg_flag(odb, "-d", "enable debug message", &debugging, 0, 0, nullptr);
  opt_reg_flag(odb, "-i", "start in Qlint debugger", &qlint_active, 0, 0,
               nullptr);
  opt_reg_int(odb, "-seed", "random number generator seed (0 for timer seed)",
              &opts->rand_seed, 1, 1, nullptr);
  opt_reg_flag(odb, "-q", "initialize and terminate immediately",
               &opts->init_quit, 0, 0, nullptr);
  opt_reg_string(odb, "-chkpt", "restore XTR trace execution from <fname>",
                 &sim_chkpt_fname, nullptr, 0, nullptr);
  opt_reg_string(odb, "-redir:sim",
                 "redirect simulator output to file (non-interactive only)",
                 &opts->sim_simout, nullptr, 0, nullptr);
  opt_reg_string(odb, "-redir:prog",
                 "redirect simulated program output to file",
                 &opts->sim_progout, nullptr, 0, nullptr);
  opt_reg_int(odb, "-nice", "simulator scheduling priority",
              &opts->nice_priority, 0, 1, nullptr);
}
