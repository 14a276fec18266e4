"""A small chat service that screens every prompt and every response with norv.

Run it (after ``pip install 'norv[service,metrics]'``)::

    uvicorn examples.service.app:app --host 127.0.0.1 --port 8000

``POST /chat`` with ``{"prompt": "...", "user_id": "..."}`` screens the prompt,
asks the model (a stand-in here) when the prompt passed, screens the reply,
and answers with the verdicts. ``GET /metrics`` is the Prometheus scrape.

Settings come from the environment so that one file serves the demo and the
tests: ``NORV_TIMEOUT_MS`` (default 50), ``NORV_AUDIT_LOG`` (a file for the
audit events; default: standard error) and ``NORV_MODEL_DELAY_MS`` (how long
the stand-in model takes; default 5).
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

from norv import aio
from norv.core.coordinator import GovernanceCoordinator
from norv.guards import PatternGuard, RedactionShield
from norv.metrics import Metrics
from norv.utils.logger import JsonFormatter

TIMEOUT_MS = int(os.environ.get("NORV_TIMEOUT_MS", "50"))
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
    coordinator = GovernanceCoordinator(timeout_ms=TIMEOUT_MS)
    coordinator.register_input_guard(PatternGuard())
    coordinator.register_output_shield(RedactionShield())
    registry = CollectorRegistry()
    metrics = Metrics(registry)
    metrics.watch(coordinator)
    app.state.coordinator, app.state.registry = coordinator, registry
    yield
    metrics.close()
    # Running scans finish on their workers; nothing new is accepted.
    coordinator._executor.shutdown(wait=False)


app = FastAPI(title="norv example service", lifespan=lifespan)


@app.post("/chat")
async def chat(request: ChatRequest) -> JSONResponse:
    coordinator = app.state.coordinator
    metadata: dict[str, Any] = {"user_id": request.user_id}
    prompt = await aio.screen_input(coordinator, request.prompt, metadata)
    body: dict[str, Any] = {"input": {"verdict": prompt.verdict, "text": prompt.text}, "output": None}
    if prompt.verdict == "refused":
        return JSONResponse(body, status_code=403)
    reply = await aio.screen_output(coordinator, await model_reply(prompt.text or ""), metadata)
    body["output"] = {"verdict": reply.verdict, "text": reply.text}
    return JSONResponse(body)


@app.get("/metrics")
async def metrics() -> Response:
    return Response(generate_latest(app.state.registry), media_type=CONTENT_TYPE_LATEST)
