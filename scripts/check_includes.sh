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
mapfile -t ui_win32_files < <(sources ui/win32)
mapfile -t shell_files_but_load < <(sources shell -not -name 'module_win32.cpp')

check "${platform_files[@]}" -- hostapi runtime filter ui shell
check "${hostapi_files[@]}" -- runtime filter ui shell
check "${runtime_files[@]}" -- filter ui shell
check "${filter_files[@]}" -- ui shell
check "${ui_files[@]}" -- shell

# The seam between the module's face and the Windows dialog is one named interface in
# one file, ui/dialog_run.h: the face hands the dialog a DialogRun, through which the
# dialog's live preview and About box call back into the run, so ui/win32/ includes
# nothing of shell/. The other way, only the Windows load step (shell/module_win32.cpp)
# reaches ui/win32/, for the preview window class it registers.
check "${ui_win32_files[@]}" -- shell
check "${shell_files_but_load[@]}" -- ui/win32

if [[ $status -ne 0 ]]; then
  echo "check_includes: includes that reach up a floor (see the list above)" >&2
fi
exit $status
