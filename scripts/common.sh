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
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"
