"""scripts/debian-mirror: the main Debian archive named by apt's own sources, in either format."""

import os
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "debian-mirror"

ONE_LINE = """\
deb http://security.example/debian-security bookworm-security main
# deb http://commented.example/debian bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/x.gpg] http://one.example/debian/ bookworm main contrib
"""

DEB822 = """\
Types: deb
URIs: https://thirdparty.example/node_20.x
Suites: nodistro
Components: main

Types: deb
URIs: http://off.example/debian
Suites: trixie
Components: main
Enabled: no

Types: deb
URIs: http://security.example/debian-security
Suites: trixie-security
Components: main

Types: deb-src deb
URIs: http://two.example/debian http://spare.example/debian
Suites: trixie trixie-updates
Components: main
"""

THIRD_PARTY_ONLY = "deb https://thirdparty.example/apt cloud-sdk-bookworm main\n"


def run(etc):
    return subprocess.run([str(SCRIPT)], env={**os.environ, "APT_ETC": str(etc)},
                          capture_output=True, text=True)


@pytest.mark.parametrize(
    "files, mirror",
    [
        ({"sources.list": ONE_LINE}, "http://one.example/debian"),
        ({"sources.list.d/debian.sources": DEB822}, "http://two.example/debian"),
        ({"sources.list": THIRD_PARTY_ONLY, "sources.list.d/debian.sources": DEB822},
         "http://two.example/debian"),
    ],
    ids=["one-line", "deb822", "both"],
)
def test_names_the_main_archive(tmp_path, files, mirror):
    (tmp_path / "sources.list.d").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    result = run(tmp_path)
    assert (result.returncode, result.stdout) == (0, mirror + "\n")


@pytest.mark.parametrize("files", [{}, {"sources.list": THIRD_PARTY_ONLY}], ids=["none", "third-party"])
def test_fails_without_a_debian_archive(tmp_path, files):
    (tmp_path / "sources.list.d").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    result = run(tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
