"""The typing checks, for every module that ships stubs (stubs/NAME-stubs): stubtest
compares the installed stub package with the built module; mypy --strict checks the
README's Python blocks and tests/typing/use_NAME.py, which must use every public name
of NAME and then runs against the module. Run with the interpreter the modules are
installed for; exits non-zero after printing every failure in full."""
import ast
import importlib
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
OUT = ROOT / "build" / "typing"
BLOCK = re.compile(r"```python\n(.*?)```", re.S)


def typed_modules():
    return sorted(p.name.removesuffix("-stubs") for p in (ROOT / "stubs").glob("*-stubs"))


def public_names(name):
    """The module's public names and those of its classes' members (without the class)."""
    module = importlib.import_module(name)
    names = set()
    for attr in module.__all__:
        names.add(attr)
        obj = getattr(module, attr)
        if isinstance(obj, type):
            names.update(k for k in vars(obj) if not k.startswith("_"))
    return names


def unused_names(name, example):
    tree = ast.parse(example.read_text(encoding="utf-8"))
    used = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)}
    return sorted(public_names(name) - used)


def run(label, *command):
    print(f"== {label}", flush=True)
    done = subprocess.run(command, cwd=OUT)
    return [] if done.returncode == 0 else [f"{label} failed (exit {done.returncode})"]


def main():
    # The README's blocks are written afresh; mypy's cache beside them is kept.
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("readme_block*.py"):
        old.unlink()
    modules = typed_modules()
    examples = [HERE / f"use_{name}.py" for name in modules]
    problems = [f"{e.relative_to(ROOT)} does not use {n}"
                for name, e in zip(modules, examples) for n in unused_names(name, e)]
    readme = BLOCK.findall((ROOT / "README.md").read_text(encoding="utf-8"))
    blocks = []
    for i, code in enumerate(readme, 1):
        blocks.append(OUT / f"readme_block{i}.py")
        blocks[-1].write_text(code, encoding="utf-8")
    problems += run(f"stubtest {' '.join(modules)}", sys.executable, "-m", "mypy.stubtest",
                    "--mypy-config-file", str(ROOT / "pyproject.toml"),
                    "--allowlist", str(HERE / "stubtest-allowlist.txt"), *modules)
    problems += run(f"mypy --strict: {len(blocks)} README blocks, {len(examples)} examples",
                    sys.executable, "-m", "mypy", "--strict", "--config-file",
                    str(ROOT / "pyproject.toml"), "--cache-dir", str(OUT / "cache"),
                    *map(str, blocks + examples))
    for example in examples:
        problems += run(f"{example.name} against the module", sys.executable, str(example))
    print("\n".join(problems) or f"typing checks passed for {', '.join(modules)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
