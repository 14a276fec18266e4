"""Links between the README, docs/ and bench/RESULTS.md reach a file that exists
and, when they name a section, a heading that exists (as GitHub makes the
anchors), so that moving a figure or renaming a section cannot leave a dead
reference behind."""

from __future__ import annotations

import re
from collections import Counter
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md")), ROOT / "bench" / "RESULTS.md"]
LINK = re.compile(r"\]\(([^)\s]+\.md)(?:#([^)\s]*))?\)")


def anchors(page):
    """GitHub's anchors: headings lower-cased, punctuation dropped, spaces as hyphens, repeats numbered."""
    text = re.sub(r"^```.*?^```", "", page.read_text(encoding="utf-8"), flags=re.S | re.M)
    seen = Counter()
    found = set()
    for heading in re.findall(r"^#{1,6} +(.+?) *#*$", text, flags=re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        found.add(f"{slug}-{seen[slug]}" if seen[slug] else slug)
        seen[slug] += 1
    return found


def links():
    found = []
    for page in PAGES:
        text = re.sub(r"^```.*?^```", "", page.read_text(encoding="utf-8"), flags=re.S | re.M)
        found += [pytest.param(page, target, anchor, id=f"{page.name}->{target}#{anchor or ''}")
                  for target, anchor in LINK.findall(text) if not target.startswith(("http:", "https:"))]
    assert found, "no links between the pages"
    return found


@pytest.mark.parametrize(("page", "target", "anchor"), links())
def test_link_reaches_its_section(page, target, anchor):
    linked = (page.parent / target).resolve()
    assert linked.is_file(), f"{page.name} links to {target}, which does not exist"
    if anchor:
        assert anchor in anchors(linked), f"{page.name} links to {target}#{anchor}: no such heading"
