#!/bin/sh
# Fails when a source file includes from a layer above its own. Layers are
# the folders of src/, top first: a folder may include itself and any folder
# below it; a folder missing from the list is an error too.
#
#   scripts/check-layers.sh [SRC_DIR]        (default: src)
LAYERS="app host clients link config packet output platform"
set -eu
dir=${1:-src}
dir=${dir%/}
[ -d "$dir" ] || { echo "check-layers: no folder $dir" >&2; exit 2; }

find "$dir" -type f \( -name '*.h' -o -name '*.cpp' \) | LC_ALL=C sort |
awk -v layers="$LAYERS" -v root="$dir" '
# Drops "." and folds ".." so that a relative include names its real folder.
function normalize(path,   n, parts, kept, k, i, out) {
  n = split(path, parts, "/")
  k = 0
  for (i = 1; i <= n; i++) {
    if (parts[i] == "" || parts[i] == ".") continue
    if (parts[i] != "..") kept[++k] = parts[i]
    else if (k > 0) k--
    else return ".."
  }
  out = ""
  for (i = 1; i <= k; i++) out = out (i > 1 ? "/" : "") kept[i]
  return out
}
function exists(path,   line, status) {
  status = (getline line < path)
  close(path)
  return status >= 0
}
function folder(rel) { return rel ~ /\// ? substr(rel, 1, index(rel, "/") - 1) : "" }
function report(where, what) { print where ": " what; bad++ }
BEGIN { n = split(layers, names, " "); for (i = 1; i <= n; i++) rank[names[i]] = i }
{
  file = $0
  rel = substr(file, length(root) + 2)
  from = folder(rel)
  if (!(from in rank)) report(file, "folder \"" from "\" is not in the layer list (" layers ")")
  here = rel; sub(/[^\/]*$/, "", here)
  line = 0
  while ((getline text < file) > 0) {
    line++
    if (text !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
    inc = text
    sub(/^[^"]*"/, "", inc)
    sub(/".*/, "", inc)
    # Where the compiler looks: beside the file first, then from the top of src.
    target = normalize(here inc)
    if (!exists(root "/" target)) target = normalize(inc)
    to = folder(target)
    if (!(to in rank))
      report(file ":" line, "#include \"" inc "\": folder \"" to "\" is not in the layer list (" layers ")")
    else if ((from in rank) && rank[to] < rank[from])
      report(file ":" line, "#include \"" inc "\" runs upward: " from " may not include " to)
  }
  close(file)
  files++
}
END {
  if (!files) { print "check-layers: no .h or .cpp file under " root; exit 2 }
  if (bad) { print "check-layers: " bad " problem(s) in " files " files; order, top first: " layers; exit 1 }
  print "check-layers: " files " files follow the order " layers
}'
