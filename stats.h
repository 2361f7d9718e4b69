// Statistics database: the simulator registers its counters, ints, doubles
// and formulas once; stat_print_stats writes them, aligned, one per line.
#ifndef VANTLE_STATS_H_
#define VANTLE_STATS_H_

#include <stdio.h>

#include "machine.h"  // counter_t

enum stat_kind { STAT_COUNTER, STAT_INT, STAT_DOUBLE, STAT_FORMULA };

// A formula computes its value from other statistics when printed.
typedef double (*stat_formula_fn)(void);

struct stat_stat_t {
  stat_stat_t *next;     // registration order
  const char *name;
  const char *desc;
  const char *format;    // printf format of the value, or null
  int kind;              // stat_kind
  void *var;             // counter_t*, int* or double*
  stat_formula_fn formula;
};

struct stat_sdb_t {
  stat_stat_t *stats;
  stat_stat_t *last;
};

// Returns a new, empty database.
stat_sdb_t *stat_new(void);

// Register a statistic; the variable is set to init and read when printed.
stat_stat_t *stat_reg_counter(stat_sdb_t *sdb, const char *name,
                              const char *desc, counter_t *var,
                              counter_t init, const char *format);
stat_stat_t *stat_reg_int(stat_sdb_t *sdb, const char *name,
                          const char *desc, int *var, int init,
                          const char *format);
stat_stat_t *stat_reg_double(stat_sdb_t *sdb, const char *name,
                             const char *desc, double *var, double init,
                             const char *format);
// Registers a value computed by fn each time the statistics are printed.
stat_stat_t *stat_reg_formula(stat_sdb_t *sdb, const char *name,
                              const char *desc, stat_formula_fn fn,
                              const char *format);

// Returns the statistic registered under name, or null.
stat_stat_t *stat_find_stat(stat_sdb_t *sdb, const char *name);

// Returns the current value of a statistic as a double.
double stat_value(const stat_stat_t *stat);

// Writes every statistic to fd: name, value, "# description", in columns.
void stat_print_stats(stat_sdb_t *sdb, FILE *fd);

#endif  // VANTLE_STATS_H_
