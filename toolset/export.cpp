// CSV and JSON writers of a run's vantle_results rows (the SVG plot is
// plot_svg.cpp's), and the names of families, organisations and policies,
// which are the library's (libvantle/frontend.h).
#include "toolset/export.h"

#include <ctype.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "libvantle/frontend.h"
#include "misc.h"

namespace {

// The codes whose composed names are kept.
enum { kCodes = 8 };

// The organisation code of a row, one the library names: a code no family
// has reads as the default organisation.
int known_organisation(int organisation) {
  return organisation >= 0 && organisation < kCodes &&
                 vantle_organisation_name(organisation)
             ? organisation
             : VANTLE_SET_ASSOCIATIVE;
}

// The policy code of a row of a known organisation, one the library
// names: any other reads as OPT when non-zero, as LRU when zero.
int known_policy(int organisation, int policy) {
  if (policy >= 0 && policy < kCodes &&
      vantle_policy_name(organisation, policy))
    return policy;
  return policy ? VANTLE_OPT : VANTLE_LRU;
}

// The organisation as the -out: files' tables name it: "set-associative".
const char *organisation_name(int organisation) {
  static char names[kCodes][32];
  organisation = known_organisation(organisation);
  char *name = names[organisation];
  if (!*name) {
    snprintf(name, sizeof names[0], "%s", organisation_title(organisation));
    name[0] = static_cast<char>(tolower(static_cast<unsigned char>(name[0])));
  }
  return name;
}

// The library's name of the policy: set-associative OPT may leave a
// missing line out of the cache (bypass), fully-associative OPT always
// loads it, and the name says which.
const char *policy_name(int organisation, int policy) {
  organisation = known_organisation(organisation);
  return vantle_policy_name(organisation, known_policy(organisation, policy));
}

int finish(FILE *out) { return fflush(out) == 0 && !ferror(out) ? 0 : -1; }

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

}  // namespace

void put_json_string(FILE *out, const char *text) {
  fputc('"', out);
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(
           text ? text : "");
       *p;) {
    int n = utf8_length(p);
    if (*p == '"' || *p == '\\')
      fprintf(out, "\\%c", *p);
    else if (*p < 0x20)
      fprintf(out, "\\u%04x", *p);
    else if (n == 0)
      fputs(kReplacement, out);
    else
      fwrite(p, 1, n, out);
    p += n ? n : 1;
  }
  fputc('"', out);
}

void put_csv_field(FILE *out, const char *text) {
  if (!text[strcspn(text, ",\"\r\n")]) {
    fputs(text, out);
    return;
  }
  fputc('"', out);
  for (const char *p = text; *p; p++) {
    if (*p == '"') fputc('"', out);
    fputc(*p, out);
  }
  fputc('"', out);
}

const char *organisation_title(int organisation) {
  const char *name = vantle_organisation_name(organisation);
  return name ? name : vantle_organisation_name(VANTLE_SET_ASSOCIATIVE);
}

const char *family_name(const vantle_result *first) {
  if (!first) return "no";
  static char names[kCodes][kCodes][64];
  int organisation = known_organisation(first->organisation);
  int policy = known_policy(organisation, first->policy);
  char *name = names[organisation][policy];
  if (!*name) {
    const char *said = vantle_policy_name(organisation, policy);
    snprintf(name, sizeof names[0][0], "%s%s%s", said, *said ? " " : "",
             organisation_title(organisation));
  }
  return name;
}

namespace {

// The fields of an explained row (-explain), by their CSV and JSON names.
const char *const kExplainedFields[] = {
    "compulsory",  "capacity",        "conflict",    "opt_misses",
    "write_backs", "bytes_to_memory", "dirty_at_end"};
enum { kExplainedFieldCount = 7 };

// Field i of x as text; empty when not counted.
std::string explained_field(const explained_row &x, int i) {
  const uint64_t kNot = VANTLE_NOT_COUNTED;
  bool three_cs = x.compulsory != kNot;
  switch (i) {
    case 0: return three_cs ? std::to_string(x.compulsory) : "";
    case 1: return three_cs ? std::to_string(x.capacity) : "";
    case 2: return three_cs ? std::to_string(x.conflict) : "";
    case 3: return x.opt_misses != kNot ? std::to_string(x.opt_misses) : "";
    case 4: return x.writebacks != kNot ? std::to_string(x.writebacks) : "";
    case 5:
      return x.bytes_to_memory != kNot ? std::to_string(x.bytes_to_memory)
                                       : "";
    default:
      return x.dirty_at_end != kNot ? std::to_string(x.dirty_at_end) : "";
  }
}

void put_csv_header(FILE *out, bool family_column, bool explained) {
  fprintf(out,
          "%sorganisation,policy,line_size,sets,associativity,cache_size,"
          "references,hits,miss_ratio", family_column ? "family," : "");
  for (int i = 0; explained && i < kExplainedFieldCount; i++)
    fprintf(out, ",%s", kExplainedFields[i]);
  fputc('\n', out);
}

void put_csv_rows(FILE *out, const char *family, const vantle_result *rows,
                  int count, const explained_row *explained,
                  bool explained_columns) {
  for (int i = 0; i < count; i++) {
    const vantle_result &r = rows[i];
    if (family) {
      put_csv_field(out, family);
      fputc(',', out);
    }
    fprintf(out, "%s,%s,%u,%u,%u,%llu,%llu,%llu,",
            organisation_name(r.organisation),
            policy_name(r.organisation, r.policy), r.line_size, r.sets,
            r.associativity,
            static_cast<unsigned long long>(r.cache_size),
            static_cast<unsigned long long>(r.references),
            static_cast<unsigned long long>(r.hits));
    if (!isnan(r.miss_ratio)) fprintf(out, "%.6f", r.miss_ratio);
    for (int f = 0; explained_columns && f < kExplainedFieldCount; f++)
      fprintf(out, ",%s",
              explained ? explained_field(explained[i], f).c_str() : "");
    fputc('\n', out);
  }
}

// The run's fields and its rows, inside an object opened at indent.
void put_json_family(FILE *out, const run_description *run, bool with_input,
                     const vantle_result *rows, int count,
                     const explained_row *explained, const char *indent) {
  fprintf(out, "%s\"family\": ", indent);
  put_json_string(out, run->family);
  fprintf(out, ",\n%s\"options\": ", indent);
  put_json_string(out, run->options);
  if (with_input) {
    fprintf(out, ",\n%s\"input\": ", indent);
    put_json_string(out, run->input);
  }
  fprintf(out, ",\n%s\"reference_kinds\": ", indent);
  put_json_string(out, run->kinds);
  fprintf(out, ",\n%s\"references\": %llu,\n%s\"ended_early\": ", indent,
          run->references, indent);
  if (run->ended_early)
    put_json_string(out, run->ended_early);
  else
    fputs("null", out);
  fprintf(out, ",\n%s\"rows\": [", indent);
  for (int i = 0; i < count; i++) {
    fprintf(out, "%s\n%s  ", i ? "," : "", indent);
    put_json_row(out, rows[i]);
    for (int f = 0; explained && f < kExplainedFieldCount; f++) {
      std::string v = explained_field(explained[i], f);
      fprintf(out, ", \"%s\": %s", kExplainedFields[f],
              v.empty() ? "null" : v.c_str());
    }
    fputc('}', out);
  }
  if (count) fprintf(out, "\n%s", indent);
  fputs("]", out);
}

}  // namespace

void put_json_row(FILE *out, const vantle_result &r) {
  fprintf(out,
          "{\"organisation\": \"%s\", \"policy\": \"%s\", "
          "\"line_size\": %u, \"sets\": %u, \"associativity\": %u, "
          "\"cache_size\": %llu, \"references\": %llu, \"hits\": %llu, "
          "\"miss_ratio\": ",
          organisation_name(r.organisation),
          policy_name(r.organisation, r.policy), r.line_size, r.sets,
          r.associativity, static_cast<unsigned long long>(r.cache_size),
          static_cast<unsigned long long>(r.references),
          static_cast<unsigned long long>(r.hits));
  if (isnan(r.miss_ratio))
    fputs("null", out);
  else
    fprintf(out, "%.6f", r.miss_ratio);
}

int write_results_csv(FILE *out, const vantle_result *rows, int count,
                      const explained_row *explained) {
  put_csv_header(out, false, explained);
  put_csv_rows(out, nullptr, rows, count, explained, explained);
  return finish(out);
}

int write_results_json(FILE *out, const run_description *run,
                       const vantle_result *rows, int count,
                       const explained_row *explained) {
  fputs("{\n", out);
  put_json_family(out, run, true, rows, count, explained, "  ");
  fputs("\n}\n", out);
  return finish(out);
}

int write_families_csv(FILE *out, const family_results *families, int count) {
  bool explained = false;
  for (int i = 0; i < count; i++) explained = explained || families[i].explained;
  put_csv_header(out, true, explained);
  for (int i = 0; i < count; i++)
    put_csv_rows(out, families[i].run.options, families[i].rows,
                 families[i].count, families[i].explained, explained);
  return finish(out);
}

int write_families_json(FILE *out, const family_results *families,
                        int count) {
  fputs("{\n  \"input\": ", out);
  put_json_string(out, count ? families[0].run.input : "");
  fputs(",\n  \"families\": [", out);
  for (int i = 0; i < count; i++) {
    fputs(i ? ",\n    {\n" : "\n    {\n", out);
    put_json_family(out, &families[i].run, false, families[i].rows,
                    families[i].count, families[i].explained, "      ");
    fputs("\n    }", out);
  }
  fputs(count ? "\n  ]\n}\n" : "]\n}\n", out);
  return finish(out);
}
