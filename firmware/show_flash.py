#!/usr/bin/env python3
"""Shows what a persisted flash file of the simulated board holds: the vector
table with its checksum (the eight words must sum to 0 modulo 2^32 for the
chip's boot code to start the program), and whether the image follows."""
import struct
import sys

flash_path, image_path = sys.argv[1], sys.argv[2]
flash = open(flash_path, "rb").read()
image = open(image_path, "rb").read()
words = struct.unpack("<8I", flash[:32])
for i, word in enumerate(words):
    print("vector %d: 0x%08X%s" % (i, word, "   <- checksum written by canisp" if i == 7 else ""))
total = sum(words) & 0xFFFFFFFF
print("sum of the 8 words: 0x%08X (%s)" % (total, "valid user code" if total == 0 else "INVALID"))
padded = image + bytes(-len(image) % 4)
same = flash[:28] == padded[:28] and flash[32:len(padded)] == padded[32:]
print("flash bytes 0-%d: %s %s" % (len(padded) - 1, "match" if same else "DIFFER FROM", image_path))
sys.exit(0 if same and total == 0 else 1)
