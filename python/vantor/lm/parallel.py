"""Frames coded elsewhere: in a pool of worker processes on this machine, or as tasks on a
Dask cluster. Every frame is independent and its bytes depend only on the model and the
runtime, so any worker codes it exactly as the caller would; the results are written in
input order, and at most a few frames a worker are in flight, so memory stays bounded.

Each worker process loads the model once and keeps it (one at a time: a llama.cpp context
serves one call at a time). Before a cluster gets any frame, every worker's model file
hash and runtime fingerprint are compared with the caller's, and workers that differ are
refused by name: their frames would not decode elsewhere.
"""

from __future__ import annotations

import importlib
import multiprocessing
import os
import socket
import threading
from collections import deque
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Callable, Deque, Dict, Iterable, Iterator, NamedTuple, Optional, Tuple

from . import codec, container
from .codec import Stats
from .container import Header
from .errors import FormatError, MissingExtraError, RefusedError, SetupError
from .runtime import Model, default_model_path, file_sha256

FRAMES_PER_WORKER = 2  # in flight: one being coded, one waiting


class Job(NamedTuple):
    """What a worker needs to code frames as the caller would (it pickles)."""

    model_path: Optional[str]  # None: the worker's own default model
    model_sha256: bytes
    threads: Optional[int]
    chunks: Optional[int]
    window_log2: int
    keep_log2: int
    plain: bool


_models: Dict[Tuple[Optional[str], Optional[int]], Model] = {}
_model_lock = threading.Lock()


def _worker_model(job: Job) -> Model:
    """The worker's model for `job`, loaded on first use; called with _model_lock held."""
    key = (job.model_path, job.threads)
    if key not in _models:
        path = job.model_path or default_model_path()
        sha256 = file_sha256(path)
        if sha256 != job.model_sha256:
            raise RefusedError(f"the worker's model {path} is another file: its SHA-256 "
                               f"begins {sha256[:8].hex()}, the caller's "
                               f"{job.model_sha256[:8].hex()}")
        _models[key] = Model(path, threads=job.threads, sha256=sha256)
    return _models[key]


def compress_job(job: Job, data: bytes) -> Tuple[bytes, int, int]:
    """One frame for `data`, its tokens and the bytes of `data`."""
    with _model_lock:
        model = _worker_model(job)
        stats = Stats()
        frame = codec.compress_frame(data, lambda: model, chunks=job.chunks, progress=None,
                                     window_log2=job.window_log2, keep_log2=job.keep_log2,
                                     plain=job.plain, stats=stats)
        return frame, stats.tokens, len(data)


def decompress_job(job: Job, header: Header, payload: bytes, where: str) -> bytes:
    """The original of one frame; `where` names it in an error."""
    with _model_lock:
        def open_lm(frame_header: Header) -> Model:
            model = _worker_model(job)
            codec.check_model(frame_header, model.sha256, model.path)
            return model

        try:
            return codec.decode_frame(header, payload, open_lm, None, Stats())
        except FormatError as error:
            raise FormatError(f"{where}: {error}") from None


def identity(job: Job) -> Tuple[str, bytes, bytes]:
    """This process's host and pid, model file hash and runtime fingerprint."""
    path = job.model_path or default_model_path()
    with _model_lock:
        sha256 = file_sha256(path)
        fingerprint = b""
        if sha256 == job.model_sha256:
            fingerprint = probe(_worker_model(job))
    return f"{socket.gethostname()}, pid {os.getpid()}", sha256, fingerprint


def probe(model: Model) -> bytes:
    """The runtime fingerprint for one fixed batch shape: another build of the runtime
    gives another one for any shape."""
    return codec.fingerprint(model, (container.MIN_CELLS,), codec.WINDOW_LOG2,
                             codec.KEEP_LOG2)


class Runner:
    """Where frames are coded: `submit` gives a future whose `result()` is the value."""

    workers = 1

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        raise NotImplementedError

    def close(self) -> None:
        pass


class Pool(Runner):
    """Worker processes on this machine, each with its own model."""

    def __init__(self, jobs: int) -> None:
        self.workers = jobs
        # spawn: a forked child would share llama.cpp's threads and state with the parent.
        self.executor = ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context("spawn"))

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        return self.executor.submit(function, *args)

    def close(self) -> None:
        # Frames still in flight are not wanted after a failure: stop their workers
        # rather than wait for them (the executor has no call of its own for that).
        for process in list(getattr(self.executor, "_processes", {}).values()):
            process.terminate()
        self.executor.shutdown(wait=True)


class Cluster(Runner):
    """The workers of a `dask.distributed` client, checked before they get any frame."""

    def __init__(self, client: Any, job: Job, own_fingerprint: bytes) -> None:
        self.client = client
        found = client.run(identity, job)
        if not found:
            raise SetupError("the Dask cluster has no workers")
        names = {address: worker.get("name", address) for address, worker
                 in client.scheduler_info()["workers"].items()}
        refused = []
        for address, (place, sha256, fingerprint) in sorted(found.items()):
            worker = f"{names.get(address, address)} at {address} ({place})"
            if sha256 != job.model_sha256:
                refused.append(f"{worker} has another model file (SHA-256 begins "
                               f"{sha256[:8].hex()})")
            elif fingerprint != own_fingerprint:
                refused.append(f"{worker} computes other logits (another build of the "
                               f"model runtime)")
        if refused:
            raise RefusedError("refused worker: " + "; ".join(refused))
        self.workers = len(found)
        self.addresses = sorted(found)

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        # pure=False: two equal frames are still two tasks; only the checked workers.
        return self.client.submit(function, *args, pure=False, workers=self.addresses,
                                  allow_other_workers=False)


def in_order(runner: Runner, calls: Iterable[Tuple[Callable[..., Any], Tuple[Any, ...]]]
             ) -> Iterator[Any]:
    """The results of `calls`, run by `runner`, in the order of `calls`; a few per worker
    in flight at a time."""
    pending: Deque[Any] = deque()
    depth = FRAMES_PER_WORKER * runner.workers
    for function, args in calls:
        pending.append(runner.submit(function, *args))
        if len(pending) >= depth:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()


def job_for(model: Any, threads: Optional[int], chunks: Optional[int] = None,
            window_log2: int = codec.WINDOW_LOG2, keep_log2: int = codec.KEEP_LOG2,
            plain: bool = False) -> Job:
    """The job for a `model` argument as `compress` takes it (not a function)."""
    if isinstance(model, Model):
        return Job(model.path, model.sha256, threads, chunks, window_log2, keep_log2, plain)
    path = model if isinstance(model, str) else default_model_path()
    return Job(model if isinstance(model, str) else None, file_sha256(path), threads, chunks,
               window_log2, keep_log2, plain)


def runner_for(jobs: int, client: Any, job: Job, model: Any) -> Runner:
    if client is None:
        return Pool(jobs)
    own = model if isinstance(model, Model) else \
        Model(job.model_path or default_model_path(), sha256=job.model_sha256)
    return Cluster(client, job, probe(own))


def dask_client(address: str) -> Any:
    """A client of the Dask scheduler at `address`."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        raise MissingExtraError("a Dask cluster needs the `cluster` extra: "
                                "pip install 'vantor[cluster]'") from None
    return distributed.Client(address)
