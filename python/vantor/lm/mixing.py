"""The model's prediction corrected by what the text has already said.

A match model follows, for each chunk, the latest earlier occurrence of the chunk's last
tokens in any chunk (both sides know every chunk's tokens up to the previous step) and
predicts the token that came next there. How far to trust that prediction is learned: a
table under the match's length maps the model's own probability of the predicted token to
the probability it turned out to deserve, from the record of earlier predictions at that
length and confidence (an adaptive probability map, updated after every token). The
predicted token gets that probability and every other symbol keeps its share of the rest,
so the model's vector is scaled once and one element is set: a single pass over it.

The same arithmetic on every machine: the tables hold Python floats (IEEE doubles, whose
basic operations round the same everywhere), their points are exact powers of two, and
the vector work is element-wise NumPy division. No exp, log or floating sum is involved.
"""

from __future__ import annotations

from array import array
from bisect import bisect_right
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .probabilities import weights

if TYPE_CHECKING:  # numpy.typing is NumPy 1.20 and newer
    import numpy.typing as npt

MATCH_MIN = 3  # tokens a context must share with an earlier one before it predicts
MATCH_VERIFY = 64  # how far back a new match's length is counted
# The map's points: p = 1 / (1 + 2^-k) for k = -16..16, exact in binary, so both sides
# have them bit for bit; p is interpolated linearly between neighbours.
POINTS = tuple(1.0 / (1.0 + 2.0 ** -k) for k in range(-16, 17))
MIN_RATE = 0.02  # after ~50 observations a point moves by 2% of each error
MAX_COUNT = 255
LENGTH_BUCKETS = 24
# Probabilities stay this far from 0 and 1, so that a wrong prediction never costs more
# than about 24 bits and the rest keep a share.
MARGIN = 2.0 ** -24


def length_bucket(length: int) -> int:
    """The table a match of `length` tokens reads: one per length up to 15, then one per
    16 tokens."""
    return length if length < 16 else min(16 + (length - 16) // 16, LENGTH_BUCKETS - 1)


class ProbabilityMap:
    """For each length bucket, the probability a prediction turned out to deserve, as a
    function of the model's probability of it."""

    def __init__(self) -> None:
        self.values = [list(POINTS) for _ in range(LENGTH_BUCKETS)]
        self.counts = [[0] * len(POINTS) for _ in range(LENGTH_BUCKETS)]

    @staticmethod
    def locate(p: float) -> Tuple[int, float]:
        """The interval of points that holds `p`, and `p`'s position in it."""
        p = min(max(p, POINTS[0]), POINTS[-1])
        k = min(bisect_right(POINTS, p) - 1, len(POINTS) - 2)
        return k, (p - POINTS[k]) / (POINTS[k + 1] - POINTS[k])

    def refine(self, bucket: int, k: int, w: float) -> float:
        values = self.values[bucket]
        p = values[k] * (1.0 - w) + values[k + 1] * w
        return min(max(p, MARGIN), 1.0 - MARGIN)

    def learn(self, bucket: int, k: int, w: float, hit: bool) -> None:
        values, counts = self.values[bucket], self.counts[bucket]
        target = 1.0 if hit else 0.0
        for i, share in ((k, 1.0 - w), (k + 1, w)):
            n = counts[i]
            rate = max(1.0 / (n + 1.5), MIN_RATE)
            values[i] += (target - values[i]) * rate * share
            counts[i] = min(n + 1, MAX_COUNT)


class _Row:
    """What a row's vector was made from, kept until its symbol is known."""

    __slots__ = ("chunk", "token", "bucket", "k", "w")

    def __init__(self, chunk: int, token: int, bucket: int, k: int, w: float) -> None:
        self.chunk, self.token, self.bucket, self.k, self.w = chunk, token, bucket, k, w


class Mixer:
    """The match model and its probability map over the chunks of one run."""

    def __init__(self, chunks: int) -> None:
        self.histories = [array("l") for _ in range(chunks)]
        # Per chunk: where its match continues (chunk, index of the predicted token) and
        # how many tokens it has matched so far; None without a match.
        self.matches: List[Optional[Tuple[int, int, int]]] = [None] * chunks
        # The last MATCH_MIN tokens of a context -> where the token after them is.
        self.recent: Dict[Tuple[int, ...], Tuple[int, int]] = {}
        self.map = ProbabilityMap()
        self.rows: List[Optional[_Row]] = []

    def prediction(self, chunk: int) -> Tuple[int, int]:
        """The token the match model predicts next in `chunk`, and the match's length;
        (-1, 0) when it predicts nothing."""
        match = self.matches[chunk]
        if match is None:
            return -1, 0
        source, index, length = match
        history = self.histories[source]
        if index >= len(history):  # the source has not got that far yet
            return -1, 0
        return history[index], length

    def vectors(self, active: Sequence[int], logits: npt.NDArray[Any],
                extra: int) -> npt.NDArray[np.float32]:
        """The step's probability vectors, one per active chunk, from the model's rows of
        logits."""
        out = np.empty((len(active), logits.shape[1] + extra), np.float32)
        self.rows = []
        for i, chunk in enumerate(active):
            buffer = weights(logits[i], extra)
            total = float(buffer.sum())
            token, length = self.prediction(chunk)
            if token < 0:
                np.divide(buffer, total, out=buffer)
                out[i] = buffer
                self.rows.append(None)
                continue
            token_weight = float(buffer[token])
            model_p = token_weight / total
            bucket = length_bucket(length)
            k, w = self.map.locate(model_p)
            p = self.map.refine(bucket, k, w)
            # The others keep their proportions within 1 - p.
            np.divide(buffer, (total - token_weight) / (1.0 - p), out=buffer)
            buffer[token] = p
            out[i] = buffer
            self.rows.append(_Row(chunk, token, bucket, k, w))
        return out

    def learn(self, active: Sequence[int], symbols: Sequence[int]) -> None:
        """Take in the step's symbols, in the order of `active`, after they were coded."""
        for symbol, row in zip(symbols, self.rows):
            if row is not None:
                self.map.learn(row.bucket, row.k, row.w, symbol == row.token)
        # Only after every row was predicted from the previous step do the histories grow.
        for chunk, symbol in zip(active, symbols):
            self._append(chunk, symbol)
        self.rows = []

    def _append(self, chunk: int, symbol: int) -> None:
        history = self.histories[chunk]
        predicted, _ = self.prediction(chunk)
        history.append(symbol)
        match = self.matches[chunk]
        if match is not None and predicted == symbol:
            self.matches[chunk] = (match[0], match[1] + 1, match[2] + 1)
        else:
            self.matches[chunk] = None
        if len(history) < MATCH_MIN:
            return
        key = tuple(history[-MATCH_MIN:])
        if self.matches[chunk] is None:
            found = self.recent.get(key)
            if found is not None:
                self.matches[chunk] = self._verified(chunk, *found)
        self.recent[key] = (chunk, len(history))

    def _verified(self, chunk: int, source: int, index: int) -> Optional[Tuple[int, int, int]]:
        """The match that continues at `index` of `source`, with its length counted back
        (a hash is a candidate only); None if it is shorter than MATCH_MIN."""
        here, there = self.histories[chunk], self.histories[source]
        length = 0
        while (length < MATCH_VERIFY and index - 1 - length >= 0 and
               here[len(here) - 1 - length] == there[index - 1 - length]):
            length += 1
        if length < MATCH_MIN:
            return None
        return source, index, length
