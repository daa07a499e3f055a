#!/usr/bin/env bash
# Runs the commands of the README and of every page of docs/ as a new user
# would: on a fresh copy of the tree, with a scratch HOME (the install goes to
# $HOME/.local). The README runs first, since every page starts from its
# build; then each page of docs/, in name order, every ```sh block of a page in
# order and in one shell started at the top of the tree, as a reader who opens
# that page would run them.
#
# A block right after the line
#   <!-- docs-test: skip (why) -->
# is not run, and the reason is required; a code block right after
#   <!-- docs-test: file NAME -->
# is saved as NAME in the copy first, as the page tells the reader to save it.
# Any other marker is refused, so that a typo cannot skip or run a block
# unnoticed. Shows each block as it runs and stops at the first that fails.
#
#   tests/readme_commands.sh [WORK_DIR [PAGE...]]
# WORK_DIR (default: a new temporary directory) is emptied first, and kept
# after a failure for a look. PAGEs (paths from the top of the tree) run only
# those, after the README.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d "${TMPDIR:-/tmp}/grouptrace-readme.XXXXXX")}
shift || true
rm -rf "$work"
mkdir -p "$work/tree" "$work/home" "$work/scripts"

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

if [ $# -gt 0 ]; then
  pages=(README.md "$@")
else
  pages=(README.md)
  for page in "$work"/tree/docs/*.md; do pages+=("docs/${page##*/}"); done
fi

# Splits a page into the script to run and the files to save; a bad marker
# ends the split with status 3.
split_page() {
  awk -v files="$work/tree" -v page="$1" -f "$source_dir/tests/docs_blocks.awk" "$work/tree/$1"
}

cd "$work/tree"
total=0
for page in "${pages[@]}"; do
  script="$work/scripts/$(echo "$page" | tr / _).sh"
  split_page "$page" > "$script"
  blocks=$(grep -c '^echo "== .* block [0-9]*:"$' "$script" || true)
  if [ "$page" = README.md ] && [ "$blocks" -eq 0 ]; then
    echo "readme_commands: the README has no sh block to run" >&2
    exit 1
  fi
  total=$((total + blocks))
  # As typed into a shell: a pipeline's status is its last command's, so a
  # generator cut short by `grep -m` is no failure. Each page starts afresh
  # at the top of the tree, as a reader who opens it would.
  if ! (cd "$work/tree" && HOME="$work/home" bash -eu "$script") >> "$work/log" 2>&1; then
    tail -n 40 "$work/log" >&2
    echo "readme_commands: a command of $page failed; see $work/log" >&2
    exit 1
  fi
done

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

echo "readme_commands: $total blocks of ${#pages[@]} pages ran"
rm -rf "$work"
