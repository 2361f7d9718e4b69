// The content of a run's -out: files (out_files.h owns the files): every
// family's rows and description, written by the CSV, JSON and SVG
// writers (export.h): one family as always, several with their names.
#ifndef VANTLE_TOOLSET_RUN_OUTPUTS_H_
#define VANTLE_TOOLSET_RUN_OUTPUTS_H_

// Writes the -out: files from the families' rows, once, after the final
// report. ended_early says what ended the run before its input did (or is
// null), and give_up is asked while a FIFO waits (out_write). False when a
// file could not be written (each is said on stderr).
bool ro_write(const char *ended_early,
              bool (*give_up)(const char *option, const char *name));

#endif  // VANTLE_TOOLSET_RUN_OUTPUTS_H_
