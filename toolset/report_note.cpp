// The note on a fully-associative report past its line limit
// (report_note.h). Owns whether the note was given in this run.
#include "toolset/report_note.h"

#include <sys/types.h>

namespace {

bool explained;

ssize_t pass_through(void *cookie, const char *data, size_t size) {
  auto *w = static_cast<report_watch *>(cookie);
  fwrite(data, 1, size, w->to);  // an error stays with the stream, as ever
  w->tail.append(data, size);
  w->fully_associative |=
      w->tail.find("Cache size (bytes)\tMiss Ratio\n") != std::string::npos;
  w->all_bigger |= w->tail.find(" for all bigger caches\n") !=
                   std::string::npos;
  if (w->tail.size() > 64) w->tail.erase(0, w->tail.size() - 64);
  return static_cast<ssize_t>(size);
}

}  // namespace

FILE *watch_report(report_watch *w, FILE *to) {
  *w = {to, "", false, false};
  cookie_io_functions_t io = {nullptr, pass_through, nullptr, nullptr};
  FILE *stream = fopencookie(w, "w", io);
  if (!stream) return w->to;
  setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

void explain_report(FILE *stream, report_watch *w) {
  if (stream != w->to) fclose(stream);
  if (explained || !w->fully_associative || w->all_bigger) return;
  explained = true;
  fprintf(w->to, "sim: note: more distinct lines than -M bytes hold: "
                 "libvantle's \"limit exceeded\" line above (with the "
                 "references read by then) is information, not an error; "
                 "every miss ratio up to -M is exact, larger caches are not "
                 "reported, and the distinct count includes lines dropped "
                 "and seen again\n");
}
