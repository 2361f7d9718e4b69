// The driver's own command-line options, beside the simulator module's:
// one table, registered by vantle-sim's main and by the fuzz target of the
// command line alike.
#ifndef VANTLE_TOOLSET_DRIVER_H_
#define VANTLE_TOOLSET_DRIVER_H_

#include "options.h"

// Where the driver's option values go. -v, -d, -i and -chkpt set the shared
// flags verbose, debugging, qlint_active and sim_chkpt_fname instead.
struct driver_options {
  int help_me;        // -h
  int rand_seed;      // -seed; 0 seeds from the clock
  int init_quit;      // -q
  int nice_priority;  // -nice
  char *sim_simout;   // -redir:sim
  char *sim_progout;  // -redir:prog
};

// Registers the driver's options in odb, with their defaults and help.
void driver_reg_options(opt_odb_t *odb, driver_options *opts);

#endif  // VANTLE_TOOLSET_DRIVER_H_
