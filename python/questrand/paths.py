"""Where the toolkit finds the files it ships beside the package.

The Snakemake workflow of the sweeps (Snakefile, scripts/, profiles/) is

* ``questrand/_workflow`` inside the package when the package was installed
  by pip (``pip install .`` copies workflow/ there);
* else ``workflow`` two levels above the package: the repository's
  workflow/ for python/questrand (a clone, or an editable install), and
  ``share/questrand/workflow`` for ``cmake --install``
  (``share/questrand/python/questrand``).
"""

from __future__ import annotations

from pathlib import Path

#: The directory of the questrand package.
PACKAGE_DIR = Path(__file__).resolve().parent
#: The workflow's directory inside an installed package.
PACKAGED_WORKFLOW = "_workflow"


def workflow_dir(package_dir=PACKAGE_DIR) -> Path:
    """The workflow's directory: the packaged copy if there is one (it holds
    a Snakefile), else ``<package>/../../workflow`` (which may not exist:
    the caller names it when it needs a file there)."""
    packaged = Path(package_dir) / PACKAGED_WORKFLOW
    if (packaged / "Snakefile").is_file():
        return packaged
    return Path(package_dir).parent.parent / "workflow"
