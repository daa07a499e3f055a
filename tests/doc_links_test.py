#!/usr/bin/env python3
"""The link checker finds what GitHub would show as a dead link, and only that."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import doc_links  # noqa: E402


def check(pages):
    """The problems found in a tree holding the given {path: text} files."""
    with tempfile.TemporaryDirectory() as root:
        for path, text in pages.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
        return doc_links.broken_links(root)


class Anchors(unittest.TestCase):
    def test_heading_texts_give_githubs_anchors(self):
        cases = [
            ("Build and run", "build-and-run"),
            ("The reader library (`grouptrace::reader`)", "the-reader-library-grouptracereader"),
            ("No time axis, no units, half weight at the bounds",
             "no-time-axis-no-units-half-weight-at-the-bounds"),
            ("Group sizes wander away from `avgSize`", "group-sizes-wander-away-from-avgsize"),
            ("`grouptrace-inspect`", "grouptrace-inspect"),
            ("Files and streams: the edge cases", "files-and-streams-the-edge-cases"),
            ("Timed traces in ns-3", "timed-traces-in-ns-3"),
            ("Read [the guide](guide.md) first", "read-the-guide-first"),
            ("snake_case and  two blanks", "snake_case-and--two-blanks"),
            ("Größe über Zeit", "größe-über-zeit"),
        ]
        for heading, anchor in cases:
            with self.subTest(heading=heading):
                self.assertEqual(doc_links.slug(heading), anchor)

    def test_a_page_offers_numbered_repeats_and_html_anchors_but_not_code(self):
        page = "\n".join([
            "# Usage", "## Usage", "## Usage ##", '<a name="kept-here"></a>',
            "```sh", "# not a heading", "```", "~~~", "## Nor this", "~~~",
        ])
        self.assertEqual(doc_links.anchors(page), {"usage", "usage-1", "usage-2", "kept-here"})


class Links(unittest.TestCase):
    def test_links_that_resolve_pass(self):
        pages = {
            "README.md": "# Top\n[guide](docs/guide.md#step-two), [self](#top), "
                         "![fig](docs/fig.svg), [dir](docs), [site](https://example.org/x#y), "
                         "[mail](mailto:a@b.c), [spaced](docs/a%20b.md)\n[ref]: docs/guide.md#step-one\n",
            "docs/guide.md": "# Guide\n## Step one\n## Step two\n[up](../README.md#top)\n",
            "docs/fig.svg": "<svg/>",
            "docs/a b.md": "x\n",
        }
        self.assertEqual(check(pages), [])

    def test_every_kind_of_broken_link_is_named_with_its_line(self):
        cases = [
            ("[x](missing.md)", "README.md:2: missing.md: no such file"),
            ("[x](docs/guide.md#step-three)", "README.md:2: docs/guide.md#step-three: no such heading"),
            ("[x](#nowhere)", "README.md:2: #nowhere: no such heading"),
            ("![x](docs/fig.png)", "README.md:2: docs/fig.png: no such file"),
            ("[x](docs/guide.md#step-one-1)", "README.md:2: docs/guide.md#step-one-1: no such heading"),
            ("[x](docs/fig.svg#layer)", "README.md:2: docs/fig.svg#layer: an anchor in a file that has none"),
            ("[x]()", "README.md:2: a link without a target"),
            ("[ref]: ../outside.md", "README.md:2: ../outside.md: no such file"),
            ("see [x](a.md) and [y](b.md#c)", "README.md:2: a.md: no such file"),
        ]
        for line, problem in cases:
            with self.subTest(line=line):
                found = check({
                    "README.md": "# Top\n" + line + "\n",
                    "docs/guide.md": "# Guide\n## Step one\n",
                    "docs/fig.svg": "<svg/>",
                })
                self.assertIn(problem, found)

    def test_links_in_code_are_text_not_links(self):
        page = "# Top\n`[x](missing.md)`\n```\n[y](missing.md)\n```\n"
        self.assertEqual(check({"README.md": page}), [])

    def test_pages_in_subfolders_are_checked_and_build_folders_are_not(self):
        found = check({
            "docs/deep/page.md": "[x](../../nowhere.md)\n",
            "build/page.md": "[x](nowhere.md)\n",
            ".hidden/page.md": "[x](nowhere.md)\n",
        })
        self.assertIn("docs/deep/page.md:1: ../../nowhere.md: no such file", found)
        self.assertEqual([p for p in found if not p.startswith("docs/")], [])

    def test_a_page_of_docs_that_no_link_leads_to_from_the_readme_is_named(self):
        pages = {
            "README.md": "[map](docs/README.md)\n",
            "docs/README.md": "[guide](guide.md)\n",
            "docs/guide.md": "[deeper](deep/page.md#top)\n",
            "docs/deep/page.md": "# Top\n[back](../guide.md)\n",
            "docs/lost.md": "[guide](guide.md)\n",
            "tests/notes.md": "not documentation\n",
        }
        self.assertEqual(check(pages), ["docs/lost.md:1: no link leads to it from README.md"])

    def test_the_program_fails_on_a_broken_link(self):
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "README.md"), "w") as f:
                f.write("[x](gone.md)\n")
            self.assertEqual(doc_links.main(["doc_links.py", root]), 1)
            os.remove(os.path.join(root, "README.md"))
            self.assertEqual(doc_links.main(["doc_links.py", root]), 0)


if __name__ == "__main__":
    unittest.main()
