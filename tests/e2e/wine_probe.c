/* Prints one line and exits 0: run under Wine, it shows whether Wine runs this build's programs
   on this machine (scripts/env.sh, pinecone_wine32_runs), found by trying rather than guessed. */
#include <stdio.h>

int main(void) {
  puts("pinecone wine probe");
  return 0;
}
