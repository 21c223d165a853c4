"""Where the toolkit finds the files it ships beside the package.

The Snakemake workflow of the sweeps (Snakefile, scripts/, profiles/) is

* ``questrand/_workflow`` inside the package when the package was installed
  by pip (``pip install .`` copies workflow/ there);
* else ``workflow`` two levels above the package: the repository's
  workflow/ for python/questrand (a clone, or an editable install), and
  ``share/questrand/workflow`` for ``cmake --install``
  (``share/questrand/python/questrand``).

A process of another Python that imports the package (snakemake started
from PATH, which is Debian's /usr/bin/python3 whatever Python runs the
toolkit, and the jobs it starts) is given :func:`package_env`.
"""

from __future__ import annotations

import os
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


def package_env(env=None) -> dict:
    """``env`` (default: this process's environment) with the directory that
    holds the questrand package first on PYTHONPATH, so that any Python
    started with it imports this same package."""
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_DIR.parent)]
                                        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env
