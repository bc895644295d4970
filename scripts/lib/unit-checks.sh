# shellcheck shell=sh
# Sourced: checks of an installed systemd unit that need no running systemd.

# unit_verify UNIT: systemd-analyze verify (manual pages included) says nothing.
unit_verify() {
  unit_out=$(systemd-analyze verify "$1" 2>&1) && [ -z "$unit_out" ] && return 0
  echo "$unit_out" >&2
  return 1
}

# unit_exposure UNIT MAX: prints the offline exposure level; fails above MAX.
unit_exposure() {
  unit_level=$(systemd-analyze security --offline=true "$1" 2>&1 |
    sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p')
  echo "exposure level of $1: ${unit_level:-none} (at most $2)"
  [ -n "$unit_level" ] && awk -v level="$unit_level" -v max="$2" 'BEGIN { exit !(level <= max) }'
}

# The system calls named, with filter groups (@name) expanded.
syscall_names() {
  for syscall_name in "$@"; do
    # shellcheck disable=SC2046
    case $syscall_name in
      @*) syscall_names $(systemd-analyze syscall-filter "$syscall_name" | sed '1d; s/#.*//') ;;
      *) echo "$syscall_name" ;;
    esac
  done
}

# unit_allows_trace UNIT_FILE TRACE: every system call and socket family in
# TRACE (strace -f output of the program) passes the unit's SystemCallFilter=
# and RestrictAddressFamilies=, no mapping is both writable and executable
# (MemoryDenyWriteExecute=), and nothing is opened for writing by an absolute
# path (ProtectSystem=strict leaves only the working folder writable).
unit_allows_trace() {
  unit_dir=$(mktemp -d)
  # shellcheck disable=SC2046
  syscall_names $(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$1") | sort -u >"$unit_dir/allowed"
  # shellcheck disable=SC2046
  syscall_names $(sed -n 's/^SystemCallFilter=~//p' "$1") | sort -u >"$unit_dir/denied"
  sed -n 's/^RestrictAddressFamilies=//p' "$1" | tr ' ' '\n' | sort -u >"$unit_dir/families"
  sed -E -n 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$2" | sort -u >"$unit_dir/used"
  grep -oE '^[0-9]+ +socket(pair)?\(AF_[A-Z0-9]+' "$2" | sed 's/.*(//' | sort -u >"$unit_dir/used-families"
  {
    [ -s "$unit_dir/used" ] && [ -s "$unit_dir/allowed" ] || echo "no system calls in $2 or no filter in $1"
    comm -23 "$unit_dir/used" "$unit_dir/allowed"
    comm -12 "$unit_dir/used" "$unit_dir/denied"
    comm -23 "$unit_dir/used-families" "$unit_dir/families"
    grep -E '^[0-9]+ +(mmap|mprotect|pkey_mprotect)\(' "$2" | grep 'PROT_WRITE' | grep 'PROT_EXEC' || true
    grep -E '^[0-9]+ +open(at)?\((AT_FDCWD, )?"/' "$2" | grep -E 'O_(WRONLY|RDWR|CREAT)' || true
  } >"$unit_dir/bad"
  echo "system calls: $(wc -l <"$unit_dir/used") used, $(comm -23 "$unit_dir/allowed" "$unit_dir/denied" | wc -l) allowed;" \
    "socket families: $(tr '\n' ' ' <"$unit_dir/used-families")"
  unit_bad=$(cat "$unit_dir/bad")
  rm -rf "$unit_dir"
  [ -z "$unit_bad" ] && return 0
  echo "not allowed by $1:" >&2
  echo "$unit_bad" >&2
  return 1
}
