"""Property-based tests of argument binding against an executable model.

Hypothesis generates calls of every method: positional and keyword arguments
in any mix; keyword names that are exact, equal but not interned, misspelt,
repeated, `str` subclasses (plain, always equal, never equal, raising on
comparison, hashed apart from the plain name) or not strings at all; values of
every kind. Each call goes through one of the ways the interpreter reaches the
method (a raw vectorcall with any tuple of names, a call written in source, a
call through an instance, `f(*args, **kwargs)` on the function or on a bound
method) and its outcome is compared with `model()`: the bound values as the
method's body sees them, or the exception type and exact message.

The bodies are observed, not run for real: the coordinator is a subclass
instance whose pool and runner record what reaches them.
"""

from __future__ import annotations

import contextlib
import io
import math
import os
from collections import OrderedDict, defaultdict
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

import norv.core.coordinator as coordinator_module
from support import (
    GC,
    SIGNATURES,
    Bound,
    DictSub,
    EqRaises,
    FloatOnly,
    Indexable,
    IndexRaises,
    IntSub,
    LongName,
    OtherHash,
    Raises,
    StrSub,
    TruthRaises,
    fresh,
    model,
    raised,
    vectorcall,
    writable,
    written_call,
)


def test_model_converts_like_the_rules():
    assert model("__init__", ["s", 2.9, None], [], dict_call=False) == Bound(["s", 2, False])
    assert model("__init__", ["s"], [("audit_mode", "no")], dict_call=False) == Bound(["s", 50, True])
    assert model("__init__", ["s", math.nan, TruthRaises()], [], dict_call=False) == \
        Raises(ValueError, "cannot convert float NaN to integer")
    assert model("process_input", ["s"], [], dict_call=True) == \
        Raises(TypeError, "process_input() takes at least 2 positional arguments (1 given)")
    assert model("process_input", ["s"], [(1, 2)], dict_call=True) == Raises(TypeError, "keywords must be strings")


# ------------------------------------------------------------------ values and names


class IntOnly:
    def __int__(self):
        return 9


class LenZero:
    def __len__(self):
        return 0


class Scanner:
    """A security module that records its scans and answers with a marker."""

    def __init__(self):
        self.calls = []
        self.answer = ("scanned", id(self))

    def scan(self, content, metadata):
        self.calls.append((content, metadata))
        return self.answer


class EqAll(str):
    """A name equal to every parameter name."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class EqNever(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class EqDefers(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return NotImplemented


SELF = type("SelfMarker", (), {"__repr__": lambda self: "SELF"})()  # replaced by the probe coordinator

FIXED_VALUES = [
    None, True, False, 0, 1, -5, 2**70, 10**400, 2.9, -2.9, math.nan, math.inf, 1j, "", "text", "é✓ 😀", b"bytes",
    bytearray(b"x"), [], (), {}, {"user": "u"}, set(), object(), StrSub("text"), StrSub(""), DictSub(), OrderedDict(),
    defaultdict(list), IntSub(3), Decimal("4.7"), Decimal("nan"), Fraction(7, 2), Indexable(), IntOnly(),
    FloatOnly(), IndexRaises(), TruthRaises(), LenZero(), LongName(), int, str, dict,
]

values = st.one_of(
    st.sampled_from(FIXED_VALUES),
    st.builds(Scanner),
    st.integers(),
    st.floats(),
    st.text(max_size=6),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.just(SELF),
)

# Values that pass a parameter's test, drawn more often so that calls reach the body.
FITTING = {
    "self": st.just(SELF),
    "timeout_ms": st.one_of(st.integers(-10**6, 10**6), st.floats(-1e6, 1e6), st.sampled_from([True, IntSub(4)])),
    "audit_mode": values,
    "guard": values,
    "shield": values,
    "module": st.one_of(st.builds(Scanner), values),
    "content": st.text(max_size=8),
    "metadata": st.one_of(st.none(), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2)),
    "context": st.sampled_from(["InputHeuristic", "InputNeural", "Output", "", "x"]),
}

ALL_NAMES = sorted({p.name for params in SIGNATURES.values() for p in params})
MISSPELT = ["contnt", "Content", "selff", "guard ", "", "metadata2", "timeout", "bogus", "modul", "ctx"]


def names_for(method: str):
    own = [p.name for p in SIGNATURES[method]]
    plain = st.sampled_from(own + ALL_NAMES)
    return st.one_of(
        plain,
        plain.map(fresh),
        st.sampled_from(MISSPELT),
        st.tuples(st.sampled_from([StrSub, EqAll, EqNever, EqDefers, EqRaises, OtherHash]), plain | st.sampled_from(
            MISSPELT)).map(lambda pair: pair[0](pair[1])),
        st.sampled_from([1, None, b"content", ("content",), 2.5]),
    )


def mostly(common, rare, odds=10):
    """``common``, and ``rare`` about once in ``odds`` draws. (one_of would
    flatten nested alternatives and lose the weighting.)"""
    return st.integers(1, odds).flatmap(lambda roll: rare if roll == 1 else common)


def value_for(name):
    """Mostly values that pass the parameter's test, sometimes anything."""
    fitting = FITTING.get(name) if type(name) is str else None
    if fitting is None:
        return values
    return mostly(fitting, values)


def spelling_of(name: str):
    """The name itself most of the time; otherwise an equal name of another kind."""
    others = st.sampled_from([fresh, StrSub, EqDefers, OtherHash, EqAll, EqNever, EqRaises])
    return mostly(st.just(name), others.map(lambda kind: kind(name)), odds=5)


@st.composite
def calls(draw, method):
    """(positional values, keyword pairs) for ``method``, self included."""
    params = [p.name for p in SIGNATURES[method]]
    if draw(st.integers(0, 3)):
        # Shaped like a real call: a prefix by position, some of the rest by
        # keyword in any order, then perhaps one stray keyword.
        n = draw(st.integers(0, len(params)))
        args = [draw(value_for(name)) for name in params[:n]]
        chosen = [name for name in params[n:] if draw(st.integers(0, 9))]
        pairs = [(draw(spelling_of(name)), draw(value_for(name))) for name in draw(st.permutations(chosen))]
        if not draw(st.integers(0, 4)):
            stray = draw(names_for(method))
            pairs.insert(draw(st.integers(0, len(pairs))), (stray, draw(value_for(stray))))
        return args, pairs
    n = draw(st.integers(0, len(params) + 1))
    args = [draw(value_for(params[i]) if i < len(params) else values) for i in range(n)]
    pairs = []
    for _ in range(draw(st.integers(0, 3))):
        name = draw(names_for(method))
        pairs.append((name, draw(value_for(name))))
    return args, pairs


# ------------------------------------------------------------------ calling


class Probe(GC):
    """A coordinator that records what reaches its pool and its runner."""


class FakePool:
    def __init__(self):
        self.submitted = []

    def submit(self, fn, *args):
        self.submitted.append((fn, args))
        return FakeFuture()


CHANGED = "⟂ changed by the module"


class FakeFuture:
    def result(self, timeout):
        return CHANGED


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return args[1]


class AuditRecorder:
    def __init__(self):
        self.events = []

    def __call__(self, logger, event, details):
        self.events.append((event, dict(details)))

    def info(self, message):
        self.events.append(("info", message))


def make_probe(method: str) -> Probe:
    probe = Probe.__new__(Probe)
    vars(probe).update(timeout_seconds=1.0, audit_mode=False, input_guard=None, output_shield=None,
                       neural_guard=None, _executor=FakePool())
    if method in ("process_input", "process_output"):
        probe._run_fail_safe = Recorder()
    return probe


def invoke(route: str, method: str, args: list, pairs: list, probe: Probe):
    names = tuple(name for name, _ in pairs)
    kwvalues = [value for _, value in pairs]
    func = GC.__dict__[method]
    if route == "vectorcall":
        return vectorcall(func, args + kwvalues, names)
    if route == "written":
        return written_call(len(args), names, None)(func, args, kwvalues)
    if route == "written-bound":
        return written_call(len(args) - 1, names, method)(probe, args[1:], kwvalues)
    kwargs = dict(pairs)
    if route == "classic":
        return func(*args, **kwargs)
    if route == "classic-bound":
        return getattr(probe, method)(*args[1:], **kwargs)
    raise AssertionError(route)


def routes_for(args: list, pairs: list, probe) -> list:
    names = [name for name, _ in pairs]
    routes = ["vectorcall"]
    if writable(names):
        routes.append("written")
        if args and args[0] is probe:
            routes.append("written-bound")
    with contextlib.suppress(Exception):
        dict(pairs)  # names that cannot share a dict (their comparison raises) have no classic call
        routes.append("classic")
        if args and args[0] is probe:
            routes.append("classic-bound")
    return routes


# ------------------------------------------------------------------ what a body must show


def check_body(method: str, bound: list, result, probe: Probe, audit: AuditRecorder, printed: str):
    self = bound[0]
    if method == "__init__":
        pool = vars(self).pop("_executor")
        pool.shutdown(wait=False)
        assert isinstance(pool, ThreadPoolExecutor) and pool._max_workers == 4
        assert pool._thread_name_prefix == "NORV_Worker"
        assert result is None
        assert self.timeout_seconds == bound[1] / 1000.0 and type(self.timeout_seconds) is float
        assert self.audit_mode is bound[2]
        assert (self.input_guard, self.output_shield, self.neural_guard) == (None, None, None)
    elif method.startswith("register_"):
        slot = {"register_input_guard": "input_guard", "register_output_shield": "output_shield",
                "register_neural_guard": "neural_guard"}[method]
        assert result is None and getattr(self, slot) is bound[1]
    elif method in ("process_input", "process_output"):
        label = "InputHeuristic" if method == "process_input" else "Output"
        [(module, content, metadata, context)] = self._run_fail_safe.calls
        assert module is None and content is bound[1] and metadata is bound[2] and context == label
        assert result is bound[1]
    elif method == "_run_fail_safe":
        _, module, content, metadata, context = bound
        submitted = self._executor.submitted
        try:
            usable = bool(module)
        except Exception as exc:
            assert printed == f"NORV CRITICAL FAILURE: {exc}\n" and result is content and not submitted
            return
        if not usable or content == "":
            assert result is content and not submitted and not audit.events
            return
        [(fn, (m, c, md))] = submitted
        assert fn.__self__ is self and fn.__func__ is GC.__dict__["_safe_scan"]
        assert m is module and c is content and md is metadata
        assert result == CHANGED
        [(event, details)] = audit.events
        assert event == "THREAT_DETECTED" and details["module"] is context and details["outcome"] == "BLOCKED"
    elif method == "_safe_scan":
        _, module, content, metadata = bound
        if isinstance(module, Scanner):
            assert result is module.answer and len(module.calls) == 1
            assert module.calls[0][0] is content and module.calls[0][1] is metadata
    else:
        raise AssertionError(method)


def expected_body_error(method: str, bound: list):
    """The exception a body raises for bound values that reach it, if any."""
    if method == "__init__":
        try:
            bound[1] / 1000.0
        except OverflowError as exc:
            return raised(exc)
    if method == "_safe_scan" and not isinstance(bound[1], Scanner):
        # The wording (how much of a long type name it quotes) is the interpreter's own.
        return NO_SCAN
    return None


NO_SCAN = Raises(AttributeError, "... has no attribute 'scan'")


def outcome_kind(expected) -> str:
    if isinstance(expected, Bound):
        return "bound"
    for word in ("positional argument", "multiple values", "unexpected keyword", "keywords must be strings",
                 "has incorrect type", "no attribute"):
        if word in expected.message:
            return f"{expected.type.__name__} {word}"
    return f"{expected.type.__name__} raised by host code"


# ------------------------------------------------------------------ the property

# Examples per method; NORV_FUZZ_EXAMPLES raises it for a longer hunt. Under
# emulation (NORV_TEST_TIME_SCALE) fewer: depth comes from the native runs.
TIME_SCALE = max(1, int(os.environ.get("NORV_TEST_TIME_SCALE", "1")))
EXAMPLES = int(os.environ.get("NORV_FUZZ_EXAMPLES", str(max(25, 200 // TIME_SCALE))))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("method", list(SIGNATURES))
@SETTINGS
@given(data=st.data())
def test_binding_matches_the_model(method, data):
    args, pairs = data.draw(calls(method), label="call")
    probe = make_probe(method)
    args = [probe if a is SELF else a for a in args]
    pairs = [(name, probe if value is SELF else value) for name, value in pairs]
    route = data.draw(st.sampled_from(routes_for(args, pairs, probe)), label="route")
    received = list(dict(pairs).items()) if route.startswith("classic") else pairs
    if route.endswith("-bound"):
        args = [probe, *args[1:]]
    expected = model(method, args, received, dict_call=route.startswith("classic"))
    if isinstance(expected, Bound):
        assume(expected.values[0] is probe)  # only the probe's body can be observed
        expected = expected_body_error(method, expected.values) or expected

    event(f"{route}: {outcome_kind(expected)}")

    audit = AuditRecorder()
    saved = coordinator_module.log_audit, coordinator_module.logger
    coordinator_module.log_audit = coordinator_module.logger = audit
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            result = invoke(route, method, args, pairs, probe)
    except Exception as exc:
        assert isinstance(expected, Raises), f"{route}: raised {exc!r}, model bound {expected}"
        if expected is NO_SCAN:
            assert type(exc) is AttributeError and str(exc).endswith("has no attribute 'scan'"), route
        else:
            assert (type(exc), str(exc)) == (expected.type, expected.message), route
        recorder = vars(probe).get("_run_fail_safe")
        assert not audit.events and not probe._executor.submitted and not getattr(recorder, "calls", None), \
            "a refused call reached the body"
        return
    finally:
        coordinator_module.log_audit, coordinator_module.logger = saved
    assert isinstance(expected, Bound), f"{route}: returned {result!r}, model expected {expected}"
    check_body(method, expected.values, result, probe, audit, out.getvalue())
