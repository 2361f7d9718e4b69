// The simulator's shared state, defined by the driver (main.cpp), and the
// calls of the simulator module, which feeds the references of a trace or a
// traced program to the cache library.
#ifndef VANTLE_SIM_H_
#define VANTLE_SIM_H_

#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include "machine.h"
#include "options.h"
#include "stats.h"

// Set to 1 by SIGUSR1: statistics wanted now (the module prints them).
extern int sim_dump_stats;
// Set to 1 by SIGUSR2: end the run now.
extern int sim_exit_now;
// Set by the first SIGINT or SIGTERM to its number, with sim_exit_now: the
// run ends as at SIGUSR2, and the process exits with 128 + it after the
// report.
extern volatile sig_atomic_t sim_end_signal;
// The name of the signal that ends the run: SIGINT, SIGTERM, or SIGUSR2
// when sim_end_signal is 0; and the status it gives a run that ends before
// anything was simulated (128 + the signal, 0 for SIGUSR2).
static inline const char *sim_end_signal_name(void) {
  return sim_end_signal == SIGINT    ? "SIGINT"
         : sim_end_signal == SIGTERM ? "SIGTERM"
                                     : "SIGUSR2";
}
static inline int sim_end_signal_status(void) {
  return sim_end_signal ? 128 + sim_end_signal : 0;
}
// Jump here with the simulated program's exit status + 1 to end the run.
extern jmp_buf sim_exit_buf;
// Byte- and word-swap flags for the module; the driver leaves them alone.
extern int sim_swap_bytes, sim_swap_words;
// Instructions simulated (instruction fetches of the trace).
extern counter_t sim_num_insn;
// Start and end of the timed part of the run.
extern time_t sim_start_time, sim_end_time;
// Seconds between them, at least 1.
extern int sim_elapsed_time;
// Options and statistics databases, created by the driver.
extern opt_odb_t *sim_odb;
extern stat_sdb_t *sim_sdb;
// Trace file name and stream for the module; the driver leaves them alone.
extern char *sim_xtr_fname;
extern FILE *sim_xtr_fd;
// Value of -chkpt.
extern char *sim_chkpt_fname;
// Stream opened by -redir:prog for the simulated program's output, or null.
extern FILE *sim_progfd;

// Prints the statistics block to fd, only while the simulation runs.
void sim_print_stats(FILE *fd);

// The simulator module.
// Registers the module's options.
void sim_reg_options(opt_odb_t *odb);
// Validates them; a bad value ends the process with status 1.
void sim_check_options(opt_odb_t *odb, int argc, char **argv);
// Whether path names one of the -out: files given (once the options are
// processed).
bool sim_output_named(const char *path);
// Initialises the cache library with the -cache:opts words.
void sim_init(void);
// Opens the input: a trace file (argc 1) or a program with its arguments.
void sim_load_prog(char *fname, int argc, char **argv, char **envp);
// Registers the module's statistics.
void sim_reg_stats(stat_sdb_t *sdb);
// Writes the library's parameters and which references feed it.
void sim_aux_config(FILE *stream);
// Feeds every reference to the library; returns at the end of a trace, or
// jumps to sim_exit_buf when a traced program exits or when sim_end_signal
// ended the run (with 128 + the signal + 1).
void sim_main(void);
// Writes the library's report: the final one once, interim ones while the
// run goes on.
void sim_aux_stats(FILE *stream);
// Stops what the module still runs (a traced program, a decompressor).
void sim_uninit(void);
// Removes the -out: files' new files not yet complete; safe in a signal
// handler.
void sim_remove_unfinished_outputs(void);

#endif  // VANTLE_SIM_H_
