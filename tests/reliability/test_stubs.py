"""The installed package carries a py.typed marker and a generated stub for
every compiled module, declaring each public operation of that module."""
from __future__ import annotations

import ast
import importlib
import importlib.machinery
import pathlib

import bridge


def compiled_modules() -> list[pathlib.Path]:
    root = pathlib.Path(bridge.__file__).parent
    return [p for suffix in importlib.machinery.EXTENSION_SUFFIXES
            for p in root.rglob(f"*{suffix}")]


def test_every_compiled_module_has_a_stub_declaring_its_operations():
    root = pathlib.Path(bridge.__file__).parent
    assert (root / "py.typed").exists()
    modules = compiled_modules()
    assert len(modules) >= 14
    for so in modules:
        name = so.name.split(".")[0]
        stub = so.with_name(name + ".pyi")
        assert stub.exists(), f"no stub for {so.name}"
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        declared = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
        declared |= {a.asname or a.name for n in tree.body if isinstance(n, ast.ImportFrom)
                     for a in n.names}
        dotted = ".".join(so.relative_to(root.parent).with_name(name).parts)
        module = importlib.import_module(dotted)
        public = {k for k, v in vars(module).items()
                  if callable(v) and not isinstance(v, type) and not k.startswith("__")
                  and getattr(v, "__module__", dotted) in (dotted, None)
                  and type(v).__name__ in ("nb_func", "builtin_function_or_method")}
        missing = public - declared
        assert not missing, f"{dotted}: stub lacks {sorted(missing)}"
        unannotated = [n.name for n in tree.body if isinstance(n, ast.FunctionDef)
                       and n.returns is None]
        assert not unannotated, f"{dotted}: untyped {unannotated}"
