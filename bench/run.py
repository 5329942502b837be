"""Benchmarks Tarnwick against the tools a Python user would pick instead.

    python bench/run.py [--quick] [--sizes 10000,100000,1000000] [--huge] [--repeat N]
                        [--out bench/results]
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench import chart, report, runner  # noqa: E402
from bench.operations import OPERATIONS  # noqa: E402
from bench.peers import PEERS  # noqa: E402
from bench.targets import judge_all  # noqa: E402

DEFAULT_SIZES = [10_000, 100_000, 1_000_000]
HUGE = 10_000_000
QUICK_SIZES = [2_000]


def _sizes(text: str) -> list[int]:
    try:
        sizes = [int(part.replace("_", "")) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of sizes: {text!r}") from None
    if not sizes or any(n < 1 for n in sizes):
        raise argparse.ArgumentTypeError("sizes must be positive")
    return sizes


def _keys(choices):
    def parse(text: str) -> list[str]:
        keys = [k.strip() for k in text.split(",") if k.strip()]
        unknown = [k for k in keys if k not in choices]
        if unknown:
            raise argparse.ArgumentTypeError(f"unknown: {', '.join(unknown)}; choose from "
                                             f"{', '.join(choices)}")
        return keys
    return parse


def parse_args(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Benchmark Tarnwick against its peers.")
    parser.add_argument("--quick", action="store_true",
                        help="small N and few repeats: every operation, in seconds")
    parser.add_argument("--sizes", type=_sizes, help="comma-separated N (default 10K,100K,1M)")
    parser.add_argument("--huge", action="store_true", help="add N = 10,000,000")
    parser.add_argument("--repeat", type=int, help="runs per figure (median); default 5, quick 3")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results",
                        help="where results.json, results.md and query_time.png go")
    parser.add_argument("--peers", type=_keys([p.key for p in PEERS]),
                        help="comma-separated peers (default all)")
    parser.add_argument("--ops", type=_keys([op.key for op in OPERATIONS]),
                        help="comma-separated operations (default all)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    parser.add_argument("--no-chart", action="store_true", help="write the tables only, no PNG")
    parser.add_argument("--seed", type=int, default=8)
    parser.add_argument("--from-json", type=Path, metavar="PATH",
                        help="measure nothing: redraw the table and chart of an earlier run")
    return parser.parse_args(argv)


def settings_from(args: argparse.Namespace) -> runner.Settings:
    sizes = list(args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES))
    if args.huge and HUGE not in sizes:
        sizes.append(HUGE)
    repeat = args.repeat or (3 if args.quick else 5)
    s = runner.Settings(sizes=sorted(sizes), repeat=repeat, seed=args.seed,
                        memory=not args.no_memory)
    s.build_repeat = min(repeat, 3)
    if args.quick:
        s.min_time, s.assignments, s.reads, s.build_repeat = 0.002, 200, 2_000, min(repeat, 2)
    if args.peers:
        s.peers = args.peers
    if args.ops:
        s.ops = args.ops
    return s


def write_reports(doc: dict, out: Path, draw: bool = True) -> None:
    out.mkdir(parents=True, exist_ok=True)
    report.write_json(out / "results.json", doc)
    (out / "results.md").write_text(report.markdown(doc))
    why_not = chart.draw(doc, out / "query_time.png") if draw else "--no-chart"
    print()
    print(report.console_summary(doc))
    if why_not:
        print(f"chart skipped: {why_not}")
    print(f"wrote {out / 'results.json'}, {out / 'results.md'}"
          + ("" if why_not else f", {out / 'query_time.png'}"))


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.from_json:
        write_reports(json.loads(args.from_json.read_text()), args.out, not args.no_chart)
        return 0
    settings = settings_from(args)
    print(f"sizes {', '.join(f'{n:,}' for n in settings.sizes)}; {settings.repeat} runs per figure")
    results, memory = runner.run(settings)
    verdicts = judge_all(results, memory)
    meta = {"machine": report.machine_info(),
            "settings": {k: v for k, v in vars(settings).items()}}
    write_reports(report.document(meta, results, memory, verdicts), args.out, not args.no_chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
