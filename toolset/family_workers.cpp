// One set-associative LRU or direct-mapped family split over worker
// processes (kWorkerFamily, family_sink.h). Each row of such a family's
// report (a set count; a line size) is counted apart from the others, so
// each worker simulates a share of the rows, its own -a and -b words, on
// every reference, fed as several families are (kChildFamilies). The
// reports are merged line by line: what every worker's report shares
// (head and tail) once, each worker's rows in order between; the result
// rows follow each other in the same order. Everything a run writes is
// then what one process writes. The configuration echo comes from the
// whole family, started in this process and never fed.
// Owns the workers' families and the words that restrict them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "libvantle/frontend.h"
#include "libvantle/util.h"
#include "toolset/family_sink.h"
#include "toolset/run_families.h"

namespace {

enum { kMostWorkers = RF_MOST_FAMILIES };

// A batch fed to the workers before fed_to, not yet to the others.
struct batch_to_feed {
  const md_addr_t *addrs;
  const unsigned char *kinds;
  size_t take, taken;
  int fed_to;
};

struct {
  int asked = 1;  // -cache:workers
  int count;      // workers of this run
  fam_family parts[kMostWorkers];
  char range[kMostWorkers][2][16];  // each one's -a and -b words
  char spec[kMostWorkers][320];
  const fam_hooks *hooks;
  batch_to_feed pending;
  bool failed[kMostWorkers];  // by the last report asked of each
} workers;

bool restricts_rows(const char *word) {
  return word[0] == '-' && (word[1] == 'a' || word[1] == 'b');
}

// What row j of rows costs to simulate, relatively. Set-associative lists
// of more sets miss the processor's caches more: on 30 million random
// references, the default family's four larger set counts took 1.5 times
// the CPU time of its four smaller ones (0.175 s against 0.12 s), the
// eight line sizes of the direct-mapped family about the same each.
int row_weight(const fam_family *f, int j) {
  return f->organisation == VANTLE_SET_ASSOCIATIVE ? 8 + j : 1;
}

// The first row of worker k's share: where the rows' weight before it
// comes nearest to k shares of the whole.
int share_start(const fam_family *f, int rows, int k) {
  int total = 0;
  for (int j = 0; j < rows; j++) total += row_weight(f, j);
  int target = total * k, before = 0, j = 0;
  while (j < rows && (before + row_weight(f, j)) * workers.count * 2 <=
                         target * 2 + row_weight(f, j) * workers.count)
    before += row_weight(f, j++);
  return std::clamp(j, k, rows - (workers.count - k));
}

// Makes workers.parts copies of f, each with its share of rows first to
// last (2^first to 2^last sets or bytes a line).
void share_rows(const fam_family *f, int first, int last) {
  int rows = last - first + 1;
  workers.count = std::min(workers.asked, rows);
  int starts[kMostWorkers + 1];
  for (int k = 0; k <= workers.count; k++)  // each at least one row
    starts[k] = k == workers.count ? rows
                : k == 0           ? 0
                          : std::max(share_start(f, rows, k), starts[k - 1] + 1);
  for (int k = 0; k < workers.count; k++) {
    fam_family *p = &workers.parts[k];
    *p = *f;
    p->count = 0;
    for (int i = 0; i < f->count; i++)
      if (!restricts_rows(f->words[i])) p->words[p->count++] = f->words[i];
    snprintf(workers.range[k][0], sizeof workers.range[k][0], "-a%d",
             first + starts[k]);
    snprintf(workers.range[k][1], sizeof workers.range[k][1], "-b%d",
             first + starts[k + 1] - 1);
    p->words[p->count++] = workers.range[k][0];
    p->words[p->count++] = workers.range[k][1];
    snprintf(workers.spec[k], sizeof workers.spec[k], "%s, worker %d of %d",
             f->spec, k + 1, workers.count);
    p->spec = workers.spec[k];
  }
}

void start(fam_family *families, int, const fam_hooks *hooks) {
  workers.hooks = hooks;
  fam_family *f = &families[0];
  vantle_configure(f->count, f->words);  // accepted already: sets A and B
  share_rows(f, A, B);
  kChildFamilies.start(workers.parts, workers.count, hooks);
  vantle_init(f->count, f->words);  // after the forks: never fed
}

void config(fam_family *, FILE *to) {
  static FILE *discarded = fopen("/dev/null", "w");
  for (int k = 0; k < workers.count; k++)
    if (discarded) kChildFamilies.config(&workers.parts[k], discarded);
  vantle_config(to);
  if (workers.hooks->after_config) workers.hooks->after_config(to);
}

// Feeds the batch to the workers from the first that lacks it. A signal
// that asks while one waits leaves the batch pending: the caller answers
// and feeds the same batch again, or a report first gives it to the rest,
// so that every worker's report covers the same references.
fam_fed feed_on(void) {
  batch_to_feed &b = workers.pending;
  for (; b.fed_to < workers.count; b.fed_to++) {
    fam_fed fed = kChildFamilies.feed(&workers.parts[b.fed_to], b.addrs,
                                      b.kinds, b.take, b.taken);
    if (fed != FAM_FED) return fed;
  }
  b = {};
  return FAM_FED;
}

fam_fed feed(fam_family *, const md_addr_t *addrs,
             const unsigned char *kinds, size_t take, size_t taken) {
  if (!workers.pending.addrs) workers.pending = {addrs, kinds, take, taken, 0};
  return feed_on();
}

// Gives the pending batch to the workers that lack it, whatever asks.
void settle_pending(void) {
  while (workers.pending.addrs && feed_on() == FAM_ASKED) {
  }
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

// The workers' reports as one: the lines all of them begin and end with
// once, each one's own lines (its rows) in order between.
std::string merged(const std::vector<std::string> &texts) {
  std::vector<std::vector<std::string>> parts;
  size_t shortest = SIZE_MAX;
  for (const std::string &t : texts) {
    parts.push_back(lines_of(t));
    shortest = std::min(shortest, parts.back().size());
  }
  auto all_share = [&](auto line_of) {
    for (const auto &p : parts)
      if (line_of(p) != line_of(parts[0])) return false;
    return true;
  };
  size_t head = 0, tail = 0;
  while (head < shortest &&
         all_share([head](const auto &p) { return p[head]; }))
    head++;
  while (head + tail < shortest &&
         all_share([tail](const auto &p) { return p[p.size() - 1 - tail]; }))
    tail++;
  std::string out;
  for (size_t i = 0; i < head; i++) out += parts[0][i];
  for (const auto &p : parts)
    for (size_t i = head; i < p.size() - tail; i++) out += p[i];
  for (size_t i = parts[0].size() - tail; i < parts[0].size(); i++)
    out += parts[0][i];
  return out;
}

// Writes the merged reports that report (interim or final) has each
// worker write; false when one of them did not (noted in failed).
bool merged_report(bool (*report)(fam_family *, FILE *), FILE *to) {
  std::vector<std::string> texts;
  bool well = true;
  for (int k = 0; k < workers.count; k++) {
    char *text = nullptr;
    size_t size = 0;
    FILE *into = open_memstream(&text, &size);
    if (!into) return false;
    workers.failed[k] = !report(&workers.parts[k], into);
    well = well && !workers.failed[k];
    fclose(into);
    texts.emplace_back(text, size);
    free(text);
  }
  std::string whole = merged(texts);
  fwrite(whole.data(), 1, whole.size(), to);
  return well;
}

bool interim(fam_family *f, FILE *to) {
  settle_pending();
  bool well = merged_report(kChildFamilies.interim, to);
  for (int k = 0; k < workers.count; k++)
    f->gone = f->gone || workers.parts[k].gone;
  return well;
}

void end_input(fam_family *, int) {
  settle_pending();
  kChildFamilies.end_input(workers.parts, workers.count);
}

bool final_report(fam_family *, FILE *to) {
  return merged_report(kChildFamilies.final_report, to);
}

void say_failure(const fam_family *, int, int, FILE *to) {
  for (int k = 0; k < workers.count; k++)
    if (workers.failed[k])
      kChildFamilies.say_failure(&workers.parts[k], k, workers.count, to);
}

int rows(fam_family *, vantle_result **out) {
  std::vector<vantle_result> all;
  for (int k = 0; k < workers.count; k++) {
    vantle_result *some = nullptr;
    int n = kChildFamilies.rows(&workers.parts[k], &some);
    all.insert(all.end(), some, some + n);
    free(some);
  }
  *out = static_cast<vantle_result *>(checked_calloc(
      all.empty() ? 1 : all.size(), sizeof **out, "family_workers", "rows",
      __LINE__));
  std::copy(all.begin(), all.end(), *out);
  return static_cast<int>(all.size());
}

bool any_gone(fam_family *, int) {
  return kChildFamilies.any_gone(workers.parts, workers.count);
}

bool in_flight(size_t *) { return false; }

int explanation(fam_family *, vantle_explained **out) {
  *out = nullptr;
  return 0;
}

}  // namespace

void fam_set_workers(int count) { workers.asked = count; }

bool fam_splits(const fam_family *f) {
  bool rows_apart = f->organisation == VANTLE_DIRECT_MAPPED ||
                    (f->organisation == VANTLE_SET_ASSOCIATIVE &&
                     f->policy == VANTLE_LRU);
  return workers.asked > 1 && rows_apart && !f->explain;
}

const family_sink kWorkerFamily = {start,       config,    feed,
                                   interim,     end_input, final_report,
                                   say_failure, rows,      any_gone,
                                   in_flight,   explanation, nullptr};
