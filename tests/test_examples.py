"""The example programs work as a user runs them, and reject damaged or foreign files."""

import os
import random
import subprocess
import sys

import pytest

from support import EXAMPLES, load_example

compress = load_example("compress")

rng = random.Random(7)
INPUTS = {
    "empty": b"",
    "one byte": b"x",
    "every byte value": bytes(range(256)) * 3,
    "random": bytes(rng.getrandbits(8) for _ in range(3000)),
    "repetitive": b"abcabcabd" * 400,
    "text": compress.default_input()[:6000],
}


@pytest.mark.parametrize("data", INPUTS.values(), ids=INPUTS.keys())
def test_round_trip(data):
    packed = compress.compress(data)
    assert compress.decompress(packed) == data


@pytest.mark.parametrize("order", [0, 1, 3])
def test_model_settings_travel_in_the_header(order):
    data = INPUTS["repetitive"]
    assert compress.decompress(compress.compress(data, order=order)) == data


@pytest.mark.parametrize("count_limit", [3, 255])
def test_dense_rows_give_the_vectors_of_sparse_counts(count_limit):
    # Long contexts switch to dense rows once followed by enough different bytes; the
    # vectors must not depend on when that happens, or on whether it happens at all.
    sparse, dense = (compress.ContextModel(count_limit=count_limit) for _ in range(2))
    sparse.DENSE_FROM, dense.DENSE_FROM = 1 << 30, 1
    for byte in INPUTS["text"][:3000]:
        assert sparse.probabilities().tobytes() == dense.probabilities().tobytes()
        sparse.update(byte)
        dense.update(byte)
    assert dense.dense_left < dense.DENSE_ROWS


def test_context_model_compresses_text_better_than_zlib():
    import zlib

    data = INPUTS["text"]
    assert len(compress.compress(data)) < len(zlib.compress(data, 9))


def flip(blob, index):
    return blob[:index] + bytes([blob[index] ^ 0x10]) + blob[index + 1:]


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda b: b"PK\x03\x04" + b[4:], "bad magic"),
        (lambda b: b[:3], "bad magic"),
        (lambda b: b[:4] + bytes([9]) + b[5:], "unsupported format version 9"),
        (lambda b: b[:5] + bytes([200]) + b[6:], "corrupted header"),
        (lambda b: flip(b, 12), "corrupted header"),
        (lambda b: flip(b, len(b) // 2 + 10), "checksum mismatch"),
        (lambda b: b[: len(b) // 2], "checksum mismatch"),
        (lambda b: b[:-4] + b"\x00\x00\x00\x00", "checksum mismatch"),
    ],
    ids=["foreign", "truncated header", "version", "settings", "length", "flipped bit",
         "truncated",
         "zeroed tail"],
)
def test_damaged_files_are_reported(damage, message):
    packed = compress.compress(INPUTS["text"][:2000])
    with pytest.raises(compress.FormatError, match=message):
        compress.decompress(damage(packed))


def run_example(*args, **options):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300,
                          **options)


COMPRESS = os.path.join(EXAMPLES, "compress.py")


def test_command_line_round_trip_and_error(tmp_path):
    original = tmp_path / "in.bin"
    original.write_bytes(INPUTS["repetitive"])
    packed, restored = tmp_path / "in.vntr", tmp_path / "out.bin"
    assert run_example(COMPRESS, "compress", str(original), str(packed)).returncode == 0
    assert run_example(COMPRESS, "decompress", str(packed), str(restored)).returncode == 0
    assert restored.read_bytes() == original.read_bytes()

    result = run_example(COMPRESS, "decompress", str(original), str(tmp_path / "other"))
    assert result.returncode == 1
    assert "not a vantor compressed file" in result.stderr
    assert not (tmp_path / "other").exists()


# Each case: the arguments after the command (in a folder holding the file "in.txt", an
# existing "old.vntr" and a folder "folder"), and what the one-line message must contain.
FILE_MISTAKES = {
    "missing input": (["missing.txt", "out.vntr"], "missing.txt: no such file"),
    "input is a folder": (["folder", "out.vntr"], "folder: is a directory"),
    "output is a folder": (["in.txt", "folder"], "folder: is a directory"),
    "output in a missing folder": (["in.txt", "nowhere/out.vntr"], "directory nowhere does not"),
    "output is the input": (["in.txt", "in.txt", "--force"], "in.txt: is the input file"),
    "output is the input by another path": (["in.txt", "folder/../in.txt", "--force"],
                                            "is the input file"),
    "output exists": (["in.txt", "old.vntr"], "old.vntr: already exists (use --force"),
}


@pytest.mark.parametrize("arguments, message", FILE_MISTAKES.values(), ids=FILE_MISTAKES.keys())
def test_file_mistakes_get_one_line_and_change_nothing(tmp_path, arguments, message):
    (tmp_path / "in.txt").write_bytes(b"some text to keep " * 10)
    (tmp_path / "old.vntr").write_bytes(b"keep me")
    (tmp_path / "folder").mkdir()
    before = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}

    result = run_example(COMPRESS, "compress", *arguments, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    after = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
    assert after == before


def test_force_replaces_an_existing_output(tmp_path):
    original = tmp_path / "in.bin"
    original.write_bytes(INPUTS["text"][:500])
    packed = tmp_path / "in.vntr"
    packed.write_bytes(b"old contents")
    result = run_example(COMPRESS, "compress", "--force", str(original), str(packed))
    assert result.returncode == 0, result.stderr
    assert compress.decompress(packed.read_bytes()) == original.read_bytes()
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.bin", "in.vntr"]


def test_demonstration_verifies_and_prints_the_table():
    result = run_example(COMPRESS)
    assert result.returncode == 0, result.stderr
    for row in ("original", "vantor", "zlib -9", "bz2 -9", "lzma -9e", "round trip verified"):
        assert row in result.stdout


@pytest.mark.parametrize("dtype", ["float32", "bfloat16"])
def test_language_model_example(dtype):
    if dtype == "bfloat16":
        pytest.importorskip("ml_dtypes")
    result = run_example(os.path.join(EXAMPLES, "language_model.py"), "--dtype", dtype)
    assert result.returncode == 0, result.stderr
    assert "decoded: The better the model" in result.stdout
