"""The one-time lookups (NumPy's interface, the Sequence type) and life without
NumPy: every case runs in a fresh interpreter, and a hang fails within seconds."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

# Startup and NumPy's import take well under a second normally and a few seconds under
# the sanitizer; a lookup that waits for its own thread never ends.
TIMEOUT = 20

PRELUDE = """
import builtins, gc, signal, sys, threading, time
import mivo

def outcome(call):
    try:
        result = call()
    except BaseException as e:
        return f"{type(e).__name__}: {e}"
    return repr(result.tolist() if hasattr(result, "tolist") else result)

real_import = builtins.__import__

def on_import(name, action):
    '''Runs action() the first time `name` is imported absolutely.'''
    fired = []
    def hook(n, globals=None, locals=None, fromlist=(), level=0):
        if n == name and level == 0 and not fired:
            fired.append(n)
            action()
        return real_import(n, globals, locals, fromlist, level)
    builtins.__import__ = hook

def interrupt(exc):
    def action():
        raise exc
    return action

class Seq:  # a registered Sequence without item access: needs the Sequence lookup
    def __len__(self): return 1
    def __iter__(self): return iter([1.0])
__import__("collections.abc").abc.Sequence.register(Seq)

inner = []
pack = lambda: mivo.pack_binary([1, 0, 1])
hamming = lambda: mivo.hamming_distance(b"\\x01", b"\\x03")
q1, q2 = mivo.RaBitQQuantizer(1, 0), mivo.RaBitQQuantizer(1, 0)
"""


def run_fresh(code, hide_numpy=False):
    head = "import sys\nsys.modules['numpy'] = None\n" if hide_numpy else ""
    try:
        result = subprocess.run([sys.executable, "-c", head + PRELUDE + textwrap.dedent(code)],
                                capture_output=True, text=True, timeout=TIMEOUT,
                                env={**os.environ, "PYTHONIOENCODING": "ascii:backslashreplace"})
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIMEOUT} s: a call waits for its own thread")
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


REENTRY_NUMPY = ("RuntimeError: the lookup of NumPy's array interface is running on this "
                 "thread; a call from code that it runs cannot wait for it")
REENTRY_SEQUENCE = ("RuntimeError: the lookup of the Sequence type is running on this thread; "
                    "a call from code that it runs cannot wait for it")
NOT_SEQUENCE = "TypeError: argument 'centroid': 'set' object is not an instance of 'Sequence'"


@pytest.mark.parametrize("code, want", [
    # A call made by code that the lookup runs fails at once; the lookup completes.
    pytest.param("""
        on_import("numpy", lambda: inner.append(outcome(hamming)))
        print(outcome(pack)); print(*inner); print(outcome(hamming))
     """, ["[5]", REENTRY_NUMPY, "1"], id="import hook, NumPy"),
    pytest.param("""
        class Node:
            def __init__(self): self.me = self
            def __del__(self): inner.append(outcome(hamming))
        def audit(event, args):
            if event == "import" and not inner:
                Node(); gc.collect()
        sys.addaudithook(audit)
        print(outcome(pack)); print(*inner); print(outcome(hamming))
     """, ["[5]", REENTRY_NUMPY, "1"], id="finalizer in a forced collection, NumPy"),
    pytest.param("""
        gc.set_threshold(50)
        class Node:
            def __init__(self): self.me = self
            def __del__(self): mivo.hamming_distance(b"\\x01", b"\\x03")
        Node()
        print(outcome(pack))
     """, ["[5]"], id="finalizer at a collection threshold, NumPy"),
    # An error that ends the lookup because of the re-entry is not kept.
    pytest.param("""
        signal.signal(signal.SIGALRM, lambda *a: mivo.hamming_distance(b"\\x01", b"\\x03"))
        on_import("numpy", lambda: signal.raise_signal(signal.SIGALRM))
        print(outcome(pack)); print(outcome(pack))
     """, [REENTRY_NUMPY, "[5]"], id="signal handler, NumPy"),
    pytest.param("""
        on_import("collections.abc", lambda: inner.append(outcome(lambda: q2.set_centroid({1.0}))))
        print(outcome(lambda: q1.set_centroid({1.0}))); print(*inner)
        print(outcome(lambda: q2.set_centroid(Seq())))
     """, [NOT_SEQUENCE, REENTRY_SEQUENCE, "None"], id="import hook, Sequence"),
    pytest.param("""
        on_import("collections.abc", lambda: q2.set_centroid({1.0}))
        print(outcome(lambda: q1.set_centroid({1.0})))
        print(outcome(lambda: q1.set_centroid(Seq())))
     """, [REENTRY_SEQUENCE, "None"], id="import hook lets the re-entry error out, Sequence"),
    # Interruptions propagate and are not kept either.
    pytest.param("""
        on_import("numpy", interrupt(KeyboardInterrupt))
        print(outcome(pack)); print(outcome(pack))
     """, ["KeyboardInterrupt: ", "[5]"], id="KeyboardInterrupt, NumPy"),
    pytest.param("""
        on_import("collections.abc", interrupt(SystemExit(3)))
        print(outcome(lambda: q1.set_centroid(Seq()))); print(outcome(lambda: q1.set_centroid(Seq())))
     """, ["SystemExit: 3", "None"], id="SystemExit, Sequence"),
    pytest.param("""
        on_import("collections.abc", interrupt(KeyboardInterrupt))
        print(outcome(lambda: q1.set_centroid({1.0}))); print(outcome(lambda: q1.set_centroid(Seq())))
     """, ["KeyboardInterrupt: ", "None"], id="KeyboardInterrupt, Sequence"),
    # A thread that waited for an interrupted lookup does it itself.
    pytest.param("""
        other = threading.Thread(target=lambda: inner.append(outcome(pack)))
        def action():
            other.start(); time.sleep(0.2); raise KeyboardInterrupt
        on_import("numpy", action)
        print(outcome(pack)); other.join(); print(*inner)
     """, ["KeyboardInterrupt: ", "[5]"], id="interrupted while another thread waits, NumPy"),
    # A waiting thread sleeps: it spends next to no CPU time while the lookup takes 2 s.
    pytest.param("""
        def wait():
            start = time.thread_time(); inner.append(outcome(pack))
            inner.append(time.thread_time() - start < 0.25)
        other = threading.Thread(target=wait)
        def action():
            other.start(); time.sleep(2)
        on_import("numpy", action)
        print(outcome(pack)); other.join(); print(*inner)
     """, ["[5]", "[5] True"], id="a waiting thread sleeps, NumPy"),
])
def test_lookup_never_waits_for_its_own_thread_and_keeps_no_interruption(code, want):
    assert run_fresh(code) == want


CAPSULE = ("PanicException: Failed to access NumPy array API capsule: ModuleNotFoundError: "
           "import of numpy halted; None in sys.modules")


@pytest.mark.parametrize("code, want", [
    # The outer sequence of a code list is converted before anything needs NumPy.
    ('mivo.batch_hamming_distances(b"", "ab")',
     "TypeError: argument 'codes': Can't extract `str` to `Vec`"),
    ("mivo.batch_asymmetric_l2([1.0], None)",
     "TypeError: argument 'codes': 'None' is not an instance of 'Sequence'"),
    ('mivo.batch_hamming_distances(b"", {b""})',
     "TypeError: argument 'codes': 'set' object is not an instance of 'Sequence'"),
    ('mivo.multibit_inner_product([1.0], "ab", 4)',
     "TypeError: argument 'codes': Can't extract `str` to `Vec`"),
    ('mivo.batch_hamming_distances(b"", [])', CAPSULE),  # the query needs NumPy
    ("mivo.batch_asymmetric_l2([1.0], Seq())", CAPSULE),
    # What works without NumPy.
    ("(repr(mivo.RaBitQQuantizer(2, 0)), repr(mivo.TernaryQuantizer(3, target_sparsity=0.5)))",
     "('RaBitQQuantizer(dimension=2, total_bits=4)', 'TernaryQuantizer(dimension=3)')"),
    ("q1.set_centroid((0.5,))", "None"),
    ("mivo.ternary_hamming(1, 2)",
     "TypeError: argument 'a': 'int' object is not an instance of 'TernaryVector'"),
    ("mivo.ternary_cosine_similarity(None, None)",
     "TypeError: argument 'a': 'None' is not an instance of 'TernaryVector'"),
    # A PanicException raised by Python code inside a conversion keeps its str().
    ("nested(42)", "PanicException: 42"),
    ("nested('two', 'strings')", "PanicException: ('two', 'strings')"),
    ("nested()", "PanicException: "),
    ("nested('lone \\udc80 surrogate')", "PanicException: lone \\udc80 surrogate"),
    ("nested('plain')", "PanicException: plain"),
])
def test_without_numpy(code, want):
    assert run_fresh(f"""
        try:
            mivo.pack_binary([1])
        except BaseException as e:
            Panic = type(e)
        def nested(*args):
            class Nested:
                def __float__(self): raise Panic(*args)
            return q2.set_centroid([Nested()])
        print(outcome(lambda: {code}))
    """, hide_numpy=True) == [want]


# Calls with keywords that need no NumPy: the constructors bind a dict, set_centroid
# binds the vectorcall names; names built at run time are not the interned ones.
KEYWORD_CALLS = """
def calls():
    q = mivo.RaBitQQuantizer(seed=1, **{"".join(["dimen", "sion"]): 2})
    q.set_centroid(**{"".join(["centr", "oid"]): [0.5, 0.5]})
    q.set_centroid(centroid=[0.5, 0.5])
    t = mivo.TernaryQuantizer(3, normalize=False, target_sparsity=0.5)
    return f"{q!r} {t!r}"
"""
KEYWORD_RESULT = "RaBitQQuantizer(dimension=2, total_bits=4) TernaryQuantizer(dimension=3)"


@pytest.mark.parametrize("code, want", [
    pytest.param("""
        barrier = threading.Barrier(8)
        def work():
            barrier.wait(); inner.append(calls())
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(inner), *set(inner))
     """, ["8 " + KEYWORD_RESULT], id="first keyword calls on eight threads at once"),
    # The first calls with keywords made in another interpreter, which is then
    # destroyed: the names still match in this one, and in a new one.
    pytest.param("""
        try:
            import _interpreters as subs
            create, run = (lambda: subs.create("legacy")), subs.exec
        except ImportError:
            import _xxsubinterpreters as subs
            create, run = subs.create, subs.run_string
        code = f"import mivo\\n{KEYWORD_CALLS}\\nprint(calls())"
        first = create(); assert run(first, code) is None; subs.destroy(first)
        print(calls())
        second = create(); assert run(second, code) is None; subs.destroy(second)
     """, [KEYWORD_RESULT] * 3, id="first keyword calls in a sub-interpreter"),
])
def test_keyword_names_on_first_use(code, want):
    assert run_fresh(f"KEYWORD_CALLS = {KEYWORD_CALLS!r}\nexec(KEYWORD_CALLS)\n"
                     + textwrap.dedent(code)) == want


# Objects of a sub-interpreter, which is then destroyed: none is kept for the process.
SUBINTERPRETERS = """
sys.stdout.reconfigure(line_buffering=True)
try:
    import _interpreters as subs
    create, run = (lambda: subs.create("legacy")), subs.exec
except ImportError:  # Python 3.12 and older
    import _xxsubinterpreters as subs
    create, run = subs.create, subs.run_string

def in_sub(body):
    sub = create()
    run(sub, "import sys, mivo\\n" + PRELUDE_SUB + body)
    subs.destroy(sub)
"""
PRELUDE_SUB = """
def outcome(call):
    try:
        result = call()
    except BaseException as e:
        return f"{type(e).__name__}: {e}"
    return repr(result.tolist() if hasattr(result, "tolist") else result)
q = mivo.RaBitQQuantizer(1, 0)
"""
NOT_SEQUENCE_SET = "TypeError: 'set' object is not an instance of 'Sequence'"
NUMPY_ONLY_IN_MAIN = ("PanicException: Failed to access NumPy array API capsule: NumPy is loaded "
                      "only by the main interpreter, and no call there has loaded it yet")


@pytest.mark.parametrize("code, want", [
    # The process's first Sequence lookup runs in the sub-interpreter; each interpreter
    # has its own classes.
    pytest.param("""
        print(outcome(pack))
        in_sub("print(outcome(lambda: mivo.pack_binary({1})), outcome(lambda: q.set_centroid({1.0})),"
               " f'id{id(mivo.RaBitQQuantizer)}', flush=True)")
        print(outcome(lambda: mivo.pack_binary({1, 2})), outcome(lambda: q1.set_centroid({1.0})),
              f"id{id(mivo.RaBitQQuantizer)}")
     """, ["[5]", f"{NOT_SEQUENCE_SET} {NOT_SEQUENCE} ID", f"{NOT_SEQUENCE_SET} {NOT_SEQUENCE} ID"],
        id="first Sequence lookup in a sub-interpreter"),
    # NumPy is loaded only by the main interpreter: a sub-interpreter that comes first
    # is refused and keeps nothing; once the main one has loaded it, it is shared.
    pytest.param("""
        in_sub("print(outcome(lambda: mivo.pack_binary([1, 0, 1])), 'numpy' in sys.modules, flush=True)")
        print(outcome(pack), outcome(hamming))
        in_sub("print(outcome(lambda: mivo.pack_binary([1, 0, 1])), flush=True)")
     """, [f"{NUMPY_ONLY_IN_MAIN} False", "[5] 1", "[5]"], id="first NumPy use in a sub-interpreter"),
])
def test_sub_interpreters_keep_nothing_for_the_process(code, want):
    lines = run_fresh(f"PRELUDE_SUB = {PRELUDE_SUB!r}\n" + SUBINTERPRETERS + textwrap.dedent(code))
    assert [re.sub(r"id\d+$", "ID", line) for line in lines] == want
    ids = [m.group() for line in lines for m in [re.search(r"id\d+$", line)] if m]
    assert len(set(ids)) == len(ids)  # the classes of two interpreters are two objects
