"""Construction of a coordinator and its module registry."""

import concurrent.futures
import threading
import types

import pytest

import norv.core.coordinator as C
from conftest import GC

ATTRS = ["timeout_seconds", "audit_mode", "input_guard", "output_shield", "neural_guard", "_executor"]
SLOTS = [
    ("register_input_guard", "input_guard", "guard"),
    ("register_output_shield", "output_shield", "shield"),
    ("register_neural_guard", "neural_guard", "guard"),
]


def test_defaults_and_attribute_order():
    coord = GC()
    try:
        assert list(vars(coord)) == ATTRS
        assert type(coord.timeout_seconds) is float and coord.timeout_seconds == 0.05
        assert coord.audit_mode is False
        assert coord.input_guard is coord.output_shield is coord.neural_guard is None
        pool = coord._executor
        assert type(pool) is concurrent.futures.ThreadPoolExecutor
        assert pool._max_workers == 4
        assert pool._thread_name_prefix == "NORV_Worker"
    finally:
        coord._executor.shutdown(wait=False)


@pytest.mark.parametrize("timeout_ms", [250, 1, 0, -5, 333, 12345, 2**53 + 1])
def test_timeout_seconds_is_float_quotient(make_coord, timeout_ms):
    coord = make_coord(timeout_ms)
    assert type(coord.timeout_seconds) is float
    assert coord.timeout_seconds == timeout_ms / 1000.0


@pytest.mark.parametrize(
    "flag, expected",
    [(True, True), (False, False), (None, False), (0, False), ("", False), ([], False),
     (0.0, False), ("no", True), (7, True), ([0], True), (object(), True)],
)
def test_audit_mode_is_stored_as_bool(make_coord, flag, expected):
    coord = make_coord(50, flag)
    assert coord.audit_mode is expected


def test_timeout_too_large_for_a_double_sets_nothing():
    obj = GC.__new__(GC)
    with pytest.raises(OverflowError):
        GC.__init__(obj, 10**400)
    assert vars(obj) == {}


def test_construction_starts_no_thread():
    before = threading.active_count()
    coord = GC()
    try:
        assert threading.active_count() == before
    finally:
        coord._executor.shutdown(wait=False)


def test_each_coordinator_owns_its_pool_and_slots(make_coord):
    first, second = make_coord(), make_coord()
    assert first._executor is not second._executor
    first.register_input_guard(object())
    assert second.input_guard is None


@pytest.mark.parametrize("method, attr, keyword", SLOTS)
def test_register_stores_the_object_itself(make_coord, method, attr, keyword):
    coord = make_coord()
    register = getattr(coord, method)
    first, second = object(), ["any", "type"]
    assert register(first) is None
    assert getattr(coord, attr) is first
    assert register(**{keyword: second}) is None
    assert getattr(coord, attr) is second
    register(None)
    assert getattr(coord, attr) is None
    # Registering one slot never touches the other two.
    others = [a for _, a, _ in SLOTS if a != attr]
    assert [getattr(coord, a) for a in others] == [None, None]
    assert list(vars(coord)) == ATTRS


class RecordingSetattr(GC):
    """Records every attribute write; refuses writes while ``locked`` is set."""

    def __setattr__(self, name, value):
        if getattr(self, "locked", False):
            raise PermissionError("locked: " + name)
        self.__dict__.setdefault("writes", []).append(name)
        object.__setattr__(self, name, value)


def test_every_write_goes_through_the_setattr_hook(make_coord):
    coord = make_coord(cls=RecordingSetattr)
    assert coord.writes == ATTRS
    guard = object()
    coord.register_output_shield(guard)
    assert coord.writes[-1] == "output_shield"
    object.__setattr__(coord, "locked", True)
    with pytest.raises(PermissionError, match="locked: output_shield"):
        coord.register_output_shield(None)
    assert coord.output_shield is guard


class FakePool:
    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


def _fake_concurrent(pool_factory):
    futures = types.SimpleNamespace(ThreadPoolExecutor=pool_factory)
    return types.SimpleNamespace(futures=futures)


def test_pool_is_made_through_the_module_global_concurrent(monkeypatch):
    monkeypatch.setattr(C, "concurrent", _fake_concurrent(FakePool))
    coord = GC()
    assert type(coord._executor) is FakePool
    assert coord._executor.args == ()
    assert list(coord._executor.kwargs.items()) == [("max_workers", 4), ("thread_name_prefix", "NORV_Worker")]


def test_failing_pool_creation_keeps_earlier_attributes(monkeypatch):
    def refuse(**kwargs):
        raise OSError("no threads today")

    monkeypatch.setattr(C, "concurrent", _fake_concurrent(refuse))
    obj = GC.__new__(GC)
    with pytest.raises(OSError, match="no threads today"):
        GC.__init__(obj, 5, True)
    assert list(vars(obj)) == ATTRS[:5]
    assert obj.timeout_seconds == 0.005 and obj.audit_mode is True


def test_missing_concurrent_global_is_a_name_error(monkeypatch):
    monkeypatch.delattr(C, "concurrent")
    with pytest.raises(NameError) as info:
        GC()
    assert str(info.value) == "name 'concurrent' is not defined"


class HostCoordinator(GC):
    def __init__(self, extra):
        super().__init__(100, audit_mode=True)
        self.extra = extra


def test_subclass_extends_the_constructor():
    coord = HostCoordinator("x")
    coord._executor.shutdown(wait=False)
    assert list(vars(coord)) == [*ATTRS, "extra"]
    assert coord.timeout_seconds == 0.1 and coord.audit_mode is True
