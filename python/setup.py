# Builds the module from the project's own C++ sources, which the folders
# jpeg, lib and include here link to, with the limited API of Python 3.8:
# pip install --no-build-isolation ./python, or python3 -m build --no-isolation.
from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension(
            "dhtfix._dhtfix",
            sources=["_dhtfix.cpp", "lib/dhtfix.cpp", "jpeg/dht_repair.cpp", "jpeg/scan_fit.cpp"],
            include_dirs=["include", "jpeg"],
            # No C++ runtime is needed: nothing throws, asks for a type or
            # guards a local static.
            extra_compile_args=["-std=c++17", "-fno-exceptions", "-fno-rtti", "-fno-threadsafe-statics",
                                "-fvisibility=hidden"],
            define_macros=[("Py_LIMITED_API", "0x03080000")],
            py_limited_api=True,
        )
    ],
)
