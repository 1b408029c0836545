#!/usr/bin/env python3
"""Keeps the documents honest: runs their marked examples and follows their links.

A code block runs when the line before its opening fence is

    <!-- doctest -->            or    <!-- doctest: SETUP -->

SETUP is code of the block's language run first, in the same shell or
interpreter: the files and names the example takes as given. The blocks of a
document run in order, each in a fresh process, in one scratch folder per
document; a block that exits non-zero fails the test, with its document and
line.

  doc_test.py --root DIR --bin DIR [--lang sh] DOCUMENT...
      shell blocks (```sh), with DIR first on the PATH (the built tool)
  doc_test.py --root DIR --lang python --python EXE DOCUMENT...
      Python blocks (```python), with EXE (an interpreter that imports the
      package); a block whose first line is "# NAME.py" is saved as NAME.py
  doc_test.py --root DIR --links DOCUMENT...
      every relative link names a file that exists, and a heading of it
      where the link names one (#anchor)
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

MARK = re.compile(r"^<!--\s*doctest(?::\s*(?P<setup>.*?))?\s*-->\s*$")
FENCE = re.compile(r"^(`{3,})\s*(\w*)")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
LANGUAGES = {"sh": ("sh", "bash", "shell"), "python": ("python", "py")}


def blocks(text):
    """(line, language, setup or None, code, marked) for every fenced block."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        fence, language = opening.group(1), opening.group(2)
        start = i
        i += 1
        body = []
        while i < len(lines) and not lines[i].startswith(fence):
            body.append(lines[i])
            i += 1
        i += 1
        mark = MARK.match(lines[start - 1]) if start > 0 else None
        yield start + 1, language, (mark.group("setup") if mark else None), "\n".join(body) + "\n", bool(mark)


def outside_blocks(text):
    """The document's text with its code blocks blanked (links there are code)."""
    kept = []
    inside = None
    for line in text.split("\n"):
        opening = FENCE.match(line)
        if inside is None and opening:
            inside = opening.group(1)
            kept.append("")
        elif inside is not None:
            if line.startswith(inside):
                inside = None
            kept.append("")
        else:
            kept.append(re.sub(r"`[^`]*`", "", line))
    return kept


def slug(heading):
    """The anchor a Markdown renderer gives a heading."""
    heading = re.sub(r"[`*_]", lambda m: "_" if m.group(0) == "_" else "", heading.strip().lower())
    heading = re.sub(r"[^\w\- ]", "", heading)
    return heading.replace(" ", "-")


def anchors(path):
    found = set()
    for line in outside_blocks(path.read_text(encoding="utf-8")):
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if heading:
            found.add(slug(heading.group(1)))
    return found


def check_links(root, documents):
    faults = []
    for document in documents:
        text = document.read_text(encoding="utf-8")
        for number, line in enumerate(outside_blocks(text), 1):
            for target in LINK.findall(line):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target) or target.startswith("//"):
                    continue  # a URL: not checked offline
                name, _, anchor = target.partition("#")
                place = document if not name else (document.parent / name)
                where = f"{document.relative_to(root)}:{number}: {target}"
                if not place.exists():
                    faults.append(f"{where}: no such file")
                elif anchor and place.suffix == ".md" and anchor not in anchors(place):
                    faults.append(f"{where}: no heading '{anchor}' in {place.relative_to(root)}")
    return faults


def run_blocks(root, documents, language, command, environment):
    faults = []
    ran = 0
    for document in documents:
        chosen = [b for b in blocks(document.read_text(encoding="utf-8"))
                  if b[4] and b[1] in LANGUAGES[language]]
        if not chosen:
            continue
        with tempfile.TemporaryDirectory(prefix="doc_test-") as scratch:
            for line, _, setup, code, _ in chosen:
                where = f"{document.relative_to(root)}:{line}"
                script = Path(scratch) / "block"
                if language == "sh":
                    script.write_text("set -eu\n" + (setup + "\n" if setup else "") + code, encoding="utf-8")
                    argv = command + [str(script)]
                else:
                    named = re.match(r"#\s*(\w+\.py)\s*\n", code)
                    script = Path(scratch) / (named.group(1) if named else "block.py")
                    script.write_text((setup + "\n" if setup else "") + code, encoding="utf-8")
                    argv = command + [script.name]
                result = subprocess.run(argv, cwd=scratch, env=environment, capture_output=True, text=True,
                                        timeout=120)
                ran += 1
                if result.returncode != 0:
                    faults.append(f"{where}: the {language} block exited with {result.returncode}\n"
                                  f"--- the block\n{code}--- its output\n{result.stdout}{result.stderr}")
    return ran, faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True, type=Path)
    parser.add_argument("--bin", help="a folder put first on the PATH of shell blocks")
    parser.add_argument("--lang", choices=sorted(LANGUAGES), default="sh")
    parser.add_argument("--python", default=sys.executable, help="the interpreter of Python blocks")
    parser.add_argument("--links", action="store_true", help="check the links instead of running blocks")
    parser.add_argument("documents", nargs="+")
    options = parser.parse_args()
    root = options.root.resolve()
    documents = [(root / d).resolve() for d in options.documents]
    missing = [str(d) for d in documents if not d.is_file()]
    if missing:
        sys.exit(f"doc_test: no such document: {', '.join(missing)}")

    if options.links:
        faults = check_links(root, documents)
        summary = f"links of {len(documents)} documents"
    else:
        environment = dict(os.environ)
        if options.bin:
            environment["PATH"] = str(Path(options.bin).resolve()) + os.pathsep + environment.get("PATH", "")
        # Blocks run in a scratch folder: a relative interpreter path is made
        # absolute (not resolved: a virtual environment's python is a link).
        python = os.path.abspath(options.python) if os.sep in options.python else options.python
        command = ["sh"] if options.lang == "sh" else [python]
        ran, faults = run_blocks(root, documents, options.lang, command, environment)
        if ran == 0:
            faults.append(f"no block marked <!-- doctest --> in {len(documents)} documents: nothing was run")
        summary = f"{ran} {options.lang} blocks of {len(documents)} documents"
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"doc_test: {summary}: {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
