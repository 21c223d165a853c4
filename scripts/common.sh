# Shared by the build scripts: checks the machine has what the build needs.
# Each missing tool is named with the Debian package that provides it.
need() {  # need COMMAND PACKAGE
  if ! command -v "$1" >/dev/null 2>&1; then
    echo "questrand: '$1' not found: install the Debian package $2 (apt-get install $2)" >&2
    exit 1
  fi
}
need_file() {  # need_file PATH PACKAGE
  if [ ! -e "$1" ]; then
    echo "questrand: $1 not found: install the Debian package $2 (apt-get install $2)" >&2
    exit 1
  fi
}
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"
