/* A program that runs machine code it writes itself, for the tracer tests:
 * n calls of a four-instruction function placed so that its second
 * instruction straddles two pages, and whose third stores into the page it
 * runs from. Under QEMU the first ends a translated block early and the
 * second makes QEMU restart it; neither may change what is recorded: four
 * fetches and one store a call. Then n calls of a loop that jumps back
 * into the tail of its first block, past its only load: a block starts
 * there that the last one's fetches end with, and they ran all the same:
 * 3 + 2 * 5 fetches a call. Prints each function's address and size.
 *
 *   jit n     (x86-64 only; elsewhere it exits with 77) */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

int main(int argc, char **argv) {
#if defined(__x86_64__)
  if (argc != 2) return 2;
  long n = strtol(argv[1], NULL, 10);
  static const unsigned char code[] = {
      0x90,                          /* nop */
      0xb8, 0x78, 0x56, 0x34, 0x12,  /* mov eax, 0x12345678 (straddles) */
      0x89, 0x05, 0x00, 0x01, 0, 0,  /* mov [rip + 0x100], eax (own page) */
      0xc3};                         /* ret */
  unsigned char *pages = mmap(NULL, 8192, PROT_READ | PROT_WRITE | PROT_EXEC,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return 3;
  unsigned char *f = pages + 4096 - 3;  /* the mov: 2 bytes here, 3 on */
  memcpy(f, code, sizeof code);
  printf("%p %zu\n", (void *)f, sizeof code);
  fflush(stdout);
  for (long i = 0; i < n; i++) ((void (*)(void))f)();
  static const unsigned char loop[] = {
      0x89, 0xf9,                    /* mov ecx, edi */
      0x8b, 0x05, 0x00, 0x01, 0, 0,  /* mov eax, [rip + 0x100] */
      0xff, 0xc9,                    /* dec ecx */
      0x75, 0xfc,                    /* jnz to the dec */
      0xc3};                         /* ret */
  unsigned char *g = pages + 64;
  memcpy(g, loop, sizeof loop);
  printf("%p %zu\n", (void *)g, sizeof loop);
  fflush(stdout);
  for (long i = 0; i < n; i++) ((void (*)(int))g)(5);
  return 0;
#else
  (void)argc;
  (void)argv;
  return 77;
#endif
}
