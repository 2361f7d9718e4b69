// Options database: a list of registered options in registration order,
// each bound to the caller's variable. Owns the option records; reads
// nothing but the command line it is handed.
#include "options.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "libvantle/util.h"

opt_odb_t *opt_new(orphan_fn_t orphan_fn) {
  auto *odb = static_cast<opt_odb_t *>(
      checked_calloc(1, sizeof(opt_odb_t), "options", "opt_new", __LINE__));
  odb->orphan_fn = orphan_fn;
  return odb;
}

void opt_delete(opt_odb_t *odb) {
  opt_opt_t *opt = odb->options;
  while (opt) {
    opt_opt_t *next = opt->next;
    free(opt);
    opt = next;
  }
  free(odb);
}

static opt_opt_t *add_option(opt_odb_t *odb, const char *name,
                             const char *desc, int kind, void *var, int print,
                             const char *format) {
  if (!name || name[0] != '-' || opt_find_option(odb, name))
    _fatal("options", "add_option", __LINE__, "bad or duplicate option `%s'",
           name ? name : "(null)");
  auto *opt = static_cast<opt_opt_t *>(checked_calloc(
      1, sizeof(opt_opt_t), "options", "add_option", __LINE__));
  opt->name = name;
  opt->desc = desc;
  opt->kind = kind;
  opt->var = var;
  opt->print = print;
  opt->format = format;
  if (odb->last)
    odb->last->next = opt;
  else
    odb->options = opt;
  odb->last = opt;
  return opt;
}

void opt_reg_flag(opt_odb_t *odb, const char *name, const char *desc,
                  int *var, int def, int print, const char *format) {
  add_option(odb, name, desc, OPT_FLAG, var, print, format)->def_int = def;
  *var = def;
}

void opt_reg_int(opt_odb_t *odb, const char *name, const char *desc,
                 int *var, int def, int print, const char *format) {
  add_option(odb, name, desc, OPT_INT, var, print, format)->def_int = def;
  *var = def;
}

void opt_reg_uint(opt_odb_t *odb, const char *name, const char *desc,
                  unsigned int *var, unsigned int def, int print,
                  const char *format) {
  add_option(odb, name, desc, OPT_UINT, var, print, format)->def_int = def;
  *var = def;
}

void opt_reg_string(opt_odb_t *odb, const char *name, const char *desc,
                    char **var, const char *def, int print,
                    const char *format) {
  add_option(odb, name, desc, OPT_STRING, var, print, format)->def_str = def;
  *var = const_cast<char *>(def);
}

opt_opt_t *opt_find_option(opt_odb_t *odb, const char *name) {
  for (opt_opt_t *opt = odb->options; opt; opt = opt->next)
    if (!strcmp(opt->name, name)) return opt;
  return nullptr;
}

[[noreturn]] static void usage_error(const char *fmt, const char *a,
                                     const char *b) {
  fputs("error: ", stderr);
  fprintf(stderr, fmt, a, b);
  fputs(" (-h lists the options)\n", stderr);
  exit(1);
}

// Parses a whole decimal word into [lo, hi]; false on anything else.
static bool parse_number(const char *text, long long lo, long long hi,
                         long long *out) {
  if (!*text) return false;
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Sets opt from value; returns false when value does not fit its kind.
static bool set_value(opt_opt_t *opt, char *value) {
  long long v = 0;
  switch (opt->kind) {
    case OPT_INT:
      if (!parse_number(value, INT_MIN, INT_MAX, &v)) return false;
      *static_cast<int *>(opt->var) = static_cast<int>(v);
      return true;
    case OPT_UINT:
      if (!parse_number(value, 0, UINT_MAX, &v)) return false;
      *static_cast<unsigned int *>(opt->var) = static_cast<unsigned int>(v);
      return true;
    default:
      *static_cast<char **>(opt->var) = value;
      return true;
  }
}

void opt_on_each(opt_odb_t *odb, const char *name,
                 void (*each)(const char *value, void *context),
                 void *context) {
  opt_opt_t *opt = opt_find_option(odb, name);
  if (!opt)
    _fatal("options", "opt_on_each", __LINE__, "unknown option `%s'", name);
  opt->each = each;
  opt->each_context = context;
}

void opt_process_options(opt_odb_t *odb, int argc, char **argv) {
  int i = 1;
  while (i < argc) {
    char *word = argv[i];
    if (word[0] != '-' || word[1] == '\0') {  // "-" alone: standard input
      if (!odb->orphan_fn || !odb->orphan_fn(i, argc, argv)) return;
      i++;
      continue;
    }
    opt_opt_t *opt = opt_find_option(odb, word);
    if (!opt) usage_error("unknown option `%s'%s", word, "");
    opt->given = 1;
    if (opt->kind == OPT_FLAG) {
      *static_cast<int *>(opt->var) = 1;
      i++;
      continue;
    }
    if (i + 1 >= argc) usage_error("option `%s' needs a value%s", word, "");
    if (!set_value(opt, argv[i + 1]))
      usage_error(opt->kind == OPT_INT
                      ? "option `%s' needs a decimal integer, not `%s'"
                      : "option `%s' needs an unsigned decimal integer, "
                        "not `%s'",
                  word, argv[i + 1]);
    if (opt->each) opt->each(argv[i + 1], opt->each_context);
    i += 2;
  }
}

static const char *kind_argument(int kind) {
  switch (kind) {
    case OPT_INT: return "<int>";
    case OPT_UINT: return "<uint>";
    case OPT_STRING: return "<string>";
    default: return "";
  }
}

// Writes the value of opt into buf.
static void format_value(const opt_opt_t *opt, char *buf, size_t size) {
  switch (opt->kind) {
    case OPT_FLAG:
      snprintf(buf, size, "%s",
               *static_cast<int *>(opt->var) ? "true" : "false");
      break;
    case OPT_INT:
      snprintf(buf, size, opt->format ? opt->format : "%d",
               *static_cast<int *>(opt->var));
      break;
    case OPT_UINT:
      snprintf(buf, size, opt->format ? opt->format : "%u",
               *static_cast<unsigned int *>(opt->var));
      break;
    default: {
      const char *s = *static_cast<char **>(opt->var);
      snprintf(buf, size, "%s", s ? s : "<null>");
    }
  }
}

static void format_default(const opt_opt_t *opt, char *buf, size_t size) {
  switch (opt->kind) {
    case OPT_FLAG:
      snprintf(buf, size, "%s", opt->def_int ? "true" : "false");
      break;
    case OPT_STRING:
      snprintf(buf, size, "%s", opt->def_str ? opt->def_str : "<null>");
      break;
    default:
      snprintf(buf, size, "%lld", opt->def_int);
  }
}

void opt_print_help(opt_odb_t *odb, FILE *fd) {
  fprintf(fd, "\n%-22s %-16s # %s\n", "# -option <argument>", "default",
          "help");
  for (opt_opt_t *opt = odb->options; opt; opt = opt->next) {
    char head[64], def[64];
    snprintf(head, sizeof head, "%s %s", opt->name, kind_argument(opt->kind));
    format_default(opt, def, sizeof def);
    fprintf(fd, "%-26s %-12s # %s\n", head, def, opt->desc);
  }
  fputc('\n', fd);
}

void opt_print_options(opt_odb_t *odb, FILE *fd, int printed_only,
                       int with_help) {
  for (opt_opt_t *opt = odb->options; opt; opt = opt->next) {
    if (printed_only && !opt->print) continue;
    char value[256];
    format_value(opt, value, sizeof value);
    if (with_help)
      fprintf(fd, "%-22s %16s # %s\n", opt->name, value, opt->desc);
    else
      fprintf(fd, "%-22s %16s\n", opt->name, value);
  }
}
