"""What an import of the module yields: attributes, constants, functions, classes."""
import types

import pytest

import quorvex_micro as qm

ALL = [
    "HormonalBus", "HormonalSignal", "ContextApoptosis",
    "dehydrate", "saturation_scan", "consolidation_gain", "effort_gauge",
    "SYSTEM", "USER", "ASSISTANT", "FACT", "TOOL", "THINKING",
    "__doc__", "__version__",
]
FUNCTIONS = ["dehydrate", "saturation_scan", "consolidation_gain", "effort_gauge"]
CLASSES = ["HormonalBus", "HormonalSignal", "ContextApoptosis"]
CONSTANTS = {"SYSTEM": 1, "USER": 2, "ASSISTANT": 4, "FACT": 8, "TOOL": 16, "THINKING": 32}


def test_all_lists_the_fifteen_names_in_order():
    assert qm.__all__ == ALL


def test_module_doc_and_version():
    assert qm.__doc__ == "Quorvex Micro-Kernel — lock-free hormonal bus + context apoptosis."
    assert qm.__version__ == "1.1.0"


@pytest.mark.parametrize("name, value", CONSTANTS.items())
def test_flag_constants_are_plain_ints(name, value):
    constant = getattr(qm, name)
    assert type(constant) is int and constant == value


def test_flags_combine_bitwise():
    assert qm.SYSTEM | qm.FACT == 9


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(qm, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__module__ == "quorvex_micro"
    assert function.__name__ == name
    assert function.__self__ is qm


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_builtins(name):
    cls = getattr(qm, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_bus_text_signature():
    assert qm.HormonalBus.__text_signature__ == "(num_signals=32, event_capacity=4096)"


def test_classes_are_shared_by_reimported_module_objects():
    import importlib.util

    found = importlib.util.find_spec("quorvex_micro")
    fresh = importlib.util.module_from_spec(found)
    found.loader.exec_module(fresh)
    assert fresh is not qm
    assert fresh.HormonalBus is qm.HormonalBus
    assert fresh.__all__ == ALL


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(qm, "PanicException")
    with pytest.raises(BaseException) as info:
        qm.ContextApoptosis(capacity=2**63)
    panic = type(info.value)
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert str(info.value) == "capacity overflow"
    assert "fails unexpectedly" in panic.__doc__ and "BaseException" in panic.__doc__
