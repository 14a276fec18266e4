"""The ``norv`` command line. Today it has one command, ``norv screen``.

Exit status: 0 on success; 1 with ``--fail-on-detection`` when a step refused,
sanitised or redacted a text (or, in audit mode, a module detected something);
2 when the run could not start or had to stop (bad option, missing file, guard
that cannot be imported), with a one-line message on standard error; 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from typing import List, NoReturn, Optional

import norv

__all__ = ["main", "build_parser"]


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block and exits; the command promises one line.
    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{self.prog}: error: {message} (see {self.prog} --help)")


def _timeout_ms(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of milliseconds, got {text!r}") from None
    # The coordinator accepts 0 and negative limits, but then every scan times
    # out at once: a screening run would report nothing while looking clean.
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    from norv.cli.screen import DEFAULT_INPUT_GUARD, DEFAULT_NEURAL_GUARD, DEFAULT_OUTPUT_SHIELD

    parser = _Parser(prog="norv", description="norv prompt-security toolkit.")
    parser.add_argument("--version", action="version", version=f"norv {norv.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    screen = commands.add_parser(
        "screen",
        help="screen prompts and responses from a file or standard input",
        description=(
            "Run each record's prompt through process_input and its response through process_output "
            "of one GovernanceCoordinator, and write one JSON result line per input record."
        ),
    )
    screen.add_argument("input", nargs="?", default="-", metavar="FILE",
                        help="JSON Lines or text file; '-' or nothing reads standard input")
    screen.add_argument("--format", choices=("auto", "jsonl", "text"), default="auto",
                        help="input format; auto decides by suffix (.jsonl/.ndjson/.json or .txt/.text), "
                             "standard input is jsonl (default: auto)")
    screen.add_argument("-o", "--output", metavar="PATH", help="write result lines here instead of standard output")
    screen.add_argument("--audit-log", metavar="PATH",
                        help="append audit events (JSON lines) here instead of standard error")
    screen.add_argument("--timeout-ms", type=_timeout_ms, default=50, metavar="N",
                        help="time limit per security module in milliseconds (default: 50)")
    screen.add_argument("--audit-mode", action="store_true",
                        help="shadow mode: record detections but let every text pass unchanged")
    screen.add_argument("--input-guard", default=DEFAULT_INPUT_GUARD, metavar="REF",
                        help=f"heuristic input guard as package.module:name, or none (default: {DEFAULT_INPUT_GUARD})")
    screen.add_argument("--neural-guard", default=DEFAULT_NEURAL_GUARD, metavar="REF",
                        help=f"semantic input guard as package.module:name, or none (default: {DEFAULT_NEURAL_GUARD})")
    screen.add_argument("--output-shield", default=DEFAULT_OUTPUT_SHIELD, metavar="REF",
                        help=f"output shield as package.module:name, or none (default: {DEFAULT_OUTPUT_SHIELD})")
    screen.add_argument("--fail-on-detection", action="store_true",
                        help="exit with status 1 when any step refused, sanitised or redacted a text")
    screen.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    return parser


def _utf8_stdout() -> io.TextIOWrapper:
    # Result lines are UTF-8 whatever the locale says.
    return io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n", write_through=False)


def _exit_now(status: int) -> NoReturn:
    """Leave without waiting for abandoned scans.

    The worker pool's threads are joined at interpreter exit, so a scan that
    overran its limit (perhaps one that never ends) would hold the process
    open long after the report was written.
    """
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    os._exit(status)


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except _UsageError as exc:
        print(exc, file=sys.stderr)
        return 2
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2

    from norv.cli.screen import Fatal, run

    stdout = _utf8_stdout()
    try:
        stdin = getattr(sys.stdin, "buffer", None) or io.BytesIO()  # no standard input at all
        outcome = run(args, stdin, stdout, sys.stderr)
        stdout.flush()
    except Fatal as exc:
        print(f"norv screen: error: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (``norv screen ... | head``): stop quietly, and
        # keep the interpreter from complaining when it flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        print("norv screen: error: output closed before the run finished", file=sys.stderr)
        return 2
    finally:
        try:
            stdout.detach()
        except Exception:
            pass
    if outcome.abandoned_scans:
        _exit_now(outcome.status)
    return outcome.status
