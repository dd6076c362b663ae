# SPDX-License-Identifier: MIT
# Sourced by the CI scripts: install_missing PACKAGE... installs with apt-get
# the Debian packages that this machine does not have yet.
install_missing() {
  local package missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}
