/* A tiny firmware for the ELF tests: code, initialised data (placed after the
   code in flash, copied to RAM at start) and zeroed data (no file bytes). */
volatile unsigned char counter;
static const char banner[] = "varn elf test";
unsigned short table[8] = {1, 2, 3, 5, 8, 13, 21, 34};

int main(void) {
    for (;;) {
        counter += (unsigned char)(table[counter & 7] + banner[counter & 7]);
    }
}
