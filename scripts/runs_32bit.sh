#!/usr/bin/env bash
# Whether this machine executes 32-bit x86 programs, found by starting the 32-bit wine
# loader. Some kernels are built without 32-bit execution; there every 32-bit program,
# wine32 included, fails with "Exec format error". Prints the answer in one line; exit
# status 0 when 32-bit programs run, 1 when they cannot.
set -uo pipefail
loader=${TESSELLON_WINE32_LOADER:-/usr/lib/wine/wine}
if [ ! -x "$loader" ]; then
  echo "no: the 32-bit wine loader $loader is not installed"
  exit 1
fi
if answer=$("$loader" --version 2>&1); then
  echo "yes: $loader --version says $answer"
  exit 0
fi
echo "no: $loader --version fails: $(tail -n 1 <<<"$answer")"
exit 1
