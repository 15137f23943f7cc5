#!/usr/bin/env python3
"""Writes sample.bin: the smallest real LPC11C24 program, a Cortex-M0 vector
table and a counting loop, as a raw flash image from address 0.

Layout (Thumb code, little-endian):
  0x000  initial stack pointer 0x10002000 (top of the 8 KB RAM)
  0x004  reset vector -> 0x0C0 | 1
  0x008  NMI, HardFault and every other vector -> the idle loop at 0x0C8 | 1
         (47 entries: 15 system exceptions and 32 interrupts after the reset
         vector; word 7 is left 0 here, canisp writes the vector checksum
         into it before programming)
  0x0C0  reset:  movs r0, #0        (0x2000)
  0x0C2  count:  adds r0, #1        (0x3001)
  0x0C4          b    count         (0xE7FD: back 6 bytes from pc + 4)
  0x0C6          nop                (0xBF00, keeps the handler aligned)
  0x0C8  idle:   b    idle          (0xE7FE)
"""
import struct
import sys

STACK_TOP = 0x10002000
RESET = 0x0C0
IDLE = 0x0C8
VECTORS = 48  # 16 system entries + 32 interrupts of the LPC11C24

words = [STACK_TOP, RESET | 1] + [IDLE | 1] * (VECTORS - 2)
words[7] = 0  # the checksum word, filled in by the programmer
code = struct.pack("<5H", 0x2000, 0x3001, 0xE7FD, 0xBF00, 0xE7FE)
image = struct.pack("<%dI" % VECTORS, *words) + code
assert len(image) == IDLE + 2

out = sys.argv[1] if len(sys.argv) > 1 else "sample.bin"
with open(out, "wb") as f:
    f.write(image)
print("%s: %d bytes" % (out, len(image)))
