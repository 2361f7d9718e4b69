// The built-in debugger: with -i the run stops before the first reference
// and reads commands from standard input.
#ifndef VANTLE_QLINT_H_
#define VANTLE_QLINT_H_

#include <stdio.h>

#include "machine.h"

// Set by -i: start in the debugger.
extern int qlint_active;

// What the debugger asks the simulator to do next.
enum qlint_action {
  QLINT_STEP,      // run *steps references, then ask again
  QLINT_CONTINUE,  // run to the end without asking again
  QLINT_REPORT,    // print an interim report, then ask again
  QLINT_QUIT,      // end the run now, with statistics
};

// Prompts on out and reads one command from in: "s [n]" step n references
// (default 1), "c" continue, "r" interim report, "q" quit, "h" help.
// End of input continues the run. Sets *steps for QLINT_STEP.
int qlint_command(FILE *in, FILE *out, counter_t references, counter_t *steps);

#endif  // VANTLE_QLINT_H_
