"""A small chat service that screens every prompt and every response with norv.

Run it (after ``pip install 'norv[service,metrics]'``)::

    uvicorn examples.service.app:app --host 127.0.0.1 --port 8000

``POST /chat`` with ``{"prompt": "...", "user_id": "..."}`` screens the prompt,
asks the model (a stand-in here) when the prompt passed, screens the reply,
and answers with the verdicts. ``GET /metrics`` is the Prometheus scrape.

Nothing unscanned goes on: the pipeline's policy is ``unscanned="refuse"``, so
a prompt whose scan timed out, failed or waited too long for a worker is
answered 503 and never reaches the model, and a reply that was not scanned is
withheld. A prompt over ``max_chars`` is answered 413 without reaching a
worker. An injection is answered 403.

Settings come from the environment so that one file serves the demo and the
tests: ``NORV_TIMEOUT_MS`` (default 50), ``NORV_MAX_CHARS`` (default 100000),
``NORV_AUDIT_LOG`` (a file for the audit events; default: standard error) and
``NORV_MODEL_DELAY_MS`` (how long the stand-in model takes; default 5).
"""

from __future__ import annotations

import asyncio
import logging
import os
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Any

from fastapi import FastAPI
from fastapi.responses import JSONResponse, Response
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from pydantic import BaseModel

from norv import Pipeline
from norv.guards import PatternGuard, RedactionShield
from norv.metrics import Metrics
from norv.utils.logger import JsonFormatter

TIMEOUT_MS = int(os.environ.get("NORV_TIMEOUT_MS", "50"))
MAX_CHARS = int(os.environ.get("NORV_MAX_CHARS", "100000"))
MODEL_DELAY = int(os.environ.get("NORV_MODEL_DELAY_MS", "5")) / 1000


class ChatRequest(BaseModel):
    prompt: str
    user_id: str | None = None


async def model_reply(prompt: str) -> str:
    """Stands in for the language model; its replies leak a contact address."""
    await asyncio.sleep(MODEL_DELAY)
    return f"Happy to help with {prompt[:40]!r}. Our team is at support@example.com or +44 20 7946 0958."


def _audit_to(path: str | None) -> None:
    if path:
        handler = logging.FileHandler(path, encoding="utf-8")
        handler.setFormatter(JsonFormatter())
        audit = logging.getLogger("norv")
        audit.addHandler(handler)
        audit.propagate = False


@asynccontextmanager
async def lifespan(app: FastAPI) -> AsyncIterator[None]:
    _audit_to(os.environ.get("NORV_AUDIT_LOG"))
    # A waiting scan gives up after a second rather than hold the request.
    pipeline = Pipeline(PatternGuard(), output_shield=RedactionShield(), timeout_ms=TIMEOUT_MS,
                        unscanned="refuse", max_chars=MAX_CHARS, max_wait=1.0)
    registry = CollectorRegistry()
    metrics = Metrics(registry)
    metrics.watch(pipeline.coordinator)
    app.state.pipeline, app.state.registry = pipeline, registry
    yield
    metrics.close()
    # Running scans finish on their workers; nothing new is accepted.
    pipeline.close()


app = FastAPI(title="norv example service", lifespan=lifespan)


@app.post("/chat")
async def chat(request: ChatRequest) -> JSONResponse:
    pipeline = app.state.pipeline
    metadata: dict[str, Any] = {"user_id": request.user_id}
    prompt = await pipeline.ascreen_input(request.prompt, metadata)
    body: dict[str, Any] = {"input": {"verdict": prompt.verdict, "text": prompt.text}, "output": None}
    if prompt.verdict == "refused":
        return JSONResponse(body, status_code=403)
    if prompt.withheld:
        return JSONResponse(body, status_code=413 if prompt.verdict == "too_long" else 503)
    reply = await pipeline.ascreen_output(await model_reply(prompt.text or ""), metadata)
    body["output"] = {"verdict": reply.verdict, "text": reply.text}
    return JSONResponse(body, status_code=503 if reply.withheld else 200)


@app.get("/metrics")
async def metrics() -> Response:
    return Response(generate_latest(app.state.registry), media_type=CONTENT_TYPE_LATEST)
