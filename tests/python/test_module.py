"""The module object: names, order, docstrings, signatures, build properties."""
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap

import mivo
import pytest

KERNELS = [
    "pack_binary", "unpack_binary", "hamming_distance", "asymmetric_inner_product",
    "asymmetric_l2_squared", "multibit_inner_product", "batch_hamming_distances",
    "batch_asymmetric_l2",
]


def test_module_attributes():
    assert mivo.__version__ == "0.1.3"
    assert mivo.__doc__ == ""
    assert mivo.__all__[: 1 + len(KERNELS)] == ["__version__", *KERNELS]
    for name in mivo.__all__:
        assert hasattr(mivo, name)


@pytest.mark.parametrize(
    "name, signature, first_line",
    [
        ("pack_binary", "(codes)", "Pack binary codes (0/1 values) into a bitfield."),
        ("unpack_binary", "(packed, dim)", "Unpack a bitfield back into one byte per bit (0 or 1)."),
        ("hamming_distance", "(a, b)", "Hamming distance between two packed bit-vectors."),
        ("asymmetric_inner_product", "(query, codes)",
         "Asymmetric inner product: f32 query vs packed 1-bit codes."),
        ("asymmetric_l2_squared", "(query, codes)",
         "Asymmetric L2 distance squared: ||q - b||^2 where b in {-1,+1}^D."),
        ("multibit_inner_product", "(query, codes, total_bits)",
         "Multi-bit inner product with centered codes."),
        ("batch_hamming_distances", "(query, codes)",
         "Batch Hamming distances from a query to each element in a list of codes."),
        ("batch_asymmetric_l2", "(query, codes)",
         "Batch asymmetric L2 squared distances from a query to each element in a list of codes."),
    ],
)
def test_function_docs(name, signature, first_line):
    f = getattr(mivo, name)
    assert str(inspect.signature(f)) == signature
    assert f.__doc__.splitlines()[0] == first_line
    assert f.__name__ == name and f.__module__ == "mivo"


def test_panic_exception_is_base_exception_not_exported():
    code = textwrap.dedent("""
        import sys
        sys.modules['numpy'] = None
        import mivo
        assert mivo.__version__ == '0.1.3'
        for call in (lambda: mivo.pack_binary([1]), lambda: mivo.hamming_distance(b'', b'')):
            try:
                try:
                    call()
                except Exception:
                    raise AssertionError('caught by except Exception')
            except BaseException as e:
                assert type(e).__name__ == 'PanicException', type(e)
                assert type(e).__bases__ == (BaseException,)
                assert str(e).startswith('Failed to access NumPy array API capsule'), str(e)
                assert len(e.args) == 1
        assert not hasattr(mivo, 'PanicException')
        print('ok')
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env={**os.environ})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
    assert "Failed to access NumPy array API capsule" in result.stderr


def test_exports_only_the_init_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.fail("nm is required to inspect the built module")
    out = subprocess.run([nm, "-D", "--defined-only", mivo.__file__], capture_output=True,
                         text=True, check=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if " T " in line}
    assert exported == {"PyInit_mivo"}


def test_no_fused_multiply_add_in_module():
    # Contraction into FMA would change results in the last bit; the build forbids it.
    objdump = shutil.which("objdump")
    assert objdump is not None, "objdump is required to inspect the built module"
    assert os.path.exists(mivo.__file__)
    asm = subprocess.run([objdump, "-d", "--no-show-raw-insn", mivo.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert "\tret" in asm or " ret" in asm  # really a disassembly
    fused = re.findall(r"\bv?f(?:n)?m(?:add|sub)\w*", asm)
    assert fused == []


def test_core_never_includes_python_headers():
    # The computing core is plain C++ (usable from C++ tests and fuzzers); only the
    # frame in src/lib talks to the interpreter.
    src = os.path.join(os.path.dirname(__file__), "..", "..", "src")
    if not os.path.isdir(src):
        pytest.skip("source tree not available")
    offenders = []
    for name in os.listdir(src):
        path = os.path.join(src, name)
        if os.path.isfile(path) and name.endswith((".h", ".cpp", ".cc")):
            with open(path, encoding="utf-8") as f:
                if re.search(r'#\s*include\s*[<"](Python\.h|lib/)', f.read()):
                    offenders.append(name)
    assert offenders == []


def test_panic_raised_by_python_code_inside_a_conversion_propagates_as_panic():
    # A nested call fails as an internal failure (NumPy hidden); the outer call, whose
    # conversion ran that code, reports it and fails in turn with the same message.
    code = textwrap.dedent("""
        import sys
        sys.modules['numpy'] = None
        import mivo
        q = mivo.RaBitQQuantizer(2, 0)

        class Nested:
            def __float__(self):
                mivo.pack_binary([1])
                return 1.0

        try:
            q.set_centroid([Nested(), 1.0])
        except Exception:
            raise AssertionError('caught by except Exception')
        except BaseException as e:
            assert type(e).__name__ == 'PanicException'
            assert str(e).startswith('Failed to access NumPy array API capsule'), str(e)
            print('ok')
        q.set_centroid([1.0, 2.0])  # the quantizer was given back
        print(repr(q))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok", "RaBitQQuantizer(dimension=2,", "total_bits=4)"]
    assert "Traceback" in result.stderr and "__float__" in result.stderr


# Each class with the member that an attack would remove, and a use of an instance
# that has no native value (allocated through the C API, past every constructor).
@pytest.mark.parametrize("cls, member, use", [
    ("QuantizedVector", "dimension", "bare.dimension"),
    ("TernaryVector", "get", "mivo.ternary_hamming(bare, bare)"),
    ("RaBitQQuantizer", "quantize", "repr(bare)"),
    ("TernaryQuantizer", "quantize", "bare.quantize([])"),
])
def test_classes_are_immutable_and_a_bare_instance_panics(cls, member, use):
    code = textwrap.dedent(f"""
        import ctypes, mivo
        cls = mivo.{cls}
        def attempt(change):
            try:
                change()
            except TypeError:
                return "TypeError"
            return "accepted"
        print(attempt(lambda: setattr(cls, "__new__", staticmethod(lambda c, *a: object.__new__(c)))),
              attempt(lambda: setattr(cls, "x", 1)), attempt(lambda: delattr(cls, "{member}")),
              hasattr(cls, "x"), hasattr(cls, "{member}"))
        alloc = ctypes.pythonapi.PyType_GenericAlloc
        alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
        bare = alloc(cls, 0)
        try:
            {use}
        except BaseException as e:
            print(type(e).__name__ + ":", e)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "TypeError TypeError TypeError False True",
        "PanicException: an instance of a mivo class without its native value"]
