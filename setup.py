"""The packages of the questrand toolkit, for setuptools (the rest of the
package's description is in pyproject.toml).

Every package under python/ (questrand and its subpackages, found, not
listed), and the Snakemake workflow of the sweeps, workflow/, as the data
package questrand._workflow: pyproject.toml can either find packages or
list them, not both, and the workflow lives outside python/.
"""

from setuptools import find_packages, setup

BUILD_DIR = "build-setuptools"

setup(packages=find_packages("python", include=["questrand", "questrand.*"]) + ["questrand._workflow"],
      package_dir={"": "python", "questrand._workflow": "workflow"},
      # setuptools' own build files, away from the sources and from build/,
      # the usual directory of the CMake build.
      options={"build": {"build_base": BUILD_DIR}, "egg_info": {"egg_base": BUILD_DIR}})
