# Shared by the build scripts: makes sure the machine has what the build
# needs.  A missing tool or file is installed from Debian's packages when the
# script runs as root with apt-get; otherwise it is named with its package.
install_package() {  # install_package PACKAGE
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "questrand: installing the Debian package $1" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$1" >/dev/null 2>&1 && return 0
  fi
  return 1
}
need() {  # need COMMAND PACKAGE
  command -v "$1" >/dev/null 2>&1 && return 0
  install_package "$2" && command -v "$1" >/dev/null 2>&1 && return 0
  echo "questrand: '$1' not found: install the Debian package $2 (apt-get install $2)" >&2
  exit 1
}
need_file() {  # need_file PATH PACKAGE
  [ -e "$1" ] && return 0
  install_package "$2" && [ -e "$1" ] && return 0
  echo "questrand: $1 not found: install the Debian package $2 (apt-get install $2)" >&2
  exit 1
}
# need_python_modules MODULE:PACKAGE ...: Debian's python3 must import every
# MODULE; a missing one is installed (as root) or named with its PACKAGE.
# The tools use /usr/bin/python3: the python3 first on PATH may be another
# interpreter without Debian's packages.
debian_python=/usr/bin/python3
need_python_modules() {
  local item module package missing=()
  [ -x "$debian_python" ] || install_package python3 || true
  for item in "$@"; do
    module=${item%%:*}
    package=${item#*:}
    if ! "$debian_python" -c "import $module" >/dev/null 2>&1; then
      install_package "$package" && "$debian_python" -c "import $module" >/dev/null 2>&1 && continue
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "questrand: $debian_python lacks Python modules: install the Debian packages ${missing[*]} (apt-get install ${missing[*]})" >&2
    exit 1
  fi
}
# The headers the Python solver module (questrand._solver) is built with:
# pybind11's (pybind11-dev, with its CMake files also in python3-pybind11)
# and those of Debian's python3 (python3-dev).
pybind11_header=/usr/include/pybind11/pybind11.h
python_header() { "$debian_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"] + "/Python.h")'; }
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"
