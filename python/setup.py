"""Builds the dravik module from a checkout of the project: the library
(lib/, compiled as its own static library, as CMake builds it) and the
binding (src/), which sees only the public headers (include/dravik/).
pybind11's headers come from the system (Debian's pybind11-dev) or, when
installed, from its Python package."""

import os
import re
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_clib import build_clib

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CXXFLAGS = ["-std=c++17", "-O2", "-fvisibility=hidden"]


def version():
    text = (ROOT / "include" / "dravik" / "common.h").read_text()
    return re.search(r'#define DRAVIK_VERSION_STRING "([^"]+)"', text).group(1)


def pybind11_include():
    try:
        import pybind11
        return [pybind11.get_include()]
    except ImportError:
        return []  # /usr/include/pybind11, found without being named


def parallel_compile(compiler):
    """Compiles a target's sources on every CPU instead of one at a time."""
    serial = compiler.compile

    def compile(sources, *args, **kwargs):
        with ThreadPoolExecutor(os.cpu_count() or 1) as pool:
            parts = pool.map(lambda s: serial([s], *args, **kwargs), sources)
        return [obj for objs in parts for obj in objs]

    compiler.compile = compile


class BuildLibrary(build_clib):
    def build_libraries(self, libraries):
        parallel_compile(self.compiler)
        super().build_libraries(libraries)


library_sources = sorted(str(p) for p in (ROOT / "lib").rglob("*.cpp")
                         if not p.name.endswith("_win.cpp"))
dravik_lib = ("dravik", {
    "sources": library_sources,
    "include_dirs": [str(ROOT / "include"), str(ROOT)],
    "cflags": CXXFLAGS + ["-fPIC"],
})

module = Extension(
    "dravik._dravik",
    sources=sorted(str(p) for p in (HERE / "src").glob("*.cpp") if not p.name.endswith("_win.cpp")),
    include_dirs=[str(ROOT / "include")] + pybind11_include(),
    extra_compile_args=CXXFLAGS,
    language="c++",
)

setup(
    name="dravik",
    version=version(),
    description="Wii U8 archives (.arc, .szs, banners): read, unpack safely, pack exactly, Yaz0 and LZ77",
    long_description=(HERE / "README.md").read_text() if (HERE / "README.md").exists() else "",
    long_description_content_type="text/markdown",
    python_requires=">=3.8",
    packages=["dravik"],
    package_data={"dravik": ["py.typed", "*.pyi"]},
    libraries=[dravik_lib],
    ext_modules=[module],
    cmdclass={"build_clib": BuildLibrary},
    zip_safe=False,
)
