// Options database: the simulator registers its options (name, help text,
// variable, default), then parses the command line with it. Options are
// "-name value", or a bare "-name" for flags. Parsing stops at the first
// word that is not an option: the orphan callback gets its index.
#ifndef VANTLE_OPTIONS_H_
#define VANTLE_OPTIONS_H_

#include <stdio.h>

enum opt_kind { OPT_FLAG, OPT_INT, OPT_UINT, OPT_STRING };

struct opt_opt_t {
  opt_opt_t *next;       // registration order
  const char *name;      // "-seed"
  const char *desc;      // help text
  int kind;              // opt_kind
  int print;             // listed by opt_print_options(.., printed_only=1, ..)
  const char *format;    // printf format of the value, or null
  void *var;             // int*, unsigned int* or char**
  long long def_int;     // default of the numeric kinds
  const char *def_str;   // default of a string
  int given;             // set when the command line named it
  // Told of every value of the option, in order (opt_on_each), or null.
  void (*each)(const char *value, void *context);
  void *each_context;
};

// Called with the index of the first word that is not an option; a zero
// result ends parsing there, non-zero skips the word and goes on.
typedef int (*orphan_fn_t)(int i, int argc, char **argv);

struct opt_odb_t {
  opt_opt_t *options;    // registration order
  opt_opt_t *last;
  orphan_fn_t orphan_fn;
};

// Returns a new, empty database that hands orphans to orphan_fn (or null).
opt_odb_t *opt_new(orphan_fn_t orphan_fn);

// Releases the database and its option records (the variables stay).
void opt_delete(opt_odb_t *odb);

// Registers a flag: absent 0 (or def), "-name" sets 1.
void opt_reg_flag(opt_odb_t *odb, const char *name, const char *desc,
                  int *var, int def, int print, const char *format);
// Registers a signed decimal int.
void opt_reg_int(opt_odb_t *odb, const char *name, const char *desc,
                 int *var, int def, int print, const char *format);
// Registers an unsigned decimal int.
void opt_reg_uint(opt_odb_t *odb, const char *name, const char *desc,
                  unsigned int *var, unsigned int def, int print,
                  const char *format);
// Registers a text value (def may be null); the variable points into argv.
void opt_reg_string(opt_odb_t *odb, const char *name, const char *desc,
                    char **var, const char *def, int print,
                    const char *format);

// Has each(value, context) called with every value that the command line
// gives the option name (registered before), in order, as
// opt_process_options sets it; the variable keeps the last, as always.
void opt_on_each(opt_odb_t *odb, const char *name,
                 void (*each)(const char *value, void *context),
                 void *context);

// Sets the variables of the options in argv[1..]. An unknown option, a
// missing value or a bad number writes one "error: " line to stderr and
// ends the process with status 1.
void opt_process_options(opt_odb_t *odb, int argc, char **argv);

// Returns the option registered under name, or null.
opt_opt_t *opt_find_option(opt_odb_t *odb, const char *name);

// Writes every option's name, argument kind, default and help text to fd.
void opt_print_help(opt_odb_t *odb, FILE *fd);

// Writes the current value of the options to fd, one per line: all of them,
// or with printed_only only those registered with the print flag; with_help
// adds each help text as a comment.
void opt_print_options(opt_odb_t *odb, FILE *fd, int printed_only,
                       int with_help);

#endif  // VANTLE_OPTIONS_H_
