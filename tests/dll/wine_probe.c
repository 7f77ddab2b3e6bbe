/* The smallest 32-bit Windows program: exits with 0. The Wine runner starts
 * it first to learn whether this machine can run 32-bit programs at all. */
int main(void) { return 0; }
