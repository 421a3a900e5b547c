"""vantor.lm without the model: the probability transform, the container format and its
parser under damage, and the package's behaviour when the `lm` extra is absent."""

import importlib.util
import os
import random
import sys
import zlib

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from support import run_python
from vantor.lm import FormatError, container
from vantor.lm.codec import split_chunks, split_utf8
from vantor.lm.probabilities import probabilities

VOCAB = 49152
BENCHMARKS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "benchmarks")


def load_first_compressor():
    """The first text compressor (format version 1), kept beside the benchmarks."""
    path = os.path.join(BENCHMARKS, "lm_compress_v1.py")
    spec = importlib.util.spec_from_file_location("lm_compress_v1", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


first = load_first_compressor()


@pytest.mark.parametrize("scale", [0.5, 4.0, 30.0], ids=["flat", "typical", "peaked"])
def test_probabilities_match_softmax_and_code_every_token(scale):
    rng = np.random.default_rng(int(scale * 10))
    logits = (rng.standard_normal(VOCAB) * scale).astype(np.float32)
    probs = probabilities(logits)
    assert probs.dtype == np.float32 and probs.shape == (VOCAB,)
    x = logits.astype(np.float64)
    softmax = np.exp(x - x.max())
    softmax /= softmax.sum()
    seen = softmax > 1e-6
    assert np.allclose(probs[seen], softmax[seen], rtol=1e-5, atol=0)
    for token in (int(np.argmax(logits)), int(np.argmin(logits))):
        coder = ArithmeticCoder()
        coder.encode_step(probs, token)
        decoder = ArithmeticCoder()
        decoder.start_decoding(coder.finish_encoding())
        assert decoder.decode_step(probs) == token


def test_probabilities_rows_are_bit_identical_to_the_first_compressors():
    # Files of format version 1 decode only if the transform has not changed by a bit,
    # and a batch's rows must be exactly what each row gives alone.
    rng = np.random.default_rng(5)
    logits = (rng.standard_normal((4, VOCAB)) * [[0.3], [3.0], [12.0], [60.0]]).astype(
        np.float32)
    logits[1, [7, 8, 9]] = [np.nan, np.inf, -np.inf]
    for extra in (0, 21):
        rows = probabilities(logits, extra)
        assert rows.shape == (4, VOCAB + extra)
        for row, expected in zip(rows, map(lambda r: first.probabilities(r, extra), logits)):
            assert np.array_equal(row.view(np.uint32), expected.view(np.uint32))
    assert np.isfinite(rows).all() and rows[1, 8] == pytest.approx(1.0)


@pytest.mark.parametrize("data", [b"plain", b"\xff\xfe", b"a\xc3(b\xe2\x82", "é€😀".encode()])
def test_utf8_runs_put_the_bytes_back_together(data):
    runs = list(split_utf8(data))
    assert b"".join(run for _, run in runs) == data
    for is_text, run in runs:
        try:
            run.decode("utf-8")
            assert is_text
        except UnicodeDecodeError:
            assert not is_text


@pytest.mark.parametrize("count, chunks", [(10, 3), (9, 3), (5, 5), (1000, 7)])
def test_chunks_cover_the_symbols_in_order_longest_first(count, chunks):
    parts = split_chunks(list(range(count)), chunks)
    assert [s for part in parts for s in part] == list(range(count))
    sizes = [len(part) for part in parts]
    assert sizes == sorted(sizes, reverse=True) and sizes[0] - sizes[-1] <= 1


def token_file(chunk_tokens=(5, 4), length=40, payload=b"\x12\x34\x56"):
    header = container.pack_header(container.TOKENS, length, zlib.crc32(b"x"), b"M" * 32,
                                   b"F" * 32, chunk_tokens, 11, 9)
    return header + payload


def test_header_fields_survive_the_round_trip():
    blob = token_file((300, 299, 1), length=10 ** 7)
    header = container.parse_header(blob)
    assert header.chunk_tokens == (300, 299, 1) and header.length == 10 ** 7
    assert (header.window_log2, header.keep_log2, header.mixing) == (11, 9, 0)
    assert header.model_id == b"M" * 8 and header.fingerprint == b"F" * 8
    assert blob[header.size:] == b"\x12\x34\x56"


def test_first_format_headers_are_read():
    blob = first.pack_header(first.TOKENS, 12, 300, 77, 0xDEADBEEF, b"m" * 8, b"f" * 8)
    header = container.parse_header(blob + b"payload")
    assert (header.version, header.chunk_tokens, header.length) == (1, (77,), 300)
    assert (header.window_log2, header.keep_log2, header.crc) == (12, 10, 0xDEADBEEF)
    assert blob[header.size:] == b"" and header.model_id == b"m" * 8


REFUSED = {
    "empty": (b"", "bad magic"),
    "foreign": (b"PK\x03\x04" + token_file()[4:], "bad magic"),
    "version": (token_file()[:4] + b"\x09" + token_file()[5:], "unsupported format version 9"),
    "truncated": (token_file()[:12], "truncated or corrupted header"),
    "header bit flipped": (token_file()[:9] + b"\x07" + token_file()[10:],
                           "truncated or corrupted header"),
    "more tokens than bytes": (token_file((30, 20), length=40), "invalid fields"),
    "empty chunk": (token_file((3, 0)), "invalid fields"),
}


@pytest.mark.parametrize("blob, message", REFUSED.values(), ids=REFUSED.keys())
def test_parser_refuses_with_its_own_error(blob, message):
    with pytest.raises(FormatError, match=message):
        container.parse_header(blob)


def test_parser_raises_only_its_own_error_on_damage():
    """Every truncation, and random byte changes, of valid files of both versions: the
    parser accepts the file or raises FormatError, nothing else."""
    import vantor.lm as lm

    rng = random.Random(11)
    valid = [token_file(), token_file((70000, 69999, 3), length=10 ** 6),
             container.stored(b"stored bytes"),
             first.pack_header(first.TOKENS, 12, 300, 77, 1, b"m" * 8, b"f" * 8) + b"xy",
             first.stored(b"old stored")]
    cases = 0
    for blob in valid:
        for end in range(len(blob)):
            cases += 1
            try:
                container.parse_header(blob[:end])
            except FormatError:
                pass
    while cases < 100_000:
        original = rng.choice(valid)
        blob = bytearray(original)
        for _ in range(rng.randint(1, 4)):
            blob[rng.randrange(len(blob))] = rng.randrange(256)
        if original[4] == container.VERSION and rng.random() < 0.5:
            # The header's CRC mended, so that the damaged fields themselves are checked.
            end = container.parse_header(original).size - 4
            blob[end:end + 4] = zlib.crc32(bytes(blob[:end])).to_bytes(4, "little")
        cases += 1
        try:
            header = container.parse_header(bytes(blob))
        except FormatError:
            continue
        assert header.size <= len(blob)
        if header.mode == container.STORED:
            # A stored file decodes without a model: damage is caught by its checks.
            try:
                assert lm.decompress(bytes(blob)) == bytes(blob[header.size:])
            except FormatError:
                pass


def test_stored_files_need_no_model():
    import vantor.lm as lm

    assert lm.decompress(container.stored(b"kept as it is")) == b"kept as it is"
    damaged = bytearray(container.stored(b"kept as it is"))
    damaged[-1] ^= 1
    with pytest.raises(FormatError, match="checksum mismatch"):
        lm.decompress(bytes(damaged))


def test_without_the_extra_the_package_says_what_to_install():
    # llama_cpp made unimportable: `import vantor.lm` works, the model and the command
    # say in one line what to install.
    result = run_python(
        """
        import os, sys, tempfile
        sys.modules["llama_cpp"] = None
        import vantor, vantor.lm
        from vantor.lm.cli import main
        try:
            vantor.lm.Model()
        except vantor.lm.MissingExtraError as error:
            assert isinstance(error, ImportError)
            print(error, flush=True)
        path = os.path.join(tempfile.mkdtemp(), "notes.txt")
        open(path, "wb").write(b"Some text to compress.")
        sys.exit(main(["-c", path]))
        """)
    assert result.returncode == 1
    lines = result.stdout.splitlines() + result.stderr.splitlines()
    assert lines[0].endswith("is not installed: pip install 'vantor[lm]'"), lines
    assert len(lines) == 2 and lines[1].startswith("vantor-lm: ")
    assert "pip install 'vantor[lm]'" in lines[1] and "Traceback" not in result.stderr


def test_import_vantor_loads_no_model_runtime():
    result = run_python("import sys, vantor, vantor.lm; print('llama_cpp' in sys.modules)")
    assert result.returncode == 0 and result.stdout.strip() == "False", result.stderr


if __name__ == "__main__":
    sys.exit(pytest.main([__file__]))
