#!/usr/bin/env bash
# The docs' blocks run, are skipped or are saved exactly as their markers say,
# and a marker the splitter does not know stops CI instead of passing unseen.
set -euo pipefail

splitter="$(cd "$(dirname "$0")" && pwd)/docs_blocks.awk"
work=$(mktemp -d "${TMPDIR:-/tmp}/docs-blocks.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# case NAME EXPECTED_STATUS EXPECTED_OUTPUT PAGE_TEXT: splits the page, runs
# the script it gives and compares the status of the split and what the
# script (or, on a refusal, the splitter) writes.
case_() {
  local name=$1 want_status=$2 want_output=$3 text=$4
  rm -rf "$work/files" && mkdir -p "$work/files"
  printf '%s\n' "$text" > "$work/page.md"
  local status=0 output
  awk -v files="$work/files" -v page=page.md -f "$splitter" "$work/page.md" \
    > "$work/script.sh" 2> "$work/err" || status=$?
  if [ "$status" -eq 0 ]; then
    output=$(cd "$work/files" && bash -eu "$work/script.sh" 2>&1 | { grep -v '^== page.md block [0-9]*:$' || true; })
  else
    output=$(cat "$work/err")
  fi
  if [ "$status" -ne "$want_status" ] || [ "$output" != "$want_output" ]; then
    echo "FAIL $name: status $status (want $want_status), output:" >&2
    printf '%s\n---- want:\n%s\n' "$output" "$want_output" >&2
    failures=$((failures + 1))
  fi
}

fence='```'

case_ "an sh block is shown, then run" 0 $'echo ran\nran' \
"Text.

${fence}sh
echo ran
${fence}"

case_ "blocks run in order, in one shell" 0 $'x=1\necho "$x$x"\n11' \
"${fence}sh
x=1
${fence}

${fence}sh
echo \"\$x\$x\"
${fence}"

case_ "a skipped block, and only it, is left out" 0 $'echo kept\nkept' \
"<!-- docs-test: skip (a cluster job) -->
${fence}sh
echo skipped
${fence}

${fence}sh
echo kept
${fence}"

case_ "prose between a skip and a block ends the skip" 0 $'echo kept\nkept' \
"<!-- docs-test: skip (a cluster job) -->
Then some prose.

${fence}sh
echo kept
${fence}"

case_ "other languages are not run" 0 "" \
"${fence}python
print('no')
${fence}
${fence}text
no
${fence}"

case_ "a saved file holds the block exactly, and the next block sees it" 0 \
  $'cat saved.py\nprint("a")\n  indented' \
"<!-- docs-test: file saved.py -->
${fence}python
print(\"a\")
  indented
${fence}

${fence}sh
cat saved.py
${fence}"

case_ "a skip without its reason is refused" 3 \
  'page.md:1: a marker is "skip (why)" or "file NAME": <!-- docs-test: skip -->' \
"<!-- docs-test: skip -->
${fence}sh
echo never
${fence}"

case_ "an empty reason is refused" 3 \
  'page.md:1: a marker is "skip (why)" or "file NAME": <!-- docs-test: skip () -->' \
"<!-- docs-test: skip () -->
${fence}sh
echo never
${fence}"

case_ "a mistyped marker is refused" 3 \
  'page.md:3: a marker is "skip (why)" or "file NAME": <!-- docs-test: skp (typo) -->' \
"Text.

<!-- docs-test: skp (typo) -->
${fence}sh
echo never
${fence}"

case_ "a file marker without its name is refused" 3 \
  'page.md:1: a marker is "skip (why)" or "file NAME": <!-- docs-test: file -->' \
"<!-- docs-test: file -->
${fence}sh
echo never
${fence}"

if [ "$failures" -gt 0 ]; then
  echo "docs_blocks_test: $failures failed" >&2
  exit 1
fi
echo "docs_blocks_test: every case passed"
