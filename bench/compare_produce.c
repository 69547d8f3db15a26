/* PROGRAM for the log figure: writes LINES numbered lines of exactly 100 bytes to standard
 * output in 4096-byte writes, then exits 0. Line k reads "%015d " followed by filler that
 * depends on k, so that a checker can tell a torn, missing or repeated line. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kLine = 100, kChunk = 4096 };

static void put(const char* buffer, size_t length) {
  ssize_t written;

  while (length > 0) {
    written = write(1, buffer, length);
    if (written < 0)
      exit(1);
    buffer += written;
    length -= (size_t)written;
  }
}

int main(int argc, char** argv) {
  static char chunk[kChunk + kLine];
  long lines, k;
  size_t used = 0;
  int i;

  lines = argc > 1 ? atol(argv[1]) : 0;
  for (k = 0; k < lines; k++) {
    char* line = chunk + used;
    char number[24];

    snprintf(number, sizeof(number), "%015ld ", k);
    memcpy(line, number, 16);
    for (i = 16; i < kLine - 1; i++)
      line[i] = (char)('a' + (k + i) % 26);
    line[kLine - 1] = '\n';
    used += kLine;
    if (used >= kChunk) {
      put(chunk, kChunk);
      used -= kChunk;
      memmove(chunk, chunk + kChunk, used);
    }
  }
  put(chunk, used);
  return 0;
}
