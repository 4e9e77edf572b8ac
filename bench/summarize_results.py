#!/usr/bin/env python3
"""Turns the load generator's tagged summary lines into the benchmark table, CSV and chart.

usage: summarize_results.py RUNS_TXT RESULTS_DIR

Each line of RUNS_TXT holds key=value pairs: the round, the series (matrix, no_scrapes, scrapes,
syscalls, connect, many_keys_server, many_keys_compare, memory, stdout, stdout_syscalls, burst, idle), the target (server, baseline, or
compare: the binary that COMPARE_SERVER names), where the server's trace went (devnull, file,
none), and the load generator's summary. A ratio is taken within each round, between runs made
right beside each other, and reported as the median over the rounds with the lowest and highest
in brackets. A target judged on fewer than two rounds (ROUNDS=1, the quick form) is marked
"indicative" rather than met or missed: one run on a shared machine proves neither.
"""
import os
import csv
import statistics
import subprocess
import sys
from pathlib import Path

TAGS = ["round", "series", "target", "trace"]
COLUMNS = TAGS + ["mode", "connections", "entries", "keys", "window_s", "requests", "rps",
                  "p50_us", "p90_us", "p99_us", "max_us", "errors", "server_cpu_us",
                  "server_cpu_us_per_req", "client_cpu_us_per_req", "scrapes", "scrape_errors",
                  "listen_overflows"]
TEXT = {"series", "target", "trace", "mode"}
SYSCALL_TOTAL = "syscalls_all_per_req"
IDLE_LIMIT_US = 20_000
# Many entries over many keys miss the cache at every entry: CPU per request at most this much
# above the baseline's for the same bytes, at these connection counts.
MANY_ENTRIES_CPU_AT_MOST = 1.3
MANY_ENTRIES_CONNECTIONS = (8, 50)  # two clock ticks: below what /proc can tell from noise
# A steady 1-entry request takes recv, one trace write and send. The tolerance leaves room for
# the window's edges (at most one request in flight per connection) and for the rare calls of
# the accept thread's timed wait, yet an extra call on one request in twenty still misses.
SYSCALLS_PER_REQUEST = 3
SYSCALL_TOLERANCE = 0.05
# Beside COMPARE_SERVER (the last release, say), a change may cost at most 2 %.
COMPARE_RPS_AT_LEAST = 0.98
COMPARE_CPU_AT_MOST = 1.02
STDOUT_NAMES = {"devnull": "/dev/null", "file": "file"}
MIN_ROUNDS_FOR_VERDICT = 2
BASELINE = ("baseline_server, the same pool of 50 workers answering every line with OK: no JSON, "
            "no buckets, no trace")


def parse_runs(path):
    runs = []
    for line in Path(path).read_text().splitlines():
        fields = dict(pair.split("=", 1) for pair in line.split() if "=" in pair)
        for name, value in fields.items():
            if name not in TEXT:
                fields[name] = float(value) if value not in ("", "NA") else None
        runs.append(fields)
    return runs


def syscall_columns(runs):
    """The load generator's per-request system call fields, total first, in the order it
    prints them: the list of calls it counts is its own."""
    names = []
    for run in runs:
        for name in run:
            if name.startswith("syscalls_") and name.endswith("_per_req") and name not in names:
                names.append(name)
    return names


def write_csv(runs, path):
    columns = COLUMNS + ["syscall_requests"] + syscall_columns(runs)
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=columns, extrasaction="ignore")
        writer.writeheader()
        for run in runs:
            writer.writerow({k: ("" if run.get(k) is None else run.get(k)) for k in columns})


class Results:
    def __init__(self, runs):
        self.runs = runs

    def select(self, series, target, connections, entries=1, keys=None, trace=None):
        """Runs of one configuration, keyed by round."""
        found = {}
        for r in self.runs:
            if (r.get("series") == series and r["target"] == target
                    and r["connections"] == connections and r["entries"] == entries
                    and (keys is None or r["keys"] == keys)
                    and (trace is None or r["trace"] == trace)):
                found[int(r["round"])] = r
        return found

    def stdout(self, target, connections, trace, series="stdout"):
        """The 1-entry runs of a fresh server with its standard output on /dev/null or a file."""
        return self.select(series, target, connections, trace=trace)

    def has_target(self, target):
        return any(r["target"] == target for r in self.runs)

    def server(self, connections, entries, keys, series="matrix"):
        return self.select(series, "server", connections, entries, keys)

    def baseline(self, connections, entries, series="matrix"):
        return self.select(series, "baseline", connections, entries)

    def counts(self, series):
        return sorted({r["connections"] for r in self.runs if r.get("series") == series})

    def idle(self):
        return [r for r in self.runs if r.get("series") == "idle"]


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def field_median(runs, field):
    return median(r.get(field) for r in runs.values())


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
    if len(values) == 1:
        return f"{values[0]:.{digits}f}"
    return f"{statistics.median(values):.{digits}f} [{min(values):.{digits}f}-{max(values):.{digits}f}]"


def number(value, digits=0):
    return "n/a" if value is None else f"{value:,.{digits}f}"


def error_count(*configurations):
    return sum(int(r["errors"] or 0) for runs in configurations for r in runs.values())


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
                p99_ratio = median(paired_ratios(srv, base, "p99_us"))
                print(f"{c:>5.0f} {e:>7.0f} {k:>7.0f} | "
                      f"{number(field_median(srv, 'rps')):>12} "
                      f"{number(field_median(base, 'rps')):>9} "
                      f"{spread(paired_ratios(srv, base, 'rps')):>17} | "
                      f"{number(field_median(srv, 'p99_us')):>7} "
                      f"{number(field_median(base, 'p99_us')):>8} "
                      f"{number(p99_ratio, 2):>5} | "
                      f"{number(field_median(srv, 'server_cpu_us_per_req'), 1):>10} "
                      f"{number(field_median(base, 'server_cpu_us_per_req'), 1):>8} "
                      f"{spread(paired_ratios(srv, base, 'server_cpu_us_per_req')):>17} | "
                      f"{error_count(srv, base)}")


def print_syscall_table(results, columns, few_keys):
    """Medians per request of the total and of each call; a call that neither side makes is
    left out, but futex (wake-ups) and the rest ("other") always show."""
    rows = []
    for c in results.counts("syscalls"):
        for target in ("server", "baseline"):
            runs = results.select("syscalls", target, c, 1, few_keys if target == "server" else None)
            rows.append((c, target, {name: field_median(runs, name) for name in columns}))
    always = {SYSCALL_TOTAL, "syscalls_futex_per_req", "syscalls_other_per_req"}
    shown = [name for name in columns
             if name in always or any((row[2][name] or 0) >= 0.005 for row in rows)]
    titles = [name[len("syscalls_"):-len("_per_req")] for name in shown]
    widths = [max(6, len(title)) for title in titles]
    print(f"system calls per 1-entry request ({few_keys:,.0f} keys; medians over rounds)")
    header = f"{'conns':>5} {'target':<8} | " + " ".join(
        f"{title:>{width}}" for title, width in zip(titles, widths))
    print(header)
    print("-" * len(header))
    for c, target, values in rows:
        print(f"{c:>5.0f} {target:<8} | " + " ".join(
            f"{number(values[name], 2):>{width}}" for name, width in zip(shown, widths)))


def print_connect_table(results, few_keys):
    print("a new connection per request: connect, one 1-entry request, reply, client closes")
    header = (f"{'slots':>5} | {'server conn/s':>13} {'baseline':>9} {'ratio [spread]':>17} | "
              f"{'p99 us':>7} {'baseline':>8} | {'CPU us/conn':>11} {'baseline':>8} "
              f"{'ratio [spread]':>17} | errors")
    print(header)
    print("-" * len(header))
    for c in results.counts("connect"):
        srv = results.server(c, 1, few_keys, "connect")
        base = results.baseline(c, 1, "connect")
        print(f"{c:>5.0f} | {number(field_median(srv, 'rps')):>13} "
              f"{number(field_median(base, 'rps')):>9} "
              f"{spread(paired_ratios(srv, base, 'rps')):>17} | "
              f"{number(field_median(srv, 'p99_us')):>7} "
              f"{number(field_median(base, 'p99_us')):>8} | "
              f"{number(field_median(srv, 'server_cpu_us_per_req'), 1):>11} "
              f"{number(field_median(base, 'server_cpu_us_per_req'), 1):>8} "
              f"{spread(paired_ratios(srv, base, 'server_cpu_us_per_req')):>17} | "
              f"{error_count(srv, base)}")


def print_many_keys_table(results):
    """Many-entry requests over the largest registry beside the baseline, and its memory."""
    runs = [r for r in results.runs if str(r.get("series")).startswith("many_keys_")]
    if not runs:
        return
    keys, entries = runs[0]["keys"], runs[0]["entries"]
    print(f"{entries_text(entries)} over {keys:,.0f} keys, a fresh server filled with them "
          "(medians over rounds; ratio server / baseline)")
    header = (f"{'conns':>5} {'target':<8} | {'req/s':>9} {'baseline':>9} {'ratio [spread]':>17} | "
              f"{'CPU us/req':>10} {'baseline':>8} {'ratio [spread]':>17} | errors")
    print(header)
    print("-" * len(header))
    for target in ("server", "compare"):
        # Each target had a turn of its own, the baseline measured beside it.
        series = f"many_keys_{target}"
        for c in results.counts(series):
            mine = results.select(series, target, c, entries, keys)
            base = results.select(series, "baseline", c, entries, keys)
            print(f"{c:>5.0f} {target:<8} | {number(field_median(mine, 'rps')):>9} "
                  f"{number(field_median(base, 'rps')):>9} "
                  f"{spread(paired_ratios(mine, base, 'rps')):>17} | "
                  f"{number(field_median(mine, 'server_cpu_us_per_req'), 1):>10} "
                  f"{number(field_median(base, 'server_cpu_us_per_req'), 1):>8} "
                  f"{spread(paired_ratios(mine, base, 'server_cpu_us_per_req')):>17} | "
                  f"{error_count(mine, base)}")
    for r in results.runs:
        if r.get("series") == "memory":
            print(f"  {r['target']:<8} resident memory per key, {r['keys']:,.0f} keys: "
                  f"{number(r.get('bytes_per_key'))} bytes")
    print()


def conns(count):
    return f"{count:.0f} conn" + ("" if count == 1 else "s")


def entries_text(count):
    return "1 entry" if count == 1 else f"{count:.0f} entries"


def verdict(values, limit, at_least):
    if not values:
        return "n/a"
    if len(values) < MIN_ROUNDS_FOR_VERDICT:
        return "indicative"
    value = statistics.median(values)
    met = value >= limit if at_least else value <= limit
    return "met" if met else "MISSED"


def pair_header(label, first, second):
    return (f"{label} | {'req/s ' + first:>13} {second:>9} {'ratio [spread]':>17} | "
            f"{'CPU us/req ' + first:>18} {second:>8} {'ratio [spread]':>17} | "
            f"{'calls/req ' + first:>17} {second:>7} | errors")


def pair_columns(first, second, calls):
    """Requests per second, CPU and system calls per request of two sets of runs side by side,
    with the ratio second / first within each round."""
    return (f"{number(field_median(first, 'rps')):>13} {number(field_median(second, 'rps')):>9} "
            f"{spread(paired_ratios(second, first, 'rps')):>17} | "
            f"{number(field_median(first, 'server_cpu_us_per_req'), 1):>18} "
            f"{number(field_median(second, 'server_cpu_us_per_req'), 1):>8} "
            f"{spread(paired_ratios(second, first, 'server_cpu_us_per_req')):>17} | "
            f"{number(calls[0], 2):>17} {number(calls[1], 2):>7} | {error_count(first, second)}")


def stdout_calls(results, target, connections, trace):
    return field_median(results.stdout(target, connections, trace, "stdout_syscalls"),
                        SYSCALL_TOTAL)


def print_stdout_table(results):
    """Each target's 1-entry rows with standard output on /dev/null and in a file, side by side."""
    print("stdout on /dev/null and to a file: 1 entry, 1,000 keys, a fresh server each "
          "(medians over rounds; ratio file / /dev/null)")
    header = pair_header(f"{'conns':>5} {'target':<8}", "null", "file")
    print(header)
    print("-" * len(header))
    for target in ("server", "compare"):
        for c in results.counts("stdout"):
            null, file = (results.stdout(target, c, t) for t in ("devnull", "file"))
            if null or file:
                calls = [stdout_calls(results, target, c, t) for t in ("devnull", "file")]
                print(f"{c:>5.0f} {target:<8} | {pair_columns(null, file, calls)}")


def print_compare_table(results):
    """This build's server beside COMPARE_SERVER, run by run in the same rounds."""
    print("this server beside COMPARE_SERVER: 1 entry, 1,000 keys "
          "(medians over rounds; ratio this / compare)")
    header = pair_header(f"{'conns':>5} {'stdout':<9}", "compare", "this")
    print(header)
    print("-" * len(header))
    for c in results.counts("stdout"):
        for trace, name in STDOUT_NAMES.items():
            other, this = (results.stdout(t, c, trace) for t in ("compare", "server"))
            calls = [stdout_calls(results, t, c, trace) for t in ("compare", "server")]
            print(f"{c:>5.0f} {name:<9} | {pair_columns(other, this, calls)}")


def print_burst_table(results):
    """Listen queue overflows in a burst of connects; each costs its client a second."""
    runs = [r for r in results.runs if r.get("series") == "burst"]
    if not runs:
        return
    count = runs[0].get("connections") or 0
    print(f"a burst of {count:,.0f} connects, each held open: listen queue overflows "
          "(each costs its client a second) and the seconds the burst took")
    for target in ("server", "compare"):
        mine = [r for r in runs if r["target"] == target]
        if mine:
            overflows = [r["listen_overflows"] for r in mine
                         if r.get("listen_overflows") is not None]
            seconds = [r["window_s"] for r in mine if r.get("window_s") is not None]
            print(f"  {target:<8} overflows {spread(overflows, 0):>13}   "
                  f"seconds {spread(seconds, 2):>17}")
    print()


def print_targets(results, connection_counts, entry_counts, key_counts):
    few_keys, many_keys = key_counts[0], key_counts[-1]
    lines = []

    def target(name, values, limit, at_least):
        bound = (">=" if at_least else "<=") + f" {limit:g}"
        lines.append(f"  {name:<58} {bound:>7}  {spread(values):>17}  "
                     f"{verdict(values, limit, at_least)}")

    for c in connection_counts:
        if c in MANY_ENTRIES_CONNECTIONS:
            target(f"CPU/request vs baseline, {conns(c)}, 10 entries, {many_keys / 1000:,.0f}k keys",
                   paired_ratios(results.server(c, 10, many_keys), results.baseline(c, 10),
                                 "server_cpu_us_per_req"), MANY_ENTRIES_CPU_AT_MOST, False)
    for c in connection_counts:
        target(f"CPU/request vs baseline, {conns(c)}, 1 entry",
               paired_ratios(results.server(c, 1, few_keys), results.baseline(c, 1),
                             "server_cpu_us_per_req"), 1.2, False)
    for c in connection_counts:
        target(f"req/s vs baseline, {conns(c)}, 1 entry",
               paired_ratios(results.server(c, 1, few_keys), results.baseline(c, 1), "rps"),
               0.95 if c == 1 else 0.9, True)
    for c in connection_counts:
        for k in key_counts:
            target(f"CPU/request 10 entries vs 1 entry, {conns(c)}, {k:,.0f} keys",
                   paired_ratios(results.server(c, 10, k), results.server(c, 1, k),
                                 "server_cpu_us_per_req"), 1.4, False)
    for c in connection_counts:
        for e in entry_counts:
            target(f"req/s 100,000 keys vs 1,000 keys, {conns(c)}, {entries_text(e)}",
                   paired_ratios(results.server(c, e, many_keys), results.server(c, e, few_keys),
                                 "rps"), 0.9, True)
    for e, limit in ((1, 1.5), (10, 2.0)):
        target(f"p99 vs baseline, 50 conns, {entries_text(e)}",
               paired_ratios(results.server(50, e, few_keys), results.baseline(50, e), "p99_us"),
               limit, False)
    for c in results.counts("connect"):
        target(f"new connection per request, conn/s vs baseline, {c:.0f} slots",
               paired_ratios(results.server(c, 1, few_keys, "connect"),
                             results.baseline(c, 1, "connect"), "rps"), 0.8, True)
    for c in results.counts("syscalls"):
        runs = results.server(c, 1, few_keys, "syscalls")
        target(f"system calls per 1-entry request, {conns(c)} (a count)",
               [r[SYSCALL_TOTAL] for r in runs.values() if r.get(SYSCALL_TOTAL) is not None],
               SYSCALLS_PER_REQUEST + SYSCALL_TOLERANCE, False)
    scraped = results.server(50, 1, few_keys, "scrapes")
    failed = sum(int(r.get("scrape_errors") or 0) for r in scraped.values())
    target("req/s with /metrics every 100 ms vs none, 50 conns"
           + (f" ({failed} scrapes FAILED)" if failed else ""),
           paired_ratios(scraped, results.server(50, 1, few_keys, "no_scrapes"), "rps"), 0.98,
           True)
    target("CPU/request trace to a file vs /dev/null, 50 conns",
           paired_ratios(results.stdout("server", 50, "file"),
                         results.stdout("server", 50, "devnull"), "server_cpu_us_per_req"),
           1.15, False)
    if results.has_target("compare"):
        for c in results.counts("stdout"):
            for trace, name in STDOUT_NAMES.items():
                this = results.stdout("server", c, trace)
                other = results.stdout("compare", c, trace)
                target(f"req/s vs COMPARE_SERVER, {conns(c)}, stdout {name}",
                       paired_ratios(this, other, "rps"), COMPARE_RPS_AT_LEAST, True)
                target(f"CPU/request vs COMPARE_SERVER, {conns(c)}, stdout {name}",
                       paired_ratios(this, other, "server_cpu_us_per_req"), COMPARE_CPU_AT_MOST,
                       False)
    print("targets (ratio: median over rounds [lowest-highest])")
    print("\n".join(lines))
    for r in results.idle():
        used = r["server_cpu_us"]
        status = "n/a" if used is None else ("met" if used < IDLE_LIMIT_US else "MISSED")
        calls = r.get(SYSCALL_TOTAL)
        calls = "" if calls is None else f" ({calls:,.0f} system calls)"
        print(f"  {'idle: 50 connections, server CPU over %.0f s' % r['window_s']:<58} "
              f"{'< 20 ms':>7}  {number(None if used is None else used / 1000, 0) + ' ms':>17}  "
              f"{status}{calls}")


def machine():
    """Cores and processor model, as /proc/cpuinfo names it."""
    model = "unknown model"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{os.cpu_count()} cores, {model}"


def draw_chart(results, connection_counts, few_keys, out_dir, rounds):
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
set terminal pngcairo size 1200,560 font ',10'
set output '{png}'
set multiplot layout 1,2 title "{chart_title(rounds)}" noenhanced
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


def chart_title(rounds):
    return ("token server beside the baseline server (1,000 keys, trace to /dev/null; medians "
            f"over {rounds} round{'s' if rounds != 1 else ''}"
            f"{'' if rounds >= MIN_ROUNDS_FOR_VERDICT else ': indicative'})\\n"
            f"baseline: {BASELINE}\\n"
            f"machine: {machine()}").replace('"', "'")


def main():
    runs_path, out_dir = sys.argv[1], sys.argv[2]
    runs = parse_runs(runs_path)
    csv_path = Path(out_dir) / "benchmarks.csv"
    write_csv(runs, csv_path)
    results = Results(runs)
    matrix = [r for r in runs if r.get("series") == "matrix"]
    connection_counts = sorted({r["connections"] for r in matrix})
    entry_counts = sorted({r["entries"] for r in matrix})
    key_counts = sorted({r["keys"] for r in matrix if r["target"] == "server"})
    rounds = len({r["round"] for r in matrix})
    print(f"\nmedians over {rounds} round{'s' if rounds != 1 else ''}; ratios are server / "
          f"baseline within each round")
    print(f"baseline: {BASELINE}")
    print(f"machine: {machine()}")
    if rounds < MIN_ROUNDS_FOR_VERDICT:
        print(f"one round: the targets are indicative; ROUNDS={MIN_ROUNDS_FOR_VERDICT} or more "
              "judges them")
    print()
    print_table(results, connection_counts, entry_counts, key_counts)
    print()
    if results.counts("syscalls"):
        print_syscall_table(results, syscall_columns(runs), key_counts[0])
        print()
    print_connect_table(results, key_counts[0])
    print()
    print_many_keys_table(results)
    if results.counts("stdout"):
        print_stdout_table(results)
        print()
    if results.has_target("compare"):
        print_compare_table(results)
        print()
    print_burst_table(results)
    print_targets(results, connection_counts, entry_counts, key_counts)
    png = draw_chart(results, connection_counts, key_counts[0], out_dir, rounds)
    print(f"\nCSV: {csv_path}\nchart: {png}")


if __name__ == "__main__":
    main()
