"""Which faiss the bench and the demonstration load: the build from source that
`./dev faiss` makes (runtime dispatch up to AVX-512, OpenBLAS) when it exists, else
Debian's python3-faiss (a generic build), else none."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def strong_build_dir():
    """Where ./dev faiss installs its package (tools/faiss.sh says where)."""
    done = subprocess.run(["bash", str(ROOT / "tools" / "faiss.sh"), "path"],
                          capture_output=True, text=True)
    return Path(done.stdout.strip()) if done.returncode == 0 else None


def load(strong=True):
    """The faiss module, on one thread, or None. The strong build, when it exists and
    `strong` is true, shadows Debian's."""
    where = strong_build_dir() if strong else None
    if where is not None and (where / "faiss" / "__init__.py").exists():
        sys.path.insert(0, str(where))
    try:
        import faiss
    except ImportError:
        return None
    faiss.omp_set_num_threads(1)
    return faiss


def is_strong(faiss):
    """Whether the faiss loaded is the build of ./dev faiss."""
    where = strong_build_dir()
    return (where is not None and (where / "faiss" / "__init__.py").exists()
            and Path(faiss.__file__).is_relative_to(where))


def describe(faiss):
    """One line: version, file, and which build it is."""
    if faiss is None:
        return "faiss absent"
    where = strong_build_dir()
    built = where is not None and (where / "faiss" / "__init__.py").exists()
    if is_strong(faiss):
        kind = "built from source by ./dev faiss"
    else:
        kind = "Debian's generic build" + ("" if built else "; ./dev faiss builds the strong one")
    options = (faiss.get_compile_options().strip() if hasattr(faiss, "get_compile_options")
               else "?")
    return f"faiss {faiss.__version__} ({kind}; {options}) from {faiss.__file__}"
