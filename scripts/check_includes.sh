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

sources() { find "$@" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) | sort; }

mapfile -t platform_files < <(find platform -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
mapfile -t hostapi_files < <(sources hostapi)
mapfile -t runtime_files < <(sources runtime)
mapfile -t filter_files < <(sources filter)
mapfile -t ui_files < <(sources ui)  # the portable models only; ui/win32/ may use shell/

check "${platform_files[@]}" -- hostapi runtime filter ui shell
check "${hostapi_files[@]}" -- runtime filter ui shell
check "${runtime_files[@]}" -- filter ui shell
check "${filter_files[@]}" -- ui shell
check "${ui_files[@]}" -- shell

if [[ $status -ne 0 ]]; then
  echo "check_includes: includes that reach up a floor (see the list above)" >&2
fi
exit $status
