#!/usr/bin/env python3
"""The demo page in headless Chromium, against skalo-httpd serving demo/www.

Checks that every image on the page loads with the size its URL asks for, and
that the playground form, filled in and submitted, shows its image and the XML
answer without reloading the page. Chromium is driven through the DevTools
protocol over --remote-debugging-pipe (JSON messages ending in a NUL byte on
file descriptors 3 and 4), so no port and no WebSocket client are needed.

Exit codes: 0 passed, 1 failed, 77 skipped (ctest's SKIP_RETURN_CODE).
"""

import argparse
import fcntl
import json
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77
DEADLINE_SECONDS = 60  # a guard against hanging; a normal run takes seconds


class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


def stop(process, name):
    """Ends a process this script started, and whatever it left in its own
    process group: SIGTERM first, SIGKILL when that is not enough."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            log(f"{name} did not stop on SIGTERM; killing it")
            process.kill()
            process.wait()
    try:
        os.killpg(process.pid, signal.SIGKILL)  # helpers it started, if any are left
    except ProcessLookupError:
        pass


class Host:
    """skalo-httpd on a free loopback port with a private module, settings and cache."""

    def __init__(self, args, folder):
        module = os.path.join(folder, "module")
        cache = os.path.join(folder, "cache")
        os.makedirs(module)
        os.makedirs(cache)
        shutil.copy(args.module, os.path.join(module, "skalo.so"))
        shutil.copy(args.settings, os.path.join(module, "SkaloSettings.xml"))
        self.process = subprocess.Popen(
            [args.httpd, "--listen", "127.0.0.1:0", "--root", args.site,
             "--alias", "/skalo-cache=" + cache, "--module", os.path.join(module, "skalo.so")],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, start_new_session=True)
        try:
            ready, _, _ = select.select([self.process.stdout], [], [], 30)
            line = self.process.stdout.readline().decode() if ready else ""
            # "skalo-httpd listening on http://127.0.0.1:PORT/"
            if "http://" not in line:
                raise Failure(f"skalo-httpd did not get ready, printed {line!r}")
        except BaseException:
            stop(self.process, "skalo-httpd")
            raise
        self.base = line.strip()[line.index("http://"):].rstrip("/")


class Browser:
    """Headless Chromium with a private profile, spoken to over its DevTools pipe."""

    def __init__(self, chromium, folder):
        commands_read, self._commands = os.pipe()
        self._answers, answers_write = os.pipe()

        def move_pipes_to_3_and_4():
            # Out of the way first, so that neither lands on the other's number.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (commands_read, answers_write)]
            for fd, number in zip(high, (3, 4)):
                os.dup2(fd, number)  # inheritable, unlike every other descriptor here
                os.close(fd)

        profile = os.path.join(folder, "profile")
        env = dict(os.environ, HOME=folder, XDG_CONFIG_HOME=folder, XDG_CACHE_HOME=folder)
        self._output = open(os.path.join(folder, "chromium.log"), "wb")
        self.process = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-pipe", "--user-data-dir=" + profile,
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-default-apps", "--disable-dev-shm-usage",
             "--disable-breakpad", "--disable-crash-reporter",
             "--disable-features=Translate,MediaRouter,OptimizationHints",
             # Nothing but the loopback host is ever looked up.
             "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
             "--window-size=1280,1024", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._output, stderr=subprocess.STDOUT,
            env=env, preexec_fn=move_pipes_to_3_and_4, close_fds=False, start_new_session=True)
        os.close(commands_read)
        os.close(answers_write)
        self._buffer = b""
        self._events = []
        self._next_id = 0

    def log_tail(self):
        self._output.flush()
        with open(self._output.name, "rb") as f:
            return f.read()[-2000:].decode(errors="replace")

    def close(self):
        if self.process.poll() is None:
            try:
                self.call("Browser.close", timeout=5)
            except Failure:
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        stop(self.process, "chromium")
        for fd in (self._commands, self._answers):
            os.close(fd)
        self._output.close()

    def _receive(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self._answers], [], [], max(0.0, left))
            if not ready:
                raise Failure("no answer from chromium in time")
            chunk = os.read(self._answers, 65536)
            if not chunk:
                raise Failure("chromium closed its DevTools pipe:\n" + self.log_tail())
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=None, timeout=20):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._commands, data):]
        deadline = time.monotonic() + timeout
        while True:
            answer = self._receive(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise Failure(f"{method}: {answer['error']}")
                return answer["result"]
            self._events.append(answer)

    def wait_for_event(self, method, session, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            for event in self._events:
                if event.get("method") == method and event.get("sessionId") == session:
                    self._events.remove(event)
                    return event
            self._events.append(self._receive(deadline))

    def open_page(self, url):
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.call("Target.attachToTarget",
                            {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable", session=session)
        self.call("Page.navigate", {"url": url}, session=session)
        # The load event waits for every image of the page, loaded or failed.
        self.wait_for_event("Page.loadEventFired", session)
        return session

    def evaluate(self, session, what, expression, timeout=20):
        """Runs `expression` in the page, awaits it and answers its JSON value."""
        try:
            answer = self.call("Runtime.evaluate",
                               {"expression": expression, "awaitPromise": True,
                                "returnByValue": True}, session=session, timeout=timeout)
        except Failure as e:
            raise Failure(f"{what}: {e}") from None
        if "exceptionDetails" in answer:
            details = answer["exceptionDetails"]
            raise Failure(f"{what}: the page script failed: " +
                          details.get("exception", {}).get("description", str(details)))
        return answer["result"].get("value")


# Every <img> of the page once all have settled, with the natural size of each
# source image that a service URL names (static files, so the browser measures
# them itself).
IMAGES_SCRIPT = """(async () => {
  const images = [...document.images].filter((img) => img.getAttribute('src'));
  const sources = {};
  for (const img of images) {
    const url = new URL(img.src);
    const image = [...url.searchParams].find(([name]) => name.toLowerCase() === 'image');
    if (url.pathname.startsWith('/skalo') && image) sources[image[1]] = null;
  }
  for (const path of Object.keys(sources)) {
    const original = new Image();
    original.src = path;
    try { await original.decode(); } catch (e) {}
    sources[path] = [original.naturalWidth, original.naturalHeight];
  }
  return {sources, images: images.map((img) => ({
    src: img.getAttribute('src'), complete: img.complete,
    width: img.naturalWidth, height: img.naturalHeight}))};
})()"""

# Fills the playground like a person would and submits it; answers what the
# page shows once the result has settled.
PLAYGROUND_SCRIPT = """(async () => {
  const form = document.getElementById('playground');
  const set = (name, value) => {
    const field = form.elements[name];
    field.value = value;
    field.dispatchEvent(new Event('input', {bubbles: true}));
    field.dispatchEvent(new Event('change', {bubbles: true}));
  };
  set('Image', '/images/sample.jpg');
  set('Width', '123');
  set('Height', '');
  set('Output', '.png');
  set('Rotation', '0');
  set('bgcolor', '#336699');
  form.elements.Whitespace.checked = false;
  form.requestSubmit();
  const result = document.getElementById('pg-result');
  const end = Date.now() + 15000;
  while (result.dataset.state !== 'done' && result.dataset.state !== 'error' && Date.now() < end)
    await new Promise((resolve) => setTimeout(resolve, 50));
  const picture = document.getElementById('pg-picture');
  const xml = document.getElementById('pg-xml');
  return {
    state: result.dataset.state || '',
    src: picture.getAttribute('src') || '', complete: picture.complete,
    width: picture.naturalWidth, height: picture.naturalHeight,
    url: document.getElementById('pg-url').textContent,
    link: document.getElementById('pg-url-link').getAttribute('href'),
    xml: xml.textContent, xmlMarkup: xml.innerHTML,
    xmlUrl: document.getElementById('pg-xml-url').textContent,
  };
})()"""


def fields_of(src):
    """Query fields of a URL, names lower-cased as the service compares them."""
    query = urllib.parse.urlsplit(src).query
    return {name.lower(): value for name, value in urllib.parse.parse_qsl(query)}


def number(fields, name):
    try:
        return int(fields[name])
    except (KeyError, ValueError):
        return None


def expected_size(fields, source):
    """(width, height) that the URL fixes, None for a side it leaves open, and
    a reason when the size cannot be told from the URL."""
    width, height = number(fields, "width"), number(fields, "height")
    if fields.get("whitespace", "").lower() == "true":
        return (width, height), None  # padded onto a canvas of exactly the box
    if not source or not source[0] or not source[1]:
        return (None, None), "the source's size is unknown"
    source_width, source_height = source
    turns = (number(fields, "rotation") or 0) % 360
    if turns:
        angle = math.radians(turns)
        cos, sin = abs(math.cos(angle)), abs(math.sin(angle))
        source_width, source_height = (source_width * cos + source_height * sin,
                                       source_width * sin + source_height * cos)
        if abs(source_width - source_height) < 2:
            return (None, None), "the rotated picture is nearly square, so the box may turn or not"
    # AutoRotate (on unless "false") reads the box turned for pictures taller than wide.
    if fields.get("autorotate", "").lower() != "false" and source_width < source_height:
        return (height, width), None
    return (width, height), None


def check_page_images(page, failures):
    images = page["images"]
    log(f"{len(images)} images on the page")
    if not images:
        failures.append("the page shows no image")
    for image in images:
        src = image["src"]
        if not image["complete"] or image["width"] <= 0:
            failures.append(f"{src}: did not load")
            continue
        if not urllib.parse.urlsplit(src).path.startswith("/skalo"):
            log(f"  ok {src}: {image['width']}x{image['height']} (a static file)")
            continue
        fields = fields_of(src)
        (width, height), reason = expected_size(fields, page["sources"].get(fields.get("image")))
        got = (image["width"], image["height"])
        if reason:
            log(f"  ok {src}: {got[0]}x{got[1]} loaded; size not checked: {reason}")
        elif (width is not None and got[0] != width) or (height is not None and got[1] != height):
            failures.append(f"{src}: {got[0]}x{got[1]}, the URL asks for "
                            f"{width or 'any'}x{height or 'any'}")
        else:
            log(f"  ok {src}: {got[0]}x{got[1]}")


def check_playground(result, failures):
    log(f"playground: state {result['state']!r}, image {result['width']}x{result['height']}, "
        f"URL {result['url']}")
    if result["state"] != "done":
        failures.append(f"playground ended in state {result['state']!r}: {result['xml'][:300]}")
    if not (result["complete"] and result["width"] == 123):
        failures.append(f"playground image is {result['width']} wide, asked for 123")
    if not (result["url"] == result["src"] == result["link"]):
        failures.append(f"playground shows {result['url']!r} and links {result['link']!r} "
                        f"but loaded {result['src']!r}")
    fields = fields_of(result["src"])
    if "bgcolor=%23336699" not in result["src"] or fields.get("image") != "/images/sample.jpg" \
            or fields.get("width") != "123" or fields.get("output") != ".png":
        failures.append(f"playground URL does not carry the chosen fields: {result['src']}")
    xml_url = result["src"].replace("/skalo/bin?", "/skalo/xml?", 1) + "&ProcessBinary=false"
    if result["xmlUrl"] != xml_url:
        failures.append(f"playground XML URL is {result['xmlUrl']!r}")
    xml = result["xml"]
    if "<errorcode>0</errorcode>" not in xml or "<width>123</width>" not in xml:
        failures.append(f"playground XML answer: {xml!r}")
    if "&lt;root&gt;" not in result["xmlMarkup"]:
        failures.append("playground XML is not shown as text")


def time_is_up(*_):
    raise Failure(f"still running after {DEADLINE_SECONDS} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--httpd", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--site", required=True)
    parser.add_argument("--settings", required=True)
    parser.add_argument("--chromium", default=os.environ.get("SKALO_CHROMIUM", "chromium"))
    args = parser.parse_args()

    chromium = shutil.which(args.chromium)
    if chromium is None:
        log(f"SKIPPED: {args.chromium} is missing (make deps installs the chromium package)")
        return SKIP

    started = time.monotonic()
    failures = []
    with tempfile.TemporaryDirectory(prefix="skalo-browser-") as folder:
        host = browser = None
        # A hung step ends the run; the finally clauses still stop both processes.
        signal.signal(signal.SIGALRM, time_is_up)
        signal.alarm(DEADLINE_SECONDS)
        try:
            host = Host(args, folder)
            browser = Browser(chromium, folder)
            session = browser.open_page(host.base + "/")
            check_page_images(browser.evaluate(session, "the page's images", IMAGES_SCRIPT),
                              failures)
            # A submit that reloads the page ends this script with "target navigated".
            check_playground(browser.evaluate(session, "the playground", PLAYGROUND_SCRIPT),
                             failures)
        except Failure as e:
            failures.append(str(e))
        finally:
            signal.alarm(0)
            if browser:
                browser.close()
            if host:
                stop(host.process, "skalo-httpd")
                if host.process.returncode != 0:
                    failures.append(f"skalo-httpd ended with {host.process.returncode}")

    for failure in failures:
        log("FAILED: " + failure)
    log(f"browser check {'failed' if failures else 'passed'} in "
        f"{time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
