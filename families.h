// Several families in one run. The library holds one family per process,
// so vantle-sim reads and decodes the input once and runs each family in a
// child process of its own, fed batches of decoded references through
// shared memory: the families use every core, and the decoded stream is never
// stored. Each child writes its messages and reports to a file of its own
// and its result rows to another; the parent prints them in the order the
// families were given.
#ifndef VANTLE_FAMILIES_H_
#define VANTLE_FAMILIES_H_

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#include "libvantle/libvantle.h"
#include "machine.h"

// One -cache:opts value: "[<kinds>:] <library words>".
struct fam_family {
  const char *spec;                 // the value as given
  const char *kinds;                // all, inst, data, load or store
  bool kinds_given;                 // the value named its own kinds
  char *words[256];                 // the library's words (into text)
  int count;
  char *text;
  bool wanted[MD_REF_MODIFY + 1];   // by md_ref_kind, from kinds
  counter_t fed;                    // references fed to it

  // The child running it.
  pid_t pid;
  struct trace_ring *ring;  // batches go in here (transport/trace_ring.h)
  int ack_fd;      // one byte back when an asked-for report is written
  int text_fd;     // its standard output and error
  int rows_fd;     // its vantle_results rows, at the end
  off_t shown;     // bytes of its text already printed
  int ready_value; // what it said when ready (fam_start's ready_value)
  int wait_status;
  bool gone;       // the child has ended (its pipe hung up)
  bool silent;     // it did not answer in time, and was killed
  int acks_owed;   // acknowledgements of interim reports given up on
};

// What the run's signals ask of vantle-sim while it waits on a child.
enum { FAM_END = 1, FAM_REPORT = 2 };

// Sets what a wait on a child asks, every tenth of a second, for what the
// run's signals want (FAM_END, FAM_REPORT, or 0). A wait for room in a
// child's ring gives way to either; for a child's ready word, to FAM_END.
// An interim report, and the final one once FAM_END has been asked, give a
// child that makes no progress 5 s before it counts as not answering.
void fam_on_wait(int (*asked)(void));

// Sets the reference kinds a selection name feeds into wanted (indexed by
// md_ref_kind); false for an unknown name.
bool fam_select_kinds(const char *name, bool *wanted);

// Parses one -cache:opts value; kinds is the run-wide selection used when
// the value names none. Returns false, with *why set, when the value is
// not "[<kinds>:] words".
bool fam_parse(fam_family *f, const char *spec, const char *kinds,
               const char **why);

// Starts one child per family; in each, in_child runs first, then the
// library is initialised with the family's words and its parameters are
// printed to the child's text, followed by what after_config prints.
// Waits until every child is ready, and keeps what ready_value (0..255)
// returned in it. A family whose words the library refuses ends the run:
// its text, then one line naming it, exit status 1.
void fam_start(fam_family *families, int count, void (*in_child)(void),
               void (*after_config)(FILE *text), int (*ready_value)(void));

// Prints what the child wrote to its text since the last call.
void fam_copy_text(fam_family *f, FILE *to);

// Room in the child's ring for up to n references (at most 65536), for
// the caller to fill and hand over with fam_commit; null when the child is
// gone, or when a signal wants an answer first (f->gone still false).
md_addr_t *fam_reserve(fam_family *f, size_t n);

// Hands the first n references of the room just reserved to the child.
void fam_commit(fam_family *f, size_t n);

// Asks the child for an interim report of what it was fed and waits for
// it; false when the child is gone, or did not answer (f->gone false: its
// report then comes with its next text).
bool fam_interim(fam_family *f);

// Ends the child's input: it makes its final report and leaves its rows.
void fam_end_input(fam_family *f);

// Waits for the child's end; true when it ended by itself with status 0.
// One that does not answer (above) is killed, and f->silent set.
bool fam_wait(fam_family *f);

// Says how the child ended, on one line naming the family (after
// fam_wait returned false).
void fam_say_failure(const fam_family *f, int index, int count, FILE *to);

// Reads the rows the child left; returns how many (0 when none). The
// caller frees *rows.
int fam_rows(const fam_family *f, vantle_result **rows);

// Whether a child has ended without being asked to (it hung up its pipe);
// does not wait.
bool fam_any_gone(fam_family *families, int count);

// Kills every child still running (safe at any time).
void fam_kill_all(fam_family *families, int count);

#endif  // VANTLE_FAMILIES_H_
