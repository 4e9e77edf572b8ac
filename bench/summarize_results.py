#!/usr/bin/env python3
"""Turns the load generator's tagged summary lines into the benchmark table, CSV and chart.

usage: summarize_results.py RUNS_TXT RESULTS_DIR

Each line of RUNS_TXT holds key=value pairs: the round, the target (server or baseline), where
the server's trace went, and the load generator's summary. A ratio is taken within each round,
server against the baseline run right beside it, and reported as the median over the rounds
with the lowest and highest in brackets.
"""
import csv
import statistics
import subprocess
import sys
from pathlib import Path

COLUMNS = ["round", "target", "trace", "mode", "connections", "entries", "keys", "window_s",
           "requests", "rps", "p50_us", "p90_us", "p99_us", "max_us", "errors", "server_cpu_us",
           "server_cpu_us_per_req", "client_cpu_us_per_req"]
NUMERIC = set(COLUMNS) - {"target", "trace", "mode"}
IDLE_LIMIT_US = 20_000  # two clock ticks: below what /proc can tell from noise


def parse_runs(path):
    runs = []
    for line in Path(path).read_text().splitlines():
        fields = dict(pair.split("=", 1) for pair in line.split() if "=" in pair)
        for name in NUMERIC:
            value = fields.get(name, "NA")
            fields[name] = float(value) if value not in ("", "NA") else None
        runs.append(fields)
    return runs


def write_csv(runs, path):
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=COLUMNS, extrasaction="ignore")
        writer.writeheader()
        for run in runs:
            writer.writerow({k: ("" if run.get(k) is None else run.get(k)) for k in COLUMNS})


class Results:
    def __init__(self, runs):
        self.runs = [r for r in runs if r.get("mode") != "idle"]
        self.idle = [r for r in runs if r.get("mode") == "idle"]

    def select(self, target, connections, entries, keys=None, trace=None):
        """Runs of one configuration, keyed by round."""
        found = {}
        for r in self.runs:
            if (r["target"] == target and r["connections"] == connections
                    and r["entries"] == entries and (keys is None or r["keys"] == keys)
                    and (trace is None or r["trace"] == trace)):
                found[int(r["round"])] = r
        return found

    def server(self, connections, entries, keys, trace="devnull"):
        return self.select("server", connections, entries, keys, trace)

    def baseline(self, connections, entries):
        return self.select("baseline", connections, entries)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def paired_ratios(top, bottom, field):
    """Per-round ratios top/bottom of one field, for the rounds both have."""
    ratios = []
    for rnd in sorted(set(top) & set(bottom)):
        a, b = top[rnd].get(field), bottom[rnd].get(field)
        if a is not None and b:
            ratios.append(a / b)
    return ratios


def spread(values, digits=2):
    if not values:
        return "n/a"
    return f"{statistics.median(values):.{digits}f} [{min(values):.{digits}f}-{max(values):.{digits}f}]"


def number(value, digits=0):
    return "n/a" if value is None else f"{value:,.{digits}f}"


def print_table(results, connection_counts, entry_counts, key_counts):
    header = (f"{'conns':>5} {'entries':>7} {'keys':>7} | {'server req/s':>12} {'baseline':>9} "
              f"{'ratio [spread]':>17} | {'p99 us':>7} {'baseline':>8} {'ratio':>5} | "
              f"{'CPU us/req':>10} {'baseline':>8} {'ratio [spread]':>17} | errors")
    print(header)
    print("-" * len(header))
    for c in connection_counts:
        for e in entry_counts:
            base = results.baseline(c, e)
            for k in key_counts:
                srv = results.server(c, e, k)
                errors = sum(int(r["errors"] or 0) for r in list(srv.values()) + list(base.values()))
                p99_ratio = median(paired_ratios(srv, base, "p99_us"))
                print(f"{c:>5.0f} {e:>7.0f} {k:>7.0f} | "
                      f"{number(median(r['rps'] for r in srv.values())):>12} "
                      f"{number(median(r['rps'] for r in base.values())):>9} "
                      f"{spread(paired_ratios(srv, base, 'rps')):>17} | "
                      f"{number(median(r['p99_us'] for r in srv.values())):>7} "
                      f"{number(median(r['p99_us'] for r in base.values())):>8} "
                      f"{number(p99_ratio, 2):>5} | "
                      f"{number(median(r['server_cpu_us_per_req'] for r in srv.values()), 1):>10} "
                      f"{number(median(r['server_cpu_us_per_req'] for r in base.values()), 1):>8} "
                      f"{spread(paired_ratios(srv, base, 'server_cpu_us_per_req')):>17} | "
                      f"{errors}")


def conns(count):
    return f"{count:.0f} conn" + ("" if count == 1 else "s")


def verdict(ratios, limit, at_least):
    if not ratios:
        return "n/a"
    value = statistics.median(ratios)
    met = value >= limit if at_least else value <= limit
    return "met" if met else "MISSED"


def print_targets(results, connection_counts, entry_counts, key_counts):
    few_keys, many_keys = key_counts[0], key_counts[-1]
    lines = []

    def target(name, ratios, limit, at_least):
        bound = (">=" if at_least else "<=") + f" {limit:g}"
        lines.append(f"  {name:<58} {bound:>7}  {spread(ratios):>17}  "
                     f"{verdict(ratios, limit, at_least)}")

    target("req/s vs baseline, 50 conns, 1 entry, 1,000 keys",
           paired_ratios(results.server(50, 1, few_keys), results.baseline(50, 1), "rps"), 0.8, True)
    target("req/s vs baseline, 1 conn, 1 entry, 1,000 keys",
           paired_ratios(results.server(1, 1, few_keys), results.baseline(1, 1), "rps"), 0.85, True)
    for c in connection_counts:
        target(f"CPU/request vs baseline, {conns(c)}, 1 entry",
               paired_ratios(results.server(c, 1, few_keys), results.baseline(c, 1),
                             "server_cpu_us_per_req"), 1.3, False)
    for c in connection_counts:
        target(f"CPU/request 10 entries vs 1 entry, {conns(c)}",
               paired_ratios(results.server(c, 10, few_keys), results.server(c, 1, few_keys),
                             "server_cpu_us_per_req"), 2.0, False)
    for c in connection_counts:
        for e in entry_counts:
            entries = "1 entry" if e == 1 else f"{e:.0f} entries"
            target(f"req/s 100,000 keys vs 1,000 keys, {conns(c)}, {entries}",
                   paired_ratios(results.server(c, e, many_keys), results.server(c, e, few_keys),
                                 "rps"), 0.9, True)
    target("CPU/request trace to a file vs /dev/null, 50 conns",
           paired_ratios(results.server(50, 1, few_keys, "file"),
                         results.server(50, 1, few_keys, "devnull"), "server_cpu_us_per_req"),
           1.25, False)
    for e in entry_counts:
        entries = "1 entry" if e == 1 else f"{e:.0f} entries"
        target(f"p99 vs baseline, 50 conns, {entries}",
               paired_ratios(results.server(50, e, few_keys), results.baseline(50, e), "p99_us"),
               2.0, False)
    print("targets (ratio: median over rounds [lowest-highest])")
    print("\n".join(lines))
    for r in results.idle:
        used = r["server_cpu_us"]
        status = "n/a" if used is None else ("met" if used < IDLE_LIMIT_US else "MISSED")
        print(f"  {'idle: 50 connections, server CPU over %.0f s' % r['window_s']:<58} "
              f"{'< 20 ms':>7}  {number(None if used is None else used / 1000, 0) + ' ms':>17}  "
              f"{status}")


def draw_chart(results, connection_counts, few_keys, out_dir):
    data = Path(out_dir) / "chart.dat"
    series = [("server, 1 entry", results.server, (1, few_keys)),
              ("server, 10 entries", results.server, (10, few_keys)),
              ("baseline, 1 entry", results.baseline, (1,)),
              ("baseline, 10 entries", results.baseline, (10,))]
    with open(data, "w") as out:
        for title, pick, args in series:
            out.write(f'"{title}"\n')
            for c in connection_counts:
                runs = pick(c, *args).values()
                out.write(f"{c:.0f} {median(r['rps'] for r in runs) or 0} "
                          f"{median(r['p99_us'] for r in runs) or 0}\n")
            out.write("\n\n")
    png = Path(out_dir) / "benchmarks.png"
    styles = ["lc rgb '#1f77b4' pt 7", "lc rgb '#1f77b4' dt 2 pt 5",
              "lc rgb '#d62728' pt 7", "lc rgb '#d62728' dt 2 pt 5"]
    plots = lambda column: ", ".join(
        f"'{data}' index {i} using 1:{column} with linespoints lw 2 {style} title columnhead(1)"
        for i, style in enumerate(styles))
    script = f"""
set terminal pngcairo size 1200,500 font ',10'
set output '{png}'
set multiplot layout 1,2 title 'token server beside the baseline server (1,000 keys, trace to /dev/null; medians over rounds)'
set logscale x
set xtics ({", ".join(f"{c:.0f}" for c in connection_counts)})
set xlabel 'connections'
set grid
set key bottom right
set ylabel 'requests per second'
set yrange [0:*]
plot {plots(2)}
set ylabel 'p99 latency (microseconds)'
set key top left
set logscale y
set yrange [*:*]
plot {plots(3)}
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return png


def main():
    runs_path, out_dir = sys.argv[1], sys.argv[2]
    runs = parse_runs(runs_path)
    csv_path = Path(out_dir) / "benchmarks.csv"
    write_csv(runs, csv_path)
    results = Results(runs)
    connection_counts = sorted({r["connections"] for r in results.runs})
    entry_counts = sorted({r["entries"] for r in results.runs})
    key_counts = sorted({r["keys"] for r in results.runs if r["target"] == "server"})
    rounds = len({r["round"] for r in results.runs})
    print(f"\nmedians over {rounds} rounds; ratios are server / baseline within each round\n")
    print_table(results, connection_counts, entry_counts, key_counts)
    print()
    print_targets(results, connection_counts, entry_counts, key_counts)
    png = draw_chart(results, connection_counts, key_counts[0], out_dir)
    print(f"\nCSV: {csv_path}\nchart: {png}")


if __name__ == "__main__":
    main()
