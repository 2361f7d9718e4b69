// The numbering of a run's code sites (site_numbers.h). Owns the one
// record below: the numbers by folded instruction address, each site's
// unfolded address, the folding map's places read backwards, each
// thread's last fetch, and the modules found.
#include "toolset/site_numbers.h"

#include <stdio.h>

#include <string>
#include <unordered_map>

#include "transport/fold_map.h"

namespace {

enum : uint32_t { kNoSite = UINT32_MAX };

// Most fetches repeat an address seen a moment ago: a small table in front
// of the hash map answers them.
enum { kRecentBits = 12 };
struct recent_entry {
  uint32_t folded;
  uint32_t site;  // kNoSite: empty
};

struct site_state {
  bool on;
  bool any_fetch;
  std::unordered_map<uint32_t, uint32_t> by_address;  // folded -> site
  recent_entry recent[1 << kRecentBits];
  std::vector<uint32_t> folded;                       // site -> address
  std::vector<uint64_t> unfolded;                     // sn_addresses'
  std::unordered_map<uint64_t, uint64_t> region_at;   // place -> region
  std::unordered_map<unsigned, uint32_t> last_site;   // thread -> site
  uint32_t unknown = kNoSite;  // the site of data before any fetch
  std::vector<uint32_t> batch;                        // the batch's sites
  std::vector<code_module> modules;
  bool maps_read;  // this batch's process's maps have been read
};
site_state sites;

uint64_t unfold(uint32_t folded) {
  int bits = fm_region_bits();
  auto found = sites.region_at.find(uint64_t{folded} >> bits);
  if (found == sites.region_at.end()) return folded;
  return found->second << bits | (folded & ((uint64_t{1} << bits) - 1));
}

bool in_module(uint64_t address) {
  for (const code_module &m : sites.modules)
    if (address >= m.start && address < m.end) return true;
  return false;
}

// Adds modules, leaving out mappings that overlap one already known (an
// exec'd program's, say, at its parent's addresses: the first stays).
void add_modules(const std::vector<code_module> &found) {
  for (const code_module &m : found) {
    bool overlaps = false;
    for (const code_module &k : sites.modules)
      overlaps |= m.start < k.end && k.start < m.end;
    if (!overlaps) sites.modules.push_back(m);
  }
}

// A new site at address: the live process's maps are read (once a batch)
// when no module known holds it.
void look_for_module(uint64_t address, int pid) {
  if (pid <= 0 || sites.maps_read || in_module(address)) return;
  sites.maps_read = true;
  std::vector<code_module> found;
  std::string path = "/proc/" + std::to_string(pid) + "/maps";
  if (read_maps_file(path.c_str(), &found) == 0) add_modules(found);
}

recent_entry *recent_slot(uint32_t folded) {
  return &sites.recent[(folded ^ folded >> kRecentBits) &
                       ((1u << kRecentBits) - 1)];
}

// The site of a fetch that the recent table does not hold; it holds it
// then.
__attribute__((noinline)) uint32_t site_of_fetch(uint32_t folded, int pid) {
  auto [at, added] = sites.by_address.try_emplace(
      folded, static_cast<uint32_t>(sites.folded.size()));
  if (added) {
    sites.folded.push_back(folded);
    look_for_module(unfold(folded), pid);
  }
  *recent_slot(folded) = {folded, at->second};
  return at->second;
}

// The site of data references no fetch came before.
uint32_t unknown_site(void) {
  if (sites.unknown == kNoSite) {
    sites.unknown = static_cast<uint32_t>(sites.folded.size());
    sites.folded.push_back(SN_UNKNOWN_ADDRESS);
  }
  return sites.unknown;
}

}  // namespace

void sn_start(void) {
  sites = site_state{};
  for (recent_entry &r : sites.recent) r.site = kNoSite;
  sites.on = true;
}

bool sn_on(void) { return sites.on; }

void sn_note_region(uint64_t region, uint64_t place) {
  if (sites.on) sites.region_at[place] = region;
}

const uint32_t *sn_number(const md_addr_t *addrs, const unsigned char *kinds,
                          size_t n, unsigned thread, int pid) {
  if (!kinds) return nullptr;
  if (sites.batch.size() < n) sites.batch.resize(n);
  sites.maps_read = false;
  auto last = sites.last_site.try_emplace(thread, kNoSite).first;
  uint32_t site = last->second;
  // Locals, so that the loop keeps them in registers.
  uint32_t *out = sites.batch.data();
  bool fetched = false;
  for (size_t i = 0; i < n; i++) {
    if (kinds[i] == MD_REF_INST) {
      const recent_entry *r = recent_slot(addrs[i]);
      site = r->site != kNoSite && r->folded == addrs[i]
                 ? r->site
                 : site_of_fetch(addrs[i], pid);
      fetched = true;
    } else if (site == kNoSite) {
      out[i] = unknown_site();  // only until the thread's first fetch
      continue;
    }
    out[i] = site;
  }
  sites.any_fetch |= fetched;
  last->second = site;
  return out;
}

bool sn_any_fetch(void) { return sites.any_fetch; }
uint32_t sn_count(void) { return static_cast<uint32_t>(sites.folded.size()); }

// Unfolded only now: a region another process placed can reach vantle-sim
// after a fetch of this one that lies in it.
const uint64_t *sn_addresses(void) {
  sites.unfolded.resize(sites.folded.size());
  for (size_t i = 0; i < sites.folded.size(); i++)
    sites.unfolded[i] =
        i == sites.unknown ? uint64_t{SN_UNKNOWN_ADDRESS}
                           : unfold(sites.folded[i]);
  return sites.unfolded.data();
}

void sn_add_maps(const char *text, size_t n) {
  add_modules(modules_from_maps(std::string(text, n).c_str()));
}

const std::vector<code_module> &sn_modules(void) { return sites.modules; }
