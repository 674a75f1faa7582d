#!/usr/bin/env python3
"""End-to-end benchmark of the service against the running host.

    python3 bench/run_bench.py [BUILD_DIR]        (default BUILD_DIR: build)

Measures, over HTTP on 127.0.0.1, the server's CPU time per request for four
workloads with the result cache off, next to a floor in the same run: a plain
libjpeg full decode of the source plus a quality-90 encode of a PPM already
at the result size (djpeg + cjpeg), the least any full-decode resizer can do.
Also the peak memory of a 12 MP job above the idle server, the wall time of
one cold request, and cache hits per second against nginx serving the same
file as a static file.

Everything lives in BUILD_DIR/bench: workload images (generated once from a
fixed seed, reused when present), module copies with their own settings, the
cache folder, nginx's config and logs. Every process started here is stopped
by its PID, on failure and on SIGINT/SIGTERM too. The figures come from a
shared machine: they are noisy, and the script never fails on a missed goal,
only on a broken run.
"""

import http.client
import math
import os
import pwd
import random
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
from operator import add

REPS = {"W1": (2, 20), "W2": (5, 50), "W3": (5, 50), "W4": (2, 20)}  # warm-up, timed
FLOOR_RUNS = 10
WRK_SECONDS = 5
WRK_CONNECTIONS = 8
# Width of the cache-hit result: a 12 MP source at this width answers about 42 KB.
CACHE_HIT_QUERY = "Image=/images/photo12.jpg&Width=440&Compression=90"

# Goals: CPU per request over the floor, peak memory above idle, cache-hit
# rate over nginx's static rate, and a cold request's wall time over the floor.
GOAL_CPU_RATIO = 1.25
GOAL_PEAK_MB = 16.0
GOAL_CACHE_RATIO = 0.75

children = []  # every Popen started here, stopped by PID on the way out


class BenchError(Exception):
    pass


def on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def run(args, **kwargs):
    return subprocess.run(args, check=True, **kwargs)


def stop(proc):
    if proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def stop_all():
    while children:
        stop(children.pop())


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as out:
        out.write(data)
    os.replace(tmp, path)


# --- workload images ---------------------------------------------------------


def photo_ppm(width, height, seed):
    """A photo-like PPM: smooth colour gradients, a shared luminance texture
    that waves from row to row, and bell-shaped per-pixel noise. At quality 90
    a 12 MP JPEG of it is about 3-4 MB. Built row by row from byte tables so
    it takes seconds, not minutes."""
    rng = random.Random(seed)
    slack = 1024  # room for the per-row shift of the horizontal patterns

    def waves(n, terms):
        out = [0.0] * n
        for period, amp in terms:
            phase = rng.uniform(0, 2 * math.pi)
            k = 2 * math.pi / period
            for i in range(n):
                out[i] += amp * math.sin(k * i + phase)
        return out

    def scaled(values, top):
        lo, hi = min(values), max(values)
        return [int((v - lo) * top / (hi - lo)) for v in values]

    texture = waves(width + slack, [(rng.uniform(60, 140), 10), (rng.uniform(9, 25), 6)])
    columns = []
    for _ in range(3):
        tone = waves(width + slack, [(rng.uniform(1500, 4000), 40), (rng.uniform(400, 900), 25)])
        columns.append(scaled(list(map(add, tone, texture)), 150))
    noise_amp = 22
    bell = bytes(round(2 * noise_amp * sum(rng.random() for _ in range(4)) / 4) for _ in range(256))
    pool = 1 << 20
    noise = rng.randbytes(pool).translate(bell)
    rows = [waves(height, [(rng.uniform(1200, 3500), 1.0), (rng.uniform(300, 700), 0.5)])
            for _ in range(6)]

    stride = width * 3
    out = bytearray(b"P6\n%d %d\n255\n" % (width, height))
    row = bytearray(stride)
    for y in range(height):
        shift = int(slack / 2 + 300 * math.sin(y / 700) + 60 * math.sin(y / 37))
        for c in range(3):
            gain = 1.1 + 0.2 * rows[c][y]
            offset = 30 + 27 * rows[c + 3][y]
            curve = bytes(min(255, max(0, int(gain * v + offset))) for v in range(256))
            start = rng.randrange(0, pool - width)
            line = map(add, columns[c][shift:shift + width], noise[start:start + width])
            row[c::3] = bytes(line).translate(curve)
        out += row
    return bytes(out)


def pipe(path, first, second=None):
    """first [| second] > path, written atomically."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as out:
        a = subprocess.Popen(first, stdout=subprocess.PIPE if second else out)
        b = subprocess.Popen(second, stdin=a.stdout, stdout=out) if second else a
        if second:
            a.stdout.close()
        if b.wait() != 0 or a.wait() != 0:
            raise BenchError("failed: %s | %s" % (first, second))
    os.replace(tmp, path)


def prepare_images(work):
    images = os.path.join(work, "site", "images")
    os.makedirs(images, exist_ok=True)
    p = lambda name: os.path.join(images, name)
    f = lambda name: os.path.join(work, name)
    if not os.path.exists(p("photo12.jpg")):
        print("generating 12 MP JPEG ...", flush=True)
        ppm = f("photo12.ppm")
        write_atomically(ppm, photo_ppm(4000, 3000, 12))
        pipe(p("photo12.jpg"), ["cjpeg", "-quality", "90", ppm])
        os.remove(ppm)
    if not os.path.exists(p("photo4.jpg")) or not os.path.exists(p("photo4.png")):
        print("generating 4 MP JPEG and PNG ...", flush=True)
        ppm = f("photo4.ppm")
        write_atomically(ppm, photo_ppm(2304, 1728, 4))
        pipe(p("photo4.jpg"), ["cjpeg", "-quality", "90", ppm])
        pipe(p("photo4.png"), ["pnmtopng", ppm])
        os.remove(ppm)
    # The floor's encode inputs: the source already at the result size.
    if not os.path.exists(f("floor_w1.ppm")):
        pipe(f("floor_w1.ppm"), ["djpeg", p("photo12.jpg")], ["pamscale", "-width", "800"])
    if not os.path.exists(f("floor_w2.ppm")):
        pipe(f("floor_w2.ppm"), ["djpeg", p("photo4.jpg")], ["pamscale", "-width", "200"])
    if not os.path.exists(f("floor_w3.ppm")):
        pipe(f("floor_w3.ppm"), ["pngtopnm", p("photo4.png")], ["pamscale", "-width", "800"])
    if not os.path.exists(f("floor_w4.ppm")):
        pipe(f("floor_w4.ppm"), ["pnmpad", "-white", "-width", "800", "-height", "800",
                                 f("floor_w1.ppm")])
    return images


# --- processes and measurements ------------------------------------------------


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def vm_mb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) / 1024
    raise BenchError("no %s for pid %d" % (key, pid))


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Host:
    """One skalo-httpd on a free loopback port, with a private module copy
    whose SkaloSettings.xml holds the given settings."""

    def __init__(self, build, work, name, settings):
        module_dir = os.path.join(work, name)
        os.makedirs(module_dir, exist_ok=True)
        shutil.copy2(os.path.join(build, "skalo.so"), os.path.join(module_dir, "skalo.so"))
        write_atomically(os.path.join(module_dir, "SkaloSettings.xml"), settings.encode())
        log = os.path.join(work, name + ".log")
        with open(log, "wb") as out:
            self.proc = subprocess.Popen(
                [os.path.join(build, "skalo-httpd"), "--listen", "127.0.0.1:0",
                 "--root", os.path.join(work, "site"),
                 "--alias", "/skalo-cache=" + os.path.join(work, "cache"),
                 "--module", os.path.join(module_dir, "skalo.so")],
                stdout=out, stderr=subprocess.STDOUT)
        children.append(self.proc)
        self.pid = self.proc.pid
        deadline = time.monotonic() + 10
        while True:
            with open(log) as f:
                text = f.read()
            if "listening on http://" in text:
                address = text.split("listening on http://")[1].split("/")[0]
                self.port = int(address.rsplit(":", 1)[1])
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise BenchError("skalo-httpd did not start:\n" + text)
            time.sleep(0.02)
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)

    def get(self, path):
        self.conn.request("GET", path)
        answer = self.conn.getresponse()
        body = answer.read()
        if answer.status != 200:
            raise BenchError("GET %s: %d %s" % (path, answer.status, body[:200]))
        return body

    def close(self):
        self.conn.close()
        stop(self.proc)
        children.remove(self.proc)


NO_CACHE = "<settings><skalocacheenabled>false</skalocacheenabled></settings>\n"
WITH_CACHE = ("<settings><skalocachepath>/skalo-cache</skalocachepath>"
              "<skalocacheenabled>true</skalocacheenabled>"
              "<usecachesubfolders>true</usecachesubfolders></settings>\n")

WORKLOADS = [
    ("W1", "12 MP JPEG -> 800 q90", "Image=/images/photo12.jpg&Width=800&Compression=90",
     b"\xff\xd8", ["djpeg", "-outfile", os.devnull, "{work}/site/images/photo12.jpg"],
     ["cjpeg", "-quality", "90", "-outfile", os.devnull, "{work}/floor_w1.ppm"]),
    ("W2", "4 MP JPEG -> 200", "Image=/images/photo4.jpg&Width=200",
     b"\xff\xd8", ["djpeg", "-outfile", os.devnull, "{work}/site/images/photo4.jpg"],
     ["cjpeg", "-quality", "90", "-outfile", os.devnull, "{work}/floor_w2.ppm"]),
    # No libjpeg floor for PNG: netpbm's decode and encode stand in.
    ("W3", "4 MP PNG -> 800 PNG", "Image=/images/photo4.png&Width=800",
     b"\x89PNG", ["pngtopnm", "{work}/site/images/photo4.png"],
     ["pnmtopng", "{work}/floor_w3.ppm"]),
    ("W4", "12 MP JPEG -> 800x800 pad",
     "Image=/images/photo12.jpg&Width=800&Height=800&Whitespace=true",
     b"\xff\xd8", ["djpeg", "-outfile", os.devnull, "{work}/site/images/photo12.jpg"],
     ["cjpeg", "-quality", "90", "-outfile", os.devnull, "{work}/floor_w4.ppm"]),
]


def measure_floor(work, decode, encode):
    """CPU and wall ms of decode + encode, averaged over FLOOR_RUNS after one
    untimed run that loads the files and programs."""
    def once():
        for args in (decode, encode):
            subprocess.run([a.format(work=work) for a in args], check=True,
                           stdout=subprocess.DEVNULL)
    once()
    cpu0, wall0 = children_cpu(), time.perf_counter()
    for _ in range(FLOOR_RUNS):
        once()
    return ((children_cpu() - cpu0) * 1000 / FLOOR_RUNS,
            (time.perf_counter() - wall0) * 1000 / FLOOR_RUNS)


def measure_workload(build, work, key, query, magic, want_cold):
    """A fresh host (cache off): idle RSS, optionally one cold request, the
    warm-up, then the timed requests over one keep-alive connection."""
    warm, count = REPS[key]
    host = Host(build, work, "mod-nocache", NO_CACHE)
    try:
        idle = vm_mb(host.pid, "VmRSS")
        url = "/skalo/bin?" + query
        cold = None
        if want_cold:
            t0 = time.perf_counter()
            host.get(url)
            # One job alone; the later peak also holds what earlier jobs left
            # in the allocator.
            cold = ((time.perf_counter() - t0) * 1000, vm_mb(host.pid, "VmHWM") - idle)
        for _ in range(warm):
            body = host.get(url)
        if not body.startswith(magic):
            raise BenchError("%s answered %r..., not the expected format" % (key, body[:8]))
        cpu0, wall0 = cpu_seconds(host.pid), time.perf_counter()
        for _ in range(count):
            host.get(url)
        wall = (time.perf_counter() - wall0) * 1000 / count
        cpu = (cpu_seconds(host.pid) - cpu0) * 1000 / count
        peak = vm_mb(host.pid, "VmHWM") - idle
        return cpu, wall, peak, cold
    finally:
        host.close()


# --- cache hits against nginx -------------------------------------------------


def nginx_binary():
    # /usr/sbin is not on every user's PATH.
    sbin = "/usr/sbin/nginx"
    return shutil.which("nginx") or (sbin if os.access(sbin, os.X_OK) else None)


def ensure_tools():
    """wrk and nginx, installed when missing and running as root. Answers a
    note when they are still missing."""
    missing = [pkg for pkg, found in (("wrk", shutil.which("wrk")), ("nginx", nginx_binary()))
               if not found]
    if not missing:
        return None
    if os.geteuid() != 0:
        return "skipped: %s not installed (run as root or install them)" % " and ".join(missing)
    # Keeps the package from starting a system-wide nginx on port 80.
    guard = "/usr/sbin/policy-rc.d"
    made_guard = not os.path.exists(guard)
    if made_guard:
        write_atomically(guard, b"#!/bin/sh\nexit 101\n")
        os.chmod(guard, 0o755)
    try:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        install = ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing
        if subprocess.run(install, env=env).returncode != 0:
            subprocess.run(["apt-get", "update", "-qq"], env=env)
            if subprocess.run(install, env=env).returncode != 0:
                return "skipped: installing %s failed" % " ".join(missing)
    finally:
        if made_guard:
            os.remove(guard)
    return None


def start_nginx(work, root):
    prefix = os.path.join(work, "nginx")
    for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
        os.makedirs(os.path.join(prefix, "tmp", sub), exist_ok=True)
    port = free_port()
    # As root, nginx would hand its workers to "nobody": keep them ours.
    user = "user %s;\n" % pwd.getpwuid(os.geteuid()).pw_name if os.geteuid() == 0 else ""
    temp = "".join("  %s_temp_path %s/tmp/%s;\n" % (key, prefix, sub) for key, sub in (
        ("client_body", "body"), ("proxy", "proxy"), ("fastcgi", "fastcgi"), ("uwsgi", "uwsgi"),
        ("scgi", "scgi")))
    conf = os.path.join(prefix, "nginx.conf")
    write_atomically(conf, (
        "%sdaemon off;\nworker_processes auto;\npid %s/nginx.pid;\n"
        "error_log %s/error.log warn;\nevents { worker_connections 256; }\n"
        "http {\n  access_log off;\n%s  sendfile on;\n  keepalive_requests 1000000;\n"
        "  types { image/jpeg jpg; }\n  default_type application/octet-stream;\n"
        "  server { listen 127.0.0.1:%d; root %s; }\n}\n"
        % (user, prefix, prefix, temp, port, root)).encode())
    with open(os.path.join(prefix, "stderr.log"), "wb") as out:
        proc = subprocess.Popen([nginx_binary(), "-p", prefix, "-c", conf,
                                 "-e", os.path.join(prefix, "error.log")],
                                stdout=out, stderr=subprocess.STDOUT)
    children.append(proc)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                raise BenchError("nginx did not start; see " + prefix)
            time.sleep(0.05)


def fetch(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path)
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


def wrk_rate(port, path):
    out = run(["wrk", "-t2", "-c%d" % WRK_CONNECTIONS, "-d%ds" % WRK_SECONDS,
               "http://127.0.0.1:%d%s" % (port, path)], capture_output=True, text=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise BenchError("wrk saw failures:\n" + out)
    return float(out.split("Requests/sec:")[1].split()[0])


def measure_cache_hits(build, work):
    cache = os.path.join(work, "cache")
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)
    host = Host(build, work, "mod-cache", WITH_CACHE)
    try:
        url = "/skalo/bin?" + CACHE_HIT_QUERY
        body = host.get(url)
        if host.get(url) != body:
            raise BenchError("cache hit differs from the first answer")
        entries = [os.path.join(d, n) for d, _, names in os.walk(cache) for n in names]
        if len(entries) != 1:
            raise BenchError("expected one cache entry, found %d" % len(entries))
        static_path = "/" + os.path.relpath(entries[0], cache)
        nginx, nginx_port = start_nginx(work, cache)
        try:
            if fetch(nginx_port, static_path) != (200, body):
                raise BenchError("nginx does not serve the cache entry")
            ours = wrk_rate(host.port, url)
            theirs = wrk_rate(nginx_port, static_path)
            ours_static = wrk_rate(host.port, "/skalo-cache" + static_path)
        finally:
            stop(nginx)
            children.remove(nginx)
        return ours, theirs, ours_static, len(body)
    finally:
        host.close()


# --- report -------------------------------------------------------------------


def verdict(ok):
    return "PASS" if ok else "MISS"


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    for name in ("skalo-httpd", "skalo.so"):
        if not os.path.exists(os.path.join(build, name)):
            raise BenchError("%s/%s is missing: build it first" % (build, name))
    for tool in ("cjpeg", "djpeg", "pnmtopng", "pngtopnm", "pamscale", "pnmpad"):
        if not shutil.which(tool):
            raise BenchError("%s is missing: run make deps" % tool)
    work = os.path.join(build, "bench")
    os.makedirs(os.path.join(work, "cache"), exist_ok=True)
    images = prepare_images(work)
    sizes = ", ".join("%s %.1f MB" % (n, os.path.getsize(os.path.join(images, n)) / 1e6)
                      for n in ("photo12.jpg", "photo4.jpg", "photo4.png"))
    print("sources: %s; load %.2f, %d cores" % (sizes, os.getloadavg()[0], os.cpu_count()),
          flush=True)

    head = "%-32s %9s %9s %6s %8s %8s  %s" % ("workload", "ours ms", "floor ms", "ratio",
                                              "wall ms", "peak MB", "goal")
    lines = [head, "-" * len(head)]
    for key, title, query, magic, decode, encode in WORKLOADS:
        print("running %s ..." % key, flush=True)
        floor_cpu, floor_wall = measure_floor(work, decode, encode)
        cpu, wall, peak, cold = measure_workload(build, work, key, query, magic,
                                                 want_cold=(key == "W1"))
        ratio = cpu / floor_cpu
        goal = ""
        if key in ("W1", "W4"):
            goal = "CPU <= %.2f x floor: %s" % (GOAL_CPU_RATIO, verdict(ratio <= GOAL_CPU_RATIO))
        if key == "W1":
            goal += "; peak <= %g MB: %s" % (GOAL_PEAK_MB, verdict(peak <= GOAL_PEAK_MB))
        if key == "W3":
            goal = "(floor: netpbm pngtopnm + pnmtopng)"
        lines.append("%-32s %9.1f %9.1f %6.2f %8.1f %8.1f  %s" % (
            "%s %s" % (key, title), cpu, floor_cpu, ratio, wall, peak, goal))
        if cold:
            cold_ms, cold_peak = cold
            lines.append("%-32s %9s %9.1f %6.2f %8.1f %8.1f  wall <= floor: %s (floor wall %.1f)"
                         % ("W1 cold (fresh host, 1 request)", "-", floor_cpu, cold_ms / floor_cpu,
                            cold_ms, cold_peak, verdict(cold_ms <= floor_cpu), floor_wall))

    print("running cache hits ...", flush=True)
    note = ensure_tools()
    if note:
        lines.append("%-32s %s" % ("cache hit", note))
    else:
        ours, nginx, ours_static, size = measure_cache_hits(build, work)
        lines.append("")
        lines.append("%-32s %9s %9s %6s" % ("cache hit (%d B, %d conn, %d s)" % (
            size, WRK_CONNECTIONS, WRK_SECONDS), "ours/s", "nginx/s", "ratio"))
        lines.append("%-32s %9.0f %9.0f %6.2f  >= %.2f x nginx: %s" % (
            "/skalo/bin cache hit", ours, nginx, ours / nginx, GOAL_CACHE_RATIO,
            verdict(ours / nginx >= GOAL_CACHE_RATIO)))
        lines.append("%-32s %9.0f %9.0f %6.2f  (same file as a static file of our host)" % (
            "  our host, static file", ours_static, nginx, ours_static / nginx))
    print("\nCPU ms per request of the server (cache off) vs djpeg + cjpeg -quality 90;"
          " peak = VmHWM - idle VmRSS")
    print("\n".join(lines))


if __name__ == "__main__":
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    try:
        main()
    except BenchError as e:
        print("run_bench: %s" % e, file=sys.stderr)
        sys.exit(1)
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)  # a second signal must not cut the clean-up short
        stop_all()
