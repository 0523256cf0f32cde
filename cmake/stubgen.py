"""Writes a .pyi stub for every compiled module of the bridge.

Run by the build (target bridge_stubs) once all modules are linked:

    python stubgen.py --nanobind DIR --src SRC --engine DIR --out DIR \
        bridge.supervisor.pid=/path/to/pid.so ...

The compiled modules sit flat in the build directory, so they are imported
under their dotted names through a small finder, beside the package's own
__init__.py files from the source tree. Loading some modules has effects
(environment files, engine imports), so the import happens under a private,
empty HOME, with the stand-in engine on sys.path.
"""
import argparse
import importlib.abc
import importlib.util
import os
import pathlib
import sys
import tempfile


class BuiltModules(importlib.abc.MetaPathFinder):
    def __init__(self, files):
        self.files = files

    def find_spec(self, fullname, path=None, target=None):
        so = self.files.get(fullname)
        if so is None:
            return None
        return importlib.util.spec_from_file_location(fullname, so)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--nanobind", required=True, help="directory holding stubgen.py")
    ap.add_argument("--src", required=True, help="directory holding the bridge package")
    ap.add_argument("--engine", action="append", default=[], help="engine import path")
    ap.add_argument("--out", required=True, help="stub root (bridge/... is written below)")
    ap.add_argument("--patterns", help="stub generator pattern file")
    ap.add_argument("modules", nargs="+", help="dotted.name=/path/to/module.so")
    opt = ap.parse_args(argv)

    files = dict(m.split("=", 1) for m in opt.modules)
    home = tempfile.mkdtemp(prefix="bridge-stubgen-home-")
    os.environ["HOME"] = home
    os.environ.pop("KORVEL_HOME", None)
    os.environ["NB_STUBGEN"] = "1"
    sys.path[:0] = [opt.src, *opt.engine, opt.nanobind]
    sys.meta_path.insert(0, BuiltModules(files))

    import stubgen  # nanobind's generator, from --nanobind

    patterns = stubgen.load_pattern_file(opt.patterns) if opt.patterns else []
    out_root = pathlib.Path(opt.out)
    for dotted in sorted(files):
        module = importlib.import_module(dotted)
        target = out_root.joinpath(*dotted.split(".")).with_suffix(".pyi")
        target.parent.mkdir(parents=True, exist_ok=True)
        gen = stubgen.StubGen(module=module, quiet=True, include_private=True,
                              patterns=patterns, output_file=target)
        gen.put(module)
        target.write_text(gen.get(), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
