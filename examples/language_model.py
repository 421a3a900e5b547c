#!/usr/bin/env python3
"""The per-token loop of language-model compression, with a small model that runs here.

A real user would call a transformer; this example uses a stand-in that is clearly not
one: a character-level model whose logits come from smoothed order-3 counts over a
training text, turned into probabilities with a softmax, exactly where a network's
output would be. What matters is the loop: the encoder and the decoder ask the model for
the same logits at every step, convert them the same way (same dtype, same operations),
and so code and decode the same symbols.

    python examples/language_model.py [--dtype float32|bfloat16]
"""

import argparse
import sys
import zlib

import numpy as np

from _vantor import ArithmeticCoder


class CharacterModel:
    """Logits over a byte vocabulary from order-3 character counts (a stand-in for a network)."""

    VOCAB = 256

    def __init__(self, training_text, order=3):
        self.order = order
        self.tables = {}
        data = training_text.encode("utf-8")
        for k in range(order + 1):
            table = {}
            for i in range(k, len(data)):
                table.setdefault(data[i - k:i], np.zeros(self.VOCAB, np.float32))[data[i]] += 1
            self.tables[k] = table

    def logits(self, context):
        """What a network's final layer would return for the next token, as float32."""
        out = np.zeros(self.VOCAB, np.float32)
        for k in range(min(self.order, len(context)) + 1):
            counts = self.tables[k].get(bytes(context[len(context) - k:]) if k else b"")
            if counts is not None:
                out += np.float32(k + 1) * np.log1p(counts)
        return out


def softmax(logits, dtype):
    """Probabilities in the dtype the coder reads; both sides must use the same one."""
    z = np.exp(logits - logits.max())
    probs = z / z.sum()
    return probs.astype(dtype)


def encode(model, message, dtype):
    """The encoder knows every token in advance, so it asks the model for every step's
    vector at once (as a network evaluated over the whole sequence would give them) and
    codes them all in one call: row i is the vector of step i."""
    data = message.encode("utf-8")
    rows = np.stack([softmax(model.logits(data[:i]), dtype) for i in range(len(data))])
    coder = ArithmeticCoder()
    coder.encode_steps(rows, np.frombuffer(data, np.uint8))
    return coder.finish_encoding(), len(data)


def decode(model, stream, length, dtype):
    """The decoder learns each token only by decoding it, so it goes step by step, asking
    the model for the same vectors in the same dtype."""
    coder = ArithmeticCoder()
    coder.start_decoding(stream)
    out = bytearray()
    for _ in range(length):
        out.append(coder.decode_step(softmax(model.logits(out), dtype)))
    return out.decode("utf-8")


TRAINING = """\
Arithmetic coding turns a sequence of predictions into a stream of bits. The better the
model predicts the next symbol, the fewer bits each symbol costs: a symbol predicted with
probability p costs about -log2(p) bits. Language models predict the next token of a text
very well, which is why they make strong compressors when an arithmetic coder is driven
by their output, one token at a time, in the encoder and again in the decoder.
"""

MESSAGE = "The better the model predicts the next token, the fewer bits each token costs."


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dtype", choices=["float32", "bfloat16"], default="float32")
    args = parser.parse_args(argv)
    if args.dtype == "bfloat16":
        try:
            import ml_dtypes
        except ImportError:
            print("bfloat16 needs the ml_dtypes package: pip install ml_dtypes", file=sys.stderr)
            return 1
        dtype = ml_dtypes.bfloat16
    else:
        dtype = np.float32
    model = CharacterModel(TRAINING)
    stream, length = encode(model, MESSAGE, dtype)
    decoded = decode(model, stream, length, dtype)
    assert decoded == MESSAGE, "decoding did not reproduce the message"
    raw = len(MESSAGE.encode("utf-8"))
    print(f"message: {raw} bytes; vantor with the model ({args.dtype}): {len(stream)} bytes "
          f"({8 * len(stream) / raw:.2f} bits per character); zlib -9: "
          f"{len(zlib.compress(MESSAGE.encode(), 9))} bytes")
    print("decoded:", decoded)
    return 0


if __name__ == "__main__":
    sys.exit(main())
