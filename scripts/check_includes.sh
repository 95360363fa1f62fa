#!/usr/bin/env bash
# Checks that the module's floors include only downwards. From the bottom: platform/,
# hostapi/ (host interface, host state and service wrappers), runtime/ (formula runtime
# and the definition block's format), filter/ (the embedded filter), the portable ui/
# models, and at the top shell/ (the module's face) and ui/win32/ (window messages).
# Prints every include that reaches upwards, as file:line, the include and the rule it
# breaks, and exits with status 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0

# check FILES... -- FORBIDDEN_DIR... : every #include of FILES that names a path under
# one of the forbidden folders is reported.
check() {
  local files=() forbidden=()
  while [[ $# -gt 0 && $1 != -- ]]; do files+=("$1"); shift; done
  shift
  forbidden=("$@")
  [[ ${#files[@]} -eq 0 ]] && return 0
  local pattern
  pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($(IFS='|'; echo "${forbidden[*]}"))/"
  local hits
  hits=$(grep -HnE "$pattern" "${files[@]}" 2>/dev/null || true)
  [[ -z $hits ]] && return 0
  local floor="${files[0]%%/*}/"
  while IFS= read -r hit; do
    local where="${hit%%:#*}" line="${hit#*:*:}"
    line="${line#"${line%%[![:space:]]*}"}"
    local target="${line#*[\"<]}"
    echo "check_includes: $where: $line -- $floor must not include from ${target%%/*}/" >&2
  done <<<"$hits"
  status=1
}

# Every file of a floor, at any depth; `-not -path` leaves a subfolder out.
sources() { find "$@" -type f \( -name '*.h' -o -name '*.cpp' \) | sort; }

mapfile -t platform_files < <(sources platform)
mapfile -t hostapi_files < <(sources hostapi)
mapfile -t runtime_files < <(sources runtime)
mapfile -t filter_files < <(sources filter)
mapfile -t ui_files < <(sources ui -not -path 'ui/win32/*')  # the portable models
mapfile -t portable_shell_files < <(sources shell -not -name '*_win32.cpp')

check "${platform_files[@]}" -- hostapi runtime filter ui shell
check "${hostapi_files[@]}" -- runtime filter ui shell
check "${runtime_files[@]}" -- filter ui shell
check "${filter_files[@]}" -- ui shell
check "${ui_files[@]}" -- shell
check "${portable_shell_files[@]}" -- ui/win32

# The seam between the module's face and the Windows dialog: a modal dialog with a live
# preview calls back into the run, so ui/win32/ reaches shell/, but only through these
# headers; and only the Windows load step reaches ui/win32/ from shell/.
seam_headers='shell/(host|render_preview|run_filter)\.h'
while IFS= read -r hit; do
  [[ -z $hit ]] && continue
  if ! grep -Eq "\"$seam_headers\"" <<<"$hit"; then
    echo "check_includes: $hit -- ui/win32/ reaches shell/ only through host.h, render_preview.h and run_filter.h" >&2
    status=1
  fi
done < <(grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"shell/' $(sources ui/win32) 2>/dev/null || true)

if [[ $status -ne 0 ]]; then
  echo "check_includes: includes that reach up a floor (see the list above)" >&2
fi
exit $status
