"""A plain-Python model of the coder, written from the coding rules with Python integers.

It is an independent oracle: the module's streams, symbols and refusals must equal its own
for any vectors and symbols.
"""

import math

TOTAL_FREQ = 1 << 32
HALF = 1 << 61
QUARTER = 1 << 60
THREE_QUARTERS = 3 << 60
MASK = (1 << 64) - 1
TOP = (1 << 62) - 1


def quantise(x):
    p = x * 4294967296.0
    if math.isnan(p) or not p >= 0:
        u = 0
    elif p > 18446744073709549568.0:
        u = MASK
    else:
        u = int(p)
    return u or 1


def frequencies(values):
    """The frequency table of widened element values, as unsigned 64-bit integers."""
    q = [quantise(float(x)) for x in values]
    best, d = 0, 0
    for i, v in enumerate(q):
        if v > best:
            best, d = v, i
    f = list(q)
    if f:
        f[d] = (q[d] + TOTAL_FREQ - sum(q)) & MASK
    return f


def codable(f, s):
    """A proper share: no exact partial sum up to s exceeds 2^32, and f_s >= 1."""
    return s < len(f) and f[s] != 0 and sum(f[: s + 1]) <= TOTAL_FREQ


class Refused(Exception):
    """The module refuses this step before changing anything."""


class ReferenceCoder:
    def __init__(self):
        self.low, self.high, self.pending, self.value = 0, TOP, 0, 0
        self.bits = []
        self.stream, self.position = b"", 0

    def _narrow(self, cum_low, cum_high):
        r = (self.high - self.low + 1) & MASK
        low = self.low
        self.high = (low + ((r * cum_high) >> 32) - 1) & MASK
        self.low = (low + ((r * cum_low) >> 32)) & MASK

    def _settle(self, bit):
        self.bits.append(bit)
        self.bits.extend([1 - bit] * self.pending)
        self.pending = 0

    def encode(self, values, symbol):
        f = frequencies(values)
        if not f or symbol >= len(f) or not codable(f, symbol):
            raise Refused
        cum_low = sum(f[:symbol])
        self._narrow(cum_low, cum_low + f[symbol])
        while True:
            if self.high < HALF:
                self._settle(0)
            elif self.low >= HALF:
                self._settle(1)
                self.low -= HALF
                self.high -= HALF
            elif self.high >= THREE_QUARTERS or self.low < QUARTER:
                return
            else:
                self.pending += 1
                self.low -= QUARTER
                self.high -= QUARTER
            self.low = (self.low << 1) & MASK
            self.high = ((self.high << 1) | 1) & MASK

    def finish(self):
        self.pending += 1
        self._settle(1 if self.low >= QUARTER else 0)
        bits = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(
            int("".join(map(str, bits[i : i + 8])), 2) for i in range(0, len(bits), 8)
        )

    def _next_bit(self):
        i = self.position
        self.position += 1
        return (self.stream[i // 8] >> (7 - i % 8)) & 1 if i // 8 < len(self.stream) else 0

    def start(self, stream):
        self.stream, self.position = bytes(stream), 0
        self.low, self.high, self.value = 0, TOP, 0
        for _ in range(62):
            self.value = (self.value << 1) | self._next_bit()

    def decode(self, values):
        f = frequencies(values)
        r = (self.high - self.low + 1) & MASK
        if not self.low <= self.value <= self.high or not f:
            raise Refused
        target = (((self.value - self.low + 1) << 32) - 1) // r
        c = 0
        for s, fs in enumerate(f):
            if c + fs > target:
                break
            c += fs
        else:
            raise Refused
        if not codable(f, s):
            raise Refused
        self._narrow(c, c + fs)
        while True:
            if self.high < HALF:
                pass
            elif self.low >= HALF:
                self.value -= HALF
                self.low -= HALF
                self.high -= HALF
            elif self.high >= THREE_QUARTERS or self.low < QUARTER:
                return s
            else:
                self.value -= QUARTER
                self.low -= QUARTER
                self.high -= QUARTER
            self.low = (self.low << 1) & MASK
            self.high = ((self.high << 1) | 1) & MASK
            self.value = ((self.value << 1) | self._next_bit()) & MASK
