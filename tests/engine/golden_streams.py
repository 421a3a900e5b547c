"""Writes golden_streams.inc: the streams that the plain-Python reference coder produces for
the vectors and symbols of golden_streams_test.cpp. The C++ test builds the same vectors
from the same generator, so every platform's engine must give exactly these bytes.

Run from the repository root after a deliberate change of the rules:
    python3 tests/engine/golden_streams.py > tests/engine/golden_streams.inc
"""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from reference_coder import ReferenceCoder, Refused  # noqa: E402

MASK = (1 << 64) - 1
STEPS = 48
REFUSED_STEP = 20  # this step names a symbol past the vector's end
SIZES = [1, 2, 3, 17, 64, 255, 256, 257, 1000, 4099]
# (name, exponent bits, fraction bits)
KINDS = [("Float32", 8, 23), ("Float16", 5, 10), ("BFloat16", 8, 7), ("Float64", 11, 52)]


class SplitMix64:
    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)


def element_bits(r, n, exponent_bits, fraction_bits):
    """One element's bit pattern: mostly positive values below 1/n (subnormal where the
    format runs out of exponent), now and then a zero of either sign, the smallest
    subnormal, a NaN with a payload or a negative value."""
    bias = (1 << (exponent_bits - 1)) - 1
    sign = 1 << (exponent_bits + fraction_bits)
    fraction = (r >> 8) & ((1 << fraction_bits) - 1)
    exponent = max(bias - n.bit_length() - 1 - (r >> 4) % 6, 0)
    value = (exponent << fraction_bits) | fraction
    special = r % 32
    if special == 0:
        return 0
    if special == 1:
        return sign
    if special == 2:
        return 1
    if special == 3:
        return (((1 << exponent_bits) - 1) << fraction_bits) | (1 << (fraction_bits - 1)) | 5
    if special == 4:
        return sign | value
    return value


def widen(bits, name):
    if name == "Float32":
        return struct.unpack("<f", struct.pack("<I", bits))[0]
    if name == "Float16":
        return struct.unpack("<e", struct.pack("<H", bits))[0]
    if name == "BFloat16":
        return struct.unpack("<f", struct.pack("<I", bits << 16))[0]
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def steps(kind_index):
    """(vector bits, symbol) for every step of one element kind."""
    name, exponent_bits, fraction_bits = KINDS[kind_index]
    rng = SplitMix64(0x5EED0000 + kind_index)
    out = []
    for step in range(STEPS):
        n = SIZES[rng.next() % len(SIZES)]
        vector = [element_bits(rng.next(), n, exponent_bits, fraction_bits) for _ in range(n)]
        symbol = n if step == REFUSED_STEP else rng.next() % n
        out.append((vector, symbol))
    return out


def stream(kind_index):
    name = KINDS[kind_index][0]
    coder = ReferenceCoder()
    for step, (vector, symbol) in enumerate(steps(kind_index)):
        try:
            coder.encode([widen(bits, name) for bits in vector], symbol)
        except Refused:
            assert step == REFUSED_STEP
            continue
        assert step != REFUSED_STEP
    return coder.finish()


def main():
    print("// Written by golden_streams.py from the plain-Python reference coder; do not edit.")
    for index, (name, _, _) in enumerate(KINDS):
        data = stream(index)
        print(f"const uint8_t GOLDEN_{name.upper()}[] = {{")
        for i in range(0, len(data), 16):
            print("    " + ", ".join(f"0x{b:02x}" for b in data[i : i + 16]) + ",")
        print("};")


if __name__ == "__main__":
    main()
