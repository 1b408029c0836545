"""Builds the compiled module with the project's own CMake build.

build_ext configures a release build of the `clscrypt_python` target for the
interpreter running this script, in a folder under build/ of its own (one per
interpreter, kept between builds so a rebuild is quick), and copies the
module into the package. The version is the one in CMakeLists.txt's
project() line, the project's single version.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\s*\(\s*clscrypt\b[^)]*?\bVERSION\s+([0-9][0-9.]*)", text, re.S)
    if not found:
        raise RuntimeError("CMakeLists.txt: no VERSION in the project() line")
    return found.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        tag = "{}-{}".format(sys.implementation.cache_tag, sysconfig.get_platform()).replace("/", "-")
        build_dir = ROOT / "build" / ("python-" + tag)
        package_dir = build_dir / "python" / "clscrypt"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCLSCRYPT_BUILD_PYTHON=ON",
            "-DPython_EXECUTABLE=" + sys.executable,
            "-DCLSCRYPT_BUILD_TESTS=OFF", "-DCLSCRYPT_BUILD_TOOLS=OFF", "-DCLSCRYPT_BUILD_EXAMPLES=OFF",
            "-DCLSCRYPT_BUILD_BENCH=OFF", "-DCLSCRYPT_BUILD_FUZZ=OFF", "-DCLSCRYPT_INSTALL=OFF",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        try:
            import pybind11  # a pybind11 fetched by pip; else the system's CMake package
            configure.append("-Dpybind11_DIR=" + pybind11.get_cmake_dir())
        except ImportError:
            pass
        subprocess.run(configure, check=True)
        build = ["cmake", "--build", str(build_dir), "--target", "clscrypt_python"]
        if self.parallel:
            build += ["--parallel", str(self.parallel)]
        subprocess.run(build, check=True)
        built = package_dir / ("_clscrypt" + sysconfig.get_config_var("EXT_SUFFIX"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


class EggInfoInBuild(egg_info):
    # The metadata setuptools writes while building goes under build/, not
    # beside the sources in python/.
    def initialize_options(self):
        super().initialize_options()
        (ROOT / "build").mkdir(exist_ok=True)
        self.egg_base = os.path.relpath(ROOT / "build", os.getcwd())


setup(
    version=project_version(),
    ext_modules=[Extension("clscrypt._clscrypt", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "egg_info": EggInfoInBuild},
    zip_safe=False,
)
