"""Tests of the Python module photocolour against the programs and itself."""
import errno
import inspect
import itertools
import json
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import threading
import zlib

import numpy as np
import pytest

import photocolour as pc

SAMPLES = os.environ["TOOLKIT_SAMPLES"]
BIN = os.environ["TOOLKIT_BIN"]
PAIRS = [("coffee.png", "rocket.jpg"), ("chelsea.png", "coffee.png"), ("rocket.jpg", "rocket.jpg")]


def sample(name):
    return pc.read_image(os.path.join(SAMPLES, name))


def png_bytes(bgr, chunks=()):
    """An 8-bit RGB PNG of a BGR array, rows unfiltered, with `chunks` (type, data) before its data."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    height, width, _ = bgr.shape
    rows = b"".join(b"\0" + bgr[y, :, ::-1].tobytes() for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + b"".join(chunk(kind, data) for kind, data in chunks)
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def rgb_profile_named(name):
    """An ICC profile for RGB data that holds its name (an mluc 'desc' tag) and nothing to convert with."""
    text = name.encode("utf-16-be")
    desc = b"mluc" + struct.pack(">4xII2s2sII", 1, 12, b"en", b"US", len(text), 28) + text
    desc += bytes(-len(desc) % 4)
    header = bytearray(132)
    struct.pack_into(">I4xI4s4s4s", header, 0, 132 + 12 + len(desc), 0x02100000, b"mntr", b"RGB ", b"XYZ ")
    header[36:40] = b"acsp"
    struct.pack_into(">iii", header, 68, 0xF6D6, 0x10000, 0xD32D)  # D50, as the PCS white must be
    struct.pack_into(">I", header, 128, 1)
    return bytes(header) + b"desc" + struct.pack(">II", 144, len(desc)) + desc


def program_line(program, first, second, cwd):
    out = subprocess.run([os.path.join(BIN, program), os.path.join(SAMPLES, first),
                          os.path.join(SAMPLES, second)], cwd=cwd, check=True,
                         capture_output=True, text=True).stdout
    return out.strip()


@pytest.mark.parametrize("first,second", PAIRS)
def test_figures_equal_the_programs(first, second, tmp_path):
    a, b = sample(first), sample(second)
    perceptual = pc.perceptual_metrics(a, b)
    lab = pc.lab_compare(a, b)
    # The programs print each figure with %g; the module's values give the same text.
    assert ",".join("%g" % v for v in perceptual) == program_line("perceptual-metrics", first, second, tmp_path)
    assert ",".join("%g" % v for v in lab) == program_line("lab-compare", first, second, tmp_path)
    assert perceptual._fields == ("Q", "J", "C", "M", "s") and lab._fields == ("L", "ab")


def test_read_image_refuses_damage_and_matches_the_reader(tmp_path):
    path = os.path.join(SAMPLES, "rocket.jpg")
    data = open(path, "rb").read()
    cut = tmp_path / "cut.jpg"
    cut.write_bytes(data[: len(data) // 2])
    with pytest.raises(ValueError, match="damaged JPEG data"):
        pc.read_image(str(cut))
    with pytest.raises(ValueError, match="No such file"):
        pc.read_image(str(tmp_path / "missing.png"))
    img = pc.read_image(path)
    assert img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3


def test_round_trips():
    rng = np.random.default_rng(1)
    img = rng.uniform(0.05, 0.95, size=(20, 30, 3)).astype(np.float32)
    np.testing.assert_allclose(pc.xyz_to_srgb(pc.srgb_to_xyz(img)), img, atol=1e-5)
    np.testing.assert_allclose(pc.lab_to_srgb(pc.srgb_to_lab(img)), img, atol=1e-4)
    # The published LMS matrices invert each other to about three digits.
    np.testing.assert_allclose(pc.lms_to_srgb(pc.lalphabeta_to_lms(pc.lms_to_lalphabeta(pc.srgb_to_lms(img)))),
                               img, atol=0.05)
    xyz = pc.srgb_to_xyz(img)
    np.testing.assert_allclose(pc.sharpened_to_xyz(pc.xyz_to_sharpened(xyz)), xyz, atol=1e-5)
    # Adapting from a white to itself changes nothing; there and back returns.
    sharpened = pc.xyz_to_sharpened(xyz)
    white = (0.9, 1.0, 1.1)
    np.testing.assert_allclose(pc.icam_cat(sharpened, white, white), sharpened, atol=1e-6)
    d65 = (1.0, 1.0, 1.0)
    adapted = pc.icam_cat(sharpened, white, d65)
    back = pc.inverse_cat(adapted, d65, white, luminance_from=sharpened)
    assert back.shape == sharpened.shape and np.isfinite(back).all()
    per_pixel = np.broadcast_to(np.float32(white), sharpened.shape)
    np.testing.assert_array_equal(pc.icam_cat(sharpened, per_pixel, d65), adapted)


def test_planes_and_filters():
    a = sample("coffee.png")[:60, :80]
    planes = pc.appearance(a)
    assert sorted(planes) == ["C", "J", "M", "Q", "h", "s"]
    assert all(p.shape == (60, 80) and p.dtype == np.float32 for p in planes.values())
    assert np.nanmax(planes["J"]) == pytest.approx(100.0)
    # uint8 and the same image as float32 in [0, 1] give the same planes.
    as_float = pc.appearance(a.astype(np.float32) / np.float32(255))
    np.testing.assert_array_equal(as_float["Q"], planes["Q"])

    grey = np.full((30, 40), 0.5, np.float32)
    np.testing.assert_allclose(pc.guided_filter(grey, grey, 3, 0.01), grey, atol=1e-6)
    colour = a[:30, :40].astype(np.float32) / 255
    assert pc.guided_filter(colour, grey, 2, 0.01).shape == (30, 40, 3)
    lab = np.random.default_rng(2).uniform(50, 200, size=(30, 40, 3)).astype(np.float32)
    assert pc.optimal_transport(lab, lab[::-1], t=1.0, dims=3).shape == (30, 40, 3)
    assert pc.optimal_transport(lab, lab[::-1], dims=2).shape == (30, 40, 2)
    toned = pc.tonemap_durand(colour * 8)
    assert toned.shape == colour.shape and np.isfinite(toned).all()


def test_bad_arrays_get_clear_errors():
    a = sample("coffee.png")
    with pytest.raises(TypeError, match="uint8"):
        pc.perceptual_metrics(a.astype(np.float32), a)
    with pytest.raises(TypeError, match="numpy array"):
        pc.lab_compare([[1, 2, 3]], a)
    with pytest.raises(ValueError, match="H x W x 3"):
        pc.lab_compare(a[:, :, :2], a)
    with pytest.raises(ValueError, match="H x W x 3"):
        pc.lab_compare(a[:, :, 0], a)
    with pytest.raises(ValueError, match="non-empty"):
        pc.lab_compare(a[:0], a)
    with pytest.raises(TypeError, match="float32"):
        pc.srgb_to_xyz(a.astype(np.int32))
    with pytest.raises(ValueError, match="dims"):
        pc.optimal_transport(a.astype(np.float32), a.astype(np.float32), dims=4)
    # Non-contiguous views are copied, not refused, and give the same figures.
    view = a[:, ::2]
    assert pc.lab_compare(view, a) == pc.lab_compare(np.ascontiguousarray(view), a)


def test_no_surprise_files_and_arguments_untouched(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    a, b = sample("coffee.png"), sample("chelsea.png")
    a_before, b_before = a.copy(), b.copy()
    f = a.astype(np.float32) / 255
    f_before = f.copy()
    pc.perceptual_metrics(a, b)
    pc.appearance(a)
    pc.srgb_to_lab(f)
    pc.optimal_transport(f * 255, f * 255)
    assert os.listdir(tmp_path) == []
    assert capfd.readouterr().out == ""
    np.testing.assert_array_equal(a, a_before)
    np.testing.assert_array_equal(b, b_before)
    np.testing.assert_array_equal(f, f_before)

    debug = tmp_path / "debug"
    debug.mkdir()
    pc.perceptual_metrics(a, b, debug_dir=str(debug))
    assert sorted(os.listdir(debug)) == ["10_in.txt", "A_before.jpg", "mask.jpg", "t_before.jpg"]
    assert sorted(os.listdir(tmp_path)) == ["debug"]


def test_threads_run_in_parallel():
    a = np.ascontiguousarray(np.tile(sample("coffee.png"), (4, 4, 1)))
    b = sample("rocket.jpg")
    expected = pc.perceptual_metrics(a, b)
    results = []
    worker = threading.Thread(target=lambda: results.append(pc.perceptual_metrics(a, b)))
    # While the worker computes, this thread keeps running Python code: the
    # GIL is released for the computation.
    steps = 0
    worker.start()
    while worker.is_alive():
        steps += 1
    worker.join()
    assert results == [expected]
    assert steps > 1000

    outputs = [None] * 4
    threads = [threading.Thread(target=lambda k=k: outputs.__setitem__(k, pc.lab_compare(a, b))) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(outputs)) == 1


def test_compare_folder_example(tmp_path):
    script = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "compare_folder.py")
    out = tmp_path / "heatmap.png"
    run = subprocess.run([sys.executable, script, SAMPLES, "--out", str(out), "--csv", str(tmp_path / "t.csv")],
                         capture_output=True, text=True, env=dict(os.environ, MPLBACKEND="Agg"))
    assert run.returncode == 0, run.stderr
    assert out.stat().st_size > 0
    rows = (tmp_path / "t.csv").read_text().splitlines()
    assert rows[0] == "first,second,Q,J,C,M,s"
    assert len(rows) > 1


def test_damage_is_found_for_grey_jpeg_and_png(tmp_path):
    # The debug images are single-channel JPEGs, written by the module itself.
    debug = tmp_path / "debug"
    debug.mkdir()
    pc.perceptual_metrics(sample("coffee.png"), sample("chelsea.png"), debug_dir=str(debug))
    grey = debug / "A_before.jpg"
    assert pc.image_facts(grey).grey
    data = grey.read_bytes()
    cut_jpeg = tmp_path / "cut-grey.jpg"
    cut_jpeg.write_bytes(data[: len(data) // 2])

    img = np.random.default_rng(3).integers(0, 256, size=(40, 50, 3), dtype=np.uint8)
    whole = tmp_path / "whole.png"
    whole.write_bytes(png_bytes(img))
    np.testing.assert_array_equal(pc.read_image(whole), img)
    cut_png = tmp_path / "cut.png"
    cut_png.write_bytes(whole.read_bytes()[: whole.stat().st_size // 2])

    for cut, words in ((cut_jpeg, "damaged JPEG data"), (cut_png, "damaged PNG data")):
        with pytest.raises(ValueError, match=words):
            pc.read_image(cut)
        with pytest.raises(ValueError, match=words):
            pc.image_facts(str(cut))


def test_profiles_are_converted_or_ignored():
    path = pathlib.Path(SAMPLES) / "rocket.jpg"
    converted, stored = pc.read_image(path), pc.read_image(str(path), profiles="ignore")
    assert converted.shape == stored.shape and not np.array_equal(converted, stored)
    facts = pc.image_facts(path)
    assert (facts.format, facts.width, facts.height, facts.bit_depth) == ("JPEG", converted.shape[1],
                                                                          converted.shape[0], 8)
    assert (facts.profile, facts.profile_action) == ("Adobe RGB (1998)", "converted")
    assert facts.reading == 'converted to sRGB from "Adobe RGB (1998)"'
    assert (facts.grey, facts.cmyk, facts.alpha, facts.non_opaque_share, facts.warning) == (
        False, False, False, None, None)
    # The share is that of the pixels as read, whichever way they were read.
    assert facts.top_lightness_share == pc.top_lightness_share(converted)
    assert facts.top_lightness_share * facts.width * facts.height == pytest.approx(465)  # as the README says
    ignored = pc.image_facts(path, profiles="ignore")
    assert (ignored.profile, ignored.profile_action) == ("Adobe RGB (1998)", "ignored")
    assert ignored.top_lightness_share == pc.top_lightness_share(stored)

    untagged = pc.image_facts(os.path.join(SAMPLES, "coffee.png"))
    assert (untagged.format, untagged.bit_depth, untagged.profile) == ("PNG", 8, None)
    assert (untagged.profile_action, untagged.reading) == ("none", "as stored")


def test_an_unusable_profile_warns_and_reads_as_untagged(tmp_path):
    img = np.random.default_rng(4).integers(0, 256, size=(20, 30, 3), dtype=np.uint8)
    path = tmp_path / "tagged.png"
    path.write_bytes(png_bytes(img, [(b"iCCP", b"icc\0\0" + zlib.compress(rgb_profile_named("No curves")))]))
    with pytest.warns(UserWarning, match='^"%s": its colour profile "No curves" cannot be used' % re.escape(str(path))) as caught:
        read = pc.read_image(path)
    assert caught[0].filename == __file__  # the caller's line, not the warnings machinery's
    np.testing.assert_array_equal(read, img)
    facts = pc.image_facts(path)
    assert (facts.profile, facts.profile_action) == ("No curves", "unusable")
    assert facts.warning.startswith("Little CMS cannot convert from it")
    assert pc.image_facts(path, profiles="ignore").profile_action == "ignored"


def test_reading_errors():
    path = os.path.join(SAMPLES, "coffee.png")
    for bad in ("Convert", "", "none"):
        with pytest.raises(ValueError, match="convert.*ignore"):
            pc.read_image(path, profiles=bad)
        with pytest.raises(ValueError, match="convert.*ignore"):
            pc.image_facts(path, profiles=bad)
    missing = os.path.join(SAMPLES, "missing.png")
    with pytest.raises(FileNotFoundError) as raised:
        pc.image_facts(missing)
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, missing)
    assert isinstance(raised.value, ValueError)
    # A path holding a NUL byte names no file: refused as a value, never looked up.
    for read in (pc.read_image, pc.image_facts):
        for path in (missing + "\0.png", "img00.png\0x", b"img00.png\0x"):
            with pytest.raises(ValueError, match="NUL") as raised:
                read(path)
            assert not isinstance(raised.value, FileNotFoundError)


def test_top_lightness_share():
    img = np.zeros((10, 12, 3), np.uint8)
    img[:5] = 255
    assert pc.top_lightness_share(img) == 0.5
    # One white pixel among greys sets the white alone.
    img[:] = 128
    img[0, 0] = 255
    assert pc.top_lightness_share(img) == pytest.approx(1 / 120)


def run_child(code, **options):
    """The output of `code` run in a fresh interpreter, which a crash of the module ends instead of the tests."""
    run = subprocess.run([sys.executable, "-c", "import numpy as np, photocolour as pc\n" + code],
                         capture_output=True, text=True, **options)
    assert run.returncode == 0, run.stderr[-3000:]
    return run.stdout


def run_as_nobody(code):
    """run_child as nobody when the tests run as root, who may read and write anything; skips the
    test when nobody cannot reach the module."""
    try:
        return run_child(code, cwd="/", preexec_fn=(lambda: (os.setgid(65534), os.setuid(65534)))
                         if os.geteuid() == 0 else None)
    except AssertionError as failure:
        if "No module named" not in str(failure):
            raise
        pytest.skip("nobody cannot reach the module from this tree")


def test_non_finite_values_raise_value_error_naming_the_argument():
    # Every float image, white and float of every function, with a NaN or an infinity.
    for function, arguments in malformed_arguments().items():
        valid = {argument: value for argument, value, _ in arguments}
        for (argument, value, _), (number, text) in itertools.product(arguments, ((np.nan, "nan"), (np.inf, "inf"),
                                                                                  (-np.inf, "-inf"))):
            if isinstance(value, np.ndarray) and value.dtype == np.float32:
                if function == "optimal_transport" and text == "nan":
                    continue  # skipped by its statistics and passed through, below
                bad = value.copy()
                bad[3, 5] = number
                expected = r"^%s: expected finite values%s, got %s at index \(3, 5(, 0)?\)" % (
                    argument, " or NaN" if function == "optimal_transport" else "", text)
            elif isinstance(value, (float, tuple)):
                bad = (1.0, number, 1.0) if isinstance(value, tuple) else number
                expected = "^%s: expected a finite number, got %s" % (argument, text)
            else:
                continue
            with pytest.raises(ValueError, match=expected):
                getattr(pc, function)(**dict(valid, **{argument: bad}))
    with pytest.raises(ValueError, match=r"got inf \(as float32\)"), pytest.warns(RuntimeWarning, match="overflow"):
        pc.srgb_to_xyz(np.full((2, 2, 3), 1e300))
    # Windows past what the filters can index or allocate.
    img = np.random.default_rng(5).uniform(0.1, 0.9, size=(12, 16, 3)).astype(np.float32)
    with pytest.raises(ValueError, match="^sigma_space: expected at most"):
        pc.tonemap_durand(img, sigma_space=3e38)  # its radius wrapped round to 1
    with pytest.raises(MemoryError, match="OpenCV ran out of memory"):
        pc.tonemap_durand(img, sigma_space=1e8)
    with pytest.raises(ValueError, match="^r: expected an int from 1 to"):
        pc.guided_filter(img, img, 2**30, 0.01)
    # optimal_transport passes NaN through, but a channel of its statistics needs a value.
    lab = img * 255
    holed, empty = lab.copy(), lab.copy()
    holed[2, 3], empty[:, :, 2] = np.nan, np.nan
    out = pc.optimal_transport(holed, lab[::-1])
    assert np.isnan(out[2, 3]).all() and np.isnan(out).sum() == 3
    for dims in (2, 3):
        with pytest.raises(ValueError, match="^target: channel 2 holds only NaN"):
            pc.optimal_transport(lab, empty, dims=dims)


def test_debug_dir_must_be_an_existing_writable_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    a = sample("coffee.png")[:40, :50]
    missing, a_file = tmp_path / "missing", tmp_path / "file"
    a_file.write_bytes(b"")
    for call in (lambda d: pc.perceptual_metrics(a, a, debug_dir=d), lambda d: pc.appearance(a, debug_dir=d),
                 lambda d: pc.optimal_transport(a.astype(np.float32), a.astype(np.float32), debug_dir=d)):
        with pytest.raises(FileNotFoundError) as raised:
            call(missing)
        assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(missing))
        with pytest.raises(NotADirectoryError):
            call(str(a_file))
        with pytest.raises(ValueError, match="NUL"):
            call(str(tmp_path) + "\0x")
    assert sorted(os.listdir(tmp_path)) == ["file"]
    with pytest.raises(FileNotFoundError):  # before the images are looked at
        pc.perceptual_metrics(None, a, debug_dir=missing)
    # Root writes anywhere: the check of an unwritable directory then runs as nobody.
    locked = tempfile.mkdtemp()
    os.chmod(locked, 0o555)
    try:
        out = run_as_nobody("try:\n    pc.appearance(np.zeros((2, 2, 3), np.uint8), debug_dir=%r)\n"
                            "except PermissionError as e:\n    print(e.errno)\n" % locked)
    finally:
        os.rmdir(locked)
    assert out == "%d\n" % errno.EACCES


def malformed_arguments():
    """Every function: each argument's valid value and malformed ones, which must raise TypeError or ValueError."""
    u8 = np.random.default_rng(7).integers(0, 256, size=(6, 8, 3), dtype=np.uint8)
    f = u8.astype(np.float32) / 255
    grey, white, path = f[:, :, 0].copy(), (0.9, 1.0, 1.1), os.path.join(SAMPLES, "coffee.png")
    shapes = [f[:, :, 0], f[:, :, :2], np.zeros((6, 8, 4), np.float32), f[None], f[:0], f.tolist(), None, "img"]
    floats = shapes + [f.astype(np.int32), f.astype(np.complex64), f.astype(object), f.astype(np.float16),
                       np.full_like(f, np.inf)]  # which once ended the interpreter in tonemap_durand
    images8 = [x.astype(np.uint8) if isinstance(x, np.ndarray) else x for x in shapes] + [f, u8.astype(bool)]
    planes = [f[0], f[None], f[:, :, :2], grey.astype(np.int64), grey.tolist()]
    whites = [(1, 2), (1, 2, 3, 4), (), [white], "abc", None, (1, "a", 2), 5, {1.0}, np.zeros((1, 3)), f[:, :, :2]]
    numbers, ints, dirs = ["x", None, 1j, (1.0,)], [2.5, "3", None, 2**70, -1, True], [3, ["d"]]
    pairs = [3, None, "ab", [(path,)], [path], [(path, path, path)], [(path, 3)], [(None, path)]]
    table = {
        "read_image": [("path", path, [3, None]), ("profiles", "convert", [3, "bogus"])],
        "image_facts": [("path", path, [3, None]), ("profiles", "ignore", [3, "bogus"])],
        "top_lightness_share": [("img", u8, images8)], "lab_compare": [("first", u8, images8), ("second", u8, images8)],
        "perceptual_metrics": [("first", u8, images8), ("second", u8, images8), ("debug_dir", None, dirs)],
        "appearance": [("img", f, floats), ("debug_dir", None, dirs)],
        "icam_cat": [("sharpened", f, floats), ("white_src", white, whites), ("white_dst", white, whites),
                     ("blend", 1.0, numbers)],
        "inverse_cat": [("adapted", f, floats), ("white_dst", white, whites), ("white_src", white, whites),
                        ("luminance_from", f, floats[:5] + [f[:3], 1.0])],
        "guided_filter": [("p", f, planes), ("guide", grey, planes), ("r", 2, ints), ("eps", 0.01, numbers)],
        "optimal_transport": [("src", f, floats), ("target", f, floats), ("t", 0.5, numbers), ("dims", 2, ints),
                              ("debug_dir", None, dirs)],
        "tonemap_durand": [("hdr", f, floats)] + [(k, 2.0, numbers) for k in ("gamma", "contrast", "saturation",
                                                                                "sigma_space", "sigma_color")],
        "srgb_to_lab": [("img", f, floats), ("white", white, whites)],
        "lab_to_srgb": [("lab", f, floats), ("white", white, whites)],
        "compare_pairs": [("pairs", [(path, path)], pairs), ("jobs", 2, ints[:2] + ints[3:] + [0]),
                          ("metrics", "lab", [3, "bogus", "", "lab,,"]), ("profiles", "ignore", [3, "bogus"])],
    }
    for name in ("srgb_to_xyz", "srgb_to_lms", "srgb_to_opponent", "srgb_to_yuv", "xyz_to_srgb", "xyz_to_sharpened",
                 "lms_to_lalphabeta", "lms_to_srgb", "lalphabeta_to_lms", "sharpened_to_xyz"):
        table[name] = [(name.split("_to_")[0].replace("srgb", "img").replace("lalphabeta", "lab"), f, floats)]
    for name, arguments in table.items():
        if "channel_order" in inspect.signature(getattr(pc, name)).parameters:
            arguments.append(("channel_order", "rgb", [3, None, "RGB", "bgra", ""]))
    return table


def sweep_malformed_arguments():
    """Each malformed call that did not raise TypeError or ValueError, and what it did."""
    problems = []
    for name, arguments in malformed_arguments().items():
        valid = {argument: value for argument, value, _ in arguments}
        getattr(pc, name)(**valid)
        for argument, _, malformed in arguments:
            for bad in malformed:
                try:
                    getattr(pc, name)(**dict(valid, **{argument: bad}))
                    problems.append("%s(%s=%r): accepted" % (name, argument, getattr(bad, "shape", bad)))
                except (TypeError, ValueError):
                    pass
                except Exception as error:  # noqa: BLE001 - what the sweep looks for
                    problems.append("%s(%s): %s: %s" % (name, argument, type(error).__name__, error))
    return problems


def test_malformed_arguments_raise_type_or_value_errors():
    functions = {name for name in pc.__all__ if inspect.isfunction(getattr(pc, name))}
    assert functions - {"to_dataframe"} == set(malformed_arguments())
    out = run_child("import json, sys\nsys.path.insert(0, %r)\nimport test_photocolour as t\n"
                    "print(json.dumps(t.sweep_malformed_arguments()))" % os.path.dirname(os.path.abspath(__file__)))
    assert json.loads(out.splitlines()[-1]) == []
    # numpy's overflow warning for float64 past float32, made an error, is the error.
    out = run_child("import warnings\nwarnings.simplefilter('error')\n"
                    "try:\n    pc.srgb_to_xyz(np.full((2, 2, 3), 1e300))\nexcept RuntimeWarning as w:\n    print(w)\n")
    assert out.startswith("overflow encountered in cast")
    with pytest.raises(ValueError, match=r"^white_src: expected three numbers, got 2$"):
        pc.icam_cat(np.ones((2, 2, 3), np.float32), (1.0, 1.0), (1.0, 1.0, 1.0))
    # Three numbers in any sequence are a white.
    img = np.random.default_rng(8).uniform(0.1, 0.9, size=(5, 7, 3)).astype(np.float32)
    np.testing.assert_array_equal(pc.icam_cat(img, np.array([0.9, 1.0, 1.1]), [1, 1, 1]),
                                  pc.icam_cat(img, (0.9, 1.0, 1.1), (1.0, 1.0, 1.0)))


def test_appearance_of_photographs_by_colour_is_the_per_pixel_planes():
    # uint8 takes the per-colour route, the same image as float the per-pixel one.
    for name in ("coffee.png", "chelsea.png", "rocket.jpg"):
        img = sample(name)
        by_colour, by_pixel = pc.appearance(img), pc.appearance(img.astype(np.float32) / np.float32(255))
        for plane in "QJCMsh":
            np.testing.assert_array_equal(by_colour[plane], by_pixel[plane], err_msg="%s %s" % (name, plane))


def test_appearance_and_compare_pairs_release_the_gil():
    img = np.ascontiguousarray(np.tile(sample("coffee.png"), (4, 4, 1)))
    pairs = [(os.path.join(SAMPLES, a), os.path.join(SAMPLES, b)) for a, b in PAIRS]
    for call in (lambda: pc.appearance(img), lambda: pc.compare_pairs(pairs, jobs=1)):
        worker = threading.Thread(target=call)
        steps = 0
        worker.start()
        while worker.is_alive():
            steps += 1
        worker.join()
        assert steps > 1000


def program_table(pairs, tmp_path, *options):
    """compare-pairs' table of `pairs`: its header and rows, as the csv module reads them."""
    import csv
    listed = tmp_path / "pairs.txt"
    listed.write_text("".join("%s\t%s\n" % pair for pair in pairs))
    table = pathlib.Path(tempfile.mkdtemp(dir=tmp_path)) / "table.csv"
    run = subprocess.run([os.path.join(BIN, "compare-pairs"), *options, "--out", str(table), str(listed)],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode in (0, 1), run.stderr  # 1: a pair failed
    with open(table, newline="") as opened:
        rows = list(csv.reader(opened))
    return rows[0], rows[1:]


def as_cells(row, columns):
    """A PairRow as the table's cells of `columns`."""
    def cell(value):
        if value is None:
            return ""
        return "%g" % value if isinstance(value, float) else str(value)
    return [cell(getattr(row, column)) for column in columns]


def test_compare_pairs_gives_the_programs_table(tmp_path):
    damaged = tmp_path / "cut.jpg"
    damaged.write_bytes((pathlib.Path(SAMPLES) / "rocket.jpg").read_bytes()[:5000])
    pairs = [(os.path.join(SAMPLES, a), os.path.join(SAMPLES, b)) for a, b in PAIRS]
    pairs += [(pairs[0][0], str(tmp_path / "missing.png")), (str(damaged), pairs[1][1]), pairs[1]]
    for metrics in ("perceptual,lab", "lab"):
        columns, expected = program_table(pairs, tmp_path, "--metrics", metrics, "-j", "2")
        for jobs in (1, 3):
            rows = pc.compare_pairs(iter(pairs), jobs=jobs, metrics=metrics)
            assert [as_cells(row, columns) for row in rows] == expected, (metrics, jobs)
        assert [row.status.split(":")[0] for row in rows] == ["ok"] * 3 + ["error"] * 2 + ["ok"]
        assert rows[3].second_size is None and rows[3].first_size == "600x400"
        assert all(row.Q is None for row in rows) == (metrics == "lab")
    # Paths come back as given.
    rows = pc.compare_pairs([(pathlib.Path(a), b) for a, b in pairs[:1]], metrics="perceptual")
    assert rows[0].first == pathlib.Path(pairs[0][0]) and rows[0].L is None
    assert pc.compare_pairs([]) == []


def test_compare_pairs_rows_as_a_dataframe():
    pandas = pytest.importorskip("pandas")
    pairs = [(os.path.join(SAMPLES, a), os.path.join(SAMPLES, b)) for a, b in PAIRS]
    rows = pc.compare_pairs(pairs)
    frame = pc.to_dataframe(rows)
    assert isinstance(frame, pandas.DataFrame) and list(frame.columns) == list(pc.PairRow._fields)
    assert frame["Q"].tolist() == [row.Q for row in rows] and len(frame) == len(pairs)
