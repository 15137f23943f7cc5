#!/usr/bin/env python3
"""Writes sample.bin: the smallest real LPC11C24 program, a Cortex-M0 vector
table and a counting loop, as a raw flash image from address 0; and the same
program as sample.hex (Intel HEX) and sample.elf (an ELF32 ARM executable),
beside it with the same name stem.

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



def hex_record(offset, rtype, data):
    body = struct.pack(">BHB", len(data), offset, rtype) + data
    return ":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF)


def intel_hex(image):
    """Data records of 16 bytes on 16-byte boundaries, then end of file (01);
    below 0x10000 no extended address record is needed."""
    return "".join(hex_record(a, 0x00, image[a:a + 16]) for a in range(0, len(image), 16)) + hex_record(0, 0x01, b"")


def elf(image):
    """ELF32 little-endian ARM executable, no sections: the image in a PT_LOAD
    segment at physical address 0, and a .bss-like PT_LOAD in RAM without file
    bytes (p_filesz 0, p_memsz 0x100), which a flash image leaves out."""
    ehsize, phentsize, phnum = 52, 32, 2
    data_offset = ehsize + phnum * phentsize
    header = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)  # ELFCLASS32, ELFDATA2LSB, EV_CURRENT
    header += struct.pack("<HHIIIIIHHHHHH",
                          2, 40, 1,        # ET_EXEC, EM_ARM, EV_CURRENT
                          RESET | 1,       # e_entry: the reset handler, Thumb
                          ehsize, 0,       # e_phoff, e_shoff (no section headers)
                          0x05000200,      # e_flags: EABI version 5, soft float
                          ehsize, phentsize, phnum, 40, 0, 0)
    PT_LOAD, R, W, X = 1, 4, 2, 1
    text = struct.pack("<8I", PT_LOAD, data_offset, 0, 0, len(image), len(image), R | X, 4)
    bss = struct.pack("<8I", PT_LOAD, 0, STACK_TOP - 0x2000, STACK_TOP - 0x2000, 0, 0x100, R | W, 4)
    return header + text + bss + image


out = sys.argv[1] if len(sys.argv) > 1 else "sample.bin"
stem = out[:-4] if out.endswith(".bin") else out
for name, contents in ((out, image), (stem + ".hex", intel_hex(image).encode()), (stem + ".elf", elf(image))):
    with open(name, "wb") as f:
        f.write(contents)
    print("%s: %d bytes" % (name, len(contents)))
