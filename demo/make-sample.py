#!/usr/bin/env python3
"""Writes the demo folder: the three configuration files and sample.hex.

Run from anywhere; the files land beside this script. Every file uses CR LF
line ends, as the program itself writes them.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Invented device types: name, code the unit knows it by, size in bytes.
DEVICES = [
    ("FLASH 1K", 1, 1024),
    ("EPROM 2K", 2, 2048),
    ("EEPROM 4K", 3, 4096),
    ("FLASH 8K", 4, 8192),
    ("EPROM 8K", 5, 8192),
    ("EEPROM 8K, low voltage", 6, 8192),
    ("EPROM 16K", 7, 16384),
    ("FLASH 32K", 8, 32768),
    ("EEPROM 32K", 9, 32768),
    ("EPROM 64K", 10, 65536),
]
PORT = 1
SELECTED = 5
AUTO = [1, 2, 3, 4]  # Erase, Blank, Program, Verify

BANNER = (b"VARN ~ Varnet demo image. "
          b"0000-00FF: this text; 0100-0BFF: a byte ramp 00..FF. ")
BANNER_SIZE = 0x100
RAMP_END = 0xC00
RECORD = 16


def write(name, lines):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(b"".join(line.encode("ascii") + b"\r\n" for line in lines))


def image():
    data = bytearray(BANNER.ljust(BANNER_SIZE, b" "))
    data += bytes(a & 0xFF for a in range(BANNER_SIZE, RAMP_END))
    return bytes(data)


def hex_record(address, rtype, payload):
    body = bytes([len(payload), address >> 8, address & 0xFF, rtype]) + payload
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def main():
    write("varn.cfg", [str(PORT), str(len(DEVICES)), str(SELECTED)])
    write("varn.dev", ['"%s",%d,%d' % d for d in DEVICES])
    write("auto.cfg", [str(len(AUTO))] + [str(code) for code in AUTO])
    data = image()
    records = [hex_record(a, 0, data[a:a + RECORD]) for a in range(0, len(data), RECORD)]
    write("sample.hex", records + [hex_record(0, 1, b"")])


if __name__ == "__main__":
    main()
