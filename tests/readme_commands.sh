#!/usr/bin/env bash
# Runs the README's commands as a new user would: on a fresh copy of the tree,
# every ```sh block in order, in one shell, with a scratch HOME (the install
# goes to $HOME/.local). A block right after the line
#   <!-- readme-test: skip (why) -->
# is not run; a code block right after
#   <!-- readme-test: file NAME -->
# is saved as NAME in the copy first, as the README tells the reader to save
# it. Shows each block as it runs and stops at the first that fails.
#
#   tests/readme_commands.sh [WORK_DIR]
# WORK_DIR (default: a new temporary directory) is emptied first, and kept
# after a failure for a look.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d "${TMPDIR:-/tmp}/grouptrace-readme.XXXXXX")}
rm -rf "$work"
mkdir -p "$work/tree" "$work/home"

# The tree as a checkout has it: tracked files and new ones not yet committed,
# but no build directories.
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      if [ -e "$file" ]; then cp --parents -- "$file" "$work/tree"; fi
    done)
else
  (cd "$source_dir" && tar --exclude='./build*' -cf - .) | (cd "$work/tree" && tar -xf -)
fi

# Splits the README into the script to run and the files to save.
awk -v files="$work/tree" '
  /^<!-- readme-test: skip/ { skip = 1; next }
  /^<!-- readme-test: file / { save = $4; next }
  !inside && /^```/ {
    inside = 1
    if (save != "") { target = files "/" save; mode = "file"; printf "" > target }
    else if ($0 == "```sh" && !skip) { mode = "run"; blocks++; text = "" }
    else mode = "none"
    skip = 0; save = ""; next
  }
  inside && /^```/ {
    inside = 0
    if (mode == "file") close(target)
    if (mode == "run") {
      printf "echo \"== README block %d:\"\ncat <<\047README_BLOCK\047\n%sREADME_BLOCK\n%s", blocks, text, text
    }
    next
  }
  inside && mode == "file" { print > target; next }
  inside && mode == "run" { text = text $0 "\n"; next }
  /^./ { skip = 0; save = "" }
' "$source_dir/README.md" > "$work/readme.sh"

blocks=$(grep -c '^echo "== README block' "$work/readme.sh" || true)
if [ "$blocks" -eq 0 ]; then
  echo "readme_commands: the README has no sh block to run" >&2
  exit 1
fi

cd "$work/tree"
# As typed into a shell: a pipeline's status is its last command's, so a
# generator cut short by `grep -m` is no failure.
if ! HOME="$work/home" bash -eu "$work/readme.sh" > "$work/log" 2>&1; then
  tail -n 40 "$work/log" >&2
  echo "readme_commands: a README command failed; see $work/log" >&2
  exit 1
fi

# The reader example ends every failure with a message naming the file and
# status 1, never an abort: a missing file, and a trace cut short.
if [ -x reader_example ]; then
  head -n 20 run.trace > cut.trace
  for input in no-such.trace cut.trace; do
    status=0
    ./reader_example "$input" 2> message || status=$?
    if [ "$status" -ne 1 ] || ! grep -q "$input" message; then
      echo "readme_commands: reader_example $input: status $status: $(cat message)" >&2
      exit 1
    fi
  done
fi

echo "readme_commands: $blocks blocks ran"
rm -rf "$work"
