"""Argument binding of the eight methods: counts, keywords, type tests, conversions.

Every case runs through several calling conventions, because a call with
keywords reaches the method either as a vectorcall with a tuple of names or as
a positional tuple plus a dict that the interpreter unpacks first.
"""

import functools
import math
import types
from collections import OrderedDict, defaultdict

import pytest

from conftest import Guard
from support import (
    GC,
    SIGNATURES,
    SUBCLASS_NOTE,
    EqRaises,
    FloatOnly,
    Indexable,
    IndexRaises,
    IntSub,
    LongName,
    Raises,
    StrSub,
    count_error,
    fresh,
    model,
    required_count,
    vectorcall,
    written_call,
)

SELF = object()  # stands for the coordinator in calls handed to the model


def invoke(convention, coord, name, args, kwargs):
    """Call method ``name`` with ``coord`` as self plus ``args``/``kwargs``."""
    names, values = tuple(kwargs), list(kwargs.values())
    if convention == "instance":
        return written_call(len(args), names, name)(coord, args, values)
    if convention == "class":
        return written_call(len(args) + 1, names)(getattr(GC, name), (coord, *args), values)
    if convention == "classic":
        return getattr(GC, name)(coord, *args, **kwargs)
    if convention == "bound":
        return getattr(coord, name)(*args, **kwargs)
    if convention == "partial":
        return functools.partial(getattr(GC, name), coord)(*args, **kwargs)
    raise AssertionError(convention)


CONVENTIONS = ["instance", "class", "classic", "bound", "partial"]


@pytest.fixture
def coord(make_coord, audit):
    """A coordinator whose modules must never be reached by a refused call."""
    coord = make_coord(input_guard=Guard(), neural_guard=Guard(), output_shield=Guard())
    snapshot = dict(vars(coord))
    yield coord
    assert [g.calls for g in (coord.input_guard, coord.neural_guard, coord.output_shield)] == [[], [], []]
    assert audit.calls == []
    assert vars(coord).keys() == snapshot.keys()
    assert all(vars(coord)[k] is v for k, v in snapshot.items())


# -- counts ----------------------------------------------------------------------


@pytest.mark.parametrize("name", SIGNATURES)
def test_count_errors_through_the_class(coord, name):
    nparams, low = len(SIGNATURES[name]), required_count(name)
    for n in range(nparams + 2):
        if low <= n <= nparams:
            continue
        args = ([coord] + [None] * (n - 1)) if n else []
        expected = count_error(name, n)
        with pytest.raises(TypeError) as vector:
            written_call(n, ())(getattr(GC, name), args, [])
        with pytest.raises(TypeError) as classic:
            getattr(GC, name)(*args)
        assert str(vector.value) == str(classic.value) == expected


@pytest.mark.parametrize(
    "args, kwargs",
    [((1, 2, 3), {}), ((1, 2, 3), {"audit_mode": 1}), ((1, 2, 3), {"bogus": 1})],
)
def test_constructor_count_error(args, kwargs):
    with pytest.raises(TypeError) as info:
        GC(*args, **kwargs)
    assert str(info.value) == "__init__() takes at most 3 positional arguments (4 given)"


# -- refused calls, the module and the model held to the same texts ------------------
#
# (method, args after self, kwargs, message); "GUARD" stands for a registered guard.

MI = "process_input() got multiple values for keyword argument "
NOTE = ". " + SUBCLASS_NOTE
REFUSED = [
    ("process_input", (), {}, "process_input() takes at least 2 positional arguments (1 given)"),
    ("process_input", ("a", None, "b"), {}, "process_input() takes at most 3 positional arguments (4 given)"),
    ("process_input", ("a", None, "b"), {"metadata": None}, "process_input() takes at most 3 positional arguments (4 given)"),
    ("process_input", ("a", None, "b"), {"zz": 1}, "process_input() takes at most 3 positional arguments (4 given)"),
    ("register_input_guard", (), {}, "register_input_guard() takes exactly 2 positional arguments (1 given)"),
    ("register_output_shield", ("GUARD", 2), {}, "register_output_shield() takes exactly 2 positional arguments (3 given)"),
    ("__init__", (1, 2, 3), {}, "__init__() takes at most 3 positional arguments (4 given)"),
    ("process_input", ("a",), {"content": "b"}, MI + "'content'"),
    ("process_input", ("a",), {"self": 1}, MI + "'self'"),
    ("_run_fail_safe", ("GUARD",), {"content": "x", "module": None}, "_run_fail_safe() got multiple values for keyword argument 'module'"),
    ("process_output", ("a",), {"x": 1}, "process_output() got an unexpected keyword argument 'x'"),
    ("process_input", (), {"contnet": "a"}, "process_input() got an unexpected keyword argument 'contnet'"),
    ("_run_fail_safe", (), {"zz": 1, "yy": 2, "module": None}, "_run_fail_safe() got an unexpected keyword argument 'zz'"),
    ("_run_fail_safe", (), {"yy": 2, "zz": 1}, "_run_fail_safe() got an unexpected keyword argument 'yy'"),
    ("__init__", (), {"audit_mode": True, "x": 1}, "__init__() got an unexpected keyword argument 'x'"),
    ("register_neural_guard", (), {"shield": "GUARD"}, "register_neural_guard() got an unexpected keyword argument 'shield'"),
    ("register_output_shield", (), {"guard": "GUARD"}, "register_output_shield() got an unexpected keyword argument 'guard'"),
    ("process_input", (), {"metadata": None}, "process_input() takes at least 2 positional arguments (1 given)"),
    ("_run_fail_safe", ("GUARD", "x"), {"context": "c"}, "_run_fail_safe() takes exactly 5 positional arguments (3 given)"),
    ("_safe_scan", (), {"module": "GUARD", "metadata": None}, "_safe_scan() takes exactly 4 positional arguments (2 given)"),
    ("register_input_guard", (), {"self": None}, "register_input_guard() got multiple values for keyword argument 'self'"),
    ("process_input", (b"x",), {}, "Argument 'content' has incorrect type (expected str, got bytes)"),
    ("process_input", (None,), {}, "Argument 'content' has incorrect type (expected str, got NoneType)"),
    ("process_output", (), {"content": 5}, "Argument 'content' has incorrect type (expected str, got int)"),
    ("process_input", ("x", []), {}, "Argument 'metadata' has incorrect type (expected dict, got list)"),
    ("process_output", (b"x",), {"metadata": []}, "Argument 'content' has incorrect type (expected str, got bytes)"),
    ("process_input", ("x", types.MappingProxyType({})), {}, "Argument 'metadata' has incorrect type (expected dict, got mappingproxy)"),
    ("_run_fail_safe", ("GUARD", "x", None, None), {}, "Argument 'context' has incorrect type (expected str, got NoneType)"),
    ("_run_fail_safe", ("GUARD", "x", 1, 2), {}, "Argument 'metadata' has incorrect type (expected dict, got int)"),
    ("_run_fail_safe", ("GUARD",), {"context": b"c", "metadata": None, "content": b"x"}, "Argument 'content' has incorrect type (expected str, got bytes)"),
    ("_safe_scan", ("GUARD", None, ()), {}, "Argument 'metadata' has incorrect type (expected dict, got tuple)"),
    ("__init__", ("5",), {}, "Argument 'timeout_ms' has incorrect type (expected int, got str)"),
    ("__init__", (None,), {}, "Argument 'timeout_ms' has incorrect type (expected int, got NoneType)"),
    ("__init__", (StrSub("5"),), {}, "Argument 'timeout_ms' has incorrect type (expected int, got StrSub)"),
    ("__init__", (), {"timeout_ms": b"1", "audit_mode": True}, "Argument 'timeout_ms' has incorrect type (expected int, got bytes)"),
    ("__init__", (LongName(),), {}, "Argument 'timeout_ms' has incorrect type (expected int, got " + "L" * 200 + ")"),
    ("process_input", ("x", LongName()), {}, "Argument 'metadata' has incorrect type (expected dict, got " + "L" * 200 + ")"),
    ("process_output", tuple(range(300)), {}, "process_output() takes at most 3 positional arguments (301 given)"),
    ("process_output", (), {"cont\u00e9nt": 1}, "process_output() got an unexpected keyword argument 'cont\u00e9nt'"),
    # A subclass of the required type is refused too, with a note saying why.
    ("process_input", (StrSub("x"),), {}, "Argument 'content' has incorrect type (expected str, got StrSub)" + NOTE),
    ("process_input", ("x", OrderedDict()), {}, "Argument 'metadata' has incorrect type (expected dict, got collections.OrderedDict)" + NOTE),
    ("process_output", ("x", defaultdict(list)), {}, "Argument 'metadata' has incorrect type (expected dict, got collections.defaultdict)" + NOTE),
    ("_run_fail_safe", (None, "x", None, StrSub("c")), {}, "Argument 'context' has incorrect type (expected str, got StrSub)" + NOTE),
    ("_safe_scan", (None, "x", OrderedDict(a=1)), {}, "Argument 'metadata' has incorrect type (expected dict, got collections.OrderedDict)" + NOTE),
]
REFUSED_IDS = [f"{c[0]}-{i}" for i, c in enumerate(REFUSED)]


@pytest.mark.parametrize("convention", CONVENTIONS)
@pytest.mark.parametrize("name, args, kwargs, message", REFUSED, ids=REFUSED_IDS)
def test_refused_calls(coord, convention, name, args, kwargs, message):
    guard = coord.input_guard
    args = tuple(guard if a == "GUARD" else a for a in args)
    kwargs = {k: guard if v == "GUARD" else v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        invoke(convention, coord, name, args, kwargs)
    assert str(info.value) == message


# Calls only a C caller can make: no self at all, keyword names that are not
# strings or name one parameter twice. (method, args with self, kwnames, message)
RAW = [
    ("__init__", [], (), "__init__() takes at least 1 positional argument (0 given)"),
    ("process_input", [SELF, "x", None], (1,), "process_input() keywords must be strings"),
    ("process_input", [SELF, "x", None, None], ("zz", 1), "process_input() got an unexpected keyword argument 'zz'"),
    ("process_input", [SELF, "x", None, None], (1, "zz"), "process_input() keywords must be strings"),
    ("_safe_scan", [SELF, 2], (1,), "_safe_scan() keywords must be strings"),
    ("process_output", [SELF, "a", "b"], ("content", "content"),
     "process_output() got multiple values for keyword argument 'content'"),
]


@pytest.mark.parametrize("name, args, kwnames, message", RAW)
def test_raw_vectorcalls_refused(coord, name, args, kwnames, message):
    args = [coord if a is SELF else a for a in args]
    with pytest.raises(TypeError) as info:
        vectorcall(vars(GC)[name], args, kwnames)
    assert str(info.value) == message


@pytest.mark.parametrize("name, args, kwargs, message", REFUSED, ids=REFUSED_IDS)
def test_model_gives_the_refusals(name, args, kwargs, message):
    assert model(name, [SELF, *args], list(kwargs.items()), dict_call=False) == Raises(TypeError, message)


@pytest.mark.parametrize("name, args, kwnames, message", RAW)
def test_model_gives_the_raw_refusals(name, args, kwnames, message):
    npos = len(args) - len(kwnames)
    pairs = list(zip(kwnames, args[npos:], strict=False))
    assert model(name, args[:npos], pairs, dict_call=False) == Raises(TypeError, message)


# -- keyword names ------------------------------------------------------------------


def test_keyword_names_by_value(make_coord):
    coord = make_coord()
    assert coord.process_input(**{fresh("content"): "v"}) == "v"
    assert GC.process_input(**{fresh("self"): coord, fresh("content"): "w"}) == "w"
    assert coord.process_output(**{StrSub("content"): "s", StrSub("metadata"): None}) == "s"
    with pytest.raises(TypeError) as info:
        coord.process_input("a", **{fresh("content"): "b"})
    assert str(info.value) == MI + "'content'"
    with pytest.raises(TypeError) as info:
        coord.process_input(**{StrSub("nope"): 1})
    assert str(info.value) == "process_input() got an unexpected keyword argument 'nope'"


def test_keyword_name_whose_comparison_raises(coord):
    with pytest.raises(ArithmeticError, match="name comparison failed"):
        coord.process_input(**{EqRaises("content"): "x"})


@pytest.mark.parametrize("keywords", [{1: 2}, {"content": "x", 1: 2}, {"bogus": 1, 2: 3}])
def test_classic_non_string_keys(coord, keywords):
    with pytest.raises(TypeError) as info:
        coord.process_input(**keywords)
    assert str(info.value) == "keywords must be strings"


def test_every_method_binds_all_keywords_through_the_class(make_coord, audit):
    coord = make_coord()
    guard = Guard.returning("scanned")
    assert GC.register_input_guard(self=coord, guard=guard) is None and coord.input_guard is guard
    assert GC.register_output_shield(self=coord, shield=guard) is None and coord.output_shield is guard
    assert GC.register_neural_guard(self=coord, guard=None) is None and coord.neural_guard is None
    assert GC._safe_scan(metadata=None, content="a", module=guard, self=coord) == "scanned"
    assert GC._run_fail_safe(context="c", metadata=None, content="b", module=None, self=coord) == "b"
    assert GC.process_input(content="c", self=coord, metadata={}) == "scanned"
    assert GC.process_output(self=coord, content="d") == "scanned"
    obj = GC.__new__(GC)
    assert GC.__init__(audit_mode=[1], self=obj, timeout_ms=7) is None
    assert obj.timeout_seconds == 0.007 and obj.audit_mode is True
    obj._executor.shutdown(wait=False)


# -- conversions of __init__ ----------------------------------------------------------


def _construct(how, *args):
    if how == "call":
        return GC(*args)
    if how == "keyword":
        return GC(**dict(zip(("timeout_ms", "audit_mode"), args, strict=False)))
    obj = GC.__new__(GC)
    GC.__init__(obj, *args)
    return obj


@pytest.mark.parametrize("how", ["call", "keyword", "init"])
@pytest.mark.parametrize(
    "value, seconds",
    [(2.9, 0.002), (-2.9, -0.002), (True, 0.001), (False, 0.0), (IntSub(7), 0.007), (Indexable(), 0.003)],
    ids=["2.9", "-2.9", "True", "False", "IntSub", "index"],
)
def test_timeout_conversions(how, value, seconds):
    coord = _construct(how, value)
    assert coord.timeout_seconds == seconds
    coord._executor.shutdown(wait=False)


@pytest.mark.parametrize(
    "value", [math.nan, math.inf, -math.inf, 1j, FloatOnly(), IndexRaises()],
    ids=["nan", "inf", "-inf", "complex", "float-only", "index-raises"],
)
def test_timeout_conversion_errors_are_int_errors(value):
    with pytest.raises(Exception) as expected:
        int(value)
    obj = GC.__new__(GC)
    with pytest.raises(type(expected.value)) as got:
        GC.__init__(obj, value)
    assert str(got.value) == str(expected.value)
    assert vars(obj) == {}


class Truth:
    """Counts truth tests; raises ``error`` when set."""

    def __init__(self, error=None):
        self.error, self.tests = error, 0

    def __bool__(self):
        self.tests += 1
        if self.error:
            raise self.error
        return False


class LenRaises:
    def __len__(self):
        raise OSError("len failed")


@pytest.mark.parametrize("flag, exc", [(Truth(ValueError("bool failed")), ValueError), (LenRaises(), OSError)])
def test_failing_truth_test_sets_nothing(flag, exc):
    obj = GC.__new__(GC)
    with pytest.raises(exc):
        GC.__init__(obj, 5, flag)
    with pytest.raises(exc):
        GC.__init__(obj, audit_mode=flag)
    assert vars(obj) == {}


@pytest.mark.parametrize("timeout, exc", [(math.nan, ValueError), ("5", TypeError)])
def test_timeout_error_wins_over_audit_mode_error(timeout, exc):
    flag = Truth(RuntimeError("bool failed"))
    with pytest.raises(exc):
        GC(timeout, flag)
    assert flag.tests == 0


def test_truth_is_asked_once_and_not_of_bools(make_coord):
    flag = Truth()
    assert make_coord(50, flag).audit_mode is False
    assert flag.tests == 1
