#!/bin/sh
# Makes the ELF test files and what `objcopy -O binary` makes of them (the
# reference the ELF loader must match byte for byte). Needs Debian's gcc-avr,
# binutils-avr, avr-libc and gcc-arm-none-eabi; the results are kept here so
# that the tests need none of them.
set -e
cd "$(dirname "$0")"
avr-gcc -mmcu=atmega328p -Os -o avr.elf blink.c
avr-objcopy -O binary avr.elf avr.bin
arm-none-eabi-gcc -mcpu=cortex-m0 -mthumb -Os -nostdlib -nostartfiles \
  -Wl,-Ttext=0x08000000 -Wl,-Tdata=0x20000000 -Wl,-e,main -o arm.elf blink.c
# The data section sits in RAM; its load address is placed after the code.
arm-none-eabi-objcopy --change-section-lma .data=0x08000100 arm.elf arm.elf
arm-none-eabi-objcopy -O binary arm.elf arm.bin
