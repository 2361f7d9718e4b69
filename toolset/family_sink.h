// A family of a run (one -cache:opts value) and where its references go.
// The library holds one family per process: a run of one family feeds it
// here (family_local.cpp); a run of several feeds each in a child process
// of its own (families.cpp). Both are a family sink, so that the simulator
// module feeds, asks for reports and takes rows the one way.
#ifndef VANTLE_TOOLSET_FAMILY_SINK_H_
#define VANTLE_TOOLSET_FAMILY_SINK_H_

#include <stddef.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "machine.h"

struct fam_process;

struct fam_family {
  // Its -cache:opts value: "[<kinds>:] <library words>" (cache_words.h).
  const char *spec;                 // the value as given
  const char *kinds;                // all, inst, data, load or store
  bool kinds_given;                 // the value named its own kinds
  char *words[256];                 // the library's words (into text)
  int count;
  char *text;
  bool wanted[MD_REF_MODIFY + 1];   // by md_ref_kind, from kinds
  // What the library says of its words (cache_words.h).
  int set_span_bits;    // its sets' span (vantle_set_span_bits)
  bool has_window;      // an OPT family with a look-ahead window
  counter_t fed;        // references fed to it
  bool gone;            // its process ended before its time
  fam_process *process;  // families.cpp: its child process, or null
  // -explain: what its library is asked for (vantle_explain; 0: nothing),
  // and whether its references come with their store marks
  // (vantle_access_store).
  unsigned explain;
  bool stores;
  int organisation, policy;  // as the library read its words
  // -sites: the site of each record of the batch being fed (records
  // 0..take-1 of feed), or null; only a family fed in this process
  // takes them.
  const uint32_t *sites;
};

// What the run's signals ask of a sink that waits (several families: on
// a child), from the asked hook below.
enum { FAM_END = 1, FAM_REPORT = 2 };

// What the simulator module gives a sink to start with.
struct fam_hooks {
  void (*in_child)(void);              // first thing in a child process
  void (*after_config)(FILE *stream);  // writes after the parameters
  int (*asked)(void);                  // FAM_END, FAM_REPORT or 0
};

// What feed did.
enum fam_fed { FAM_FED, FAM_GONE, FAM_ASKED };

struct family_sink {
  // Starts the count families, whose words the library accepted; one
  // that cannot run after all ends the run (its text, a line naming it,
  // status 1). hooks must live as long as the run.
  void (*start)(fam_family *families, int count, const fam_hooks *hooks);
  // Writes the family's parameters, then what after_config writes.
  void (*config)(fam_family *f, FILE *to);
  // Feeds f the taken references that it wants among records 0..take-1
  // of a batch (addrs, kinds by md_ref_kind). FAM_GONE when f has gone,
  // FAM_ASKED when a signal wants an answer first (nothing fed: ask
  // again).
  fam_fed (*feed)(fam_family *f, const md_addr_t *addrs,
                  const unsigned char *kinds, size_t take, size_t taken);
  // Writes an interim report of what f was fed to `to`; false when f
  // did not answer (f->gone says whether it has gone).
  bool (*interim)(fam_family *f, FILE *to);
  // The input is over for every family.
  void (*end_input)(fam_family *families, int count);
  // Writes f's final report to `to`, once; false when f failed.
  bool (*final_report)(fam_family *f, FILE *to);
  // Says on one line naming f how it failed (after final_report).
  void (*say_failure)(const fam_family *f, int index, int count, FILE *to);
  // f's result rows, which the caller frees; returns how many.
  int (*rows)(fam_family *f, vantle_result **rows);
  // Whether a family has gone without being asked to; does not wait.
  bool (*any_gone)(fam_family *families, int count);
  // The record of the batch being fed when a fatal error ends the run
  // inside feed; false when none is.
  bool (*in_flight)(size_t *record);
  // f's vantle_explanation rows (after final_report), which the caller
  // frees; returns how many (0 when f explains nothing).
  int (*explanation)(fam_family *f, vantle_explained **rows);
  // Starts families[index] while the run goes on (one for each thread of
  // a traced program); false, with it gone, when it cannot run. Null for
  // a sink of one family.
  bool (*add)(fam_family *families, int index, const fam_hooks *hooks);
};

// Whether a reference of this kind writes: a store, or a modify (one
// reference that reads and writes).
static inline bool fam_stores(unsigned char kind) {
  return kind == MD_REF_STORE || kind == MD_REF_MODIFY;
}

// The family of a run of one, fed in this process.
extern const family_sink kLocalFamily;
// The families of a run of several, each fed in a child process.
extern const family_sink kChildFamilies;
// One family split over worker processes (-cache:workers), each a share
// of its report's rows; a run of one family where fam_splits says so.
extern const family_sink kWorkerFamily;
// The workers a family of a run of one is split over (at least 1), and
// whether it is split: a set-associative LRU or direct-mapped family,
// with no -explain, when more than one worker is asked for.
void fam_set_workers(int count);
bool fam_splits(const fam_family *f);

#endif  // VANTLE_TOOLSET_FAMILY_SINK_H_
