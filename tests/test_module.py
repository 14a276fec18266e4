"""The extension module and the class object as the interpreter sees them.

Import-time behaviour needs a fresh interpreter: those tests run a child
process against stand-in collaborator packages that record how they are used.
"""

import builtins
import importlib
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import types
import typing
from pathlib import Path

import pytest

import norv.core.coordinator as C
from conftest import GC, TIME_SCALE, Guard

METHODS = ["__init__", "register_input_guard", "register_output_shield", "register_neural_guard",
           "process_input", "process_output", "_run_fail_safe", "_safe_scan"]


def doc(*lines):
    """Join (indent, text) lines the way the docstrings are laid out."""
    return "\n".join(" " * indent + text for indent, text in lines)


MODULE_DOC = "\n".join([
    "", "norv.core.coordinator", "~" * 21, "", "The Central Nervous System of NORV.",
    "Manages the orchestration of security modules, enforces timeouts,",
    "and guarantees Fail-Safe execution (Zero-Crash Policy).", "",
])
CLASS_DOC = doc(
    (0, ""), (4, "Coordinator orchestrates the security pipeline."), (4, ""), (4, "Design Guarantees:"),
    (4, "1. Fail-Safe: Internal errors in modules NEVER propagate to the host app."),
    (4, "2. Zero-Latency: Fallback to pass-through on timeout."),
    (4, "3. Observable: All security decisions are logged to JSON audit logs."), (4, ""),
)
METHOD_DOCS = {
    "__init__": doc(
        (0, ""), (8, "Initialize the Governance Coordinator."), (0, ""), (8, "Args:"),
        (12, "timeout_ms (int): Hard execution limit per module in milliseconds."),
        (30, "Defaults to 50ms (aggressive real-time target)."),
        (12, "audit_mode (bool): If True, detected threats are logged but NOT blocked."),
        (31, "Useful for initial deployment and shadow testing."), (8, ""),
    ),
    "register_input_guard": "Registers the primary heuristic input guard (Regex/Pattern).",
    "register_output_shield": "Registers the output protection shield (PII/Secret Redaction).",
    "register_neural_guard": "Registers the semantic AI guard (ONNX/Deep Learning).",
    "process_input": doc(
        (0, ""), (8, "Public Entry Point: Scans input prompt for injections and malicious intent."), (0, ""),
        (8, "Pipeline:"), (12, "1. InputHeuristic (Regex/Fast)"),
        (12, "2. InputNeural (AI/Semantic) - *If enabled and heuristic passed*"), (0, ""), (8, "Args:"),
        (12, "content (str): The user input prompt."),
        (12, "metadata (dict): Context (user_id, session_id) for audit logging."), (0, ""), (8, "Returns:"),
        (12, "str: Original content (if safe), Sanitized content, or Refusal Message."), (8, ""),
    ),
    "process_output": doc(
        (0, ""), (8, "Public Entry Point: Scans model output for PII leakage or Toxic content."), (0, ""),
        (8, "Args:"), (12, "content (str): The LLM response."), (12, "metadata (dict): Context."), (0, ""),
        (8, "Returns:"), (12, "str: Redacted or Safe content."), (8, ""),
    ),
    "_run_fail_safe": doc(
        (0, ""), (8, "Executes a security module within a Fail-Safe, Timed, and Audited context."), (0, ""),
        (8, "Critical Logic:"), (12, "- Catches ALL exceptions."), (12, "- Enforces hard timeouts via ThreadPool."),
        (12, "- Logs strict Audit Events to JSON."),
        (12, "- Respects 'Audit Mode' (Pass-through if detection only)."), (8, ""),
    ),
    "_safe_scan": doc(
        (0, ""), (8, "Helper wrapper to run the scan inside the thread. "),
        (8, "Catches exceptions within the thread to avoid crashing the executor."), (8, ""),
    ),
}
DOC_LENGTHS = {"__init__": 394, "register_input_guard": 60, "register_output_shield": 62,
               "register_neural_guard": 53, "process_input": 477, "process_output": 249,
               "_run_fail_safe": 326, "_safe_scan": 145}


class Reference:
    """Plain-Python twins of the methods: the signatures the native ones must match."""

    def __init__(self, timeout_ms: "int" = 50, audit_mode: "bool" = False): pass
    def register_input_guard(self, guard: "SecurityModule") -> "None": pass
    def register_output_shield(self, shield: "SecurityModule") -> "None": pass
    def register_neural_guard(self, guard: "SecurityModule") -> "None": pass
    def process_input(self, content: "str", metadata: "Optional[Dict[str, Any]]" = None) -> "str": pass
    def process_output(self, content: "str", metadata: "Optional[Dict[str, Any]]" = None) -> "str": pass
    def _run_fail_safe(self, module: "Optional[SecurityModule]", content: "str",
                       metadata: "Optional[Dict[str, Any]]", context: "str") -> "str": pass
    def _safe_scan(self, module: "SecurityModule", content: "Any",
                   metadata: "Optional[Dict[str, Any]]") -> "Any": pass


# -- module and class objects ------------------------------------------------------


def test_module_docstring():
    assert C.__doc__ == MODULE_DOC and len(C.__doc__) == 204


def test_class_object():
    assert type(GC) is type and GC.__bases__ == (object,)
    assert GC.__module__ == "coordinator" and GC.__qualname__ == "GovernanceCoordinator"
    assert GC.__doc__ == CLASS_DOC and len(GC.__doc__) == 294
    assert "__slots__" not in vars(GC)
    # The same namespace handed to type() directly (type() consumes __qualname__).
    namespace = {"__module__": "coordinator", "__qualname__": "GovernanceCoordinator", "__doc__": CLASS_DOC}
    twin = type("GovernanceCoordinator", (), dict(namespace, **{name: None for name in METHODS}))
    assert list(vars(GC)) == list(vars(twin))
    assert list(vars(GC))[-len(METHODS) - 2:-2] == METHODS


def test_module_registered_and_reimported():
    assert sys.modules["coordinator"] is C
    assert importlib.import_module("norv.core.coordinator") is C
    assert importlib.import_module("norv.core.coordinator").GovernanceCoordinator is GC


@pytest.mark.parametrize("name", METHODS)
def test_method_attributes(name):
    func = vars(GC)[name]
    ref = getattr(Reference, name)
    assert func.__name__ == name
    assert func.__qualname__ == "GovernanceCoordinator." + name
    assert func.__module__ == "coordinator"
    assert func.__doc__ == METHOD_DOCS[name] and len(func.__doc__) == DOC_LENGTHS[name]
    assert func.__kwdefaults__ is None
    assert func.__globals__ is vars(C)
    assert func.__defaults__ == ref.__defaults__
    if ref.__defaults__ is not None:
        assert [type(v) for v in func.__defaults__] == [type(v) for v in ref.__defaults__]
    assert list(func.__annotations__.items()) == list(ref.__annotations__.items())


@pytest.mark.parametrize("name", METHODS)
def test_signature_parity(name):
    assert inspect.signature(vars(GC)[name]) == inspect.signature(getattr(Reference, name))
    coord, twin = GC.__new__(GC), Reference()
    assert inspect.signature(getattr(coord, name)) == inspect.signature(getattr(twin, name))


def test_class_signature():
    assert str(inspect.signature(GC)) == "(timeout_ms: 'int' = 50, audit_mode: 'bool' = False)"


def test_string_annotations_evaluate_in_the_module_namespace():
    hints = inspect.get_annotations(GC.process_input, eval_str=True)
    assert hints == {"content": str, "metadata": typing.Optional[typing.Dict[str, typing.Any]], "return": str}
    assert inspect.get_annotations(GC.register_input_guard, eval_str=True)["guard"] is C.SecurityModule


@pytest.mark.parametrize("name", METHODS)
def test_descriptor_and_repr(name):
    func = vars(GC)[name]
    assert getattr(GC, name) is func
    assert func.__get__(None, GC) is func
    coord = GC.__new__(GC)
    bound = getattr(coord, name)
    assert type(bound) is types.MethodType
    assert bound.__self__ is coord and bound.__func__ is func
    assert re.fullmatch(rf"<function GovernanceCoordinator\.{name} at 0x[0-9a-f]+>", repr(func))


@pytest.mark.parametrize("name", METHODS)
def test_methods_copy_and_pickle_by_reference(name):
    import copy
    import pickle

    func = vars(GC)[name]
    assert copy.copy(func) is func and copy.deepcopy(func) is func
    assert pickle.loads(pickle.dumps(func)) is func


def test_exposed_defaults_do_not_drive_binding(monkeypatch, make_coord, audit):
    monkeypatch.setattr(GC.__init__, "__defaults__", (999, True))
    monkeypatch.setattr(GC.process_input, "__defaults__", ({"planted": 1},))
    assert GC.__init__.__defaults__ == (999, True)
    coord = GC()
    coord._executor.shutdown(wait=False)
    assert coord.timeout_seconds == 0.05 and coord.audit_mode is False
    guard = Guard()
    make_coord(input_guard=guard).process_input("x")
    assert guard.calls[0].args == ("x", None)


@pytest.mark.parametrize("value", [[None], "x", 5])
def test_defaults_must_be_a_tuple(value):
    with pytest.raises(TypeError):
        GC.process_input.__defaults__ = value
    assert GC.process_input.__defaults__ == (None,)


# -- function-object invariants, beside a Python function, in a child interpreter ----
#
# Audit hooks cannot be removed and a cleared method stays cleared, so these run
# in a child against the build under test. Each child applies the same steps to
# a method and to its plain-Python twin and reports what each showed.

TWIN = '''
import json, sys
import norv.core.coordinator as C
native = vars(C.GovernanceCoordinator)["process_input"]
def twin(self, content: "str", metadata: "Optional[Dict[str, Any]]" = None) -> "str":
    pass
'''


def run_beside_twin(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", TWIN + textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=60 * TIME_SCALE)
    assert proc.returncode == 0, proc.stderr
    native, twin = json.loads(proc.stdout.strip().splitlines()[-1])
    return native, twin


def test_attribute_access_is_audited_as_for_a_function():
    native, twin = run_beside_twin('''
        seen = []
        sys.addaudithook(lambda event, args: seen.append([event, args[1], type(args[2]).__name__ if len(args) > 2
                                                          else None]) if event.startswith("object.") else None)

        def steps(f):
            seen.clear()
            code, defaults = f.__code__, f.__defaults__
            f.__kwdefaults__, f.__name__, f.__qualname__, f.__annotations__, f.__doc__, f.__globals__
            f.__code__ = code
            f.__defaults__ = None
            del f.__defaults__
            f.__defaults__ = defaults
            f.__kwdefaults__ = {}
            f.__kwdefaults__ = None
            return list(seen)

        print(json.dumps([steps(native), steps(twin)]))
    ''')
    assert native == twin
    assert ["object.__getattr__", "__code__", None] in native


def test_audit_hook_can_refuse_the_code():
    native, twin = run_beside_twin('''
        import inspect

        def refuse(event, args):
            if event == "object.__getattr__" and args[1] == "__code__":
                raise PermissionError("no code for you")
            if event == "object.__setattr__" and args[1] == "__defaults__":
                raise PermissionError("defaults are fixed")

        sys.addaudithook(refuse)

        def outcome(call):
            try:
                call()
            except PermissionError as e:
                return str(e)
            return "allowed"

        def steps(f):
            return [outcome(lambda: f.__code__), outcome(lambda: inspect.signature(f)),
                    outcome(lambda: setattr(f, "__defaults__", (1,))), list(f.__defaults__)]

        print(json.dumps([steps(native), steps(twin)]))
    ''')
    assert native == twin == ["no code for you", "no code for you", "defaults are fixed", [None]]


def test_cleared_method_keeps_name_and_code():
    # tp_clear (what the collector calls on a cycle) may run while code can still
    # reach the object: a function keeps a name, a qualified name and its code.
    native, twin = run_beside_twin('''
        import ctypes

        def tp_clear(obj):
            # The slot after tp_name and the 20 pointer-sized fields that follow it.
            offset = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t) + 21 * ctypes.sizeof(ctypes.c_void_p)
            slot = ctypes.c_void_p.from_address(id(type(obj)) + offset).value
            return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(obj)

        def shown(f):
            f.note = "in the dict"
            assert tp_clear(f) == 0
            return {"name": f.__name__, "qualname": f.__qualname__, "repr": repr(f).split(" at 0x")[0],
                    "argcount": f.__code__.co_argcount, "defaults": f.__defaults__, "dict": vars(f),
                    "doc": f.__doc__, "module": f.__module__, "globals": f.__globals__,
                    "annotations": f.__annotations__}

        print(json.dumps([shown(native), shown(twin)]))
    ''')
    assert native == twin
    assert twin["name"] == "" and twin["argcount"] == 3 and twin["dict"] == {}


# -- module globals, read at each use ------------------------------------------------


def _shut_pool_coordinator(make_coord):
    coord = make_coord(input_guard=Guard())
    coord._executor.shutdown()
    return coord


def test_print_is_the_one_fetched_at_import(monkeypatch, capsys, make_coord):
    coord = _shut_pool_coordinator(make_coord)
    replaced = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: replaced.append(a))
    assert coord.process_input("x") == "x"
    assert replaced == []
    assert capsys.readouterr().out.startswith("NORV CRITICAL FAILURE: ")


@pytest.mark.parametrize("name", ["log_audit", "logger"])
def test_missing_global_surfaces_as_name_error(monkeypatch, capsys, make_coord, audit, name):
    coord = make_coord(input_guard=Guard.returning("clean"))
    monkeypatch.delattr(C, name)
    assert coord.process_input("x") == "x"
    assert capsys.readouterr().out == f"NORV CRITICAL FAILURE: name '{name}' is not defined\n"
    assert audit.calls == []


def test_globals_fall_back_to_builtins(monkeypatch, make_coord, audit):
    coord = make_coord(input_guard=Guard.returning("clean"))
    monkeypatch.delattr(C, "log_audit")
    monkeypatch.setattr(builtins, "log_audit", audit, raising=False)
    assert coord.process_input("x") == "clean"
    assert audit.names == ["THREAT_DETECTED"]


def test_rebinding_log_audit_takes_effect_at_next_use(monkeypatch, make_coord, audit):
    coord = make_coord(input_guard=Guard.returning("clean"))
    coord.process_input("x")
    later = []
    monkeypatch.setattr(C, "log_audit", lambda *args: later.append(args[1]))
    coord.process_input("y")
    assert audit.names == ["THREAT_DETECTED"] and later == ["THREAT_DETECTED"]


class OwnTimeout(Exception):
    pass


def test_timeout_class_is_looked_up_through_concurrent(monkeypatch, make_coord, audit, capsys):
    coord = make_coord()
    fake = types.SimpleNamespace(futures=types.SimpleNamespace(TimeoutError=OwnTimeout))
    monkeypatch.setattr(C, "concurrent", fake)
    assert coord._run_fail_safe(Guard.raising(OwnTimeout()), "x", None, "L") == "x"
    assert coord._run_fail_safe(Guard.raising(TimeoutError("builtin")), "x", None, "L") == "x"
    assert audit.names == ["TIMEOUT", "INTERNAL_MODULE_ERROR"]
    monkeypatch.delattr(C, "concurrent")
    assert coord._run_fail_safe(Guard.raising(ValueError()), "x", None, "L") == "x"
    assert capsys.readouterr().out == "NORV CRITICAL FAILURE: name 'concurrent' is not defined\n"


# -- import behaviour, in a child interpreter ------------------------------------------

STANDINS = {
    "norv/__init__.py": "",
    "norv/core/__init__.py": "",
    "norv/core/interfaces.py": "class SecurityModule:\n    pass\n",
    "norv/utils/__init__.py": "",
}
LOGGER_STANDIN = '''
RESULT = object()  # not a logger: the coordinator must bind it unchecked
calls = []

def setup_logger(*args, **kwargs):
    calls.append([list(args), kwargs])
    return RESULT

def log_audit(*args):
    pass
'''


@pytest.fixture
def tree(tmp_path):
    def build(logger_source=LOGGER_STANDIN):
        files = dict(STANDINS, **{"norv/utils/logger.py": textwrap.dedent(logger_source)})
        for rel, source in files.items():
            path = tmp_path / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(source)
        shutil.copy(C.__file__, tmp_path / "norv" / "core" / Path(C.__file__).name)
        return tmp_path

    return build


def run_child(root, code):
    env = dict(os.environ, PYTHONPATH=str(root))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=root, env=env,
                          capture_output=True, text=True, timeout=120 * TIME_SCALE)
    assert proc.returncode == 0, proc.stderr
    return proc


def child_json(root, code):
    return json.loads(run_child(root, code).stdout.strip().splitlines()[-1])


def test_import_binds_namespace_once(tree):
    result = child_json(tree(), """
        import importlib, json, os, sys, threading
        def threads():
            return threading.active_count(), len(os.listdir("/proc/self/task"))
        before = threads()
        import norv.core.coordinator as A
        after = threads()
        import norv.utils.logger as L, norv.core.interfaces as I, concurrent, logging, typing
        names = list(vars(A))
        del sys.modules["norv.core.coordinator"]
        B = importlib.import_module("norv.core.coordinator")
        R = importlib.reload(B)
        print(json.dumps({
            "threads": before == after,
            "same": [A is B, B is R, A.GovernanceCoordinator is R.GovernanceCoordinator,
                     sys.modules["coordinator"] is A],
            "calls": L.calls,
            "bound": [A.logger is L.RESULT, A.log_audit is L.log_audit, A.setup_logger is L.setup_logger,
                      A.SecurityModule is I.SecurityModule, A.concurrent is concurrent,
                      A.concurrent.futures is sys.modules["concurrent.futures"], A.logging is logging,
                      A.Any is typing.Any, A.Optional is typing.Optional, A.Dict is typing.Dict,
                      A.__builtins__ is sys.modules["builtins"]],
            "names": names[names.index("__builtins__"):],
        }))
    """)
    assert result["threads"]
    assert result["same"] == [True] * 4
    assert result["calls"] == [[["norv.coordinator"], {}]]
    assert result["bound"] == [True] * 11
    assert result["names"] == ["__builtins__", "concurrent", "logging", "Any", "Optional", "Dict",
                               "SecurityModule", "setup_logger", "log_audit", "logger", "GovernanceCoordinator"]


def test_existing_coordinator_entry_is_left_alone(tree):
    result = child_json(tree(), """
        import json, sys
        marker = sys.modules["coordinator"] = object()
        import norv.core.coordinator
        print(json.dumps(sys.modules["coordinator"] is marker))
    """)
    assert result is True


def test_missing_log_audit_then_mended(tree):
    root = tree(LOGGER_STANDIN.replace("def log_audit", "def _not_log_audit"))
    result = child_json(root, """
        import importlib, json
        try:
            import norv.core.coordinator
        except ImportError as e:
            first = [type(e).__name__, str(e)]
        import norv.utils.logger as L
        L.log_audit = lambda *args: None
        C = importlib.import_module("norv.core.coordinator")
        coord = C.GovernanceCoordinator()
        print(json.dumps({"first": first, "calls": len(L.calls), "mended": C.log_audit is L.log_audit,
                          "works": coord.process_input("x")}))
    """)
    # The name is formatted with str(), not repr(): no quotes.
    assert result == {"first": ["ImportError", "cannot import name log_audit"], "calls": 1,
                      "mended": True, "works": "x"}


def test_setup_logger_failure_fails_the_import(tree):
    root = tree(LOGGER_STANDIN + textwrap.dedent('''
        class LoggerBroken(Exception):
            pass

        def setup_logger(name):
            raise LoggerBroken("no logging today: " + name)
    '''))
    result = child_json(root, """
        import json
        try:
            import norv.core.coordinator
        except BaseException as e:
            import norv.utils.logger as L
            print(json.dumps([type(e) is L.LoggerBroken, str(e)]))
    """)
    assert result == [True, "no logging today: norv.coordinator"]


ONE_INTERPRETER = "Interpreter change detected - this module can only be loaded into one interpreter per process."
# 3.11's sub-interpreters share the main interpreter's GIL. 3.13 calls that kind
# "legacy" and by default makes ones with a GIL of their own, into which the
# interpreter itself refuses to load a module that does not declare support.
if sys.version_info >= (3, 13):
    SUBINTERPRETERS = [
        ("_interpreters", "'legacy'", ONE_INTERPRETER),
        ("_interpreters", "'isolated'", "module norv.core.coordinator does not support loading in subinterpreters"),
    ]
else:
    SUBINTERPRETERS = [("_xxsubinterpreters", "", ONE_INTERPRETER)]


@pytest.mark.parametrize("module, config, refusal", SUBINTERPRETERS)
def test_second_interpreter_is_refused(tree, module, config, refusal):
    proc = run_child(tree(), f'''
        import {module} as interpreters
        import norv.core.coordinator as C
        interp = interpreters.create({config})
        interpreters.run_string(interp, """if True:
            try:
                import norv.core.coordinator
            except ImportError as e:
                print("SUB", type(e).__name__, e, flush=True)
            else:
                print("SUB imported", flush=True)
        """)
        interpreters.destroy(interp)
        print("MAIN", C.GovernanceCoordinator().process_input("still works"), flush=True)
    ''')
    assert proc.stdout.splitlines() == ["SUB ImportError " + refusal, "MAIN still works"]
