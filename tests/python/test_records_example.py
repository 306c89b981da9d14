"""examples/records.py, the README's worked example, gives the records and
the output it is meant to give."""
import importlib.util
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "records.py"


@pytest.fixture(scope="module")
def records():
    spec = importlib.util.spec_from_file_location("records_example", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


EXPECTED_OUTPUT = """\
package log into records
  {'at': '2025-06-24 14:36:25', 'package': 'libsystemd0:amd64', 'action': 'upgrade', 'from': '252.36-1~deb12u1', 'to': '252.38-1~deb12u1'}
  {'at': '2025-06-24 14:36:25', 'package': 'libsystemd0:amd64', 'state': 'half-configured', 'version': '252.36-1~deb12u1'}
  {'at': '2025-06-24 14:36:26', 'package': 'libsystemd0:amd64', 'state': 'unpacked', 'version': '252.38-1~deb12u1'}
  {'at': '2025-06-24 14:36:26', 'package': 'tzdata:all', 'action': 'install', 'from': None, 'to': '2025b-0+deb12u1'}
  {'at': '2025-06-24 14:36:27', 'package': 'libsystemd0:amd64', 'action': 'configure', 'from': '252.38-1~deb12u1', 'to': None}
  {'at': '2025-06-24 14:36:27', 'package': 'libsystemd0:amd64', 'state': 'installed', 'version': '252.38-1~deb12u1'}
  {'at': '2025-06-24 14:36:28', 'package': 'libc-bin:amd64', 'action': 'trigproc', 'from': '2.36-9+deb12u10', 'to': None}

INI file into a dict
  [server] {'host': 'example.org', 'port': '8080'}
  [paths] {'root': '/srv/www', 'log': '/var/log/example.log'}
  error: line 9, column 6: Suppress: no match: 'größe: 10'

the same lines without Group: a sequence lists its members' texts
  Group: ['server']
  bare:  ['[', 'server', ']']
"""


def test_the_example_prints_its_records(records, capsys):
    records.main()
    assert capsys.readouterr().out == EXPECTED_OUTPUT


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("2025-06-24 14:36:25 startup archives unpack\n", []),
    # A line that is almost a record, and a status word that is only a prefix.
    ("2025-06-24 14:36:25 status installed pkg\n2025-06-24 14:36:25 statusx a b c\n", []),
    ("2025-06-24 14:36:25 remove pkg:amd64 1.0 <none>",
     [{"at": "2025-06-24 14:36:25", "package": "pkg:amd64", "action": "remove", "from": "1.0", "to": None}]),
])
def test_log_records(records, text, expected):
    assert records.log_records(text) == expected


@pytest.mark.parametrize("text, settings, errors", [
    ("", {}, []),
    ("[s]\nkey = \n", {"s": {"key": ""}}, []),
    # A later section of the same name adds to it; a later key replaces.
    ("[s]\na=1\n[t]\nb=2\n[s]\na=3\nc=4\n", {"s": {"a": "3", "c": "4"}, "t": {"b": "2"}}, []),
    ("a = 1\n[s]\n# note\nc\n", {"s": {}},
     ["line 1, column 1: an entry before any section: 'a = 1'", "line 4, column 2: Suppress: no match: 'c'"]),
    # The column counts characters: the failure lies 4 bytes into the line, after 3 characters.
    ("[é]\nclé x\n", {"é": {}}, ["line 2, column 4: Suppress: no match: 'clé x'"]),
    ("[t x]\n", {}, ["line 1, column 1: Expected match for /[\\w.-]+/: '[t x]'"]),
])
def test_ini_to_dict(records, text, settings, errors):
    assert records.ini_to_dict(text) == (settings, errors)


@pytest.mark.parametrize("text, pos, expected", [
    ("", 0, (1, 1)),
    ("ab\ncd", 5, (2, 3)),
    ("größe=10\nbreite", 11, (2, 1)),
    ("é", 1, (1, 2)),  # inside a character: the cut byte counts as one
])
def test_line_col(records, text, pos, expected):
    assert records.line_col(text, pos) == expected
