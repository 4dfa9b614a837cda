"""What Python sees of the module: import behaviour, constants, names and signatures."""

from __future__ import annotations

import ast
import importlib
import inspect
import linecache
import subprocess
import sys
import textwrap
import traceback
import types

import pytest

import vorantis.engine.video_reader as vr

P = inspect.Parameter
POK, KWO, VAR = P.POSITIONAL_OR_KEYWORD, P.KEYWORD_ONLY, P.VAR_POSITIONAL
E = P.empty
KEY = b"mqtlepoz_ardwe_hunk_zyx"

# (param name, kind, default, annotation)
FUNCTIONS = {
    "is_encrypted_file": ([("path", POK, E, "str")], "bool",
                          "Check if file is encrypted based on extension."),
    "xor_decrypt_bytes": ([("data", POK, E, "bytes"), ("key", POK, KEY, "bytes")], "bytes",
                          "XOR-decrypt data in-place style, returning a new bytes object."),
    "_write_xor_encrypted": ([("f", POK, E, E), ("file_offset", POK, E, "int"), ("data", POK, E, "bytes"),
                              ("key", POK, E, "bytes")], "None",
                             "XOR-encrypt data at the correct key position and write to file."),
    "read_and_decrypt_file": ([("path", POK, E, "str"), ("key", POK, KEY, "bytes")], "bytes",
                              "Read file and XOR-decrypt its contents."),
    "_streaming_xor_decrypt_file": ([("src_path", POK, E, "str"), ("dst_path", POK, E, "str"),
                                     ("key", POK, E, "bytes"), ("chunk_size", POK, 262144, "int")], "None",
                                    "XOR-decrypt a file to another file in streaming chunks."),
    "compute_mask_bbox": ([("h5_data", POK, E, E), ("frame_w", POK, E, "int"), ("frame_h", POK, E, "int"),
                           ("padding", POK, 16, "int")], "Tuple[int, int, int, int]",
                          "Compute the union bounding box of non-zero face mask pixels."),
    "iter_video_frames": ([("video_path", POK, E, "str"), ("key", POK, "", "str"),
                           ("thread_count", POK, 0, "int"), ("max_frames", POK, -1, "int")],
                          "Iterator[np.ndarray]", "Yield decoded BGR24 frames one at a time from a video file."),
    "is_imx_file": ([("path", POK, E, "str")], "bool", "Check if a file is an IMX binary container."),
    "is_imx_v2_file": ([("path", POK, E, "str")], "bool", "Check if a file is an IMX v2 container."),
    "write_imx_v2_container": ([("output_path", POK, E, "str"), ("files", POK, E, "dict")], "None",
                               "Write files into an IMX v2 binary container."),
}

SELF = ("self", POK, E, E)
# class -> member -> (kind, params after self/cls, return annotation, summary line or None)
CLASSES = {
    "VideoReader": ("PyAV-based video reader replacing FFmpeg C wrapper.", {
        "__init__": ("method", [("video_path", POK, E, "str"), ("key", POK, "", "str"),
                                ("thread_count", POK, 0, "int")], "None", None),
        "get": ("method", [("index", POK, E, "int")], "np.ndarray",
                "Get a decoded frame by index (returns a copy)."),
        "size": ("method", [], "int", "Return total number of decoded frames."),
        "width": ("property", [], "int", None),
        "height": ("property", [], "int", None),
        "close": ("method", [], "None", None),
    }),
    "ImxContainer": ("Virtual filesystem over an IMX binary container.", {
        "__init__": ("method", [("path", POK, E, "str")], "None", None),
        "read_file": ("method", [("name", POK, E, "str")], "bytes", "Read an embedded file by name."),
        "get_entry": ("method", [("name", POK, E, "str")], "Tuple[int, int]",
                      "Return (offset, size) for an embedded file."),
        "has_file": ("method", [("name", POK, E, "str")], "bool", "Check if a file exists in the container."),
        "list_files": ("method", [], "List[str]", "Return all file names in the container."),
        "find_files": ("method", [("pattern", POK, E, "str")], "List[str]",
                       "Return file names matching a glob pattern."),
        "format_version": ("property", [], "int",
                           "Return the format version from metadata (2 for v2, 1 for v1, 0 if no metadata)."),
        "has_metadata": ("property", [], "bool", "Whether the container includes manifest.json."),
        "metadata": ("property", [], "Optional[dict]", "Parsed manifest.json contents, or None."),
    }),
    "MP4VideoReader": ("MP4 frame reader with optional frame caching for ping-pong looping.", {
        "__init__": ("method", [("path", POK, E, "str"), ("key", POK, "", "str"), ("thread_count", POK, 0, "int"),
                                ("base_offset", KWO, 0, "int"), ("file_size", KWO, 0, "int"),
                                ("frame_count", KWO, 0, "int"), ("cache_frames", KWO, False, "bool")], "None",
                     "Initialize MP4 reader from a file or embedded section of an IMX container."),
        "_advance_to_frame": ("method", [("target_idx", POK, E, "int")], "np.ndarray",
                              "Advance decoder to target frame index."),
        "get": ("method", [("index", POK, E, "int")], "np.ndarray",
                "Get a decoded BGR frame by index (returns a copy)."),
        "get_next": ("method", [], "Tuple[int, np.ndarray]",
                     "Get the next frame in sequence, looping back to start at end."),
        "seek_to_start": ("method", [], "None", "Reset reader to frame 0 for efficient looping."),
        "size": ("method", [], "int", "Return total number of frames."),
        "width": ("property", [], "int", None),
        "height": ("property", [], "int", None),
        "close": ("method", [], "None", None),
        "from_bytes": ("classmethod", [("mp4_data", POK, E, "bytes"), ("frame_count", POK, 0, "int")],
                       "'MP4VideoReader'", "Create reader from in-memory H.264 bytes (no frame cache)."),
        "__del__": ("method", [], "None", None),
        "__enter__": ("method", [], "'MP4VideoReader'", None),
        "__exit__": ("method", [("exc", VAR, E, E)], "None", None),
    }),
}


def check_signature(obj, params, returns, qualname):
    sig = inspect.signature(obj)
    got = [(p.name, p.kind, p.default, p.annotation) for p in sig.parameters.values()]
    assert got == params
    assert sig.return_annotation == returns
    expected_ann = {name: ann for name, _, _, ann in params if ann is not E}
    expected_ann["return"] = returns
    assert obj.__annotations__ == expected_ann
    assert obj.__qualname__ == qualname
    assert obj.__module__ == "vorantis.engine.video_reader"


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_surface(name):
    params, returns, summary = FUNCTIONS[name]
    fn = getattr(vr, name)
    check_signature(fn, params, returns, name)
    assert fn.__name__ == name
    assert fn.__doc__.splitlines()[0] == summary


def test_function_definition_order():
    names = [n for n in vars(vr) if n in FUNCTIONS or n in CLASSES]
    expected = ["is_encrypted_file", "xor_decrypt_bytes", "_write_xor_encrypted", "read_and_decrypt_file",
                "VideoReader", "_streaming_xor_decrypt_file", "compute_mask_bbox", "iter_video_frames",
                "is_imx_file", "is_imx_v2_file", "write_imx_v2_container", "ImxContainer", "MP4VideoReader"]
    assert names == expected


@pytest.mark.parametrize("cls_name, member", [(c, m) for c, (_, ms) in CLASSES.items() for m in ms])
def test_class_member_surface(cls_name, member):
    cls = getattr(vr, cls_name)
    kind, params, returns, summary = CLASSES[cls_name][1][member]
    raw = cls.__dict__[member]
    qual = f"{cls_name}.{member}"
    if kind == "property":
        assert isinstance(raw, property) and raw.fset is None
        fn = raw.fget
        check_signature(fn, [SELF], returns, qual)
    elif kind == "classmethod":
        assert isinstance(raw, classmethod)
        fn = raw.__func__
        check_signature(fn, [("cls", POK, E, E)] + params, returns, qual)
        check_signature(getattr(cls, member), params, returns, qual)
    else:
        fn = raw
        check_signature(fn, [SELF] + params, returns, qual)
    if summary is None:
        if kind != "property":
            assert fn.__doc__ is None
    else:
        assert (raw.__doc__ if kind == "property" else fn.__doc__).splitlines()[0] == summary


@pytest.mark.parametrize("cls_name", list(CLASSES))
def test_class_shape(cls_name):
    cls = getattr(vr, cls_name)
    doc, members = CLASSES[cls_name]
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "vorantis.engine.video_reader" and cls.__qualname__ == cls_name
    assert cls.__doc__.splitlines()[0] == doc
    assert "__slots__" not in cls.__dict__
    own = {n for n in cls.__dict__ if not n.startswith("__") or n in members}
    own -= {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}
    assert own == set(members)


def test_mp4_reader_keyword_only_arguments():
    with pytest.raises(TypeError):
        vr.MP4VideoReader("x.mp4", "", 0, 10)


def test_constants():
    assert vr.ENCRYPT_KEY == KEY and type(vr.ENCRYPT_KEY) is bytes
    assert vr.IMX_MAGIC == b"IMX\x00"
    assert vr.IMX_VERSION == 2 and type(vr.IMX_VERSION) is int
    assert vr._OLD_IMX_V1_MAGIC == b"VIMX"
    assert vr.__doc__.split("\n\n")[1].strip() == "Handles regular video files and XOR-encrypted .vrtensor files."
    import fnmatch, io, json, struct, threading, typing
    import numpy
    for name, mod in [("fnmatch", fnmatch), ("io", io), ("json", json), ("struct", struct),
                      ("threading", threading), ("np", numpy)]:
        assert getattr(vr, name) is mod
    for name in ["Dict", "Iterator", "List", "Optional", "Tuple"]:
        assert getattr(vr, name) is getattr(typing, name)


def test_import_needs_neither_av_nor_h5py():
    code = textwrap.dedent(
        """
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.split('.')[0] in ('av', 'h5py'):
                    raise ImportError('blocked ' + name)
        sys.meta_path.insert(0, Block())
        import vorantis.engine.video_reader as vr
        assert not [m for m in sys.modules if m.split('.')[0] in ('av', 'h5py')]
        assert vr.ENCRYPT_KEY == b'mqtlepoz_ardwe_hunk_zyx' and vr.IMX_VERSION == 2
        assert vr.xor_decrypt_bytes(vr.xor_decrypt_bytes(b'abc')) == b'abc'
        print('ok')
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=None)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


@pytest.mark.parametrize("missing", ["simplejpeg", "h5py"])
def test_mask_calls_without_the_masks_extra(missing, monkeypatch, tmp_path):
    """Without h5py or simplejpeg (the masks extra) only the calls that need them fail, with
    the import's own error, whether or not they are installed here."""
    monkeypatch.delitem(sys.modules, "vorantis.engine.compression", raising=False)
    monkeypatch.setitem(sys.modules, missing, None)
    if missing == "h5py":  # the sibling module itself imports
        fake = types.ModuleType("vorantis.engine.compression")
        fake.decode_jpeg = lambda data: None  # type: ignore[attr-defined]
        monkeypatch.setitem(sys.modules, "vorantis.engine.compression", fake)
    else:
        with pytest.raises(ModuleNotFoundError) as info:
            importlib.import_module("vorantis.engine.compression")
        assert info.value.name == missing
    with pytest.raises(ModuleNotFoundError) as info:
        vr.compute_mask_bbox(str(tmp_path / "masks.h5"), 8, 8)
    assert info.value.name == missing
    assert vr.xor_decrypt_bytes(vr.xor_decrypt_bytes(b"abc")) == b"abc"


def test_a_plain_install_brings_the_mask_box_dependencies_where_they_have_wheels():
    """h5py and simplejpeg are base dependencies on 3.10-3.14, the masks extra beyond."""
    import importlib.metadata
    import sys

    from packaging.requirements import Requirement

    try:
        declared = importlib.metadata.requires("vorantis") or []
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vorantis is not installed (run against an installed build)")
    requirements = [Requirement(r) for r in declared]

    def names(env):
        return {r.name for r in requirements if r.marker is None or r.marker.evaluate(env)}

    for minor in (10, 11, 12, 13, 14):
        assert {"h5py", "simplejpeg"} <= names({"python_version": f"3.{minor}", "extra": ""}), minor
    assert not {"h5py", "simplejpeg"} & names({"python_version": "3.15", "extra": ""})
    assert {"h5py", "simplejpeg"} <= names({"python_version": "3.15", "extra": "masks"})
    if sys.version_info < (3, 15):
        import h5py  # noqa: F401  (installed with the package here)
        import simplejpeg  # noqa: F401


def _native_entries():
    return sorted(n for n in vars(vr._native) if not n.startswith("__"))


def test_every_callable_is_defined_in_the_surface():
    """Each public callable is a Python def of the surface, compiled into the module,
    whose body calls an entry point of the native table that exists."""
    surface = [fn for name, (_, members) in CLASSES.items() for fn in vars(getattr(vr, name)).values()]
    surface += [getattr(vr, name) for name in FUNCTIONS]
    codes = []
    for obj in surface:
        fn = getattr(obj, "fget", None) or getattr(obj, "__func__", None) or obj
        if isinstance(fn, types.FunctionType):
            codes.append(fn.__code__)
    assert len(codes) >= len(FUNCTIONS) + sum(len(m) for _, m in CLASSES.values())
    entries = set(_native_entries())
    for code in codes:
        assert code.co_filename == "engine/video_reader/surface.py"
        called = set(code.co_names) - {"_native"}
        assert "_native" in code.co_names and called <= entries, (code.co_name, called)


SURFACE_FILE = "engine/video_reader/surface.py"


def _surface_defs():
    """(qualified name, ast node) of every def of the surface's source, as the module ran it."""
    tree = ast.parse("".join(linecache.getlines(SURFACE_FILE)))
    for node in tree.body:
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        for fn in members:
            if isinstance(fn, ast.FunctionDef):
                yield (f"{node.name}.{fn.name}" if fn is not node else fn.name), fn


SURFACE_DEFS = dict(_surface_defs())


def test_surface_source_defines_every_callable():
    expected = set(FUNCTIONS) | {f"{c}.{m}" for c, (_, ms) in CLASSES.items() for m in ms}
    assert expected <= set(SURFACE_DEFS)


@pytest.mark.parametrize("qualname", sorted(SURFACE_DEFS))
def test_surface_body_is_one_native_call(qualname):
    """Each body (after its docstring) is one call of a native entry point, which gets
    the parameters in declaration order, unchanged, and takes exactly that many."""
    fn = SURFACE_DEFS[qualname]
    body = fn.body[1:] if ast.get_docstring(fn) is not None else fn.body
    assert len(body) == 1
    stmt = body[0]
    call = stmt.value.value if isinstance(stmt, ast.Expr) else stmt.value
    assert isinstance(stmt, ast.Return) or isinstance(stmt.value, ast.YieldFrom)
    assert isinstance(call, ast.Call) and not call.keywords
    assert isinstance(call.func, ast.Attribute) and ast.unparse(call.func.value) == "_native"
    params = [a.arg for a in fn.args.args + fn.args.kwonlyargs]
    assert [ast.unparse(a) for a in call.args] == params
    with pytest.raises(TypeError, match=rf"takes {len(params)} arguments? \("):
        getattr(vr._native, call.func.attr)(*[None] * (len(params) + 1))


def test_tracebacks_show_the_surface_source():
    with pytest.raises(TypeError) as info:
        vr.xor_decrypt_bytes(b"abc", 5)
    text = "".join(traceback.format_exception(info.value))
    assert 'surface.py", line' in text and "in xor_decrypt_bytes" in text
    assert "return _native.xor_decrypt_bytes(data, key)" in text
    assert inspect.getsource(vr.MP4VideoReader.get).lstrip().startswith("def get(self, index: int)")


@pytest.mark.parametrize("name", _native_entries())
def test_native_entry_checks_its_arity(name):
    entry = getattr(vr._native, name)
    with pytest.raises(TypeError, match=r"native entry point takes \d+ arguments? \(12 given\)"):
        entry(*[None] * 12)


def test_native_entries_survive_arguments_of_the_wrong_kind():
    """Called directly with objects of no use to them, the entry points raise (or
    ignore them); none crashes the interpreter. In a child process, which names
    each entry before calling it."""
    code = textwrap.dedent("""
        import vorantis.engine.video_reader as vr
        for name in sorted(n for n in vars(vr._native) if not n.startswith("__")):
            entry = getattr(vr._native, name)
            try:
                entry(*[None] * 12)
            except TypeError as exc:
                arity = int(str(exc).split("takes ")[1].split()[0])
            print(name, flush=True)
            try:
                entry(*[object() for _ in range(arity)])
            except Exception:
                pass
        print("survived")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    names = out.stdout.split()
    assert out.returncode == 0 and names[-1] == "survived", (names[-1:], out.stderr[-2000:])
    assert names[:-1] == _native_entries()


def test_docstrings_kept_under_optimisation():
    code = ("import vorantis.engine.video_reader as vr; "
            "print(vr.xor_decrypt_bytes.__doc__.splitlines()[0]); print(vr.MP4VideoReader.__doc__ is None)")
    out = subprocess.run([sys.executable, "-OO", "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == [FUNCTIONS["xor_decrypt_bytes"][2], "False"]
