"""The documentation cannot rot: every fenced python block of docs/ and README.md runs, and
the reference names every public member of the module.

Block kinds, from the fence's info string:
    ```python           runs on the host, under each interpreter
    ```python vcan      runs where a vcan bus exists (through scripts/vcan-run), selected by -k vcan
    ```python no-run    never runs; the line right above the fence must be an HTML comment
                        <!-- not run: REASON --> that says why
Each block runs alone in a fresh interpreter, in the repository (as a reader following the
guide from a clone would), and must exit with 0.
"""

import os
import pathlib
import re
import subprocess
import sys

import pytest
import quorix

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
FENCE = re.compile(r"^```(\S*)[ \t]*(.*)$")
KINDS = {"": "host", "vcan": "vcan", "no-run": "no-run"}


def blocks(page: pathlib.Path):
    """(first line number, kind, code, the line above the fence) of each python block."""
    lines = page.read_text().splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m or not m.group(1):
            i += 1
            continue
        lang, info, start = m.group(1), m.group(2).strip(), i
        i += 1
        body = []
        while i < len(lines) and lines[i].rstrip() != "```":
            body.append(lines[i])
            i += 1
        i += 1
        if lang == "python":
            above = lines[start - 1] if start else ""
            yield start + 1, info, "\n".join(body) + "\n", above


ALL = [(page, *b) for page in PAGES for b in blocks(page)]


def block_id(entry):
    page, line, info, _, _ = entry
    return f"{page.name}:{line}-{KINDS.get(info, info)}"


@pytest.mark.parametrize("entry", ALL, ids=[block_id(e) for e in ALL])
def test_example(entry):
    page, line, info, code, above = entry
    assert info in KINDS, f"{page.name}:{line}: unknown block kind {info!r} (python, python vcan, python no-run)"
    kind = KINDS[info]
    if kind == "no-run":
        assert re.fullmatch(r"<!-- not run: \S.* -->", above.strip()), (
            f"{page.name}:{line}: a block that does not run needs <!-- not run: REASON --> right above it")
        pytest.skip(above.strip()[len("<!-- not run: "):-len(" -->")])
    if kind == "vcan" and not os.environ.get("VCAN_IFACES"):
        pytest.skip("needs a vcan bus: run through scripts/vcan-run")
    if kind == "host" and os.environ.get("VCAN_IFACES"):
        pytest.skip("host examples run outside the guest")
    proc = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, f"{page.name}:{line} exited with {proc.returncode}\n{proc.stdout}\n{proc.stderr}"


def test_blocks_exist():
    assert len([e for e in ALL if e[2] != "no-run"]) >= 20


# ---- the reference against the module ----------------------------------------------------------

REFERENCE = (ROOT / "docs" / "reference.md").read_text()
PUBLIC = sorted(n for n in dir(quorix) if not n.startswith("_"))
CLASSES = [n for n in PUBLIC if isinstance(getattr(quorix, n), type)]
MEMBERS = [f"{c}.{m}" for c in CLASSES for m in sorted(set(dir(getattr(quorix, c))) - set(dir(object)))
           if not m.startswith("_")] + [f"{c}.__call__" for c in CLASSES if "__call__" in vars(getattr(quorix, c))]
HEADING = re.compile(r"^#{2,4} `([A-Za-z_][\w.]*)", re.M)


@pytest.mark.parametrize("name", PUBLIC + MEMBERS)
def test_reference_has_a_heading_for(name):
    assert name in HEADING.findall(REFERENCE), f"docs/reference.md has no heading for `{name}`"


def test_reference_names_nothing_the_module_lacks():
    stale = []
    for name in HEADING.findall(REFERENCE):
        obj = quorix
        for part in name.split("."):
            if not hasattr(obj, part):
                stale.append(name)
                break
            obj = getattr(obj, part)
    assert stale == []


# ---- troubleshooting against the messages of the source --------------------------------------

MESSAGE = re.compile(r'"(?:\\n)?((?:Warning: |\[CAN\] |\[Motor\] |\[quorix\] |Timer function error: |Failed to )[^"%\\]*)')


def source_messages():
    found = set()
    for path in sorted((ROOT / "src").rglob("*.cpp")):
        for m in MESSAGE.finditer(path.read_text()):
            found.add(m.group(1).split("{")[0])
    return sorted(found)


def test_source_messages_are_found():
    assert "Timer function error: " in source_messages()


@pytest.mark.parametrize("message", source_messages())
def test_troubleshooting_explains(message):
    page = (ROOT / "docs" / "troubleshooting.md").read_text()
    assert message in page, f"docs/troubleshooting.md does not explain {message!r}"


# ---- links between the pages ---------------------------------------------------------------------

LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page: pathlib.Path):
    """The anchors a repository page gets for its headings (GitHub's rule)."""
    seen, out = {}, set()
    in_fence = False
    for line in page.read_text().splitlines():
        if line.startswith("```"):
            in_fence = not in_fence
        m = re.match(r"^#{1,6} (.*)$", line)
        if in_fence or not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", m.group(1).strip().lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else f"{slug}-{n}")
    return out


LINKS = [(page, target) for page in PAGES for target in LINK.findall(page.read_text())
         if not target.startswith(("http://", "https://", "mailto:"))]


@pytest.mark.parametrize("page, target", LINKS, ids=[f"{p.name}->{t}" for p, t in LINKS])
def test_link_resolves(page, target):
    path, _, anchor = target.partition("#")
    dest = (page.parent / path).resolve() if path else page
    assert dest.exists(), f"{page.name}: {target} names no file"
    if anchor:
        assert anchor in anchors(dest), f"{page.name}: {target} names no heading of {dest.name}"
