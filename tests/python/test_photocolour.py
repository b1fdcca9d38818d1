"""Tests of the Python module photocolour against the programs and itself."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import photocolour as pc

SAMPLES = os.environ["TOOLKIT_SAMPLES"]
BIN = os.environ["TOOLKIT_BIN"]
PAIRS = [("coffee.png", "rocket.jpg"), ("chelsea.png", "coffee.png"), ("rocket.jpg", "rocket.jpg")]


def sample(name):
    return pc.read_image(os.path.join(SAMPLES, name))


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
