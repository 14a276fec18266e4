"""The input pipeline (heuristic, then neural) and the output pipeline."""

import pytest

from conftest import GC, FalsyGuard, Guard
from support import StrSub

REFUSAL = "I cannot help with that."


class Spy(GC):
    """Records every call of the runner, then runs the real one."""

    def _run_fail_safe(self, *args, **kwargs):
        self.__dict__.setdefault("runs", []).append((args, kwargs))
        return super()._run_fail_safe(*args, **kwargs)

    @property
    def labels(self):
        return [args[3] for args, _ in self.__dict__.get("runs", [])]


def threat(label, size, outcome="BLOCKED"):
    return ("THREAT_DETECTED", [("module", label), ("outcome", outcome), ("size_bytes", size)])


def replace(mapping):
    return Guard(lambda content, metadata: mapping.get(content, content))


# -- input pipeline --------------------------------------------------------------


@pytest.mark.parametrize("method, label", [("process_input", "InputHeuristic"), ("process_output", "Output")])
def test_without_modules_the_text_passes_itself(make_coord, audit, method, label):
    coord = make_coord(cls=Spy)
    text = "hello"
    assert getattr(coord, method)(text) is text
    assert coord.runs == [((None, text, None, label), {})]
    assert audit.calls == []


def test_neural_scans_the_sanitised_text(make_coord, audit):
    heuristic = replace({"drop table": "[removed]"})
    neural = replace({"[removed]": "[removed, checked]"})
    coord = make_coord(cls=Spy, input_guard=heuristic, neural_guard=neural)
    assert coord.process_input("drop table") == "[removed, checked]"
    assert neural.contents == ["[removed]"]
    assert coord.labels == ["InputHeuristic", "InputNeural"]
    assert coord.runs[1][0][0] is neural
    assert audit.events == [threat("InputHeuristic", 10), threat("InputNeural", 9)]


def test_only_neural_guard_scans_unchanged_prompt(make_coord, audit):
    neural = Guard.returning("flagged")
    coord = make_coord(neural_guard=neural)
    assert coord.process_input("prompt") == "flagged"
    assert neural.contents == ["prompt"]
    assert audit.events == [threat("InputNeural", 6)]


@pytest.mark.parametrize("audit_mode", [False, True])
def test_refusal_skips_neural_step(make_coord, audit, audit_mode):
    heuristic = Guard.returning(REFUSAL, refusal_message=REFUSAL)
    neural = Guard.returning("neural")
    coord = make_coord(cls=Spy, audit_mode=audit_mode, input_guard=heuristic, neural_guard=neural)
    if audit_mode:
        # The detection is only recorded: the prompt passes, the neural guard scans
        # it, and its own detection is recorded but not applied either.
        assert coord.process_input("bad") == "bad"
        assert neural.contents == ["bad"]
        assert audit.names == ["THREAT_DETECTED", "THREAT_DETECTED"]
    else:
        assert coord.process_input("bad") == REFUSAL
        assert neural.calls == [] and coord.labels == ["InputHeuristic"]


def test_prompt_equal_to_refusal_counts_as_refusal(make_coord, audit):
    neural = Guard.returning("neural")
    prompt = "".join(REFUSAL)
    coord = make_coord(input_guard=Guard(refusal_message=REFUSAL), neural_guard=neural)
    assert coord.process_input(prompt) is prompt
    assert neural.calls == [] and audit.calls == []


@pytest.mark.parametrize("refusal", ["absent", None, "", 0], ids=repr)
def test_neural_runs_on_sanitised_text_without_refusal(make_coord, audit, refusal):
    kw = {} if refusal == "absent" else {"refusal_message": refusal}
    neural = Guard()
    coord = make_coord(input_guard=Guard.returning("clean", **kw), neural_guard=neural)
    assert coord.process_input("dirty") == "clean"
    assert neural.contents == ["clean"]


def test_refusal_message_is_read_from_the_current_guard(make_coord, audit):
    coord = make_coord(neural_guard=Guard.returning("neural"))

    def swap(content, metadata):
        coord.register_input_guard(Guard(refusal_message="NEW REFUSAL"))
        return "NEW REFUSAL"

    coord.register_input_guard(Guard(swap, refusal_message="OLD"))
    assert coord.process_input("x") == "NEW REFUSAL"
    assert coord.neural_guard.calls == []


def module_error(text, label="InputHeuristic"):
    return ("INTERNAL_MODULE_ERROR", [("module", label), ("error", text), ("action", "FAIL_OPEN")])


class PropertyGuard(Guard):
    error = None

    @property
    def refusal_message(self):
        raise self.error


# AttributeError means "no refusal message": the sanitised text goes on. Any
# other error is the guard's module error: its result is dropped, and the
# neural step scans the prompt itself.
@pytest.mark.parametrize(
    "error, neural_sees, events",
    [
        (AttributeError("no refusal here"), "clean", [threat("InputHeuristic", 5), threat("InputNeural", 5)]),
        (LookupError("broken guard"), "dirty",
         [threat("InputHeuristic", 5), module_error("broken guard"), threat("InputNeural", 5)]),
    ],
    ids=["attribute-error", "lookup-error"],
)
def test_refusal_message_lookup_errors(make_coord, audit, capsys, error, neural_sees, events):
    guard = PropertyGuard(lambda content, metadata: "clean")
    guard.error = error
    neural = Guard.returning("neural")
    coord = make_coord(input_guard=guard, neural_guard=neural)
    assert coord.process_input("dirty") == "neural"
    assert neural.contents == [neural_sees]
    assert audit.events == events
    assert audit.calls[1].handled is (None if isinstance(error, AttributeError) else error)
    assert capsys.readouterr().out == ""


class RaisingEq:
    def __eq__(self, other):
        raise ArithmeticError("eq boom")

    __hash__ = None


class RaisingTruth:
    def __bool__(self):
        raise ArithmeticError("bool boom")


@pytest.mark.parametrize(
    "refusal, text", [(RaisingTruth(), "bool boom"), (RaisingEq(), "eq boom")], ids=["refusal-truth", "refusal-eq"]
)
def test_refusal_test_errors_are_the_guards_module_error(make_coord, audit, capsys, refusal, text):
    neural = Guard()
    coord = make_coord(input_guard=Guard.returning("clean", refusal_message=refusal), neural_guard=neural)
    prompt = "dirty"
    assert coord.process_input(prompt) is prompt
    assert neural.contents == [prompt]
    assert audit.events == [threat("InputHeuristic", 5), module_error(text)]
    assert type(audit.calls[1].handled) is ArithmeticError
    assert capsys.readouterr().out == ""


class RaisingNeuralRun(GC):
    """A runner override that fails on the neural step."""

    def _run_fail_safe(self, module, content, metadata, context):
        if context == "InputNeural":
            raise ArithmeticError("override boom")
        return super()._run_fail_safe(module, content, metadata, context)


# Only a guard's own failures are contained. `if self.neural_guard:` asks
# whether a neural guard is registered, before any step runs on it: a guard
# object that cannot answer is a broken registration, as a failing runner
# override is the application's own fault, and the caller hears of both.
@pytest.mark.parametrize("where", ["neural-truth", "runner-override"])
def test_errors_outside_the_runner_propagate(make_coord, audit, capsys, where):
    heuristic = Guard.returning("clean", refusal_message=REFUSAL)
    if where == "neural-truth":
        coord = make_coord(input_guard=heuristic, neural_guard=RaisingTruth())
    else:
        coord = make_coord(cls=RaisingNeuralRun, input_guard=heuristic, neural_guard=Guard())
    with pytest.raises(ArithmeticError, match="bool boom" if where == "neural-truth" else "override boom"):
        coord.process_input("dirty")
    assert heuristic.contents == ["dirty"]
    assert audit.events == [threat("InputHeuristic", 5)]
    assert capsys.readouterr().out == ""


def test_falsy_neural_guard_is_skipped(make_coord, audit):
    neural = FalsyGuard.returning("neural")
    coord = make_coord(cls=Spy, neural_guard=neural)
    assert coord.process_input("x") == "x"
    assert neural.calls == [] and coord.labels == ["InputHeuristic"]


@pytest.mark.parametrize("step", ["heuristic", "neural"])
def test_none_results(make_coord, audit, step):
    if step == "heuristic":
        coord = make_coord(input_guard=Guard.returning(None, refusal_message=REFUSAL))
    else:
        coord = make_coord(input_guard=Guard(), neural_guard=Guard.returning(None))
    assert coord.process_input("x") is None


def test_heuristic_none_with_neural_guard_is_a_type_error(make_coord, audit):
    neural = Guard()
    coord = make_coord(input_guard=Guard.returning(None), neural_guard=neural)
    with pytest.raises(TypeError) as info:
        coord.process_input("x")
    assert str(info.value) == "Argument 'content' has incorrect type (expected str, got NoneType)"
    assert neural.calls == []
    assert audit.names == ["THREAT_DETECTED"]


@pytest.mark.parametrize("metadata", [None, {"user_id": "u"}])
def test_metadata_is_the_same_object_in_both_steps(make_coord, audit, metadata):
    def heuristic(content, metadata):
        if metadata is not None:
            metadata["seen_by"] = "heuristic"
        return content + "!"

    neural = Guard()
    coord = make_coord(cls=Spy, input_guard=Guard(heuristic), neural_guard=neural)
    coord.process_input("x", metadata)
    assert len(coord.runs) == 2
    assert all(args[2] is metadata for args, _ in coord.runs)
    assert neural.calls[0].args[1] is metadata
    if metadata is not None:
        assert metadata == {"user_id": "u", "seen_by": "heuristic"}


def test_empty_prompt_is_not_scanned(make_coord, audit):
    heuristic, neural = Guard.returning("x"), Guard.returning("y")
    coord = make_coord(input_guard=heuristic, neural_guard=neural)
    assert coord.process_input("") == ""
    assert heuristic.calls == neural.calls == []


# -- output pipeline ----------------------------------------------------------


@pytest.mark.parametrize("audit_mode", [False, True])
def test_output_redaction(make_coord, audit, audit_mode):
    shield = replace({"mail me at a@b.c": "mail me at [EMAIL]"})
    metadata = {"session_id": "s"}
    coord = make_coord(audit_mode=audit_mode, output_shield=shield)
    out = coord.process_output("mail me at a@b.c", metadata)
    assert shield.calls[0].args[1] is metadata
    outcome = "AUDIT_ONLY" if audit_mode else "BLOCKED"
    assert audit.events == [threat("Output", 16, outcome)]
    if audit_mode:
        assert out == "mail me at a@b.c"
        assert audit.info_lines == [("Audit Mode: Passing input despite detection in Output",)]
    else:
        assert out == "mail me at [EMAIL]"


@pytest.mark.parametrize("response, expected", [("", ""), ("x", None)])
def test_output_empty_and_none(make_coord, audit, response, expected):
    shield = Guard.returning(None)
    coord = make_coord(output_shield=shield)
    assert coord.process_output(response) == expected
    assert len(shield.calls) == (1 if response else 0)


# -- the runner as a method: overrides and return test ------------------------------


def test_instance_override_is_called_with_four_positional_args(make_coord, audit):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return "replaced"

    neural = Guard()
    coord = make_coord(input_guard=Guard(), neural_guard=neural)
    coord._run_fail_safe = fake
    md = {}
    assert coord.process_input("a", md) == "replaced"
    assert coord.process_output("b") == "replaced"
    assert calls == [
        ((coord.input_guard, "a", md, "InputHeuristic"), {}),
        ((neural, "replaced", md, "InputNeural"), {}),
        ((None, "b", None, "Output"), {}),
    ]


class Returns(GC):
    """A runner override that answers from a queue of values."""

    def _run_fail_safe(self, module, content, metadata, context):
        return self.answers.pop(0)


BAD_RETURNS = [(StrSub("s"), "StrSub"), (5, "int"), (b"b", "bytes"), (["l"], "list"),
               (type("R" * 300, (), {})(), "R" * 200)]


@pytest.mark.parametrize("value, type_name", BAD_RETURNS)
@pytest.mark.parametrize("pipeline", ["input", "neural", "output"])
def test_return_test(make_coord, audit, pipeline, value, type_name):
    coord = make_coord(cls=Returns)
    if pipeline == "neural":
        coord.register_neural_guard(Guard())
        coord.answers = ["ok", value]
    else:
        coord.answers = [value]
    method = coord.process_output if pipeline == "output" else coord.process_input
    with pytest.raises(TypeError) as info:
        method("x")
    assert str(info.value) == "Expected str, got " + type_name


@pytest.mark.parametrize("method", ["process_input", "process_output"])
def test_return_test_admits_none_and_str(make_coord, method):
    coord = make_coord(cls=Returns)
    coord.answers = [None, "fine"]
    assert getattr(coord, method)("x") is None
    assert getattr(coord, method)("x") == "fine"


@pytest.mark.parametrize("method, attr", [("process_input", "input_guard"), ("process_output", "output_shield")])
def test_uninitialised_coordinator_raises_attribute_error(method, attr):
    coord = GC.__new__(GC)
    with pytest.raises(AttributeError) as info:
        getattr(coord, method)("x")
    assert str(info.value) == f"'GovernanceCoordinator' object has no attribute '{attr}'"
