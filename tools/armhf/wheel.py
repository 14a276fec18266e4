#!/usr/bin/env python3
"""Assemble and install the cross-built wheel, with the standard library only.

scikit-build-core builds for the interpreter that runs it, so the armhf wheel is
put together here from two inputs: the Python side of the package as listed in
pyproject.toml (``tool.scikit-build.wheel.packages``) and the tree that
``cmake --install`` wrote for the cross build (the extension under norv/core/).

    wheel.py build --staging DIR --out DIR --tag cp311-cp311-linux_armv7l
    wheel.py install WHEEL --site DIR [--scripts DIR --interpreter PATH]

``build`` prints the wheel's path. ``install`` checks every file against RECORD
before it unpacks anything, replaces an earlier install of the same project,
and writes console scripts for the given interpreter.
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import io
import os
import re
import shutil
import struct
import sys
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# Files that may sit beside the sources but are not part of the package:
# byte code, and extensions built for the host by the in-place dev build.
SKIP_DIRS = {"__pycache__"}
SKIP_SUFFIXES = {".pyc", ".pyo", ".so", ".pyd"}

# Zip entries carry a date; a fixed one (or SOURCE_DATE_EPOCH) makes the same
# inputs give the same wheel, byte for byte.
DEFAULT_EPOCH = 315532800  # 1980-01-01, the earliest date a zip can hold


def _normalize(name: str) -> str:
    return re.sub(r"[-_.]+", "_", name).lower()


def _record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def _zip_date() -> tuple[int, int, int, int, int, int]:
    import time

    epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_EPOCH)), DEFAULT_EPOCH)
    t = time.gmtime(epoch)
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


def _metadata(project: dict, root: Path) -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    license_ = project.get("license")
    if isinstance(license_, dict) and "text" in license_:
        lines.append(f"License: {license_['text']}")
    for classifier in project.get("classifiers", []):
        lines.append(f"Classifier: {classifier}")
    for requirement in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {requirement}")
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        for requirement in requirements:
            lines.append(f'Requires-Dist: {requirement}; extra == "{extra}"')
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str) and (root / readme).is_file():
        kind = "text/markdown" if readme.endswith(".md") else "text/plain"
        lines.append(f"Description-Content-Type: {kind}")
        body = "\n" + (root / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n" + body


def _entry_points(project: dict) -> str | None:
    groups = {}
    if project.get("scripts"):
        groups["console_scripts"] = project["scripts"]
    if project.get("gui-scripts"):
        groups["gui_scripts"] = project["gui-scripts"]
    for group, entries in project.get("entry-points", {}).items():
        groups[group] = entries
    if not groups:
        return None
    out = []
    for group, entries in groups.items():
        out.append(f"[{group}]")
        out.extend(f"{name} = {target}" for name, target in entries.items())
        out.append("")
    return "\n".join(out)


def _package_files(root: Path, packages: list[str]) -> dict[str, Path]:
    """Map archive names to source files for the Python side of the package."""
    files: dict[str, Path] = {}
    for package in packages:
        source = root / package
        if not source.is_dir():
            raise SystemExit(f"wheel: package folder {source} does not exist")
        for dirpath, dirnames, filenames in os.walk(source):
            dirnames[:] = sorted(d for d in dirnames if d not in SKIP_DIRS)
            for filename in sorted(filenames):
                path = Path(dirpath, filename)
                if path.suffix in SKIP_SUFFIXES:
                    continue
                arcname = (Path(source.name) / path.relative_to(source)).as_posix()
                files[arcname] = path
    return files


# ELF header facts of a Debian armhf shared object: 32-bit little-endian,
# ET_DYN, EM_ARM, EABI version 5 with the hard-float calling convention.
ELF_MACHINES = {"arm": 40}
EF_ARM_EABI_VER5 = 0x05000000
EF_ARM_ABI_FLOAT_HARD = 0x00000400


def _check_elf(path: Path, machine: str) -> None:
    header = path.read_bytes()[:52]
    problem = None
    if len(header) < 52 or header[:4] != b"\x7fELF":
        problem = "not an ELF file"
    elif header[4] != 1 or header[5] != 1:
        problem = "not 32-bit little-endian"
    else:
        e_type, e_machine = struct.unpack_from("<HH", header, 16)
        (e_flags,) = struct.unpack_from("<I", header, 36)
        if e_type != 3:
            problem = "not a shared object"
        elif e_machine != ELF_MACHINES[machine]:
            problem = f"machine {e_machine}, not {machine}"
        elif e_flags & 0xFF000000 != EF_ARM_EABI_VER5 or not e_flags & EF_ARM_ABI_FLOAT_HARD:
            problem = f"flags {e_flags:#010x}, not EABI5 hard-float"
    if problem:
        raise SystemExit(f"wheel: {path}: {problem}")


def build(staging: Path, out: Path, tag: str, elf_machine: str | None = None) -> Path:
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    project = pyproject["project"]
    if "version" in project.get("dynamic", []) or "version" not in project:
        raise SystemExit("wheel: pyproject.toml must give a static version")
    packages = pyproject.get("tool", {}).get("scikit-build", {}).get("wheel", {}).get("packages")
    if not packages:
        raise SystemExit("wheel: pyproject.toml lists no tool.scikit-build.wheel.packages")

    files = _package_files(ROOT, packages)
    built = sorted(p for p in staging.rglob("*") if p.is_file())
    if not any(p.suffix == ".so" for p in built):
        raise SystemExit(f"wheel: no extension module under {staging}")
    if elf_machine:
        for path in built:
            if path.suffix == ".so":
                _check_elf(path, elf_machine)
    for path in built:
        arcname = path.relative_to(staging).as_posix()
        if arcname in files:
            raise SystemExit(f"wheel: {arcname} is both a source file and a build product")
        files[arcname] = path

    name = _normalize(project["name"])
    version = project["version"]
    dist_info = f"{name}-{version}.dist-info"
    generated = {
        f"{dist_info}/METADATA": _metadata(project, ROOT),
        f"{dist_info}/WHEEL": (
            "Wheel-Version: 1.0\n"
            "Generator: norv-tools-armhf\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {tag}\n"
        ),
    }
    entry_points = _entry_points(project)
    if entry_points:
        generated[f"{dist_info}/entry_points.txt"] = entry_points

    out.mkdir(parents=True, exist_ok=True)
    wheel_path = out / f"{name}-{version}-{tag}.whl"
    date = _zip_date()
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    tmp_path = wheel_path.with_suffix(".whl.tmp")
    with zipfile.ZipFile(tmp_path, "w", compression=zipfile.ZIP_DEFLATED) as zf:

        def add(arcname: str, data: bytes, mode: int) -> None:
            info = zipfile.ZipInfo(arcname, date_time=date)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(info, data)
            writer.writerow([arcname, _record_hash(data), len(data)])

        for arcname in sorted(files):
            path = files[arcname]
            mode = 0o755 if os.access(path, os.X_OK) and path.suffix == ".so" else 0o644
            add(arcname, path.read_bytes(), mode)
        for arcname, text in generated.items():
            add(arcname, text.encode("utf-8"), 0o644)
        writer.writerow([f"{dist_info}/RECORD", "", ""])
        info = zipfile.ZipInfo(f"{dist_info}/RECORD", date_time=date)
        info.external_attr = (0o100000 | 0o644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        zf.writestr(info, record.getvalue())
    tmp_path.replace(wheel_path)
    return wheel_path


def _read_record(zf: zipfile.ZipFile) -> tuple[str, dict[str, tuple[str, str]]]:
    records = [n for n in zf.namelist() if re.fullmatch(r"[^/]+\.dist-info/RECORD", n)]
    if len(records) != 1:
        raise SystemExit("wheel: expected exactly one .dist-info/RECORD")
    dist_info = records[0].split("/")[0]
    rows = csv.reader(io.StringIO(zf.read(records[0]).decode("utf-8")))
    return dist_info, {row[0]: (row[1], row[2]) for row in rows if row}


def install(wheel: Path, site: Path, scripts: Path | None, interpreter: str | None) -> None:
    with zipfile.ZipFile(wheel) as zf:
        dist_info, record = _read_record(zf)
        names = [n for n in zf.namelist() if not n.endswith("/")]
        for name in names:
            if name.startswith("/") or ".." in name.split("/"):
                raise SystemExit(f"wheel: unsafe path {name!r}")
            if name == f"{dist_info}/RECORD":
                continue
            if name not in record:
                raise SystemExit(f"wheel: {name} is not in RECORD")
            digest, size = record[name]
            data = zf.read(name)
            if digest != _record_hash(data) or int(size) != len(data):
                raise SystemExit(f"wheel: {name} does not match its RECORD entry")
        missing = set(record) - set(names)
        if missing:
            raise SystemExit(f"wheel: RECORD lists files the wheel lacks: {sorted(missing)}")

        # Replace an earlier install: its top-level folders and its dist-info.
        project = dist_info.split("-")[0]
        site.mkdir(parents=True, exist_ok=True)
        for old in site.glob(f"{project}-*.dist-info"):
            shutil.rmtree(old)
        for top in sorted({n.split("/")[0] for n in names} - {dist_info}):
            target = site / top
            if target.is_dir():
                shutil.rmtree(target)
            elif target.exists():
                target.unlink()

        for name in names:
            target = site / name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(zf.read(name))
            mode = (zf.getinfo(name).external_attr >> 16) & 0o777
            target.chmod(mode or 0o644)
        (site / dist_info / "INSTALLER").write_text("norv-tools-armhf\n", encoding="utf-8")

        entry_points = f"{dist_info}/entry_points.txt"
        if scripts is not None and interpreter and entry_points in names:
            _write_scripts(zf.read(entry_points).decode("utf-8"), scripts, interpreter)


def _write_scripts(entry_points: str, scripts: Path, interpreter: str) -> None:
    import configparser

    parser = configparser.ConfigParser(delimiters=("=",))
    parser.optionxform = str  # script names are case-sensitive
    parser.read_string(entry_points)
    if not parser.has_section("console_scripts"):
        return
    scripts.mkdir(parents=True, exist_ok=True)
    for name, target in parser.items("console_scripts"):
        module, _, attr = target.strip().partition(":")
        path = scripts / name
        path.write_text(
            f"#!{interpreter}\n"
            "import sys\n"
            f"from {module} import {attr.split('.')[0]}\n"
            "if __name__ == '__main__':\n"
            f"    sys.exit({attr}())\n",
            encoding="utf-8",
        )
        path.chmod(0o755)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build", help="assemble a wheel")
    b.add_argument("--staging", type=Path, required=True, help="cmake --install prefix of the cross build")
    b.add_argument("--out", type=Path, required=True)
    b.add_argument("--tag", required=True, help="e.g. cp311-cp311-linux_armv7l")
    b.add_argument("--elf-machine", choices=sorted(ELF_MACHINES), help="check each extension's ELF header")
    i = sub.add_parser("install", help="unpack a wheel into a site-packages folder")
    i.add_argument("wheel", type=Path)
    i.add_argument("--site", type=Path, required=True)
    i.add_argument("--scripts", type=Path)
    i.add_argument("--interpreter", help="shebang for console scripts")
    args = parser.parse_args(argv)
    if args.command == "build":
        print(build(args.staging.resolve(), args.out, args.tag, args.elf_machine))
    else:
        install(args.wheel, args.site, args.scripts, args.interpreter)
    return 0


if __name__ == "__main__":
    sys.exit(main())
