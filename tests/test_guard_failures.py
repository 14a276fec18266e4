"""Guards that fail in the coordinator's own handling of them: exceptions that
cannot describe themselves, and a refusal test (``refusal_message``, its truth,
its comparison) that raises. Each is contained as that guard's module error:
one INTERNAL_MODULE_ERROR event, the text passes as after any failing scan, and
the coordinator goes on working."""

import pytest

from conftest import Guard

# -- exceptions that cannot describe themselves ------------------------------


class StrRaises(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class StrNotText(Exception):
    def __str__(self):
        return 42


class StrRaisesKeyError(Exception):
    def __str__(self):
        raise KeyError("no text")


class Unprintable:
    def __str__(self):
        raise ValueError("argument has no text")

    __repr__ = __str__


class NameRaises(type):
    @property
    def __name__(cls):
        raise RuntimeError("no name")


class NameNotText(type):
    @property
    def __name__(cls):
        return 7


class Nameless(Exception, metaclass=NameRaises):
    def __str__(self):
        raise RuntimeError("no text")


class Numbered(Exception, metaclass=NameNotText):
    def __str__(self):
        raise RuntimeError("no text")


class ReprRaises(Exception):
    def __repr__(self):
        raise RuntimeError("no repr")


# id, what makes the exception the scan raises, text of its event. Factories,
# not instances: pytest's own report of a failure would trip over them.
UNDESCRIBABLE = [
    ("str-raises", StrRaises, "StrRaises"),
    ("str-not-text", StrNotText, "StrNotText"),
    ("str-raises-lookup-error", StrRaisesKeyError, "StrRaisesKeyError"),
    ("argument-unprintable", lambda: LookupError(Unprintable()), "LookupError"),
    # The type's own name, not what its metaclass answers for __name__.
    ("metaclass-name-raises", Nameless, "Nameless"),
    ("metaclass-name-not-text", Numbered, "Numbered"),
    # Only str() makes the text: a broken __repr__ changes nothing.
    ("repr-raises", lambda: ReprRaises("described"), "described"),
]

PIPELINES = [("process_input", "input_guard", "InputHeuristic"), ("process_output", "output_shield", "Output")]


def module_error(text, label):
    return ("INTERNAL_MODULE_ERROR", [("module", label), ("error", text), ("action", "FAIL_OPEN")])


def threat(label, size):
    return ("THREAT_DETECTED", [("module", label), ("outcome", "BLOCKED"), ("size_bytes", size)])


def assert_still_working(coord, audit, method, slot, label):
    """The next ordinary call is scanned and recorded as usual."""
    before = len(audit.calls)
    getattr(coord, "register_" + slot)(Guard.returning("clean"))
    assert getattr(coord, method)("next text") == "clean"
    assert audit.events[before:] == [threat(label, 9)]


@pytest.mark.parametrize("method, slot, label", PIPELINES, ids=[p[0] for p in PIPELINES])
@pytest.mark.parametrize("make_exc, text", [c[1:] for c in UNDESCRIBABLE], ids=[c[0] for c in UNDESCRIBABLE])
def test_undescribable_scan_error_is_a_module_error(make_coord, audit, capsys, method, slot, label, make_exc, text):
    exc = make_exc()
    coord = make_coord(**{slot: Guard.raising(exc)})
    prompt = "some text"
    assert getattr(coord, method)(prompt) is prompt
    assert audit.events == [module_error(text, label)]
    assert audit.calls[0].handled is exc
    assert capsys.readouterr().out == ""
    assert_still_working(coord, audit, method, slot, label)


# -- a refusal test that raises ------------------------------------------------


class RefusalProperty(Guard):
    """A guard whose refusal_message is a property raising ``error``."""

    def __init__(self, behaviour, error):
        super().__init__(behaviour)
        self.error = error

    @property
    def refusal_message(self):
        raise self.error


class TruthRaises:
    def __bool__(self):
        raise LookupError("truth unknown")


class EqRaises(str):
    def __eq__(self, other):
        raise ArithmeticError("eq boom")

    __hash__ = str.__hash__


def property_raising(error):
    return lambda behaviour: RefusalProperty(behaviour, error)


def refusal_value(value):
    return lambda behaviour: Guard(behaviour, refusal_message=value)


# id, the input guard around a scan behaviour, type of what its refusal test
# raises, text of its event
BROKEN_REFUSALS = [
    ("property-raises", property_raising(RuntimeError("no refusal")), RuntimeError, "no refusal"),
    ("property-raises-lookup-error", property_raising(LookupError("broken guard")), LookupError, "broken guard"),
    ("property-raises-undescribable", property_raising(StrRaises()), StrRaises, "StrRaises"),
    ("truth-raises", refusal_value(TruthRaises()), LookupError, "truth unknown"),
    ("eq-raises", refusal_value(EqRaises("refused")), ArithmeticError, "eq boom"),
]

# The scan's outcome does not matter: unchanged, sanitised or refused, the
# guard's result is dropped and the prompt goes on.
SCANS = {
    "unchanged": lambda content, metadata: content,
    "sanitised": lambda content, metadata: "[removed]",
    "refused": lambda content, metadata: "refused",
}


@pytest.mark.parametrize("scan", list(SCANS))
@pytest.mark.parametrize(
    "make_guard, exc_type, text", [c[1:] for c in BROKEN_REFUSALS], ids=[c[0] for c in BROKEN_REFUSALS]
)
def test_failing_refusal_test_is_the_guards_module_error(make_coord, audit, capsys, make_guard, exc_type, text, scan):
    prompt = "some prompt"
    # What any failing heuristic scan leads to, for comparison.
    reference_neural = Guard()
    reference = make_coord(input_guard=Guard.raising(ValueError("scan failed")), neural_guard=reference_neural)
    expected = reference.process_input(prompt)
    reference_events = audit.events
    audit.calls.clear()

    guard = make_guard(SCANS[scan])
    neural = Guard()
    coord = make_coord(input_guard=guard, neural_guard=neural)
    assert coord.process_input(prompt) == expected
    assert neural.contents == reference_neural.contents == [prompt]
    names = [event for event, _ in audit.events]
    assert names.count("INTERNAL_MODULE_ERROR") == 1
    assert audit.events[-1] == module_error(text, "InputHeuristic")
    assert reference_events == [module_error("scan failed", "InputHeuristic")]
    detections = [] if scan == "unchanged" else [threat("InputHeuristic", len(prompt))]
    assert audit.events[:-1] == detections
    assert type(audit.calls[-1].handled) is exc_type
    assert capsys.readouterr().out == ""

    coord.register_input_guard(Guard.returning("clean", refusal_message="refused"))
    before = len(audit.calls)
    assert coord.process_input("next text") == "clean"
    assert neural.contents == [prompt, "clean"]
    assert audit.events[before:] == [threat("InputHeuristic", 9)]


def test_attribute_error_from_refusal_message_means_no_refusal(make_coord, audit):
    neural = Guard()
    guard = RefusalProperty(lambda content, metadata: "[removed]", AttributeError("none here"))
    coord = make_coord(input_guard=guard, neural_guard=neural)
    assert coord.process_input("some prompt") == "[removed]"
    assert neural.contents == ["[removed]"]
    assert audit.events == [threat("InputHeuristic", 11)]


# -- when the event itself cannot be written ------------------------------------


@pytest.mark.parametrize(
    "method, make_guard",
    [
        ("process_input", lambda: Guard.raising(StrRaises())),
        ("process_output", lambda: Guard.raising(StrRaises())),
        ("process_input", lambda: RefusalProperty(lambda content, metadata: content, RuntimeError("no refusal"))),
    ],
    ids=["scan-input", "scan-output", "refusal-property"],
)
def test_unwritable_module_error_ends_in_the_last_resort(make_coord, audit, capsys, method, make_guard):
    audit.fail["INTERNAL_MODULE_ERROR"] = OSError("log unwritable")
    slot = "output_shield" if method == "process_output" else "input_guard"
    coord = make_coord(**{slot: make_guard()})
    prompt = "some text"
    assert getattr(coord, method)(prompt) is prompt
    assert audit.names == ["INTERNAL_MODULE_ERROR"]
    assert capsys.readouterr().out == "NORV CRITICAL FAILURE: log unwritable\n"


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_refusal_property_raising_a_base_exception_reaches_the_caller(make_coord, audit, exc_type):
    exc = exc_type("stop")
    coord = make_coord(input_guard=RefusalProperty(lambda content, metadata: content, exc), neural_guard=Guard())
    with pytest.raises(exc_type) as info:
        coord.process_input("some prompt")
    assert info.value is exc
    assert audit.calls == []
