#!/bin/sh
# size-report.sh [LABEL=BUILD_DIR ...]: table rows of the stripped size of libzavdmreg.so.1 in each
# build, then the largest sections and symbols of the first one. ARM builds are stripped with the
# cross tools.
set -u
first=""
for pair in "$@"; do
  label=${pair%%=*}; dir=${pair#*=}
  tools=""; case "$dir" in *arm*|*size-*) tools=arm-linux-gnueabi- ;; esac
  [ -n "$first" ] || first="$tools $dir"
  ${tools}strip -o "$dir/libzavdmreg.stripped" "$dir/lib/libzavdmreg.so.1" || exit 1
  goal=""; case "$label" in *Thumb*) goal="<= 32768 B" ;; esac
  printf '| stripped libzavdmreg.so.1, %s | %d B | %s |\n' "$label" "$(stat -c %s "$dir/libzavdmreg.stripped")" "$goal"
done
set -- $first
tools=${1%% *}; dir=${2:-$1}; [ -n "${2:-}" ] || tools=""
printf '| largest sections of the first | %s | |\n' "$(${tools}size -A "$dir/libzavdmreg.stripped" |
  awk 'NR>2 && $2>0 && $1!="Total" {print $2, $1}' | sort -rn | head -n 5 | awk '{printf "%s%s %s", (NR>1?", ":""), $2, $1}')"
symbols=$(${tools}nm -S --size-sort "$dir/lib/libzavdmreg.so.1" | tail -n 5 | tac | ${tools}c++filt -p |
  while read -r address size kind name; do printf '%s %d, ' "$name" "$((0x$size))"; done)
printf '| largest symbols of the first | %s | |\n' "${symbols%, }"
