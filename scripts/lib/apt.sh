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
  # Waits for another apt or dpkg run (an automatic upgrade, say) to finish.
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 \
    $apt_missing >/dev/null
}

# apt_machine_entries prints the machine's own Debian "deb" entries in the
# one-line form, read from /etc/apt/sources.list.d/debian.sources (deb822, as
# Debian 12 writes it) and /etc/apt/sources.list (one-line form), so that
# added suites come from the mirror the machine already uses.
apt_machine_entries() {
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk 'BEGIN { RS = ""; FS = "\n" }
      {
        delete f
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^[#[:space:]]/ || index($i, ":") == 0) continue
          key = tolower(substr($i, 1, index($i, ":") - 1))
          f[key] = substr($i, index($i, ":") + 1)
          gsub(/^[[:space:]]+|[[:space:]]+$/, "", f[key])
        }
        if (f["types"] !~ /(^| )deb( |$)/ || tolower(f["enabled"]) == "no") next
        opts = f["signed-by"] ~ /^\// ? "[signed-by=" f["signed-by"] "] " : ""
        nu = split(f["uris"], uris, " ")
        ns = split(f["suites"], suites, " ")
        for (u = 1; u <= nu; u++)
          for (s = 1; s <= ns; s++) print "deb " opts uris[u] " " suites[s] " " f["components"]
      }' /etc/apt/sources.list.d/debian.sources
  fi
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb[[:space:]]' /etc/apt/sources.list || true
  fi
}

# apt_add_entries NAME ENTRIES writes the one-line entries given to
# /etc/apt/sources.list.d/NAME.list (apt_update then reads them); it fails
# when there are none.
apt_add_entries() {
  [ -n "$2" ] || return 1
  printf '%s\n' "$2" > "/etc/apt/sources.list.d/$1.list"
  echo "added apt entries: /etc/apt/sources.list.d/$1.list" >&2
}
