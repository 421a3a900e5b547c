"""The match model and its probability map, without the language model: synthetic logits
and tokens stand in for it, so these run wherever NumPy does (every NumPy series the test
command covers, and the emulated platforms)."""

import hashlib
import math

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from vantor.lm.mixing import MARGIN, POINTS, Mixer, ProbabilityMap, length_bucket
from vantor.lm.probabilities import probabilities

VOCABULARY = 600
EXTRA = 3


def synthetic_run(seed, lengths, repeats):
    """Per chunk, its tokens, and per step the model's logits for the active chunks. With
    `repeats`, each chunk is a few long phrases said over and over (in other chunks too);
    the logits favour the right token only now and then, as a weak model would."""
    rng = np.random.RandomState(seed)  # the legacy generator's stream never changes
    phrases = [rng.randint(0, VOCABULARY, size=40) for _ in range(3)]
    chunks = []
    for length in lengths:
        if repeats:
            parts = [phrases[i] for i in rng.randint(0, len(phrases), size=length // 40 + 1)]
            chunks.append([int(t) for t in np.concatenate(parts)[:length]])
        else:
            chunks.append([int(t) for t in rng.randint(0, VOCABULARY, size=length)])
    steps = []
    for step in range(max(lengths)):
        active = [j for j, n in enumerate(lengths) if n > step]
        logits = (rng.standard_normal((len(active), VOCABULARY)) * 2).astype(np.float32)
        for i, j in enumerate(active):
            if rng.randint(0, 3) == 0:
                logits[i, chunks[j][step]] += 4
        steps.append((active, logits))
    return chunks, steps


def code_lengths(chunks, steps):
    """Bits of the model alone and of the model with the match model, and the vectors."""
    mixer = Mixer(len(chunks))
    plain = mixed = 0.0
    vectors = []
    for step, (active, logits) in enumerate(steps):
        symbols = [chunks[j][step] for j in active]
        model = probabilities(logits, EXTRA)
        ours = mixer.vectors(active, logits, EXTRA)
        mixer.learn(active, symbols)
        vectors.append(ours)
        for i, s in enumerate(symbols):
            plain -= math.log2(model[i, s])
            mixed -= math.log2(ours[i, s])
    return plain, mixed, vectors


def test_vectors_are_bit_identical_on_every_numpy_and_machine():
    # The digest was taken once; a NumPy build or platform that rounds any step of the
    # mixing differently changes it, and its files would not decode elsewhere.
    _, _, vectors = code_lengths(*synthetic_run(7, [300, 300, 220], repeats=True))
    digest = hashlib.sha256(b"".join(v.tobytes() for v in vectors)).hexdigest()
    assert digest == "016715cd9c11022d5251781350653b0d7d8865aed711c73a2f9e7673f79cea1e"


@pytest.mark.parametrize("lengths", [[500], [400, 400, 310, 5]], ids=["one chunk", "four"])
@pytest.mark.parametrize("repeats", [True, False], ids=["repeats", "random"])
def test_a_second_mixer_decodes_what_the_first_coded(lengths, repeats):
    chunks, steps = synthetic_run(1, lengths, repeats)
    encoder, coder = Mixer(len(lengths)), ArithmeticCoder()
    for step, (active, logits) in enumerate(steps):
        symbols = [chunks[j][step] for j in active]
        coder.encode_steps(encoder.vectors(active, logits, EXTRA), symbols)
        encoder.learn(active, symbols)
    decoder, stream = Mixer(len(lengths)), coder.finish_encoding()
    coder.start_decoding(stream)
    decoded = [[] for _ in lengths]
    for active, logits in steps:
        symbols = coder.decode_steps(decoder.vectors(active, logits, EXTRA)).tolist()
        decoder.learn(active, symbols)
        for j, s in zip(active, symbols):
            decoded[j].append(s)
    assert decoded == chunks


def test_repeats_cost_far_less_and_noise_hardly_more():
    plain, mixed, _ = code_lengths(*synthetic_run(2, [800, 800, 800], repeats=True))
    assert mixed < 0.5 * plain
    plain, mixed, _ = code_lengths(*synthetic_run(3, [800, 800, 800], repeats=False))
    assert mixed <= 1.005 * plain


def test_vectors_are_probabilities():
    chunks, steps = synthetic_run(4, [200, 200], repeats=True)
    mixer = Mixer(2)
    for step, (active, logits) in enumerate(steps):
        vectors = mixer.vectors(active, logits, EXTRA)
        assert vectors.dtype == np.float32 and vectors.shape == (len(active), VOCABULARY + EXTRA)
        assert np.all(vectors > 0) and np.allclose(vectors.sum(axis=1), 1, atol=1e-5)
        mixer.learn(active, [chunks[j][step] for j in active])


def test_the_map_starts_as_the_identity_and_learns_the_record():
    learned = ProbabilityMap()
    for p in (POINTS[3], 0.3, 0.5, 0.9, POINTS[-4]):
        assert learned.refine(5, *learned.locate(p)) == pytest.approx(p, rel=1e-12)
    k, w = learned.locate(0.3)
    for _ in range(300):
        learned.learn(5, k, w, hit=True)
    assert 1 - MARGIN >= learned.refine(5, k, w) > 0.95
    assert learned.refine(6, k, w) == pytest.approx(0.3)  # another length: untouched
    for _ in range(300):
        learned.learn(5, k, w, hit=False)
    assert MARGIN <= learned.refine(5, k, w) < 0.1


@pytest.mark.parametrize("length, bucket", [(3, 3), (15, 15), (16, 16), (31, 16), (32, 17),
                                            (10**6, 23)])
def test_length_buckets(length, bucket):
    assert length_bucket(length) == bucket


def test_a_match_continues_where_another_chunk_said_the_same():
    mixer = Mixer(2)
    phrase = [5, 6, 7, 8, 9, 10]
    for step, token in enumerate(phrase):  # chunk 0 says the phrase; chunk 1 other things
        mixer.learn([0, 1], [token, 100 + step])
    for token in phrase[:3]:  # chunk 1 begins it: three tokens make a match
        mixer.learn([1], [token])
    assert mixer.prediction(1) == (8, 3)
    mixer.learn([1], [8])
    assert mixer.prediction(1) == (9, 4)
    mixer.learn([1], [42])  # wrong: the match ends
    assert mixer.prediction(1) == (-1, 0)
