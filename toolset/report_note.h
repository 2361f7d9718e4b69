// A fully-associative family whose input touches more distinct lines than
// -M bytes hold says so on the error stream in the library's own words,
// which read as errors: "distinct entries limit exceeded" and, after it,
// "addresses processed N" (LRU: the one time a run shows that progress
// line, which otherwise needs P_INTERVAL, an interval no option sets), or
// "tot_addrs limit exceeded, t_entries=N" (OPT). The final report then has
// no "all bigger caches" line. A watch on the report's way to its stream
// sees that, and one sim: line says what it means, once per run.
#ifndef VANTLE_TOOLSET_REPORT_NOTE_H_
#define VANTLE_TOOLSET_REPORT_NOTE_H_

#include <stdio.h>

#include <string>

struct report_watch {
  FILE *to;
  std::string tail;  // the last bytes written: a mark may come in two writes
  bool fully_associative, all_bigger;
};

// A stream that writes a final report through to `to` at once (unbuffered,
// so that a fatal error in the report loses nothing), watched by w; `to`
// itself when none can be made.
FILE *watch_report(report_watch *w, FILE *to);

// Closes the watched stream and says, once per run, what a report that
// passed its line limit means.
void explain_report(FILE *stream, report_watch *w);

#endif  // VANTLE_TOOLSET_REPORT_NOTE_H_
