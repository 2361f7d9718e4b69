// The -out: files of a run: one record per kind, owning where the file is
// written (replaced through a new file, or written in place), the new file
// while it is written, and the descriptor of a device opened in place.
#include "toolset/out_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "misc.h"

namespace {

enum way { kReplace, kInPlace, kFifo };

struct out_file {
  const char *option;
  char *fname;           // as given, or null
  way how;
  bool descriptor;       // the path leads to an open descriptor's file
  bool pending;          // readied and not yet written
  int fd;                // the new file, or the device in place; -1
  char target[PATH_MAX];  // the file the path ends at, links followed
  char temp[PATH_MAX];    // the new file while it is written, or ""
};

out_file outputs[OUT_KINDS] = {
    {"-out:csv", nullptr, kReplace, false, false, -1, "", ""},
    {"-out:json", nullptr, kReplace, false, false, -1, "", ""},
    {"-out:plot", nullptr, kReplace, false, false, -1, "", ""},
    {"-out:sites", nullptr, kReplace, false, false, -1, "", ""}};

// Why the last file failed, when errno cannot say.
const char *failure;

// Whether path lies in /proc, where a link names an open descriptor's file
// (/dev/stdout and /dev/fd/N lead there) rather than a path to replace.
bool in_proc(const char *path) {
  const char *base = base_name(path);
  char dir[PATH_MAX], resolved[PATH_MAX];
  snprintf(dir, sizeof dir, "%.*s", static_cast<int>(base - path), path);
  return realpath(*dir ? dir : ".", resolved) &&
         !strncmp(resolved, "/proc/", 6);
}

// Follows the symbolic links of o's path to the file they end at (which
// need not exist yet) into o->target; false after 40 links or a path too
// long, with errno set.
bool follow_links(out_file *o) {
  char next[PATH_MAX], joined[PATH_MAX];
  snprintf(o->target, sizeof o->target, "%s", o->fname);
  for (int links = 0; links <= 40; links++) {
    if (in_proc(o->target)) {
      o->descriptor = true;
      return true;
    }
    ssize_t n = readlink(o->target, next, sizeof next - 1);
    if (n < 0) return true;  // not a link, or nothing there yet
    next[n] = '\0';
    const char *base = base_name(o->target);
    int dir = next[0] == '/' ? 0 : static_cast<int>(base - o->target);
    if (snprintf(joined, sizeof joined, "%.*s%s", dir, o->target, next) >=
        static_cast<int>(sizeof joined)) {
      errno = ENAMETOOLONG;
      return false;
    }
    memcpy(o->target, joined, sizeof o->target);
  }
  errno = ELOOP;
  return false;
}

// The descriptor, 1 or 2, whose file st is, or 0. Such a file is written
// through that descriptor, after what the run wrote there: replacing it
// would leave the run's own output in a file with no name, and writing it
// at an offset of its own would overwrite that output.
int standard_stream(const struct stat &st) {
  for (int fd = 1; fd <= 2; fd++) {
    struct stat s;
    if (fstat(fd, &s) == 0 && s.st_dev == st.st_dev && s.st_ino == st.st_ino)
      return fd;
  }
  return 0;
}

mode_t creation_mode(void) {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Makes the new file beside o->target, in the same directory so that the
// rename stays within one file system, with the mode (and, where allowed,
// the owner) of the file it replaces, or the mode a new file gets.
bool make_new_file(out_file *o, const struct stat *old) {
  const char *base = base_name(o->target);
  snprintf(o->temp, sizeof o->temp, "%.*s.%s.XXXXXX",
           static_cast<int>(base - o->target), o->target, base);
  o->fd = mkostemp(o->temp, O_CLOEXEC);
  if (o->fd < 0) {
    o->temp[0] = '\0';
    return false;
  }
  // Where the runner may not give the old owner, the file becomes its own.
  if (old && fchown(o->fd, old->st_uid, old->st_gid) != 0) errno = 0;
  if (fchmod(o->fd, old ? old->st_mode & 07777 : creation_mode()) != 0)
    errno = 0;  // mkostemp's 0600 stays
  return true;
}

// Readies one file; false with errno or failure set.
bool open_one(out_file *o) {
  if (!follow_links(o)) return false;
  struct stat st;
  bool exists = stat(o->fname, &st) == 0;
  if (!exists)
    return errno == ENOENT && !o->descriptor && make_new_file(o, nullptr);
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (S_ISSOCK(st.st_mode) || S_ISBLK(st.st_mode)) {
    failure = S_ISSOCK(st.st_mode) ? "it is a socket" : "it is a block device";
    return false;
  }
  if (S_ISFIFO(st.st_mode)) {
    o->how = kFifo;
    return access(o->fname, W_OK) == 0;
  }
  int standard = S_ISREG(st.st_mode) ? standard_stream(st) : 0;
  if (S_ISREG(st.st_mode) && !o->descriptor && !standard)
    return make_new_file(o, &st);
  // A device, or a file that a descriptor writes to: added to, as a
  // shell's >> would.
  o->how = kInPlace;
  o->fd = standard ? fcntl(standard, F_DUPFD_CLOEXEC, 3)
                   : open(o->fname, O_WRONLY | O_APPEND | O_NONBLOCK |
                                        O_CLOEXEC);
  return o->fd >= 0;
}

// Opens a FIFO for writing once a reader has it open. A FIFO that a
// descriptor names (a pipe) gets no new reader: without one it is broken.
int open_fifo(const out_file *o,
              bool (*give_up)(const char *option, const char *name)) {
  struct {
    const out_file *o;
    bool (*give_up)(const char *option, const char *name);
  } asked = {o, give_up};
  auto keep_waiting = [](void *context) {
    auto *a = static_cast<decltype(asked) *>(context);
    return !a->give_up(a->o->option, a->o->fname);
  };
  int fd = out_open_fifo(o->fname, O_CLOEXEC,
                         o->descriptor ? nullptr : +keep_waiting, &asked);
  if (fd < 0 && errno == ENXIO) {
    if (o->descriptor)
      errno = EPIPE;
    else
      failure = "no reader opened it";
  }
  return fd;
}

// Writes text to fd whole, waiting while a pipe or terminal is full; false
// with errno or failure set.
bool write_whole(const out_file *o, int fd, const char *text, size_t size,
                 bool (*give_up)(const char *option, const char *name)) {
  size_t done = 0;
  while (done < size) {
    ssize_t put = write(fd, text + done, size - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
    } else if (put < 0 && errno == EAGAIN) {
      pollfd ready = {fd, POLLOUT, 0};
      poll(&ready, 1, 100);
      if (give_up(o->option, o->fname)) {
        failure = "its reader did not read it";
        return false;
      }
    } else if (put == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Writes the text of a file written in place. A reader that goes away is
// an error to say, not a signal that ends the run unreported.
bool deliver(out_file *o, const char *text, size_t size,
             bool (*give_up)(const char *option, const char *name)) {
  int fd = o->how == kFifo ? open_fifo(o, give_up) : o->fd;
  o->fd = -1;
  if (fd < 0) return false;
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  bool done = write_whole(o, fd, text, size, give_up);
  sigaction(SIGPIPE, &old, nullptr);
  int saved = errno;
  if (close(fd) != 0 && done) return false;
  errno = saved;
  return done;
}

// Writes one file; false with errno or failure set.
bool write_one(out_file *o, int kind,
               int (*fill)(int kind, FILE *to, void *context), void *context,
               bool (*give_up)(const char *option, const char *name)) {
  if (o->how == kReplace) {
    FILE *to = fdopen(o->fd, "w");
    if (!to) return false;
    o->fd = -1;
    bool done = fill(kind, to, context) == 0;
    done = fclose(to) == 0 && done;
    done = done && rename(o->temp, o->target) == 0;
    int saved = errno;
    if (!done) unlink(o->temp);
    o->temp[0] = '\0';
    errno = saved;
    return done;
  }
  char *text = nullptr;
  size_t size = 0;
  FILE *to = open_memstream(&text, &size);
  if (!to) return false;
  bool done = fill(kind, to, context) == 0;
  done = fclose(to) == 0 && done && deliver(o, text, size, give_up);
  free(text);
  return done;
}

}  // namespace

int out_open_fifo(const char *name, int flags, bool (*keep_waiting)(void *),
                  void *context) {
  for (;;) {
    int fd = open(name, O_WRONLY | O_NONBLOCK | flags);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    if (errno != ENXIO || !keep_waiting) return -1;
    poll(nullptr, 0, 100);
    if (!keep_waiting(context)) {
      errno = ENXIO;
      return -1;
    }
  }
}

void out_reg_options(opt_odb_t *odb) {
  opt_reg_string(odb, "-out:csv",
                 "at the end, write every cache's result to this CSV file",
                 &outputs[OUT_CSV].fname, nullptr, 1, nullptr);
  opt_reg_string(odb, "-out:json",
                 "at the end, write the run and every cache's result to "
                 "this JSON file", &outputs[OUT_JSON].fname, nullptr, 1,
                 nullptr);
  opt_reg_string(odb, "-out:plot",
                 "at the end, write a miss-ratio plot to this SVG file",
                 &outputs[OUT_PLOT].fname, nullptr, 1, nullptr);
  opt_reg_string(odb, "-out:sites",
                 "with -sites, at the end, write every function's result "
                 "to this CSV file (JSON when its name ends in .json)",
                 &outputs[OUT_SITES].fname, nullptr, 1, nullptr);
}

const char *out_name(int kind) { return outputs[kind].fname; }

bool out_open(char *message, size_t n) {
  atexit(out_remove_unfinished);
  for (out_file &o : outputs) {
    if (!o.fname) continue;
    errno = 0;
    failure = nullptr;
    o.pending = open_one(&o);
    if (o.pending) continue;
    snprintf(message, n, "%s: cannot write `%s': %s", o.option, o.fname,
             failure ? failure : strerror(errno));
    return false;
  }
  return true;
}

bool out_write(int (*fill)(int kind, FILE *to, void *context), void *context,
               bool (*give_up)(const char *option, const char *name)) {
  bool all = true;
  for (int kind = 0; kind < OUT_KINDS; kind++) {
    out_file *o = &outputs[kind];
    if (!o->pending) continue;
    o->pending = false;
    errno = 0;
    failure = nullptr;
    if (write_one(o, kind, fill, context, give_up)) continue;
    fprintf(stderr, "error: %s: cannot write `%s': %s\n", o->option, o->fname,
            failure ? failure : errno ? strerror(errno) : "write error");
    all = false;
  }
  return all;
}

void out_remove_unfinished(void) {
  for (out_file &o : outputs)
    if (o.temp[0]) unlink(o.temp);
}

void out_forget(void) {
  for (out_file &o : outputs) o.temp[0] = '\0';
}
