"""The demo's NODES setting: node id, optionally ':' and the slot; without one, the next slot."""

import argparse
import importlib.util
import pathlib

import pytest

spec = importlib.util.spec_from_file_location("demo", pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py")
demo = importlib.util.module_from_spec(spec)
spec.loader.exec_module(demo)


@pytest.mark.parametrize(
    "text, nodes",
    [
        ("0x201:0,0x202:1", [(0x201, 0), (0x202, 1)]),
        ("0x201,0x202", [(0x201, 0), (0x202, 1)]),
        ("0x201:2, 0x202", [(0x201, 2), (0x202, 1)]),
        ("513:0x3,", [(513, 3)]),
    ],
)
def test_parse_nodes(text, nodes):
    assert demo.parse_nodes(text) == nodes


def test_parse_nodes_without_a_driver():
    with pytest.raises(argparse.ArgumentTypeError) as e:
        demo.parse_nodes(" , ")
    assert str(e.value) == "NODES lists no driver"
