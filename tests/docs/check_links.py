"""Every link of the README resolves: an anchor names one of its headings, as GitHub makes anchors
from them, and a relative path names a file or directory of the checkout (and, with an anchor,
a heading of that file). Web links are not fetched.

usage: check_links.py [MARKDOWN_FILE]...   (default: README.md at the top of the checkout)
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*$")
FENCE = re.compile(r"^\s*(```|~~~)")


def prose_lines(path):
    """The lines outside code: neither fenced nor indented by four spaces."""
    fenced = False
    with open(path, encoding="utf-8") as file:
        for line in file:
            if FENCE.match(line):
                fenced = not fenced
            elif not fenced and not line.startswith("    "):
                yield line


def anchor(heading):
    """GitHub's anchor for a heading: lower case, punctuation dropped, spaces as dashes."""
    text = re.sub(r"[`*_]|\[([^\]]*)\]\([^)]*\)", r"\1", heading).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(path):
    found, seen = set(), {}
    for line in prose_lines(path):
        match = HEADING.match(line)
        if match:
            name = anchor(match.group(1))
            count = seen.get(name, 0)
            seen[name] = count + 1
            found.add(name if count == 0 else "%s-%d" % (name, count))
    return found


def broken_links(path):
    broken = []
    # Whole, since a link's text may wrap onto the next line.
    for target in LINK.findall("".join(prose_lines(path))):
        if re.match(r"[a-z]+:", target):  # https:, mailto:
            continue
        file_part, _, fragment = target.partition("#")
        linked = (os.path.normpath(os.path.join(os.path.dirname(path), file_part))
                  if file_part else path)
        if not os.path.exists(linked):
            broken.append("%s: no such file" % target)
        elif fragment and (not linked.endswith(".md") or fragment not in anchors(linked)):
            broken.append("%s: no such heading" % target)
    return broken


def main():
    paths = sys.argv[1:] or [os.path.join(ROOT, "README.md")]
    failed = False
    for path in paths:
        broken = broken_links(path)
        for link in broken:
            print("%s: broken link %s" % (os.path.relpath(path, ROOT), link))
        failed = failed or bool(broken)
    if not failed:
        print("every link resolves in %s" % ", ".join(os.path.relpath(p, ROOT) for p in paths))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
