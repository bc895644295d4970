# shellcheck shell=sh
# Sourced: install_missing PKG... installs with apt-get those of the Debian
# packages named that are not installed yet. apt_update refreshes apt's lists;
# install_missing does it first unless the script has done so already.
apt_updated=0
apt_update() {
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  apt_updated=1
}
install_missing() {
  apt_missing=""
  for apt_package in "$@"; do
    dpkg-query -W -f='${Status}' "$apt_package" 2>/dev/null | grep -q "install ok installed" ||
      apt_missing="$apt_missing $apt_package"
  done
  [ -n "$apt_missing" ] || return 0
  [ "$apt_updated" = 1 ] || apt_update
  echo "installing:$apt_missing" >&2
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $apt_missing >/dev/null
}
