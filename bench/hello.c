/* The reference process start: the least a C program does. */
#include <stdio.h>

int main(void) {
    puts("hello, world");
    return 0;
}
