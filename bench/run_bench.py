#!/usr/bin/python3
"""Runs every benchmark of ftp-publisher in one go, prints one table and writes BENCHMARKS.md.

Usage: run_bench.py <bench build dir> <BENCHMARKS.md> [--runs N] [--only PART...] [--before DIR]
(tools/bench runs it, with tests/ on PYTHONPATH for the helpers that start and end servers)

Each figure is the median of N runs after one warm-up, with min and max; A and B of a
comparison run interleaved (A B A B ...) against the same server, and a ratio is the median of
the ratios of the pairs. The FTP server is tests/ftp_server.py (pyftpdlib) on 127.0.0.1, on a
free port, with a temporary home; everything started here is ended here, also on failure.
"""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

from links import run_large, run_links, run_site
from processes import ftp_server
from upload_session import key_values, run, session

USER, PASSWORD = "bench", "bench-pw"
MIB = 1024 * 1024


def child_cpu():
    usage = os.times()
    return usage.children_user + usage.children_system


class measured:
    """Runs one measurement's A and B interleaved and keeps what each run measured."""

    def __init__(self, runs):
        self.runs = runs
        self.a, self.b = [], []

    def interleave(self, run_a, run_b):
        run_a(), run_b()  # warm-up: caches, the server's first connection
        for _ in range(self.runs):
            self.a.append(run_a())
            self.b.append(run_b())
        return self


def spread(values, fmt="{:.1f}"):
    return (f"{fmt.format(statistics.median(values))} "
            f"({fmt.format(min(values))}–{fmt.format(max(values))})")


def pair_ratios(a, b):
    return [x / y for x, y in zip(a, b)]


class bench:
    def __init__(self, build, runs):
        self.build = build
        self.runs = runs
        # In memory where there is room: the disk is shared, and flushing one run's 512 MiB
        # would slow the next.
        shm = "/dev/shm"
        in_memory = os.path.isdir(shm) and shutil.disk_usage(shm).free > 2 * 1024 * MIB
        self.work = tempfile.mkdtemp(prefix="ftp-publisher-bench-", dir=shm if in_memory else None)
        self.home = os.path.join(self.work, "home")
        self.local = os.path.join(self.work, "local")
        os.makedirs(os.path.join(self.home, "www"))
        os.makedirs(self.local)
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen", no_proxy="127.0.0.1",
                        XDG_RUNTIME_DIR=self.work)
        self.rows = []
        self.notes = []
        self.servers = []
        self.extra_sections = []
        self.before = None

    def runs_for(self, size):
        """Cheap measurements get more runs: the noise of a shared machine weighs more there."""
        return self.runs * (3 if size <= 64 * MIB else 1)

    def like_ours_row(self, name, m, fmt="{:.1f}"):
        self.rows.append((f"{name}: against curl publishing as we do (temporary name, SIZE, "
                          f"RNFR, RNTO)", spread(m.a, fmt), spread(m.b, fmt),
                          spread(pair_ratios(m.a, m.b), "{:.3f}"), "(explains)", None))

    def program(self, name):
        return os.path.join(self.build, "bench", name)

    def server(self, throttle=0):
        server = ftp_server(self.home, USER, PASSWORD, throttle)
        self.servers.append(server)
        return server

    def close(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def local_file(self, name, size):
        path = os.path.join(self.local, name)
        block = os.urandom(min(size, MIB))
        with open(path, "wb") as f:
            for _ in range(size // len(block)):
                f.write(block)
            f.write(block[:size % len(block)])
        return path

    # One upload each way; both figures are the transfer alone, from the first setting (ours)
    # or the start of the transfer (curl's time_total) to the server's final reply.
    def uploader(self, server, path, remote):
        return session([self.program("bench_upload"), "put", server.url, USER, PASSWORD, path,
                        remote], self.env)

    @staticmethod
    def ours_put(uploader):
        values = uploader.upload()
        if "erfolgreich" not in values["response"]:
            raise RuntimeError("our upload failed: " + values["response"])
        return values

    def curl_put(self, server, path, remote, like_ours=False):
        """like_ours: publish as our upload does, under a temporary name, its size checked,
        then renamed; the same FTP commands, for a like-for-like yardstick."""
        target, after = remote, []
        if like_ours:
            directory, name = os.path.split(remote)
            temporary = f".{name}.partial-bench"
            target = os.path.join(directory, temporary)
            after = ["-Q", f"-SIZE {temporary}", "-Q", f"-RNFR {temporary}", "-Q",
                     f"-RNTO {name}"]
        cpu_before = child_cpu()
        out = run(["curl", "--silent", "--show-error", "--disable", "--noproxy", "*",
                   "--user", f"{USER}:{PASSWORD}", "-T", path, *after, "-w",
                   "seconds=%{time_total}\\nsent=%{size_upload}\\n",
                   f"{server.url}/%2F{target.lstrip('/')}"], timeout=300)
        values = key_values(out)
        values["cpu_seconds"] = child_cpu() - cpu_before
        return values

    def stored_size(self, remote):
        return os.path.getsize(os.path.join(self.home, remote.lstrip("/")))

    def throughput(self):
        server = self.server()
        for size_mib in (1, 64, 512):
            path = self.local_file(f"file_{size_mib}m.bin", size_mib * MIB)
            remote = f"/www/file_{size_mib}m.bin"
            server_busy, client_cpu = [], {"ours": [], "curl": []}
            with self.uploader(server, path, remote) as uploader:
                def ours():
                    c = server.cpu_seconds()
                    values = self.ours_put(uploader)
                    server_busy.append((server.cpu_seconds() - c) / float(values["seconds"]))
                    client_cpu["ours"].append(float(values["cpu_seconds"]))
                    assert self.stored_size(remote) == size_mib * MIB
                    return size_mib * MIB / 1e6 / float(values["seconds"])

                def curl():
                    values = self.curl_put(server, path, remote)
                    assert self.stored_size(remote) == size_mib * MIB
                    client_cpu["curl"].append(values["cpu_seconds"])
                    return size_mib * MIB / 1e6 / float(values["seconds"])

                m = measured(self.runs_for(size_mib * MIB)).interleave(ours, curl)
                if size_mib == 1:
                    like_ours = measured(self.runs_for(MIB)).interleave(
                        ours, lambda: size_mib * MIB / 1e6 / float(self.curl_put(
                            server, path, remote, like_ours=True)["seconds"]))
            ratios = pair_ratios(m.a, m.b)
            self.rows.append((f"Throughput {size_mib} MiB, MB/s", spread(m.a), spread(m.b),
                              spread(ratios, "{:.3f}"), "ours/curl ≥ 0.95",
                              statistics.median(ratios) >= 0.95))
            if size_mib == 1:
                self.like_ours_row("Throughput 1 MiB, MB/s", like_ours)
            if size_mib >= 64:  # the server's CPU time is counted in 10 ms ticks
                self.notes.append(f"Throughput {size_mib} MiB: the server process used "
                                  f"{spread([b * 100 for b in server_busy], '{:.0f}')} % of "
                                  f"one core during our uploads; CPU seconds per upload: "
                                  f"ours {spread(client_cpu['ours'], '{:.3f}')}, curl "
                                  f"{spread(client_cpu['curl'], '{:.3f}')}.")
            os.remove(os.path.join(self.home, remote.lstrip("/")))
            if size_mib != 512:
                os.remove(path)  # one big file at a time on the disk

    def memory(self):
        """A fresh process per upload, since a peak covers a process's whole life."""
        server = self.server()
        small = self.local_file("file_1m.bin", MIB)
        big = os.path.join(self.local, "file_512m.bin")  # left by throughput when it ran
        if not os.path.exists(big):
            self.local_file("file_512m.bin", 512 * MIB)

        def peak(path):
            def one():
                with self.uploader(server, path, "/www/peak.bin") as uploader:
                    self.ours_put(uploader)
                    return int(uploader.finish()["max_rss_kib"]) / 1024
            return one

        m = measured(self.runs).interleave(peak(big), peak(small))
        difference = statistics.median(m.a) - statistics.median(m.b)
        self.rows.append(("Peak RSS of bench_upload, MiB: 512 MiB vs 1 MiB", spread(m.a),
                          spread(m.b), f"{difference:+.1f} MiB", "difference < 8 MiB",
                          abs(difference) < 8))
        for path in (small, big, os.path.join(self.home, "www", "peak.bin")):
            os.remove(path)

    def latency(self):
        server = self.server()
        page = "aktuell_home.php"
        path = self.local_file(page, 20 * 1024)
        settings = os.path.join(self.work, "settings")
        os.makedirs(settings)
        with open(os.path.join(settings, "ftpserver.ini"), "wb") as ini:
            ini.write("".join(line + "\r\n" for line in [
                server.url, USER, PASSWORD, self.local + "/", "/www/", page]).encode())
        with session([self.program("bench_upload"), "click", settings], self.env) as clicker:
            def ours():
                values = clicker.upload(timeout=60)
                if values.get("title") != "O.K.":
                    raise RuntimeError(f"the click did not end in O.K.: {values}")
                return float(values["seconds"]) * 1000

            def curl():
                return float(self.curl_put(server, path, "/www/" + page)["seconds"]) * 1000

            m = measured(self.runs_for(0)).interleave(ours, curl)
            like_ours = measured(self.runs_for(0)).interleave(
                ours, lambda: float(self.curl_put(server, path, "/www/" + page,
                                                  like_ours=True)["seconds"]) * 1000)
        ratios = pair_ratios(m.a, m.b)
        self.rows.append(("Latency of a 20 KiB upload, ms (click to title; curl time_total)",
                          spread(m.a, "{:.2f}"), spread(m.b, "{:.2f}"),
                          spread(ratios, "{:.3f}"), "ours/curl ≤ 1.05",
                          statistics.median(ratios) <= 1.05))
        self.like_ours_row("Latency of a 20 KiB upload, ms", like_ours, "{:.2f}")

    def links(self):
        self.extra_sections.append(run_links(self, max(9, self.runs), self.before))

    def site(self):
        self.extra_sections.append(run_site(self, self.runs))

    def large(self):
        self.extra_sections.append(run_large(self, 2, self.before))

    def cpu_while_waiting(self):
        rate = 1_000_000
        server = self.server(throttle=rate)
        path = self.local_file("throttled.bin", 10 * rate)
        remote = "/www/throttled.bin"
        durations = []
        with self.uploader(server, path, remote) as uploader:
            def ours():
                values = self.ours_put(uploader)
                durations.append(float(values["seconds"]))
                return float(values["cpu_seconds"])

            def curl():
                return self.curl_put(server, path, remote)["cpu_seconds"]

            m = measured(self.runs).interleave(ours, curl)
        self.rows.append((f"CPU while waiting, s (upload throttled to "
                          f"{statistics.median(durations):.1f} s)", spread(m.a, "{:.3f}"),
                          spread(m.b, "{:.3f}"), "–", "ours < 0.2 s",
                          statistics.median(m.a) < 0.2))
        self.notes.append("CPU while waiting: ours is the CPU time bench_upload spent from the "
                          "first setting to the end of CLOSE; curl's is its whole process.")

    def start_up(self):
        settings = os.path.join(self.work, "startup")
        os.makedirs(settings)
        with open(os.path.join(settings, "ftpserver.ini"), "wb") as ini:
            ini.write(b"ftp://127.0.0.1:21\r\nuser\r\npw\r\n/tmp/\r\n/www/\r\nindex.html\r\n")

        def timed(name, *args):
            def one():
                values = key_values(run([self.program(name), str(time.monotonic_ns()), *args],
                                        timeout=60, env=self.env))
                idle = float(values["idle_ms"])
                if idle > float(values["quiet_ms"]) - 100:
                    raise RuntimeError(f"{name} was not idle well before its quiet spell")
                return idle
            return one

        m = measured(self.runs_for(0)).interleave(timed("bench_startup_form1", settings),
                                                   timed("bench_startup_minimal"))
        ratios = pair_ratios(m.a, m.b)
        self.rows.append(("Start-up to idle event loop, ms (Form1 vs one empty QWidget)",
                          spread(m.a), spread(m.b), spread(ratios, "{:.3f}"),
                          "ours/minimal ≤ 1.2", statistics.median(ratios) <= 1.2))
        # Where the time goes: the same empty QWidget with libcurl linked and initialised.
        m = measured(self.runs_for(0)).interleave(timed("bench_startup_minimal_curl"),
                                                  timed("bench_startup_minimal"))
        ratios = pair_ratios(m.a, m.b)
        self.rows.append(("Start-up, ms: the empty QWidget with libcurl linked vs without",
                          spread(m.a), spread(m.b), spread(ratios, "{:.3f}"), "(explains)",
                          None))


def versions(build):
    values = key_values(run([os.path.join(build, "bench", "bench_upload"), "versions"],
                            timeout=30, env=dict(os.environ, QT_QPA_PLATFORM="offscreen")))
    server = run(["/usr/bin/python3", "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"],
                 timeout=30).strip()
    curl = run(["curl", "--version"], timeout=30).splitlines()[0].split()[1]
    cpu = "unknown"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return (f"CPU: {cpu}, {os.cpu_count()} cores; {platform.system()} {platform.release()}\n"
            f"libcurl {values['libcurl']}, libssh {values['libssh']}, Qt {values['qt']}, "
            f"pyftpdlib {server} (server), "
            f"curl {curl} (command-line client)")


def table(rows):
    lines = ["| measurement | ours: median (min–max) | other: median (min–max) | ratio | goal | met |",
             "|---|---|---|---|---|---|"]
    for name, ours, other, ratio, goal, met in rows:
        lines.append(f"| {name} | {ours} | {other} | {ratio} | {goal} | "
                     f"{'–' if met is None else 'yes' if met else '**no**'} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("output")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--before", metavar="BUILD",
                        help="links: also measure this build's bench_upload, as \"ours before\"")
    parser.add_argument("--only", nargs="+", metavar="PART",
                        choices=["start_up", "latency", "throughput", "memory",
                                 "cpu_while_waiting", "links", "site", "large"],
                        help="run only these parts")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("--runs must be at least 5")

    started = time.monotonic()
    b = bench(os.path.abspath(args.build), args.runs)
    if args.before:
        b.before = os.path.join(os.path.abspath(args.before), "bench", "bench_upload")
    loads = []  # other work on this shared machine shows here
    try:
        for part in (b.start_up, b.latency, b.throughput, b.memory, b.cpu_while_waiting,
                     b.links, b.site, b.large):
            print(f"… {part.__name__.replace('_', ' ')}", file=sys.stderr, flush=True)
            if not args.only or part.__name__ in args.only:
                loads.append(f"{part.__name__.replace('_', ' ')} {os.getloadavg()[0]:.1f}")
                part()
    finally:
        b.close()
    elapsed = time.monotonic() - started

    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    report = "\n".join([
        f"Run of {stamp}, {args.runs} runs per figure after one warm-up "
        f"({3 * args.runs} for start-up, latency and up to 64 MiB), A and B interleaved; the whole run took "
        f"{elapsed / 60:.1f} min.",
        "",
        versions(args.build).replace("\n", "  \n"),
        "",
        table(b.rows),
        "",
        *[f"- {note}" for note in b.notes],
        f"- The machine's load average (1 min) as each part began: {', '.join(loads)}; the "
        f"server and the client of one upload keep up to 2 of the {os.cpu_count()} cores busy.",
        *["\n" + section for section in b.extra_sections],
    ])
    print(report)
    write_report(args.output, report)


MARKER = "<!-- tools/bench writes everything below this line -->"


def write_report(path, report):
    """Keeps the hand-written part of BENCHMARKS.md above the marker, replaces the rest."""
    head = "# Benchmarks\n\n"
    if os.path.exists(path):
        with open(path) as old:
            text = old.read()
        if MARKER in text:
            head = text.split(MARKER, 1)[0]
    with open(path, "w") as out:
        out.write(head + MARKER + "\n\n## Latest run\n\n" + report + "\n")


if __name__ == "__main__":
    main()
