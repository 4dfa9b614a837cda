"""The type stubs shipped beside the module agree with what the module shows at run time."""

from __future__ import annotations

import ast
import inspect
import os
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

import vorantis.engine.video_reader as vr

STUB = Path(vr.__file__).with_name("video_reader.pyi")
TREE = ast.parse(STUB.read_text(encoding="utf-8"))
P = inspect.Parameter


def _stub_items():
    """(qualified name, ast node) for every function, method and class attribute of the stub."""
    for node in TREE.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", member


STUB_CALLABLES = dict(_stub_items())
STUB_CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}
STUB_CONSTANTS = {n.target.id: ast.unparse(n.annotation) for n in TREE.body
                  if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}


def _stub_signature(node: ast.FunctionDef):
    """[(name, kind, default, annotation)] and the return annotation, as text."""
    a = node.args
    out = []

    def ann(x):
        text = None if x.annotation is None else ast.unparse(x.annotation)
        return None if text == "Any" else text  # no declared type at run time

    positional = a.posonlyargs + a.args
    defaults = [P.empty] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    for arg in a.posonlyargs:
        out.append((arg.arg, P.POSITIONAL_ONLY, defaults.pop(0), ann(arg)))
    for arg in a.args:
        out.append((arg.arg, P.POSITIONAL_OR_KEYWORD, defaults.pop(0), ann(arg)))
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, P.empty, ann(a.vararg)))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, P.KEYWORD_ONLY, P.empty if d is None else ast.literal_eval(d), ann(arg)))
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, P.empty, ann(a.kwarg)))
    returns = None if node.returns is None else ast.unparse(node.returns)
    return out, returns


def _runtime_signature(func):
    sig = inspect.signature(func)
    params = [(p.name, p.kind, p.default, None if p.annotation is P.empty else p.annotation)
              for p in sig.parameters.values()]
    returns = None if sig.return_annotation is P.empty else sig.return_annotation
    return params, returns


def _decorators(node: ast.FunctionDef):
    return [ast.unparse(d) for d in node.decorator_list]


@pytest.mark.parametrize("qualname", sorted(STUB_CALLABLES))
def test_stub_signature_matches_runtime(qualname):
    node = STUB_CALLABLES[qualname]
    owner, _, name = qualname.rpartition(".")
    if owner:
        raw = inspect.getattr_static(getattr(vr, owner), name)
        decorators = _decorators(node)
        if "property" in decorators:
            assert isinstance(raw, property) and raw.fset is None
            func = raw.fget
        elif "classmethod" in decorators:
            assert isinstance(raw, classmethod)
            func = raw.__func__
        else:
            assert not isinstance(raw, (property, classmethod, staticmethod))
            func = raw
    else:
        func = getattr(vr, name)
    assert _stub_signature(node) == _runtime_signature(func)


def _runtime_public_names():
    names = set()
    for name, value in vars(vr).items():
        if name.startswith("__") or isinstance(value, types.ModuleType):
            continue
        if getattr(value, "__module__", vr.__name__) != vr.__name__:
            continue  # Dict, Iterator, ... re-exported from typing
        names.add(name)
    return names


def test_stub_declares_exactly_the_module_names():
    stub_names = {n for n in STUB_CALLABLES if "." not in n} | set(STUB_CLASSES) | set(STUB_CONSTANTS)
    assert stub_names == _runtime_public_names()
    for name, annotation in STUB_CONSTANTS.items():
        assert type(getattr(vr, name)).__name__ == annotation
    for cls_name in STUB_CLASSES:
        runtime = {n for n, v in vars(getattr(vr, cls_name)).items()
                   if callable(v) or isinstance(v, (property, classmethod))}
        runtime -= {"__class__", "__init_subclass__", "__subclasshook__"}
        stub = {n.rpartition(".")[2] for n in STUB_CALLABLES if n.startswith(cls_name + ".")}
        assert stub == runtime, cls_name


def test_package_is_marked_typed():
    assert (Path(vr.__file__).parent.parent / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    pytest.importorskip("mypy.stubtest")
    stubs = tmp_path / "stubs" / "vorantis" / "engine"
    stubs.mkdir(parents=True)
    shutil.copy(STUB, stubs / "video_reader.pyi")
    (stubs / "__init__.pyi").write_text("")
    (stubs.parent / "__init__.pyi").write_text("")
    package_root = Path(vr.__file__).parent.parent.parent
    env = dict(os.environ, MYPYPATH=str(tmp_path / "stubs"),
               PYTHONPATH=os.pathsep.join([str(package_root), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vorantis.engine.video_reader"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
