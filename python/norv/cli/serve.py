"""`norv serve`: screening over HTTP, for applications in any language.

One :class:`norv.Pipeline` is built and warmed before the port is bound, so a
bad setting or a broken guard ends the command with one line on standard
error (exit status 2) and nothing ever listens half-configured. The web stack
(Starlette under uvicorn, with prometheus_client) is the ``service`` extra and
is imported only here, when the command runs.

Endpoints:

* ``POST /v1/screen``: a JSON record as ``norv screen`` reads it (``prompt``
  and/or ``response``, optional ``metadata`` object and ``id``); the answer has
  the shape of its result lines (``id``, ``input``/``output`` with ``verdict``,
  ``text`` and ``withheld``, ``events``).
* ``GET /healthz``: the process is up. ``GET /readyz``: the pipeline is built
  and warm and the server is not shutting down. ``GET /metrics``: the
  Prometheus exposition of :mod:`norv.metrics`.

Status codes of ``/v1/screen``: 200 for every screened record, whatever its
verdicts (the body says refused, redacted or withheld); 400 for a body that is
not a record (one-line JSON error, ``error_kind`` as in ``norv screen``); 413
for a body over the limit, decided from Content-Length before any of it is read,
or as soon as the bytes read pass it; under ``--unscanned raise``, 503 for a
text that went unscanned (time-out, capacity, module failure) and 413 for one
over ``--max-chars`` (retrying cannot help it); 500 if the pipeline raised
(a guard's SystemExit included: it ends that request, not the server).
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import sys
import time
from collections.abc import Awaitable, Callable, MutableMapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TextIO

if TYPE_CHECKING:
    from norv.pipeline import Pipeline

__all__ = ["EXTRA_MESSAGE", "Settings", "add_parser", "main", "resolve"]

EXTRA_MESSAGE = "norv serve needs the service extra: pip install 'norv[service]'"
ENV_PREFIX = "NORV_SERVE_"
UNSCANNED_CHOICES = ("pass", "refuse", "raise")
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8080
DEFAULT_TIMEOUT_MS = 50
DEFAULT_MAX_CHARS = 100_000
# A record at the default size cap, with JSON's escapes and room for metadata.
DEFAULT_MAX_BODY_BYTES = (1 << 20) + (64 << 10)
# Bodies above this are parsed off the event loop: a megabyte of JSON holds it for milliseconds.
_PARSE_ON_THREAD = 64 << 10
# How long a shutdown waits for requests in flight; every scan has its own time limit anyway.
_GRACEFUL_SECONDS = 30

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]


class SettingError(Exception):
    """A setting that cannot be used: one line for standard error."""


@dataclass(frozen=True)
class Settings:
    host: str
    port: int
    input_guard: str
    neural_guard: str
    output_shield: str
    timeout_ms: int
    max_chars: int
    unscanned: str
    max_body_bytes: int
    workers: int | None


# --- settings ----------------------------------------------------------------------


def _whole(minimum: int, maximum: int | None = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise ValueError(f"expected a whole number, got {text!r}") from None
        if value < minimum or (maximum is not None and value > maximum):
            bound = f"at least {minimum}" if maximum is None else f"from {minimum} to {maximum}"
            raise ValueError(f"must be {bound}, got {value}")
        return value

    return convert


def _timeout(text: str) -> int:
    from norv.cli import _timeout_ms

    try:
        return _timeout_ms(text)
    except argparse.ArgumentTypeError as exc:
        raise ValueError(str(exc)) from None


def _host(text: str) -> str:
    if not text.strip():
        raise ValueError("must not be empty")
    return text


def _unscanned(text: str) -> str:
    if text not in UNSCANNED_CHOICES:
        raise ValueError(f"must be one of {', '.join(UNSCANNED_CHOICES)}, got {text!r}")
    return text


def _defaults() -> tuple[tuple[str, Callable[[str], Any], Any, str], ...]:
    """(dest, converter, default, help) of every setting, in --help order."""
    from norv.cli.settings import DEFAULT_INPUT_GUARD, DEFAULT_NEURAL_GUARD, DEFAULT_OUTPUT_SHIELD

    return (
        ("host", _host, DEFAULT_HOST, "address to listen on"),
        ("port", _whole(1, 65535), DEFAULT_PORT, "port to listen on"),
        ("input_guard", str, DEFAULT_INPUT_GUARD, "heuristic input guard as package.module:name, or none"),
        ("neural_guard", str, DEFAULT_NEURAL_GUARD, "semantic input guard as package.module:name, or none"),
        ("output_shield", str, DEFAULT_OUTPUT_SHIELD, "output shield as package.module:name, or none"),
        ("timeout_ms", _timeout, DEFAULT_TIMEOUT_MS, "time limit per security module in milliseconds"),
        ("max_chars", _whole(1), DEFAULT_MAX_CHARS,
         "longer texts are never scanned: verdict too_long, then the unscanned policy"),
        ("unscanned", _unscanned, "refuse",
         "what an unscanned text gets: pass (on unchanged), refuse (withheld, 200), raise (503; 413 if too long)"),
        ("max_body_bytes", _whole(1), DEFAULT_MAX_BODY_BYTES, "larger request bodies are answered 413 unread"),
        ("workers", _whole(1, 1024), None, "worker threads of the pipeline's pool"),
    )


def _flag(dest: str) -> str:
    return "--" + dest.replace("_", "-")


def _env(dest: str) -> str:
    return ENV_PREFIX + dest.upper()


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Add ``serve`` to the ``norv`` command's subparsers."""
    serve: argparse.ArgumentParser = commands.add_parser(
        "serve",
        allow_abbrev=False,
        help="run the screening service over HTTP",
        description=("Screen JSON records posted to /v1/screen with one norv pipeline; "
                     "/healthz, /readyz and /metrics for operations."),
        epilog=("Every option can also be set by its environment variable (a flag wins over it). "
                "exit status: 0 stopped by SIGTERM or SIGINT; 2 could not start (one line on standard error)"),
    )
    for dest, _convert, default, text in _defaults():
        shown = "the coordinator's" if default is None else default
        metavar = "{" + ",".join(UNSCANNED_CHOICES) + "}" if dest == "unscanned" else dest.split("_")[-1].upper()
        serve.add_argument(_flag(dest), dest=dest, default=None, metavar=metavar,
                           help=f"{text} (env {_env(dest)}; default: {shown})")
    return serve


def resolve(args: Any, environ: MutableMapping[str, str]) -> Settings:
    """The settings from flags, else environment variables, else defaults; :class:`SettingError` if unusable."""
    values: dict[str, Any] = {}
    for dest, convert, default, _text in _defaults():
        given = getattr(args, dest, None)
        source = _flag(dest)
        if given is None and _env(dest) in environ:
            given, source = environ[_env(dest)], _env(dest)
        if given is None:
            values[dest] = default
            continue
        try:
            values[dest] = convert(given)
        except ValueError as exc:
            raise SettingError(f"{source}: {exc}") from None
    return Settings(**values)


# --- the service -------------------------------------------------------------------


def _timestamp() -> str:
    now = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + f".{int(now % 1 * 1000):03d}Z"


def _dumps(value: Any) -> str:
    # default=repr: a guard's exotic event detail must not turn an answer into a 500.
    return json.dumps(value, ensure_ascii=False, default=repr)


class Service:
    """What the endpoints share: the pipeline, the metrics, the settings and the log stream."""

    def __init__(self, settings: Settings, pipeline: Pipeline, registry: Any, log: TextIO) -> None:
        self.settings = settings
        self.pipeline = pipeline
        self.registry = registry
        self.log = log
        self.closing = False

    def write_log(self, line: dict[str, Any]) -> None:
        try:
            self.log.write(_dumps({"timestamp": _timestamp(), "logger": "norv.serve", **line}) + "\n")
            self.log.flush()
        except (OSError, ValueError):
            pass  # a closed or full log must not fail a request


class RequestLog:
    """ASGI wrapper: one JSON line per request (method, path, status, duration, id, verdicts), never the texts."""

    def __init__(self, app: Callable[[Scope, Receive, Send], Awaitable[None]], service: Service) -> None:
        self.app = app
        self.service = service

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500
        note: dict[str, Any] = {}
        scope["norv.log"] = note

        async def sending(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = int(message["status"])
            await send(message)

        try:
            await self.app(scope, receive, sending)
        finally:
            self.service.write_log({"method": scope["method"], "path": scope["path"], "status": status,
                                    "duration_ms": round((time.perf_counter() - started) * 1000, 3), **note})


def _json_response(body: dict[str, Any], status: int = 200, close: bool = False) -> Any:
    from starlette.responses import Response

    headers = {"connection": "close"} if close else None
    return Response(_dumps(body), status_code=status, media_type="application/json", headers=headers)


def _error(status: int, kind: str, message: str, note: dict[str, Any], **more: Any) -> Any:
    note["error_kind"] = kind
    return _json_response({"error": message, "error_kind": kind, **more}, status, close=status == 413)


async def _read_body(request: Any, limit: int) -> bytes | None:
    """The body, or None once it is over ``limit`` bytes (the rest is never read)."""
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        return None
    chunks = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            return None
        chunks.append(chunk)
    return b"".join(chunks)


def _parse(body: bytes) -> Any:
    from norv.cli.records import RecordError, parse_json_record

    if body.startswith(b"\xef\xbb\xbf"):
        body = body[3:]
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        return RecordError(1, "not_utf8", f"not valid UTF-8 at byte {exc.start + 1}")
    if not text.strip():
        return RecordError(1, "malformed_json", "empty body: expected a JSON record")
    return parse_json_record(text, 1)


def _side(result: Any) -> dict[str, Any] | None:
    if result is None:
        return None
    return {"verdict": result.verdict, "text": result.text, "withheld": result.withheld,
            "reasons": list(result.reasons)}


def build_app(service: Service) -> Any:
    import asyncio

    from starlette.applications import Starlette
    from starlette.responses import Response
    from starlette.routing import Route

    from norv.cli.records import RecordError
    from norv.pipeline import UnscannedError

    settings = service.settings
    pipeline = service.pipeline

    async def screen(request: Any) -> Any:
        note: dict[str, Any] = request.scope.setdefault("norv.log", {})
        body = await _read_body(request, settings.max_body_bytes)
        if body is None:
            return _error(413, "too_large", f"the body is over {settings.max_body_bytes} bytes", note)
        record = _parse(body) if len(body) <= _PARSE_ON_THREAD else await asyncio.to_thread(_parse, body)
        if isinstance(record, RecordError):
            return _error(400, record.kind, record.message, note)
        known: dict[str, Any] = {"id": record.id} if record.has_id else {}
        note.update(known)
        try:
            result = await pipeline.ascreen(record.prompt, record.response, record.metadata)
        except UnscannedError as exc:
            side = "input" if exc.result.call == "process_input" else "output"
            note["verdicts"] = {side: exc.result.verdict}
            status = 413 if exc.result.verdict == "too_long" else 503
            return _error(status, "unscanned", f"the {'prompt' if side == 'input' else 'response'} went "
                          f"unscanned ({exc.result.verdict})", note, **known, side=side,
                          verdict=exc.result.verdict)
        except (Exception, SystemExit, KeyboardInterrupt, GeneratorExit) as exc:
            # The coordinator hands a guard's SystemExit and the like on to its caller: here that is
            # one request, which must not take the server down with it.
            return _error(500, "pipeline_error", f"{type(exc).__name__}: {exc}", note, **known)
        note["verdicts"] = {"input": result.input and result.input.verdict,
                            "output": result.output and result.output.verdict}
        return _json_response({**known, "input": _side(result.input), "output": _side(result.output),
                               "events": result.events})

    async def healthz(request: Any) -> Any:
        return _json_response({"status": "ok"})

    async def readyz(request: Any) -> Any:
        if service.closing or pipeline._closed:
            return _json_response({"status": "closing"}, 503)
        return _json_response({"status": "ready"})

    async def metrics(request: Any) -> Any:
        from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

        return Response(generate_latest(service.registry), media_type=CONTENT_TYPE_LATEST)

    app = Starlette(routes=[
        Route("/v1/screen", screen, methods=["POST"]),
        Route("/healthz", healthz, methods=["GET"]),
        Route("/readyz", readyz, methods=["GET"]),
        Route("/metrics", metrics, methods=["GET"]),
    ])
    return RequestLog(app, service)


# --- start and stop ----------------------------------------------------------------


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _build_pipeline(settings: Settings) -> Any:
    from norv.cli.errors import Fatal
    from norv.cli.loading import load_security_module
    from norv.cli.settings import GUARD_OPTIONS

    try:
        guards = {attr: load_security_module(option, getattr(settings, attr)) for option, attr in GUARD_OPTIONS}
    except Fatal as exc:
        raise SettingError(_one_line(exc)) from None
    try:
        from norv.pipeline import Pipeline

        return Pipeline(guards["input_guard"], guards["neural_guard"], guards["output_shield"],
                        timeout_ms=settings.timeout_ms, unscanned=settings.unscanned,
                        max_chars=settings.max_chars, workers=settings.workers)
    except ImportError as exc:
        raise SettingError(f"cannot load the native coordinator (norv.core.coordinator): {_one_line(exc)}") from None
    except (TypeError, ValueError, RuntimeError) as exc:
        raise SettingError(_one_line(exc)) from None


def _listen(settings: Settings) -> socket.socket:
    try:
        family, kind, proto, _name, address = socket.getaddrinfo(
            settings.host, settings.port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, kind, proto)
    except OSError as exc:
        raise SettingError(f"cannot listen on {settings.host}:{settings.port}: {exc.strerror or exc}") from None
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(2048)
    except OSError as exc:
        sock.close()
        raise SettingError(f"cannot listen on {settings.host}:{settings.port}: {exc.strerror or exc}") from None
    return sock


def main(args: Any) -> int:
    stderr = sys.stderr
    try:
        import prometheus_client
        import starlette  # noqa: F401
        import uvicorn
    except ImportError:
        print(EXTRA_MESSAGE, file=stderr)
        return 2
    try:
        settings = resolve(args, os.environ)
        from norv import aio
        from norv.metrics import Metrics

        pipeline = _build_pipeline(settings)
    except SettingError as exc:
        print(f"norv serve: error: {exc}", file=stderr)
        return 2
    try:
        # The admission gate and the host threads now, not on the first request.
        aio.host_threads(pipeline.coordinator)
        sock = _listen(settings)
    except SettingError as exc:
        pipeline.close()
        print(f"norv serve: error: {exc}", file=stderr)
        return 2

    registry = prometheus_client.CollectorRegistry()
    metrics = Metrics(registry)
    metrics.watch(pipeline.coordinator)
    service = Service(settings, pipeline, registry, stderr)

    class Server(uvicorn.Server):
        def handle_exit(self, sig: int, frame: Any) -> None:
            service.closing = True
            super().handle_exit(sig, frame)
            # The signal ends a clean shutdown here, with status 0: uvicorn must not raise it again after.
            self._captured_signals.clear()

    config = uvicorn.Config(build_app(service), lifespan="off", access_log=False, log_config=None,
                            server_header=False, timeout_graceful_shutdown=_GRACEFUL_SECONDS)
    server = Server(config)
    service.write_log({"event": "listening", "url": f"http://{settings.host}:{sock.getsockname()[1]}",
                       "pipeline": repr(pipeline), "timeout_ms": settings.timeout_ms,
                       "max_body_bytes": settings.max_body_bytes})
    try:
        server.run(sockets=[sock])
    finally:
        service.closing = True
        metrics.close()
        pipeline.close()
        sock.close()
    service.write_log({"event": "stopped"})
    from norv.cli import _exit_now

    # A scan abandoned at its time limit may still hold a worker: exit must not wait for it.
    _exit_now(0)
