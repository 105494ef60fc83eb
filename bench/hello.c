/* The floor for a client's start-up: a C program that only prints. */
#include <stdio.h>

int main(void) {
  puts("hello");
  return 0;
}
