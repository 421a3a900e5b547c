"""The floor a user starts from: an arithmetic coder written in plain Python with NumPy.

Each step turns the probabilities into a cumulative integer table with NumPy and narrows
a 62-bit interval with Python integers, as someone would write it without an extension.
"""

import numpy as np

PRECISION = 32
TOTAL = 1 << PRECISION
HALF, QUARTER = 1 << 61, 1 << 60
TOP = (1 << 62) - 1


def _cumulative(probs):
    freqs = np.maximum((np.asarray(probs, dtype=np.float64) * TOTAL).astype(np.int64), 1)
    # Give the rounding remainder to the largest entry so the table totals TOTAL exactly.
    freqs[int(np.argmax(freqs))] += TOTAL - int(freqs.sum())
    return np.concatenate(([0], np.cumsum(freqs)))


class PurePythonEncoder:
    def __init__(self):
        self.low, self.high, self.pending, self.bits = 0, TOP, 0, []

    def _emit(self, bit):
        self.bits.append(bit)
        self.bits.extend([1 - bit] * self.pending)
        self.pending = 0

    def encode(self, probs, symbol):
        cum = _cumulative(probs)
        r = self.high - self.low + 1
        self.high = self.low + (r * int(cum[symbol + 1]) >> PRECISION) - 1
        self.low = self.low + (r * int(cum[symbol]) >> PRECISION)
        while True:
            if self.high < HALF:
                self._emit(0)
            elif self.low >= HALF:
                self._emit(1)
                self.low -= HALF
                self.high -= HALF
            elif self.low >= QUARTER and self.high < 3 * QUARTER:
                self.pending += 1
                self.low -= QUARTER
                self.high -= QUARTER
            else:
                return
            self.low <<= 1
            self.high = (self.high << 1) | 1

    def finish(self):
        self.pending += 1
        self._emit(1 if self.low >= QUARTER else 0)
        bits = self.bits + [0] * (-len(self.bits) % 8)
        return np.packbits(np.array(bits, dtype=np.uint8)).tobytes()


class PurePythonDecoder:
    def __init__(self, data):
        self.bits = np.unpackbits(np.frombuffer(data, dtype=np.uint8)).tolist()
        self.pos = 0
        self.low, self.high, self.value = 0, TOP, 0
        for _ in range(62):
            self.value = (self.value << 1) | self._bit()

    def _bit(self):
        self.pos += 1
        return self.bits[self.pos - 1] if self.pos <= len(self.bits) else 0

    def decode(self, probs):
        cum = _cumulative(probs)
        r = self.high - self.low + 1
        target = (((self.value - self.low + 1) << PRECISION) - 1) // r
        symbol = int(np.searchsorted(cum, target, side="right")) - 1
        self.high = self.low + (r * int(cum[symbol + 1]) >> PRECISION) - 1
        self.low = self.low + (r * int(cum[symbol]) >> PRECISION)
        while True:
            if self.high < HALF:
                pass
            elif self.low >= HALF:
                self.value -= HALF
                self.low -= HALF
                self.high -= HALF
            elif self.low >= QUARTER and self.high < 3 * QUARTER:
                self.value -= QUARTER
                self.low -= QUARTER
                self.high -= QUARTER
            else:
                return symbol
            self.low <<= 1
            self.high = (self.high << 1) | 1
            self.value = (self.value << 1) | self._bit()
