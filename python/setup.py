# Packs the module that CMake built (kelvorin/_core*.so beside the package's
# Python files) into a wheel; nothing is compiled here. Run through the
# python_wheel target, which stages the files and sets KELVORIN_VERSION.
import os

from setuptools import Distribution, setup


class BinaryDistribution(Distribution):
    """A wheel for one interpreter and platform: it holds a compiled module."""

    def has_ext_modules(self):
        return True


setup(
    name="kelvorin",
    version=os.environ["KELVORIN_VERSION"],
    description="Interferometer data files as numpy arrays, and the RSS of their height maps",
    packages=["kelvorin"],
    package_data={"kelvorin": ["_core*.so", "_core*.pyd", "*.pyi", "py.typed"]},
    install_requires=["numpy"],
    python_requires=">=3.9",
    distclass=BinaryDistribution,
    zip_safe=False,
)
