// Program loader: opens what the command line names and hands out its
// memory references in batches. The input is a trace file (din, lackey,
// hex or bin32, plain or compressed with gzip, xz, zstd or bzip2 and read
// through that tool) or a program, run under QEMU with vantle's plugin
// (its batches come through a ring in shared memory) or under valgrind's
// lackey tool (its trace comes through a pipe) while it runs. Addresses
// wider than 32 bits are folded into 32 bits by a first-touch map of
// aligned regions (transport/fold_map.h; under QEMU the plugin folds them).
#ifndef VANTLE_LOADER_H_
#define VANTLE_LOADER_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "machine.h"

// Where reading stands. LD_MALFORMED: stopped at a record that cannot be
// used (malformed, or its address does not fold); ld_error() says why.
enum ld_state { LD_READING, LD_END, LD_MALFORMED };

// Opens a trace file ("-": standard input) or readies a program (argv[0]
// is name, argc >= 1).
// format is an md_format; MD_FMT_AUTO decides by content: an executable
// (ELF or "#!" with execute permission, or found on PATH) is a program,
// anything else a trace. Program output goes to progout when non-null.
// Ends the process with a clear message when the input cannot be used.
void ld_open(const char *name, int argc, char **argv, int format,
             FILE *progout);

// Tracers of a program: QEMU's user mode with vantle's plugin, or
// valgrind's lackey tool. Auto takes QEMU when the emulator of the
// program's machine is on PATH and the plugin lies beside the executable,
// else valgrind.
enum ld_tracer { LD_TRACER_AUTO, LD_TRACER_QEMU, LD_TRACER_VALGRIND };

// Chooses the tracer of a program (before ld_open; default auto) and the
// directory QEMU takes a foreign program's libraries from (null: none).
// sysroot must live until the run ends.
void ld_use_tracer(int tracer, const char *sysroot);
// Under QEMU, the references of one thread that go to the cache in a row
// while other threads run (1..65536; default 256).
void ld_interleave(unsigned references);
// The thread whose references the last ld_read handed out: its number in
// the run (from 1), 0 when the input does not say.
unsigned ld_thread(void);
// Its process (under valgrind the program's first, 0 for a trace), and
// the program that process runs ("" when unknown).
int ld_thread_process(void);
const char *ld_thread_program(void);
// The tracer of the program (never auto) and the path of its executable.
int ld_tracer(void);
const char *ld_tracer_path(void);
// Why auto did not take QEMU ("" when it did, or was not asked to).
const char *ld_tracer_note(void);

// Further valgrind options for a program (words separated by blanks, given
// after the loader's own, so they may override them); call after ld_open
// and before ld_start. When valgrind is to run, an option that would stop
// or divert the trace (another --tool, --trace-mem=no, --log-file=, ...)
// ends the process with a message naming it.
void ld_tracer_options(const char *words);

// Starts the program under its tracer (valgrind traces its forked and
// exec'd children too); does nothing for a trace file.
void ld_start(void);

// The most references one ld_read hands out.
enum { LD_MOST_RECORDS = 1 << 16 };

// Hands out up to cap references: *addrs points at their addresses and
// *kinds at their kinds (MD_REF_NONE when the format carries none), both
// valid until the next call. Returns how many; 0 when the input is over; stops
// early, before an unusable record (ld_state() tells), and returns what it
// has (maybe nothing, with ld_state() still LD_READING) when stop() of
// ld_on_wait says so.
size_t ld_read(const md_addr_t **addrs, const unsigned char **kinds,
               size_t cap);

// Fills by_kind (indexed by md_ref_kind) with the counts of the n records
// the last ld_read handed out, when those came counted (the QEMU plugin
// counts its batches) and n is all of them; else returns false.
bool ld_counted(size_t n, counter_t *by_kind);

// While a read waits for input, stop() is asked at least every tenth of a
// second and after every signal; when it returns non-zero, ld_read returns
// at once. ld_open asks it likewise while the input has delivered nothing
// (a pipe or FIFO), but waits on whatever it returns: a stop() set before
// ld_open answers signals itself, or ends the process. Null (the default):
// reads wait as long as the input keeps them waiting.
void ld_on_wait(int (*stop)(void));

// Ends a program's run: reaps it (killing it first when kill_it) and
// returns its exit status (128 + signal when a signal ended it). For a
// trace, reaps the decompressor and ends the process when it failed.
int ld_finish(int kill_it);

// Kills and reaps whatever is still running. Safe to call at any time.
void ld_close(void);

// The signal that ended the traced program, 0 when it exited or still runs.
int ld_exit_signal(void);

// How many processes were traced so far: under valgrind the distinct pids
// of its own lines, under QEMU those its plugins ran in (the program's
// and every process of its tree: an exec keeps its process, a fork makes
// a new one); 0 for a trace file.
long long ld_processes_traced(void);

// Closes the input and returns the loader to its state before ld_open, so
// that one process can open many inputs (tests, fuzzing).
void ld_reset(void);

// Facts about the input.
int ld_state(void);
int ld_is_program(void);
int ld_format(void);            // the format in use (never auto but under QEMU)
int ld_has_kinds(void);         // records carry reference kinds
int ld_compressed(void);
const char *ld_compression(void); // its decompressing tool; null when plain
const char *ld_name(void);
long long ld_line_number(void); // line of the last text record read
const char *ld_error(void);     // file, line and record where reading stopped
long long ld_bytes_read(void);  // bytes consumed (compressed input: 0)
long long ld_total_bytes(void); // file size, -1 when unknown

// Folds a 64-bit address into 32 bits with the folding map (transport/,
// whose region size the caller sets with fm_reset before reading); returns
// 0 when the map is full. Under -d, says which region took which place.
int ld_fold_address(uint64_t addr, md_addr_t *folded);

#endif  // VANTLE_LOADER_H_
