"""Builds the package photocolour's native module through the project's CMake.

setuptools (pyproject.toml) packs the Python files of python/photocolour; the
native module _photocolour is configured and built by CMake for the
interpreter running the build, in build-python/ (kept between builds, so a
second install rebuilds only what changed), and copied into the package with the toolkit's codec module.
CMAKE_BUILD_PARALLEL_LEVEL sets the compiler jobs (default: the cores),
TOOLKIT_CMAKE_ARGS adds options to the configuration, and
CMAKE_CXX_COMPILER_LAUNCHER (ccache) is honoured by CMake itself.
"""
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
# setuptools' own build/ would land in the project's CMake build directory.
BUILD_BASE = ROOT / "build-python"


def project_version():
    """The VERSION of the top-level project() in CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9][0-9.]*)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError("CMakeLists.txt: no project(... VERSION ...)")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = BUILD_BASE / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                        "-DTOOLKIT_BUILD_TESTS=OFF", "-DTOOLKIT_BUILD_BENCHMARKS=OFF",
                        "-DTOOLKIT_BUILD_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable]
                       + shlex.split(os.environ.get("TOOLKIT_CMAKE_ARGS", "")), check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_photocolour", "--parallel", jobs],
                       check=True)
        built = build_dir / "python" / "photocolour" / os.path.basename(self.get_ext_filename(ext.name))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        # The toolkit's codec module, which the library loads from beside the
        # native module when a file needs OpenCV's codecs.
        codecs = "libtoolkit-opencv-codecs.so"
        shutil.copyfile(built.parent / codecs, target.parent / codecs)


BUILD_BASE.mkdir(exist_ok=True)
setup(
    version=project_version(),
    ext_modules=[Extension("photocolour._photocolour", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(BUILD_BASE)}, "egg_info": {"egg_base": str(BUILD_BASE)}},
)
