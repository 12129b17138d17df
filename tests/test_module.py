"""What an import of the module yields: attributes, constants, functions, classes."""
import importlib.metadata
import re
import types
from pathlib import Path

import pytest

import quorvex_micro as qm
from support.surface import CLASSES, FUNCTIONS

CONSTANTS = {"SYSTEM": 1, "USER": 2, "ASSISTANT": 4, "FACT": 8, "TOOL": 16, "THINKING": 32}
# Classes, then functions, in the surface table's order, then the constants.
ALL = [*CLASSES, *FUNCTIONS, *CONSTANTS, "__doc__", "__version__"]


def test_all_lists_every_name_in_order():
    assert qm.__all__ == ALL


def released_version():
    """The version of the distribution this module comes from: its metadata when
    the module is the installed one, else (a build tree) pyproject.toml's."""
    module = Path(qm.__file__).resolve()
    try:
        dist = importlib.metadata.distribution("quorvex-micro")
        if any(Path(dist.locate_file(f)).resolve() == module for f in dist.files or []):
            return dist.version
    except importlib.metadata.PackageNotFoundError:
        pass
    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("neither installed nor beside its pyproject.toml")
    # No tomllib before 3.11: the [project] version line is all that is needed.
    found = re.search(r'^version = "([^"]+)"$', pyproject.read_text(encoding="utf-8"), re.M)
    assert found, "no version line in pyproject.toml"
    return found.group(1)


def test_module_doc_and_version():
    assert qm.__doc__ == "Quorvex Micro-Kernel — lock-free hormonal bus + context apoptosis."
    assert qm.__version__ == released_version()


@pytest.mark.parametrize("name, value", CONSTANTS.items())
def test_flag_constants_are_plain_ints(name, value):
    constant = getattr(qm, name)
    assert type(constant) is int and constant == value


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
