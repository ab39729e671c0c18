"""Builds the extension collinear._collinear with the project's CMake build.

The library is linked statically (position-independent) into the extension,
so the installed package needs no libcollinear beside it. Run through pip:
python3 -m pip install --no-build-isolation . (see pyproject.toml).
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
# setuptools' work folders, apart from the CMake trees build*/ of make.
(ROOT / "build-python").mkdir(exist_ok=True)


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(collinear VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Configures the project with only the Python package on, builds the
    extension target into the folder setuptools packs."""

    def build_extension(self, ext: Extension) -> None:
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        tree = Path(self.build_temp).resolve() / "cmake"
        args = [
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_TESTING=OFF",
            "-DCOLLINEAR_BUILD_PYTHON=ON",
            "-DCOLLINEAR_BUILD_SHARED=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
            f"-DCOLLINEAR_PYTHON_OUTPUT_DIR={target.parent}",
        ]
        if shutil.which("ccache"):
            args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tree), *args], check=True)
        subprocess.run(
            ["cmake", "--build", str(tree), "-j", jobs, "--target", "_collinear"],
            check=True,
        )
        if not target.exists():
            sys.exit(f"setup.py: the CMake build made no {target.name}")


setup(
    version=project_version(),
    package_dir={"": "python"},
    packages=["collinear"],
    package_data={"collinear": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("collinear._collinear", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "build": {"build_base": "build-python"},
        "egg_info": {"egg_base": "build-python"},
    },
    zip_safe=False,
)
