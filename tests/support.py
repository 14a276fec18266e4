"""What the binding tests, the binding fuzzer and the leak harness share.

- Calling: a raw vectorcall with any tuple of keyword names, and call sites
  written in source (the interpreter's own vectorcall with interned names).
- Values that probe the argument tests: subclasses of the built-in types,
  keyword names that compare or hash oddly, numbers that convert oddly.
- The methods' signatures, read from ``inspect.signature`` (which the module
  tests hold to a plain-Python twin of the class), and the tests binding
  applies, read from the annotations.
- The messages of binding and ``model``, an executable model of binding: the
  bound values of a call, or the exception it must raise.

Plain Python with no test framework: the leak harness imports it under the
debug interpreter, as a script.
"""

from __future__ import annotations

import ctypes
import inspect
import keyword
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import norv.core.coordinator as coordinator_module

GC = coordinator_module.GovernanceCoordinator

# ------------------------------------------------------------------ calling

# A function object of our own: ctypes.pythonapi.PyObject_Vectorcall is shared
# by every module, and another one setting its argtypes would change ours.
_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.c_void_p)(("PyObject_Vectorcall", ctypes.pythonapi))


def vectorcall(func: Any, args: list, kwnames: tuple) -> Any:
    """``func`` through PyObject_Vectorcall, the last ``len(kwnames)`` of ``args``
    named by ``kwnames``: any objects, as a C caller may pass them."""
    values = (ctypes.py_object * max(len(args), 1))(*args)
    npos = len(args) - len(kwnames)
    return _vectorcall(func, ctypes.addressof(values), npos, id(kwnames) if kwnames else None)


_CALLERS: dict[tuple, Callable] = {}


def written_call(npos: int, names: tuple, attribute: str | None = None) -> Callable:
    """A call site in source, ``f(a[0], ..., name=v[0], ...)`` or with
    ``attribute`` ``f.<attribute>(...)``, as ``lambda f, a, v: ...``."""
    key = (npos, names, attribute)
    if key not in _CALLERS:
        target = "f" if attribute is None else f"f.{attribute}"
        parts = [f"a[{i}]" for i in range(npos)] + [f"{name}=v[{i}]" for i, name in enumerate(names)]
        _CALLERS[key] = eval(f"lambda f, a, v: {target}({', '.join(parts)})")
    return _CALLERS[key]


def writable(names) -> bool:
    """Whether keyword names can be written in a call site."""
    return (all(type(n) is str and n.isidentifier() and not keyword.iskeyword(n) for n in names)
            and len(set(names)) == len(names))


# ------------------------------------------------------------------ values


class StrSub(str):
    pass


class IntSub(int):
    pass


class DictSub(dict):
    pass


def fresh(text: str) -> str:
    """Equal to ``text`` but a distinct, non-interned object."""
    return "".join(list(text))


class OtherHash(str):
    """Equal to the plain name but hashed apart, so that a dict keeps both."""

    def __hash__(self):
        return str.__hash__(self) ^ 1


class EqRaises(str):
    """A keyword name whose comparison raises (hashed apart, so that a dict
    holding it beside the plain name never compares them)."""

    def __hash__(self):
        return str.__hash__(self) ^ 2

    def __eq__(self, other):
        raise ArithmeticError("name comparison failed")


class Indexable:
    def __index__(self):
        return 3


class FloatOnly:
    def __float__(self):
        return 2.5


class IndexRaises:
    def __index__(self):
        raise ZeroDivisionError("no index today")


class TruthRaises:
    def __bool__(self):
        raise LookupError("truth unknown")


class NeRaises:
    def __ne__(self, other):
        raise ArithmeticError("cannot compare")


LongName = type("L" * 300, (), {})  # messages quote at most 200 characters of a type name

# ------------------------------------------------------------------ signatures

REQUIRED = inspect.Parameter.empty
ANY, EXACT_STR, DICT_OR_NONE, TO_INT, TO_FLAG = "any", "str", "dict", "int", "flag"
# Arguments are typed from their annotations, exactly; any other annotation tests nothing.
TEST_OF_ANNOTATION = {"str": EXACT_STR, "Optional[Dict[str, Any]]": DICT_OR_NONE, "int": TO_INT, "bool": TO_FLAG}


@dataclass(frozen=True)
class Param:
    name: str
    test: str
    default: Any  # REQUIRED for none


def _signature(func: Any) -> tuple[Param, ...]:
    return tuple(Param(p.name, TEST_OF_ANNOTATION.get(p.annotation, ANY), p.default)
                 for p in inspect.signature(func).parameters.values())


_FUNCTION_TYPE = type(vars(GC)["__init__"])

#: method -> its parameters, self first and counted like any other.
SIGNATURES = {name: _signature(func) for name, func in vars(GC).items() if type(func) is _FUNCTION_TYPE}


def required_count(method: str) -> int:
    return sum(p.default is REQUIRED for p in SIGNATURES[method])


# ------------------------------------------------------------------ messages

# The note appended to a refused subclass (src/support/constants.hpp).
SUBCLASS_NOTE = (
    "Argument checks here are exact and stricter than PEP 484: subclasses of built-in types are refused. "
    "They would be admitted only by a build with annotation typing (typing of arguments from their "
    "annotations) switched off."
)


def tp_name(cls: type) -> str:
    """The C-level type name that messages quote, read from the type object.

    No Python attribute gives it: a static type outside builtins carries its
    module, as does a heap type built by C code, while a class statement's
    type does not. Which kind a standard type is changes between interpreters
    (collections.defaultdict is static in 3.11, a heap type in 3.13).
    """
    # PyTypeObject: the variable-size object header, then tp_name.
    offset = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)
    name = ctypes.c_char_p.from_address(id(cls) + offset).value
    assert name is not None
    return name.decode()


def count_error(method: str, given: int, missing: bool = False) -> str:
    """The positional count message; ``missing`` when keywords left a required one out."""
    low, high = required_count(method), len(SIGNATURES[method])
    if low == high:
        qualifier, expected = "exactly", low
    elif missing or given < low:
        qualifier, expected = "at least", low
    else:
        qualifier, expected = "at most", high
    plural = "" if expected == 1 else "s"
    return f"{method}() takes {qualifier} {expected} positional argument{plural} ({given} given)"


def type_error(param: str, required: type, value: Any) -> str:
    """The refusal of ``value`` by the test of ``param``, which requires ``required``."""
    cls = type(value)
    note = ". " + SUBCLASS_NOTE if issubclass(cls, required) else ""
    return (f"Argument '{param}' has incorrect type (expected {required.__name__}, "
            f"got {tp_name(cls)[:200]}){note}")


# ------------------------------------------------------------------ the model


@dataclass
class Bound:
    values: list


@dataclass
class Raises:
    type: type
    message: str


def raised(exc: BaseException) -> Raises:
    """What the caller sees when host code that binding runs raises ``exc``."""
    return Raises(type(exc), str(exc))


def is_number(value: Any) -> bool:
    # The interpreter's number check: integer, index or float conversion, or a complex.
    cls = type(value)
    return isinstance(value, complex) or any(hasattr(cls, slot) for slot in ("__index__", "__int__", "__float__"))


_MISSING = object()


def model(method: str, args: list, pairs: list, *, dict_call: bool) -> Bound | Raises:
    """Bound values, or the exception the call must raise.

    ``pairs`` are the keyword (name, value) pairs in the order the method
    receives them; ``dict_call`` says they came as a dict (the classic call)."""
    params = SIGNATURES[method]
    names = [p.name for p in params]
    low = required_count(method)
    n, k = len(args), len(pairs)
    if dict_call and not all(isinstance(name, str) for name, _ in pairs):
        return Raises(TypeError, "keywords must be strings")
    if n > len(params) or (k == 0 and n < low):
        return Raises(TypeError, count_error(method, n))
    slots = list(args) + [_MISSING] * (len(params) - n)

    for key, value in pairs:
        index = next((i for i in range(n, len(params)) if names[i] is key), None)
        if index is None:
            if not isinstance(key, str):
                return Raises(TypeError, f"{method}() keywords must be strings")
            try:
                # Exact names compare by value, subclasses by the interpreter's
                # equality with the parameter's name on the left.
                index = next((i for i in range(n, len(params)) if names[i] == key), None)
                if index is None:
                    filled = next((i for i in range(n) if names[i] == key), None)
                    text = str.__str__(key)
                    if filled is not None:
                        return Raises(TypeError, f"{method}() got multiple values for keyword argument '{text}'")
                    return Raises(TypeError, f"{method}() got an unexpected keyword argument '{text}'")
            except Exception as exc:
                return raised(exc)
        if slots[index] is not _MISSING:
            # Two names for one parameter (str subclasses, or a hand-made name tuple).
            return Raises(TypeError, f"{method}() got multiple values for keyword argument '{str.__str__(key)}'")
        slots[index] = value

    for i, param in enumerate(params):
        if slots[i] is _MISSING and param.default is not REQUIRED:
            slots[i] = param.default
    if k:
        for i in range(n, low):
            if slots[i] is _MISSING:
                return Raises(TypeError, count_error(method, i, missing=True))

    for i, param in enumerate(params):
        value = slots[i]
        if param.test == TO_INT and type(value) is not int:
            if not is_number(value):
                return Raises(TypeError, f"Argument '{param.name}' has incorrect type (expected int, "
                                         f"got {tp_name(type(value))[:200]})")
            try:
                slots[i] = int(value)
            except Exception as exc:
                return raised(exc)
        elif param.test == TO_FLAG:
            if value is True or value is False or value is None:
                slots[i] = value is True
            else:
                try:
                    slots[i] = bool(value)
                except Exception as exc:
                    return raised(exc)
    for i, param in enumerate(params):
        value = slots[i]
        if param.test == EXACT_STR and type(value) is not str:
            return Raises(TypeError, type_error(param.name, str, value))
        if param.test == DICT_OR_NONE and value is not None and type(value) is not dict:
            return Raises(TypeError, type_error(param.name, dict, value))
    return Bound(slots)
