"""The binding layer allocates nothing natively for a positional call whose
arguments already have the right types: only the result objects are created,
and those come from the interpreter's own small-object allocator."""
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvex_micro

SHIM = Path(__file__).parent / "support" / "malloc_count.c"
CALLS = 20000

# name -> (setup, call); each call passes positional arguments only.
CASES = {
    "consolidation_gain": ("", "qm.consolidation_gain(10000, 4000, 40, 0.1, 1.25)"),
    "HormonalBus.secrete": ("bus = qm.HormonalBus(8, 64)", "bus.secrete(5, 0.5)"),
    "HormonalBus.inject": ("bus = qm.HormonalBus(); s = qm.HormonalSignal(3, 0.25)", "bus.inject(s)"),
    "HormonalBus.sense": ("bus = qm.HormonalBus()", "bus.sense(255)"),
    "HormonalBus.tick": ("bus = qm.HormonalBus()", "bus.tick(0.5)"),
    "ContextApoptosis.dehydrate": ("w = qm.ContextApoptosis()", "w.dehydrate(0.5, False)"),
    "dehydrate": ("m = [('text', 2), ('fact', 8)] * 8", "qm.dehydrate(m)"),
}

CHILD = textwrap.dedent(
    """
    import ctypes, sys
    import quorvex_micro as qm
    counter = ctypes.CDLL(None).qm_malloc_calls
    counter.restype = ctypes.c_ulonglong
    {setup}
    for _ in range(1000):  # warm caches and free lists
        {call}
    before = counter()
    for _ in range({calls}):
        {call}
    print(counter() - before)
    """
)


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or not sys.platform.startswith("linux"):
        pytest.skip("needs a C compiler and LD_PRELOAD")
    out = tmp_path_factory.mktemp("shim") / "malloc_count.so"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", str(SHIM), "-o", str(out), "-ldl"],
                   check=True)
    return out


@pytest.mark.parametrize("name", sorted(CASES))
def test_positional_call_makes_no_native_allocation(shim, name):
    setup, call = CASES[name]
    code = CHILD.format(setup=setup, call=call, calls=CALLS)
    env = dict(os.environ, LD_PRELOAD=str(shim))
    module_dir = str(Path(quorvex_micro.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                            text=True, check=True)
    allocations = int(result.stdout.strip())
    # A stray pymalloc arena may need the C allocator now and then; one per call won't pass.
    assert allocations < CALLS // 100, f"{allocations} native allocations for {CALLS} calls"
