"""The package's build backend: setuptools', with the build tools it needs
asked for only when the machine lacks them.

The compiled module is built by CMake (3.25 or later) with pybind11. Where
both are installed (Debian 12: cmake, pybind11-dev), nothing more is
required, so `pip install --no-build-isolation .` and `python -m build
--no-isolation` work offline; elsewhere pip fetches the `cmake`, `ninja` and
`pybind11` distributions into its isolated build environment.
"""

import re
import shutil
import subprocess

from setuptools import build_meta as _setuptools
from setuptools.build_meta import *  # noqa: F401,F403 (the other hooks, unchanged)


def _cmake_is_recent():
    cmake = shutil.which("cmake")
    if cmake is None:
        return False
    try:
        out = subprocess.run([cmake, "--version"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return False
    found = re.search(r"(\d+)\.(\d+)", out)
    return found is not None and (int(found.group(1)), int(found.group(2))) >= (3, 25)


def _pybind11_is_installed():
    try:
        import pybind11  # noqa: F401
        return True
    except ImportError:
        pass
    # The CMake package of a system installation (Debian's pybind11-dev).
    from pathlib import Path

    roots = [Path("/usr/lib/cmake"), Path("/usr/local/lib/cmake"), Path("/usr/share/cmake"), Path("/usr/local/share/cmake")]
    return any((root / "pybind11" / "pybind11Config.cmake").is_file() for root in roots)


def _tools():
    wanted = []
    if not _cmake_is_recent():
        wanted.append("cmake>=3.25")
    if shutil.which("ninja") is None and shutil.which("make") is None:
        wanted.append("ninja")
    if not _pybind11_is_installed():
        wanted.append("pybind11>=2.6")
    return wanted


def get_requires_for_build_wheel(config_settings=None):
    return _setuptools.get_requires_for_build_wheel(config_settings) + _tools()


def get_requires_for_build_editable(config_settings=None):
    return _setuptools.get_requires_for_build_editable(config_settings) + _tools()
