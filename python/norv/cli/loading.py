"""Guards for `norv screen`, `norv serve` and `norv eval`: found by REF, checked, warmed, on a pool of their own.

A guard that could never screen (a REF that does not import, a class whose
construction fails, an object without ``scan``, a warm start that raises)
stops the command before any input is read, with one line naming the option
and its REF, instead of turning every record into a ``module_error``.
"""

from __future__ import annotations

import importlib
import os
import signal
import sys
from typing import TYPE_CHECKING, Any

from norv import pool as pools
from norv.cli.errors import Fatal, exception_args
from norv.cli.settings import GUARD_OPTIONS, GuardSettings
from norv.cli.signals import INTERRUPTS

if TYPE_CHECKING:
    from norv.pipeline import Pipeline
    from norv.protocols import Coordinator

__all__ = [
    "build_pipeline",
    "guard_named",
    "leave_interrupts_to_main_thread",
    "load_security_module",
    "new_coordinator",
    "resolve_ref",
]


def _import_hint(module_name: str) -> str:
    # Neutral: `norv screen` and `norv serve` load guards through the same code.
    return (f" (norv imports guards from the current directory and from PYTHONPATH: "
            f"run it in the folder that holds {module_name.split('.')[0]}, or add that folder to PYTHONPATH)")


def resolve_ref(option: str, ref: str) -> Any:
    """The object a ``package.module:name`` names (None for ``none``), not yet called."""
    if ref.strip().lower() == "none":
        return None
    module_name, sep, attr_path = ref.partition(":")
    if not sep or not module_name or not attr_path or ":" in attr_path:
        raise Fatal(f"{option}: expected package.module:name or 'none', got {ref!r}")
    # As uvicorn and gunicorn do: guards next to the data are found without set-up.
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)
    try:
        target: Any = importlib.import_module(module_name)
    except ModuleNotFoundError as exc:
        missing = exc.name or ""
        hint = _import_hint(module_name) if module_name == missing or module_name.startswith(missing + ".") else ""
        raise Fatal(f"{option}: cannot import {module_name!r}: ModuleNotFoundError: {exc}{hint}") from None
    except Exception as exc:  # SyntaxError and errors raised by the module's own code too
        raise Fatal(f"{option}: cannot import {module_name!r}: {type(exc).__name__}: {exc}") from None
    for part in attr_path.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise Fatal(f"{option}: {module_name!r} has no attribute {attr_path!r}") from None
    return target


def load_security_module(option: str, ref: str) -> object | None:
    """Resolve ``package.module:name`` (or ``none``) into a security module object.

    ``name`` may be dotted. A class or a factory is called with no arguments;
    an object that already has a ``scan`` method is used as it is.
    """
    target = resolve_ref(option, ref)
    if target is None:
        return None
    if isinstance(target, type) or (callable(target) and not hasattr(target, "scan")):
        try:
            target = target()
        except Exception as exc:
            raise Fatal(f"{option}: {ref}() failed: {type(exc).__name__}: {exc}") from None
    if not callable(getattr(target, "scan", None)):
        raise Fatal(f"{option}: {ref} is not a security module (it has no scan method)")
    return target  # type: ignore[no-any-return]


def leave_interrupts_to_main_thread(coordinator: Coordinator) -> None:
    """Give ``coordinator`` a pool whose workers leave interrupts to the main thread (before any has started)."""
    if not hasattr(signal, "pthread_sigmask"):
        return
    size = pools.workers(coordinator)
    old = pools.replace(coordinator, pools.new_pool(size, pools.masking(pools.pool_type(), INTERRUPTS)))
    old.shutdown(wait=False)


def new_coordinator(coordinator_type: Any, timeout_ms: int, audit_mode: bool) -> Any:
    """A coordinator whose pool workers leave interrupts to the main thread."""
    coordinator = coordinator_type(timeout_ms, audit_mode)
    leave_interrupts_to_main_thread(coordinator)
    return coordinator


def _one_line(text: str) -> str:
    return " ".join(text.split())


def build_pipeline(settings: GuardSettings) -> Pipeline:
    """The run's :class:`norv.Pipeline`: guards loaded, checked and warmed, every pool worker started.

    Everything that can go wrong here is a :class:`Fatal` naming the option and
    its REF, so a guard that could never screen stops the run before any input
    is read instead of turning every record into a ``module_error``.
    """
    try:
        from norv.core.coordinator import GovernanceCoordinator  # noqa: F401  (a missing build is one clear line)
    except ImportError as exc:
        raise Fatal(f"cannot load the native coordinator (norv.core.coordinator): {exc}") from None
    from norv.pipeline import Pipeline, check_guard

    guards: dict[str, Any] = {}
    for option, attr in GUARD_OPTIONS:
        guard = guards[attr] = load_security_module(option, settings.ref(attr))
        if guard is not None:
            try:
                check_guard(guard, attr)
            except TypeError as exc:
                reason = str(exc).removeprefix(f"{attr} ")
                raise Fatal(_one_line(f"{settings.named(attr)} cannot be used: {reason}")) from None
    # The workers are started by the warm start below, after the pool is swapped.
    pipeline = Pipeline(guards["input_guard"], guards["neural_guard"], guards["output_shield"],
                        timeout_ms=settings.timeout_ms, audit_mode=settings.audit_mode,
                        max_chars=settings.max_chars, warm=False)
    leave_interrupts_to_main_thread(pipeline.coordinator)
    try:
        pipeline.warm()
    except RuntimeError as exc:
        slot = next((attr for _, attr in GUARD_OPTIONS if str(exc).startswith(f"{attr} ")), None)
        cause = exc.__cause__
        if slot is None or cause is None:
            raise Fatal(_one_line(f"the warm start failed: {exc}")) from None
        raise Fatal(_one_line(f"{settings.named(slot)} failed to warm up: {type(cause).__name__}: {cause}")) from None
    except (SystemExit, GeneratorExit) as exc:
        # Outside Exception, so not named by the pipeline: the guard stopped the start all the same.
        raise Fatal(f"a guard raised {type(exc).__name__}{exception_args(exc)} while warming up") from None
    return pipeline


def guard_named(exc: BaseException, coordinator: Coordinator, settings: GuardSettings) -> str:
    """Which registered guard raised ``exc``, found in its traceback (the worker's frames are kept)."""
    slots = [(getattr(coordinator, attr, None), attr) for _, attr in GUARD_OPTIONS]
    tb = exc.__traceback__
    found = None
    while tb is not None:
        owner = tb.tb_frame.f_locals.get("self")
        for module, attr in slots:
            if module is not None and owner is module:
                found = settings.named(attr)
        tb = tb.tb_next
    return found or "a guard"
