"""Builds the extension module through the project's CMake build, so that pip
and `make` compile the same sources with the same flags."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        tree = Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call(
            [
                "cmake", "-S", str(ROOT), "-B", str(tree), "-G", "Ninja",
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DCMAKE_BUILD_TYPE=Release",
                "-DQGX_BUILD_TESTS=OFF",
            ]
        )
        subprocess.check_call(["cmake", "--build", str(tree), "-j", str(os.cpu_count() or 1)])
        built = tree / target.name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    ext_modules=[CMakeExtension("quillgramx")],
    cmdclass={"build_ext": CMakeBuild},
    # Apart from the CMake trees under build*/.
    options={"build": {"build_base": "build-pip"}},
)
