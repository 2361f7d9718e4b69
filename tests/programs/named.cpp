// A program whose code the naming tests look up: two C functions, a C++
// one in a namespace, and main. Prints the address of each, one per line
// ("<address> <name>"), then its own /proc/self/maps.
#include <stdio.h>

#include <vector>

extern "C" __attribute__((noinline)) long stream_sum(const long *a, long n) {
  long sum = 0;
  for (long i = 0; i < n; i++) sum += a[i];
  return sum;
}

extern "C" __attribute__((noinline)) long small_reuse(long *a, long n) {
  for (long i = 0; i < n; i++) a[i % 8] += i;
  return a[3];
}

namespace kern {
__attribute__((noinline)) long walk(std::vector<long> &v, int step) {
  long sum = 0;
  for (size_t i = 0; i < v.size(); i += static_cast<size_t>(step)) sum += v[i];
  return sum;
}
}  // namespace kern

int main() {
  std::vector<long> v(4096, 1);
  long total = stream_sum(v.data(), 4096) + small_reuse(v.data(), 4096) +
               kern::walk(v, 16);
  printf("%p stream_sum\n%p small_reuse\n%p walk\n",
         reinterpret_cast<void *>(&stream_sum),
         reinterpret_cast<void *>(&small_reuse),
         reinterpret_cast<void *>(&kern::walk));
  FILE *maps = fopen("/proc/self/maps", "r");
  for (int c; maps && (c = fgetc(maps)) != EOF;) putchar(c);
  return total == 0;
}
