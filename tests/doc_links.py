#!/usr/bin/env python3
"""Every relative link of the Markdown pages resolves, anchors included.

    tests/doc_links.py [ROOT]

checks every *.md file under ROOT (default: the top of the tree), build and
hidden folders left out. A link to a page's heading must name the anchor
GitHub gives that heading; a link to any other file must name a file or
folder that exists. Links with a scheme (https:, mailto:) are not followed.
Every page of docs/ must be reachable from README.md by links, or no reader
finds it. Prints one line per problem, FILE:LINE: what is wrong, and exits 1
if there is any.
"""

import os
import re
import sys
import unicodedata
import urllib.parse

FENCE = re.compile(r"^ {0,3}(```+|~~~+)")
HEADING = re.compile(r"^ {0,3}(#{1,6})[ \t]+(.*?)[ \t]*#*[ \t]*$")
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)=\"([^\"]+)\"", re.IGNORECASE)
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
INLINE_LINK = re.compile(r"!?\[((?:[^\[\]]|\[[^\[\]]*\])*)\]\(\s*<?([^()\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def slug(heading):
    """The anchor GitHub gives a heading's text (before any -N of a repeat)."""
    text = CODE_SPAN.sub(lambda m: m.group(2), heading)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)  # a link shows its text
    text = re.sub(r"<[^>]+>", "", text)  # and inline HTML nothing
    text = text.lower()
    # Letters, digits, marks, '_', '-' and blanks stay; every other
    # character goes, and each blank becomes a hyphen.
    kept = "".join(c for c in text if c.isalnum() or c in "_- " or _is_mark(c))
    return kept.replace(" ", "-")


def _is_mark(c):
    return unicodedata.category(c).startswith("M")


def prose_lines(text):
    """(line number, line) of the lines outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.split("\n"), 1):
        opened = FENCE.match(line)
        if fence is None:
            if opened:
                fence = opened.group(1)
                continue
            yield number, line
        elif opened and opened.group(1)[0] == fence[0] and len(opened.group(1)) >= len(fence):
            if line.strip() == opened.group(1):
                fence = None


def anchors(text):
    """Every anchor a page offers: its headings', repeats numbered, and HTML ones."""
    found = set()
    seen = {}
    for _, line in prose_lines(text):
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        found.update(m.group(1) for m in HTML_ANCHOR.finditer(line))
    return found


def links(text):
    """(line number, target) of every link outside code."""
    for number, line in prose_lines(text):
        prose = CODE_SPAN.sub("", line)
        definition = REFERENCE_DEFINITION.match(prose)
        if definition:
            yield number, definition.group(1)
            continue
        for match in INLINE_LINK.finditer(prose):
            yield number, match.group(2)


def broken_links(root):
    """FILE:LINE: what is wrong, for every broken link of the pages under root."""
    pages = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = sorted(
            d for d in subfolders if not d.startswith(".") and not d.startswith("build")
        )
        pages += [os.path.join(folder, f) for f in sorted(files) if f.endswith(".md")]
    cache = {}

    def anchors_of(path):
        if path not in cache:
            with open(path, encoding="utf-8") as page:
                cache[path] = anchors(page.read())
        return cache[path]

    problems = []
    linked = {}  # page -> the pages it links to
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        shown = os.path.relpath(page, root)
        for number, target in links(text):
            if not target or SCHEME.match(target) or target.startswith("//"):
                if not target:
                    problems.append(f"{shown}:{number}: a link without a target")
                continue
            path, _, fragment = target.partition("#")
            path = urllib.parse.unquote(path)
            fragment = urllib.parse.unquote(fragment)
            resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            linked.setdefault(page, set()).add(resolved)
            if not os.path.exists(resolved):
                problems.append(f"{shown}:{number}: {target}: no such file")
            elif fragment:
                if not resolved.endswith(".md") or os.path.isdir(resolved):
                    problems.append(f"{shown}:{number}: {target}: an anchor in a file that has none")
                elif fragment not in anchors_of(resolved):
                    problems.append(f"{shown}:{number}: {target}: no such heading")

    reached = set()
    waiting = [os.path.join(root, "README.md")]
    while waiting:
        page = waiting.pop()
        if page not in reached:
            reached.add(page)
            waiting += [p for p in linked.get(page, ()) if p.endswith(".md")]
    docs = os.path.join(root, "docs") + os.sep
    for page in pages:
        if page.startswith(docs) and page not in reached:
            problems.append(f"{os.path.relpath(page, root)}:1: no link leads to it from README.md")
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = broken_links(os.path.abspath(root))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
