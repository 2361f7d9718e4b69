// Statistics database: a list of registered statistics in registration
// order, each bound to the caller's variable or formula. Owns the records.
#include "stats.h"

#include <string.h>

#include "libvantle/util.h"

stat_sdb_t *stat_new(void) {
  return static_cast<stat_sdb_t *>(
      checked_calloc(1, sizeof(stat_sdb_t), "stats", "stat_new", __LINE__));
}

static stat_stat_t *add_stat(stat_sdb_t *sdb, const char *name,
                             const char *desc, int kind, void *var,
                             const char *format) {
  if (!name || stat_find_stat(sdb, name))
    _fatal("stats", "add_stat", __LINE__, "bad or duplicate statistic `%s'",
           name ? name : "(null)");
  auto *stat = static_cast<stat_stat_t *>(checked_calloc(
      1, sizeof(stat_stat_t), "stats", "add_stat", __LINE__));
  stat->name = name;
  stat->desc = desc;
  stat->kind = kind;
  stat->var = var;
  stat->format = format;
  if (sdb->last)
    sdb->last->next = stat;
  else
    sdb->stats = stat;
  sdb->last = stat;
  return stat;
}

stat_stat_t *stat_reg_counter(stat_sdb_t *sdb, const char *name,
                              const char *desc, counter_t *var,
                              counter_t init, const char *format) {
  *var = init;
  return add_stat(sdb, name, desc, STAT_COUNTER, var, format);
}

stat_stat_t *stat_reg_int(stat_sdb_t *sdb, const char *name,
                          const char *desc, int *var, int init,
                          const char *format) {
  *var = init;
  return add_stat(sdb, name, desc, STAT_INT, var, format);
}

stat_stat_t *stat_reg_double(stat_sdb_t *sdb, const char *name,
                             const char *desc, double *var, double init,
                             const char *format) {
  *var = init;
  return add_stat(sdb, name, desc, STAT_DOUBLE, var, format);
}

stat_stat_t *stat_reg_formula(stat_sdb_t *sdb, const char *name,
                              const char *desc, stat_formula_fn fn,
                              const char *format) {
  stat_stat_t *stat = add_stat(sdb, name, desc, STAT_FORMULA, nullptr, format);
  stat->formula = fn;
  return stat;
}

stat_stat_t *stat_find_stat(stat_sdb_t *sdb, const char *name) {
  for (stat_stat_t *stat = sdb->stats; stat; stat = stat->next)
    if (!strcmp(stat->name, name)) return stat;
  return nullptr;
}

double stat_value(const stat_stat_t *stat) {
  switch (stat->kind) {
    case STAT_COUNTER:
      return static_cast<double>(*static_cast<counter_t *>(stat->var));
    case STAT_INT: return *static_cast<int *>(stat->var);
    case STAT_DOUBLE: return *static_cast<double *>(stat->var);
    default: return stat->formula();
  }
}

static void format_value(const stat_stat_t *stat, char *buf, size_t size) {
  switch (stat->kind) {
    case STAT_COUNTER:
      snprintf(buf, size, stat->format ? stat->format : "%lld",
               static_cast<long long>(*static_cast<counter_t *>(stat->var)));
      break;
    case STAT_INT:
      snprintf(buf, size, stat->format ? stat->format : "%d",
               *static_cast<int *>(stat->var));
      break;
    default:
      snprintf(buf, size, stat->format ? stat->format : "%.4f",
               stat_value(stat));
  }
}

void stat_print_stats(stat_sdb_t *sdb, FILE *fd) {
  size_t width = 20;
  for (stat_stat_t *stat = sdb->stats; stat; stat = stat->next)
    if (strlen(stat->name) > width) width = strlen(stat->name);
  for (stat_stat_t *stat = sdb->stats; stat; stat = stat->next) {
    char value[64];
    format_value(stat, value, sizeof value);
    fprintf(fd, "%-*s %16s # %s\n", static_cast<int>(width), stat->name,
            value, stat->desc);
  }
}
