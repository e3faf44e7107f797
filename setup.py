"""pip install . : the package terralume, its compiled part built by CMake.

The project's CMake build makes the extension _terralume; set
TERRALUME_BUILD_DIR to a configured build folder to reuse it.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(os.environ.get("TERRALUME_BUILD_DIR") or Path(self.build_temp).resolve() / "cmake")
        if not (build / "CMakeCache.txt").exists():
            build.mkdir(parents=True, exist_ok=True)
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                            "-DTL_BUILD_TESTS=OFF", "-DTL_BUILD_BENCH=OFF", "-DTL_BUILD_PYTHON=ON",
                            f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "_terralume", "-j", jobs], check=True)
        built = next((build / "python" / "terralume").glob("_terralume*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("terralume._terralume", sources=[])], cmdclass={"build_ext": CMakeBuild})
