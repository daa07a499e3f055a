# Splits a Markdown page into a shell script that shows and runs each of its
# ```sh blocks in order, and saves the code block after a
#   <!-- docs-test: file NAME -->
# line as NAME under `files`. The ```sh block after
#   <!-- docs-test: skip (why) -->
# is left out; any other marker, a skip without its reason included, is
# refused with status 3, naming the page and line.
#
#   awk -v files=DIR -v page=NAME -f tests/docs_blocks.awk PAGE > SCRIPT
function refuse(why) {
  printf "%s:%d: %s: %s\n", page, NR, why, $0 > "/dev/stderr"
  exit 3
}
/^<!-- (readme|docs)-test:/ {
  if ($0 ~ /^<!-- (readme|docs)-test: skip \([^)]+\) -->$/) { skip = 1; next }
  if ($0 ~ /^<!-- (readme|docs)-test: file [^ ]+ -->$/) { save = $4; next }
  refuse("a marker is \"skip (why)\" or \"file NAME\"")
}
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
    printf "echo \"== %s block %d:\"\ncat <<\047DOCS_BLOCK\047\n%sDOCS_BLOCK\n%s", page, blocks, text, text
  }
  next
}
inside && mode == "file" { print > target; next }
inside && mode == "run" { text = text $0 "\n"; next }
/^./ { skip = 0; save = "" }
