// Replays inputs to a fuzz target without libFuzzer, so that any compiler
// builds the targets and every test run feeds them their seed corpora:
// each file named, and each file of each directory named, goes once to
// LLVMFuzzerTestOneInput. A target aborts on a fault it finds; a run that
// finds no input at all fails too, so that a lost corpus is not a pass.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// The bytes of a file; false when it cannot be read.
bool read_file(const std::string &path, std::vector<uint8_t> *bytes) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes->clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes->insert(bytes->end(), chunk, chunk + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// The path itself for a file; for a directory, its files in name order.
std::vector<std::string> inputs_of(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR *dir = opendir(path.c_str())) {
    while (dirent *e = readdir(dir)) {
      std::string file = path + "/" + e->d_name;
      if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        files.push_back(file);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char **argv) {
  size_t replayed = 0;
  std::vector<uint8_t> bytes;
  for (int i = 1; i < argc; i++) {
    for (const std::string &file : inputs_of(argv[i])) {
      if (!read_file(file, &bytes)) {
        fprintf(stderr, "%s: cannot read `%s'\n", argv[0], file.c_str());
        return 1;
      }
      // An empty vector's data() may be null; the target gets a size of 0.
      static const uint8_t none[1] = {0};
      LLVMFuzzerTestOneInput(bytes.empty() ? none : bytes.data(),
                             bytes.size());
      replayed++;
    }
  }
  printf("%zu inputs replayed\n", replayed);
  if (replayed == 0) {
    fprintf(stderr, "%s: no input to replay\n", argv[0]);
    return 1;
  }
  return 0;
}
