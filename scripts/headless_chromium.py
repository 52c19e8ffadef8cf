#!/usr/bin/env python3
"""Debian's Chromium, headless, driven over its DevTools protocol.

The protocol runs on a pipe (--remote-debugging-pipe: JSON messages ended
by a NUL byte, the browser reading fd 3 and writing fd 4), so no port is
opened. Each browser has a new, empty profile, and the flags keep it from
reaching out to the network on its own.

As a module: Chromium() starts one, .open(url) gives a Page, whose .call()
sends one command and .batch() many at once, answered together.

As a program, it takes the screenshot the README shows:

  headless_chromium.py screenshot PAGE.html OUT.png STROKE...

types each STROKE into the page as a physical key (a KeyboardEvent.code,
after "Shift+", "AltGr+" or "Ctrl+" when held: "Shift+KeyK", "Quote") and
captures the whole page, without the blinking caret."""
import base64
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-extensions", "--disable-dev-shm-usage", "--hide-scrollbars",
    # Each frame drawn whole, once the compositor is done with it: on a busy
    # machine, partly redrawn frames gave screenshots that differed in the
    # edges of a few keys.
    "--disable-partial-raster", "--run-all-compositor-stages-before-draw",
    "--remote-debugging-pipe",
]
TIMEOUT = 30  # seconds for any one answer
# The modifiers bit field of Input.dispatchKeyEvent.
ALT, CTRL, SHIFT = 1, 2, 8


class ProtocolError(Exception):
    pass


class Chromium:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="chromium-profile-")
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser = os.pipe()

        def give_pipes():  # the two ends the browser expects, as fds 3 and 4
            reading, writing = os.dup(to_browser), os.dup(from_browser)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, *FLAGS, f"--user-data-dir={self.profile}", "about:blank"],
            preexec_fn=give_pipes, close_fds=False, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer = b""
        self._next_id = 0
        self.events = []  # every event the browser sent, in order

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        if self.process.poll() is None:
            try:
                self.send("Browser.close")
                self.process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)

    def send(self, method, params=None, session=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        return self._next_id

    def _receive(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise ProtocolError("Chromium did not answer in time")
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                raise ProtocolError("Chromium closed the pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def answers(self, ids):
        """The results of the commands sent as `ids`, in that order; events
        that come in between go to self.events."""
        pending, results = set(ids), {}
        deadline = time.monotonic() + TIMEOUT
        while pending:
            message = self._receive(deadline)
            if "id" not in message:
                self.events.append(message)
            elif message["id"] in pending:
                if "error" in message:
                    raise ProtocolError(f"{message['error'].get('message')} (command {message['id']})")
                pending.discard(message["id"])
                results[message["id"]] = message.get("result", {})
        return [results[i] for i in ids]

    def wait_for(self, method, session=None):
        deadline = time.monotonic() + TIMEOUT
        while True:
            for event in self.events:
                if event["method"] == method and event.get("sessionId") == session:
                    self.events.remove(event)
                    return event
            message = self._receive(deadline)
            if "id" not in message:
                self.events.append(message)

    def open(self, url, width=1180, height=900):
        """A new tab showing `url`, loaded, with its fonts ready."""
        target = self.answers([self.send("Target.createTarget", {"url": "about:blank"})])[0]
        attached = self.answers([self.send("Target.attachToTarget",
                                           {"targetId": target["targetId"], "flatten": True})])[0]
        page = Page(self, attached["sessionId"])
        page.batch([("Page.enable", {}), ("Network.enable", {}), ("Runtime.enable", {}),
                    ("Emulation.setDeviceMetricsOverride",
                     {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})])
        page.call("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired", page.session)
        page.evaluate("document.fonts.ready.then(() => true)")
        return page


class Page:
    def __init__(self, browser, session):
        self.browser, self.session = browser, session

    def call(self, method, **params):
        return self.batch([(method, params)])[0]

    def batch(self, commands):
        """Sends every (method, params) at once, then waits for all the
        answers: one round trip however many."""
        ids = [self.browser.send(method, params, self.session) for method, params in commands]
        return self.browser.answers(ids)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise ProtocolError(f"{expression[:60]}...: {result['exceptionDetails']}")
        return result["result"].get("value")

    def requests(self):
        """The address of every request the page made so far."""
        return [e["params"]["request"]["url"] for e in self.browser.events
                if e["method"] == "Network.requestWillBeSent" and e.get("sessionId") == self.session]


def key_events(code, modifiers=0, text=None):
    """The down and up events of one physical key: its code and the
    modifiers held, and no text of its own unless given."""
    down = {"type": "keyDown", "code": code, "modifiers": modifiers}
    if text is not None:
        down["text"] = text
    return [("Input.dispatchKeyEvent", down),
            ("Input.dispatchKeyEvent", {"type": "keyUp", "code": code, "modifiers": modifiers})]


def stroke_events(stroke):
    """A stroke such as "Shift+KeyK" or "AltGr+KeyA": the modifier keys go
    down, the key is pressed, the modifier keys come up."""
    *held, code = stroke.split("+")
    held_codes = {"Shift": ("ShiftLeft", SHIFT), "AltGr": ("AltRight", ALT), "Ctrl": ("ControlLeft", CTRL)}
    modifiers, downs, ups = 0, [], []
    for name in held:
        held_code, bit = held_codes[name]
        modifiers |= bit
        downs.append(("Input.dispatchKeyEvent", {"type": "keyDown", "code": held_code, "modifiers": modifiers}))
        ups.insert(0, ("Input.dispatchKeyEvent", {"type": "keyUp", "code": held_code, "modifiers": 0}))
    return downs + key_events(code, modifiers) + ups


def screenshot(page_path, png_path, strokes):
    with Chromium() as browser:
        page = browser.open("file://" + os.path.abspath(page_path))
        page.batch([event for stroke in strokes for event in stroke_events(stroke)])
        # The caret blinks: the picture would depend on the moment.
        page.evaluate("document.querySelector('textarea').style.caretColor = 'transparent'")
        height = page.evaluate("Math.ceil(document.querySelector('main').getBoundingClientRect().bottom)")
        page.call("Emulation.setDeviceMetricsOverride", width=1180, height=height,
                  deviceScaleFactor=1, mobile=False)
        shot = page.call("Page.captureScreenshot", format="png")
    with open(png_path + ".partial", "wb") as out:
        out.write(base64.b64decode(shot["data"]))
    os.replace(png_path + ".partial", png_path)


if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[1] != "screenshot":
        sys.exit("usage: headless_chromium.py screenshot PAGE.html OUT.png STROKE...")
    screenshot(sys.argv[2], sys.argv[3], sys.argv[4:])
