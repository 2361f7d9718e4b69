// The numbering of a run's code sites (site_numbers.h). Owns the one
// record below: the numbers by image and folded instruction address, each
// site's image and folded address, the folding map's places read
// backwards, each thread's last site, and each image's modules.
#include "toolset/site_numbers.h"

#include <stdio.h>

#include <string>
#include <unordered_map>

#include "transport/fold_map.h"

namespace {

enum : uint32_t { kNoSite = UINT32_MAX };

// Most fetches repeat an address seen a moment ago: a small table in front
// of the hash map answers them. Its key, and the hash map's: the image in
// the high half, the folded address in the low.
enum { kRecentBits = 12 };
struct recent_entry {
  uint64_t key;  // kNoKey: empty
  uint32_t site;
};
// No image is numbered UINT32_MAX, so no fetch has this key.
constexpr uint64_t kNoKey = UINT64_MAX;

// The records a batch's numbering reads came from QEMU's core, and the
// numbering outruns the processor's own fetching ahead: asked for this
// many records ahead, several lines are on their way at once.
enum { kAhead = 512, kStride = 64 };  // kStride: a line of kinds

// A program image: a process from its start or exec to its next exec or
// its end.
struct image {
  int pid;
  bool maps_readable;  // /proc/<pid>/maps names its code
  std::vector<code_module> modules;
};

struct site_state {
  bool on;
  bool any_fetch;
  std::unordered_map<uint64_t, uint32_t> by_key;     // image, folded -> site
  recent_entry recent[1 << kRecentBits];
  std::vector<uint64_t> keys;                         // site -> key
  std::unordered_map<uint64_t, uint64_t> region_at;   // place -> region
  std::unordered_map<unsigned, uint32_t> last_site;   // thread -> site
  uint32_t unknown = kNoSite;  // the site of data before any fetch
  std::vector<uint32_t> batch;                        // the batch's sites
  std::vector<image> images;
  std::unordered_map<int, uint32_t> image_of_pid;     // its image now
  bool maps_read;  // this batch's process's maps have been read
};
site_state sites;

uint64_t unfold(uint32_t folded) {
  int bits = fm_region_bits();
  auto found = sites.region_at.find(uint64_t{folded} >> bits);
  if (found == sites.region_at.end()) return folded;
  return found->second << bits | (folded & ((uint64_t{1} << bits) - 1));
}

// The image process pid runs now (pid 0: the one image of a trace).
uint32_t image_now(int pid, bool maps_readable) {
  auto [at, added] = sites.image_of_pid.try_emplace(
      pid, static_cast<uint32_t>(sites.images.size()));
  if (added) sites.images.push_back({pid, maps_readable && pid > 0, {}});
  return at->second;
}

bool in_module(const image &im, uint64_t address) {
  for (const code_module &m : im.modules)
    if (address >= m.start && address < m.end) return true;
  return false;
}

// Adds the mappings found to the image, but those that overlap one known
// (its maps read again).
void add_modules(image *im, const std::vector<code_module> &found) {
  for (const code_module &m : found) {
    bool overlaps = false;
    for (const code_module &k : im->modules)
      overlaps |= m.start < k.end && k.start < m.end;
    if (!overlaps) im->modules.push_back(m);
  }
}

// A new site at address of image i: the live process's maps are read
// (once a batch) when none of the image's modules holds it.
void look_for_module(uint32_t i, uint64_t address) {
  image *im = &sites.images[i];
  if (!im->maps_readable || sites.maps_read || in_module(*im, address))
    return;
  sites.maps_read = true;
  std::vector<code_module> found;
  std::string path = "/proc/" + std::to_string(im->pid) + "/maps";
  if (read_maps_file(path.c_str(), &found) == 0) add_modules(im, found);
}

recent_entry *recent_slot(uint64_t key) {
  uint32_t low = static_cast<uint32_t>(key ^ key >> 32);
  return &sites.recent[(low ^ low >> kRecentBits) &
                       ((1u << kRecentBits) - 1)];
}

// The site of a fetch that the recent table does not hold; it holds it
// then.
__attribute__((noinline)) uint32_t site_of_fetch(uint64_t key) {
  auto [at, added] = sites.by_key.try_emplace(
      key, static_cast<uint32_t>(sites.keys.size()));
  if (added) {
    sites.keys.push_back(key);
    look_for_module(static_cast<uint32_t>(key >> 32),
                    unfold(static_cast<uint32_t>(key)));
  }
  *recent_slot(key) = {key, at->second};
  return at->second;
}

// Asks for the kStride records from at on (see kAhead).
void ask_ahead(const md_addr_t *addrs, const unsigned char *kinds,
               size_t at) {
  __builtin_prefetch(kinds + at);
  for (size_t k = 0; k < kStride; k += 64 / sizeof *addrs)
    __builtin_prefetch(addrs + at + k);
}

// The site of data references no fetch came before.
uint32_t unknown_site(void) {
  if (sites.unknown == kNoSite) {
    sites.unknown = static_cast<uint32_t>(sites.keys.size());
    sites.keys.push_back(SN_UNKNOWN_ADDRESS);
  }
  return sites.unknown;
}

}  // namespace

void sn_start(void) {
  sites = site_state{};
  for (recent_entry &r : sites.recent) r.key = kNoKey;
  sites.on = true;
}

bool sn_on(void) { return sites.on; }

void sn_note_region(uint64_t region, uint64_t place) {
  if (sites.on) sites.region_at[place] = region;
}

const uint32_t *sn_number(const md_addr_t *addrs, const unsigned char *kinds,
                          size_t n, unsigned thread, int pid,
                          bool maps_readable) {
  if (!kinds) return nullptr;
  if (sites.batch.size() < n) sites.batch.resize(n);
  sites.maps_read = false;
  auto last = sites.last_site.try_emplace(thread, kNoSite).first;
  uint32_t site = last->second;
  // Locals, so that the loop keeps them in registers.
  uint32_t *out = sites.batch.data();
  const uint64_t high = uint64_t{image_now(pid, maps_readable)} << 32;
  size_t i = 0;
  if (site == kNoSite)  // data before the thread's first fetch
    for (; i < n && kinds[i] != MD_REF_INST; i++) out[i] = unknown_site();
  for (; i < n; i++) {
    if (i % kStride == 0 && i + kAhead < n) ask_ahead(addrs, kinds, i + kAhead);
    if (kinds[i] == MD_REF_INST) {
      uint64_t key = high | addrs[i];
      const recent_entry *r = recent_slot(key);
      site = r->key == key ? r->site : site_of_fetch(key);
    }
    out[i] = site;
  }
  sites.any_fetch |= site != kNoSite;
  last->second = site;
  return out;
}

bool sn_any_fetch(void) { return sites.any_fetch; }
uint32_t sn_count(void) { return static_cast<uint32_t>(sites.keys.size()); }

void sn_add_maps(const char *text, size_t n, int pid) {
  uint32_t i = image_now(pid, false);
  add_modules(&sites.images[i],
              modules_from_maps(std::string(text, n).c_str()));
  sites.image_of_pid.erase(pid);  // what the process runs next is new
}

// Unfolded only now: a region another process placed can reach vantle-sim
// after a fetch of this one that lies in it.
std::vector<site_name> sn_names(uint32_t count, bool lines) {
  std::vector<site_name> names(count);
  for (uint32_t i = 0; i < sites.images.size(); i++) {
    std::vector<uint64_t> addresses;
    std::vector<uint32_t> which;
    for (uint32_t s = 0; s < count && s < sites.keys.size(); s++)
      if (s != sites.unknown && sites.keys[s] >> 32 == i) {
        addresses.push_back(unfold(static_cast<uint32_t>(sites.keys[s])));
        which.push_back(s);
      }
    if (which.empty()) continue;
    std::vector<site_name> found = name_sites(
        addresses.data(), addresses.size(), sites.images[i].modules, lines);
    for (size_t k = 0; k < which.size(); k++) names[which[k]] = found[k];
  }
  if (sites.unknown < count) {
    const uint64_t unknown = SN_UNKNOWN_ADDRESS;
    names[sites.unknown] = name_sites(&unknown, 1, {}, false)[0];
  }
  return names;
}
