"""Tests of photocolour as a Python package: its version, signatures and stub, paths, errors and channel orders."""
import ast
import errno
import importlib.metadata
import inspect
import os
import pathlib
import re
import struct
import tempfile
import typing

import numpy as np
import pytest

import photocolour as pc
from test_photocolour import png_bytes, run_as_nobody

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = pathlib.Path(os.environ["TOOLKIT_SAMPLES"])


def public_functions():
    return {name: getattr(pc, name) for name in pc.__all__ if inspect.isfunction(getattr(pc, name))}


def test_version_is_the_projects_and_the_installed_distributions():
    cmake = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9.]+)", (ROOT / "CMakeLists.txt").read_text(), re.M)
    assert pc.__version__ == cmake.group(1)
    # Run against a package installed by pip, it is that package, known to pip.
    installed = os.environ.get("TOOLKIT_INSTALLED_PREFIX")
    if installed:
        assert pathlib.Path(pc.__file__).resolve().is_relative_to(pathlib.Path(installed).resolve())
        assert importlib.metadata.version("photocolour") == pc.__version__
        assert (pathlib.Path(pc.__file__).parent / "py.typed").exists()


def stub_namespace():
    """The module's names, in which the stub's annotations are evaluated."""
    return dict(vars(pc), typing=typing, np=np)


def test_the_stub_describes_every_function_and_class():
    tree = ast.parse((pathlib.Path(pc.__file__).parent / "__init__.pyi").read_text())
    namespace = stub_namespace()
    stub_functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert set(stub_functions) == set(public_functions())
    for name, node in stub_functions.items():
        signature = inspect.signature(public_functions()[name])
        args = node.args
        positional = [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
        keyword = [(a, inspect.Parameter.KEYWORD_ONLY) for a in args.kwonlyargs]
        defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults + args.kw_defaults
        assert [a.arg for a, _ in positional + keyword] == list(signature.parameters), name
        for (arg, kind), default in zip(positional + keyword, defaults):
            parameter = signature.parameters[arg.arg]
            assert parameter.kind == kind, (name, arg.arg)
            expected = inspect.Parameter.empty if default is None else ast.literal_eval(default)
            assert parameter.default == expected, (name, arg.arg)
            assert eval(ast.unparse(arg.annotation), namespace) == parameter.annotation, (name, arg.arg)
        assert eval(ast.unparse(node.returns), namespace) == signature.return_annotation or (
            name == "to_dataframe" and signature.return_annotation == "pandas.DataFrame"), name
    # The classes and their fields are the module's.
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            kind = getattr(pc, node.name)
            fields = [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
            assert fields == list(getattr(kind, "_fields", [])), node.name
            assert [ast.unparse(base) for base in node.bases] in (["NamedTuple"], [
                base.__name__ for base in kind.__bases__]), node.name
    assert {n.name for n in tree.body if isinstance(n, ast.ClassDef)} == {
        name for name in pc.__all__ if inspect.isclass(getattr(pc, name))}


def test_signatures_and_docstrings_show_names_types_and_dtypes():
    for name, function in public_functions().items():
        signature = inspect.signature(function)
        assert all(p.annotation is not inspect.Parameter.empty for p in signature.parameters.values()), name
        assert signature.return_annotation is not inspect.Signature.empty, name
        assert function.__doc__ and function.__module__ == "photocolour", name
        # Each dtype an image argument takes is named.
        annotations = {str(p.annotation) for p in signature.parameters.values()}
        if any("uint8" in a for a in annotations):
            assert "uint8" in function.__doc__, name
        if any("float64" in a for a in annotations):
            assert "float32 or float64" in function.__doc__, name
    assert "channel_order: Literal['bgr', 'rgb'] = 'bgr'" in str(inspect.signature(pc.lab_compare))


def test_paths_may_be_any_path_like_and_errors_say_what_failed(tmp_path):
    img = np.random.default_rng(11).integers(0, 256, size=(8, 9, 3), dtype=np.uint8)
    png = tmp_path / "img.png"
    png.write_bytes(png_bytes(img))

    class Named:
        def __fspath__(self):
            return str(png)

    for path in (png, str(png), bytes(png), Named()):
        np.testing.assert_array_equal(pc.read_image(path), img)
        assert pc.image_facts(path).width == 9
    missing = tmp_path / "missing.png"
    with pytest.raises(FileNotFoundError) as raised:
        pc.read_image(missing)
    assert isinstance(raised.value, pc.ImageError) and raised.value.errno == errno.ENOENT
    damaged = tmp_path / "damaged.png"
    damaged.write_bytes(png.read_bytes()[:60])
    with pytest.raises(pc.ImageError, match="^cannot read image .*damaged.png") as raised:
        pc.read_image(damaged)
    assert not isinstance(raised.value, OSError) and isinstance(raised.value, ValueError)
    with pytest.raises(pc.ImageError):
        pc.read_image(tmp_path)  # a directory


def test_an_unreadable_file_raises_permission_error():
    folder = tempfile.mkdtemp()
    locked = os.path.join(folder, "locked.png")
    with open(locked, "wb") as made:
        made.write(b"\x89PNG")
    os.chmod(locked, 0)
    os.chmod(folder, 0o755)
    code = ("for read in (pc.read_image, pc.image_facts):\n"
            "    try:\n        read(%r)\n    except PermissionError as e:\n"
            "        print(isinstance(e, pc.ImageError), e.errno, e.filename)\n" % locked)
    try:
        out = run_as_nobody(code)
    finally:
        os.remove(locked)
        os.rmdir(folder)
    assert out == ("True %d %s\n" % (errno.EACCES, locked)) * 2


def test_rgb_order_is_bgr_reversed_everywhere():
    rng = np.random.default_rng(12)
    u8 = rng.integers(0, 256, size=(12, 10, 3), dtype=np.uint8)
    other = rng.integers(0, 256, size=(12, 10, 3), dtype=np.uint8)
    f = u8.astype(np.float32) / 255
    rgb = lambda a: a[..., ::-1]  # noqa: E731
    white = (0.9, 1.0, 1.1)
    assert pc.perceptual_metrics(rgb(u8), rgb(other), channel_order="rgb") == pc.perceptual_metrics(u8, other)
    assert pc.lab_compare(rgb(u8), rgb(other), channel_order="rgb") == pc.lab_compare(u8, other)
    assert pc.top_lightness_share(rgb(u8), channel_order="rgb") == pc.top_lightness_share(u8)
    for by_bgr, by_rgb in ((pc.appearance(u8), pc.appearance(rgb(u8), channel_order="rgb")),
                           (pc.appearance(f), pc.appearance(rgb(f), channel_order="rgb"))):
        for plane in by_bgr:
            np.testing.assert_array_equal(by_rgb[plane], by_bgr[plane])
    # In, out or both in the call's order, as each function's colour images are.
    cases = {
        "srgb_to_xyz": ((f,), "in"), "srgb_to_lms": ((f,), "in"), "srgb_to_opponent": ((f,), "in"),
        "srgb_to_yuv": ((f,), "in"), "sharpened_to_xyz": ((f,), "in"), "xyz_to_srgb": ((f,), "out"),
        "lms_to_srgb": ((f,), "out"), "xyz_to_sharpened": ((f,), "out"), "srgb_to_lab": ((f, white), "in"),
        "lab_to_srgb": ((f * 50, white), "out"), "icam_cat": ((f, white, (1, 1, 1)), "both"),
        "inverse_cat": ((f, (1, 1, 1), white), "both"), "tonemap_durand": ((f * 4,), "both"),
    }
    for name, (arguments, ordered) in cases.items():
        function = getattr(pc, name)
        as_rgb = tuple(rgb(a) if isinstance(a, np.ndarray) and ordered in ("in", "both") else
                       (a[::-1] if isinstance(a, tuple) else a) for a in arguments)
        out = function(*as_rgb, channel_order="rgb")
        expected = function(*arguments)
        np.testing.assert_array_equal(out, rgb(expected) if ordered in ("out", "both") else expected, err_msg=name)
    np.testing.assert_array_equal(pc.read_image(SAMPLES / "coffee.png", channel_order="rgb"),
                                  rgb(pc.read_image(SAMPLES / "coffee.png")))
    with pytest.raises(ValueError, match='^channel_order: expected "bgr" or "rgb", got "RGB"'):
        pc.lab_compare(u8, u8, channel_order="RGB")


def test_dtypes_are_as_documented():
    u8 = np.random.default_rng(13).integers(0, 256, size=(6, 7, 3), dtype=np.uint8)
    f32 = u8.astype(np.float32) / 255
    for comparison in (lambda a: pc.lab_compare(a, a), lambda a: pc.perceptual_metrics(a, a),
                       pc.top_lightness_share):
        comparison(u8)
        for wrong in (f32, f32.astype(np.float64)):
            with pytest.raises(TypeError, match="expected a uint8 array"):
                comparison(wrong)
    out32, out64 = pc.srgb_to_xyz(f32), pc.srgb_to_xyz(f32.astype(np.float64))
    assert out32.dtype == out64.dtype == np.float32
    np.testing.assert_array_equal(out32, out64)
    with pytest.raises(TypeError, match="expected a float32 or float64 array, got uint8"):
        pc.srgb_to_xyz(u8)
    for img in (u8, f32, f32.astype(np.float64)):
        assert pc.appearance(img)["Q"].dtype == np.float32


def test_formats_only_opencv_reads_come_through_the_codec_module(tmp_path):
    # A 24-bit BMP of 4 x 2 pixels, rows bottom-up and padded to 4 bytes.
    pixels = np.arange(24, dtype=np.uint8).reshape(2, 4, 3)
    rows = b"".join(pixels[y].tobytes() for y in (1, 0))
    header = b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54) \
        + struct.pack("<IiiHHIIiiII", 40, 4, 2, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    bmp = tmp_path / "img.bmp"
    bmp.write_bytes(header + rows)
    np.testing.assert_array_equal(pc.read_image(bmp), pixels)
    # The module the library loads ships inside the package.
    assert (pathlib.Path(pc.__file__).parent / "libtoolkit-opencv-codecs.so").is_file()
