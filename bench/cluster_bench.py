#!/usr/bin/env python3
"""Throughput of one skalo-httpd against a cluster of them behind nginx.

    python3 bench/cluster_bench.py [BUILD_DIR]        (default BUILD_DIR: build)

Cold: JOBS distinct results of 12 MP JPEGs (SOURCES copies of one photo, so
that nginx's hash on the Image field spreads them), CONCURRENCY requests at a
time, each into an empty cache; results per second of wall time. Hits: the
same result again and again with wrk. Once straight to one instance, once
through nginx to INSTANCES instances that share one cache folder, set up by
deploy/run-cluster.sh from deploy/nginx/skalo-cluster.conf. Also checks that
the cluster ran each job once. Files live in BUILD_DIR/bench (the workload
images of run_bench.py are reused); every process started here is stopped by
its PID. Not a test: the figures are noisy on a shared machine.
"""

import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import run_bench as rb

SOURCES = 6
WIDTHS = range(400, 416)  # results per source
CONCURRENCY = 8
INSTANCES = 3


def cold_rate(port, queries):
    """Answers results per second for `queries` sent by CONCURRENCY threads."""
    pending = list(queries)
    lock = threading.Lock()
    errors = []

    def worker():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        while True:
            with lock:
                if not pending or errors:
                    break
                query = pending.pop()
            conn.request("GET", "/skalo/bin?" + query)
            answer = conn.getresponse()
            body = answer.read()
            if answer.status != 200:
                with lock:
                    errors.append("%s: %d %s" % (query, answer.status, body[:200]))
        conn.close()

    start = time.monotonic()
    threads = [threading.Thread(target=worker) for _ in range(CONCURRENCY)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise rb.BenchError("cold request failed: " + errors[0])
    return len(queries) / (time.monotonic() - start)


def misses(port):
    status, body = rb.fetch(port, "/metrics")
    found = re.search(rb"^skalo_cache_misses_total (\d+)", body, re.M)
    if status != 200 or not found:
        raise rb.BenchError("no skalo_cache_misses_total on port %d" % port)
    return int(found.group(1))


def wait_for(port, proc, what):
    deadline = time.monotonic() + 10
    while True:
        try:
            if rb.fetch(port, "/healthz")[0] in (200, 404):
                return
        except OSError:
            pass
        if proc.poll() is not None or time.monotonic() > deadline:
            raise rb.BenchError(what + " did not start")
        time.sleep(0.05)


def start_cluster(build, work, site):
    """The instances and nginx, from deploy/run-cluster.sh --generate-only."""
    out = os.path.join(work, "cluster")
    module_dir = os.path.join(work, "cluster-module")
    cache = os.path.join(work, "cluster-cache")
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(module_dir, exist_ok=True)
    shutil.copy2(os.path.join(build, "skalo.so"), os.path.join(module_dir, "skalo.so"))
    rb.write_atomically(os.path.join(module_dir, "SkaloSettings.xml"), rb.WITH_CACHE.encode())
    ports = [rb.free_port() for _ in range(INSTANCES)]
    listen = rb.free_port()
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "deploy",
                          "run-cluster.sh")
    rb.run([script, "--generate-only", "--build", build, "--out", out,
            "--module", os.path.join(module_dir, "skalo.so"), "--root", site, "--cache", cache,
            "--listen", "127.0.0.1:%d" % listen, "--ports", ",".join(map(str, ports))],
           stdout=subprocess.DEVNULL)
    for n, port in enumerate(ports, 1):
        with open(os.path.join(out, "instance-%d.args" % n)) as f:
            args = f.read().splitlines()
        with open(os.path.join(out, "logs", "instance-%d.log" % n), "wb") as log:
            proc = subprocess.Popen([os.path.join(build, "skalo-httpd")] + args,
                                    stdout=log, stderr=subprocess.STDOUT)
        rb.children.append(proc)
        wait_for(port, proc, "instance %d" % n)
    with open(os.path.join(out, "logs", "nginx.out"), "wb") as log:
        proc = subprocess.Popen([rb.nginx_binary(), "-p", out, "-c",
                                 os.path.join(out, "nginx.conf"),
                                 "-e", os.path.join(out, "logs", "nginx-error.log")],
                                stdout=log, stderr=subprocess.STDOUT)
    rb.children.append(proc)
    wait_for(listen, proc, "nginx")
    return listen, ports


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    work = os.path.join(build, "bench")
    images = rb.prepare_images(work)
    note = rb.ensure_tools()
    if note:
        print("cluster_bench: " + note)
        return
    for n in range(SOURCES):
        name = os.path.join(images, "cluster%d.jpg" % n)
        if not os.path.exists(name):
            os.link(os.path.join(images, "photo12.jpg"), name)
    queries = ["Image=/images/cluster%d.jpg&Width=%d" % (n, w) for n in range(SOURCES)
               for w in WIDTHS]
    hit = "/skalo/bin?" + queries[0]

    shutil.rmtree(os.path.join(work, "cache"), ignore_errors=True)
    os.makedirs(os.path.join(work, "cache"))
    one = rb.Host(build, work, "cluster-one", rb.WITH_CACHE)
    try:
        one_cold = cold_rate(one.port, queries)
        one_hits = rb.wrk_rate(one.port, hit)
    finally:
        one.close()

    listen, ports = start_cluster(build, work, os.path.dirname(images))
    try:
        cluster_cold = cold_rate(listen, queries)
        cluster_hits = rb.wrk_rate(listen, hit)
        jobs = [misses(port) for port in ports]
    finally:
        rb.stop_all()
    if sum(jobs) != len(queries):
        raise rb.BenchError("the cluster ran %d jobs for %d results" % (sum(jobs), len(queries)))

    print("\n%d cold 12 MP results (%d sources), %d at a time; hits: wrk, %d conn, %d s; "
          "%d cores" % (len(queries), SOURCES, CONCURRENCY, rb.WRK_CONNECTIONS, rb.WRK_SECONDS,
                        os.cpu_count()))
    print("%-34s %10s %10s" % ("", "cold/s", "hits/s"))
    print("%-34s %10.1f %10.0f" % ("one instance", one_cold, one_hits))
    print("%-34s %10.1f %10.0f" % ("nginx + %d instances" % INSTANCES, cluster_cold,
                                    cluster_hits))
    print("%-34s %10.2f %10.2f" % ("cluster / one", cluster_cold / one_cold,
                                    cluster_hits / one_hits))
    print("jobs per instance: %s (each result computed once)" % ", ".join(map(str, jobs)))


if __name__ == "__main__":
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, rb.on_signal)
    try:
        main()
    except rb.BenchError as e:
        print("cluster_bench: %s" % e, file=sys.stderr)
        sys.exit(1)
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        rb.stop_all()
