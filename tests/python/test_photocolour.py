"""Tests of the Python module photocolour against the programs and itself."""
import errno
import os
import pathlib
import re
import struct
import subprocess
import sys
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
    with pytest.raises(ValueError, match="NUL") as raised:
        pc.read_image(missing + "\0.png")
    assert not isinstance(raised.value, FileNotFoundError)


def test_top_lightness_share():
    img = np.zeros((10, 12, 3), np.uint8)
    img[:5] = 255
    assert pc.top_lightness_share(img) == 0.5
    # One white pixel among greys sets the white alone.
    img[:] = 128
    img[0, 0] = 255
    assert pc.top_lightness_share(img) == pytest.approx(1 / 120)
