#!/usr/bin/env python3
"""The typing page in headless Chromium, against kbdinspect's translation:

  typing-page.py KBDINSPECT MODULE PAGE FONT

Physical key events (a KeyboardEvent.code and the modifiers, no text) go to
the page, and what it types for every key in every state must be what
`kbdinspect type` types for the same stroke; what kbdinspect types with a
control character, the page must leave alone. Then the browser's own keys
(Ctrl+A, Backspace, undo), the on-screen keys and their latches, the
embedded text font, and that the page requested nothing but itself.
One browser, and the strokes sent in batches of one round trip each."""
import base64
import os
import re
import string
import subprocess
import sys
import unicodedata

from fontTools.ttLib import TTFont

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
from headless_chromium import ALT, CTRL, SHIFT, Chromium, key_events  # noqa: E402

# The keys, by KeyboardEvent.code, and kbdinspect's names for the same
# keys (`kbdinspect keys`), which it sends by their own scan codes.
NAMED = {
    "Backquote": "grave", "Minus": "minus", "Equal": "equals", "BracketLeft": "lbracket",
    "BracketRight": "rbracket", "Semicolon": "semicolon", "Quote": "quote",
    "Backslash": "backslash", "IntlBackslash": "oem102", "Comma": "comma", "Period": "period",
    "Slash": "slash", "Space": "space", "Tab": "tab", "Enter": "enter", "Backspace": "backspace",
    "Escape": "esc", "NumpadDecimal": "numdecimal", "NumpadAdd": "numplus",
    "NumpadSubtract": "numminus", "NumpadMultiply": "nummultiply", "NumpadDivide": "numdivide",
    "NumpadEnter": "numenter",
}
CODES = {**{f"Key{c}": c.lower() for c in string.ascii_uppercase},
         **{f"Digit{d}": str(d) for d in range(10)},
         **{f"Numpad{d}": f"num{d}" for d in range(10)}, **NAMED}
# The modifier keys: the code that goes down, its bit in the event's
# modifiers, and kbdinspect's name.
MODIFIERS = {"shift": ("ShiftLeft", SHIFT), "ctrl": ("ControlLeft", CTRL),
             "alt": ("AltLeft", ALT), "altgr": ("AltRight", ALT)}
STATES = [(), ("shift",), ("ctrl",), ("shift", "ctrl"), ("alt",), ("shift", "alt"),
          ("ctrl", "alt"), ("shift", "ctrl", "alt"), ("altgr",), ("shift", "altgr"),
          ("ctrl", "altgr")]
# Records what each key typed and empties the text for the next one.
RECORDER = """window.typed = [];
window.record = (e) => {
  if (e.code.startsWith("Shift") || e.code.startsWith("Control") || e.code.startsWith("Alt")) return;
  const text = document.getElementById("text");
  typed.push(text.value);
  text.value = "";
};
document.addEventListener("keyup", record, true);"""

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def kbdinspect_types(kbdinspect, module, strokes):
    """What each stroke types, as a string, and the code points of all of it."""
    out = subprocess.run([kbdinspect, "type", module, *strokes], check=True, capture_output=True,
                         text=True).stdout
    lines = [line for line in out.splitlines() if line.startswith("  ")]
    assert len(lines) == len(strokes), out
    typed = [re.search(r"((?:U\+[0-9A-F]{4,6} ?)*)$", line).group(1).split() for line in lines]
    return ["".join(chr(int(cp[2:], 16)) for cp in cps) for cps in typed], out


def inserted(text):
    """What the page inserts for what the module types: control characters are the browser's."""
    return "" if any(ord(c) < 0x20 or ord(c) == 0x7F for c in text) else text


def points(text):
    return " ".join(f"U+{ord(c):04X}" for c in text) or "nothing"


def state_events(state, codes):
    """Every key pressed once with the state's modifier keys held."""
    events, modifiers = [], 0
    for name in state:
        held, bit = MODIFIERS[name]
        modifiers |= bit
        events.append(("Input.dispatchKeyEvent", {"type": "keyDown", "code": held, "modifiers": modifiers}))
    for code in codes:
        events += key_events(code, modifiers)
    for name in state:
        events.append(("Input.dispatchKeyEvent", {"type": "keyUp", "code": MODIFIERS[name][0]}))
    return events


def click(page, code):
    """A mouse click in the middle of the on-screen key."""
    box = page.evaluate(f"""(b => b && (r => [r.x + r.width / 2, r.y + r.height / 2])
        (b.getBoundingClientRect()))(document.querySelector('[data-code="{code}"]'))""")
    if not check(box, f"no on-screen key {code}"):
        return []
    return [("Input.dispatchMouseEvent", {"type": kind, "x": box[0], "y": box[1], "button": "left",
                                          "clickCount": 1}) for kind in ("mousePressed", "mouseReleased")]


def every_key_in_every_state(page, kbdinspect, module):
    """Both Caps Lock states, the second through the on-screen latch."""
    codes = list(CODES)
    cases = [(state, caps) for caps in (False, True) for state in STATES]
    events = []
    for state, caps in cases:
        if caps and not state:
            events += click(page, "CapsLock")
        events += state_events(state, codes)
    events += click(page, "CapsLock")
    page.evaluate(RECORDER)
    page.batch(events)
    typed = page.evaluate("document.removeEventListener('keyup', record, true) || typed")
    strokes = ["+".join(state + (CODES[c],)) for state, _ in cases for c in codes]
    # Caps Lock goes on before the second half and stays on.
    expected, _ = kbdinspect_types(kbdinspect, module, strokes[:len(strokes) // 2] + ["capslock"] +
                                   strokes[len(strokes) // 2:])
    expected = expected[:len(strokes) // 2] + expected[len(strokes) // 2 + 1:]
    check(len(typed) == len(strokes), f"{len(typed)} keys recorded for {len(strokes)} strokes")
    for i, (stroke, got, want) in enumerate(zip(strokes, typed, expected)):
        caps = " with Caps Lock" if i >= len(strokes) // 2 else ""
        check(got == inserted(want), f"{stroke}{caps}: the page typed {points(got)}, "
                                     f"kbdinspect types {points(want)}")
    print(f"{len(strokes)} strokes: {len(codes)} keys in {len(cases)} states")
    half = len(strokes) // 2
    return dict(zip(strokes[:half], expected[:half]))  # with Caps Lock off


def value(page):
    return page.evaluate("document.getElementById('text').value")


def browser_keys(page, kbdinspect, module):
    """Chromium edits on the virtual key code, which these events carry;
    a key the module types cancels the text the computer's layout gives."""
    page.evaluate("document.getElementById('text').value = ''")
    page.batch(key_events("KeyA") + key_events("Quote"))
    typed, out = kbdinspect_types(kbdinspect, module, ["a", "quote", "q"])
    check(value(page) == typed[0] + typed[1], f"a quote: {points(value(page))}")
    shown = page.evaluate("document.getElementById('points').textContent")
    check(shown == points(typed[0] + typed[1]), f"the code points before the caret: {shown}")

    ctrl_a = {"type": "rawKeyDown", "code": "KeyA", "windowsVirtualKeyCode": 65, "modifiers": CTRL}
    page.batch([("Input.dispatchKeyEvent", ctrl_a)])
    selection = page.evaluate("(t => [t.selectionStart, t.selectionEnd, t.value.length])"
                              "(document.getElementById('text'))")
    check(selection[:2] == [0, selection[2]] and selection[2] > 0, f"Ctrl+A selected {selection}")
    page.batch(key_events("KeyQ", text="q"))
    check(value(page) == typed[2], f"KeyQ over the selection, with the computer's q: {points(value(page))}")
    backspace = {"type": "rawKeyDown", "code": "Backspace", "windowsVirtualKeyCode": 8}
    page.batch([("Input.dispatchKeyEvent", backspace)])
    check(value(page) == "", f"Backspace left {points(value(page))}")
    undo = {"type": "rawKeyDown", "code": "KeyZ", "windowsVirtualKeyCode": 90, "modifiers": CTRL}
    page.batch([("Input.dispatchKeyEvent", undo)] * 2)
    check(value(page) == typed[0] + typed[1], f"two undos gave {points(value(page))}")


def keys_shown(page):
    return page.evaluate("Object.fromEntries([...document.querySelectorAll('#keyboard button')]"
                         ".map(b => [b.dataset.code, [b.textContent, b.getAttribute('aria-label')]]))")


def on_screen_keyboard(page, kbdinspect, module, typed_in):
    """Each key shows what it types in the layer in use, on a dotted circle
    for a mark, and is named by it; physical Shift and AltGr change the
    layer while held; the latches type and let go."""
    layers = {"": [], "shift+": [("ShiftLeft", SHIFT)], "altgr+": [("AltRight", ALT)]}
    for prefix, held in layers.items():
        down = [("Input.dispatchKeyEvent", {"type": "keyDown", "code": c, "modifiers": m}) for c, m in held]
        page.batch(down)
        for code, (face, label) in keys_shown(page).items():
            want = typed_in.get(prefix + CODES.get(code, "-"), "")
            if not inserted(want) or want.isspace():
                continue
            mark = unicodedata.category(want[0]) == "Mn"
            check(face == ("\u25CC" if mark else "") + want, f"{prefix}{code} shows {face!r}")
            name = unicodedata.name(want[0]).lower() if mark else want[0]
            check(label.startswith(f"U+{ord(want[0]):04X} {name}"), f"{prefix}{code} is named {label!r}")
        page.batch([("Input.dispatchKeyEvent", {"type": "keyUp", "code": c}) for c, _ in held])

    page.evaluate("document.getElementById('text').value = ''")
    clicks = ["KeyA", "ShiftLeft", "KeyA", "KeyA", "AltRight", "Quote", "CapsLock", "KeyA", "KeyA",
              "CapsLock", "KeyA", "Space", "KeyE", "Backspace"]
    page.batch([event for code in clicks for event in click(page, code)])
    typed, _ = kbdinspect_types(kbdinspect, module, ["a", "shift+a", "a", "altgr+quote", "capslock",
                                                     "a", "a", "capslock", "a", "space"])
    check(value(page) == "".join(typed), f"on-screen keys typed {points(value(page))}, "
                                         f"kbdinspect {points(''.join(typed))}")
    pressed = page.evaluate("[...document.querySelectorAll('[aria-pressed=true]')].length")
    check(pressed == 0, f"{pressed} latches still pressed")


def main():
    kbdinspect, module, page_path, font = sys.argv[1:]
    size = os.path.getsize(page_path)
    check(size < 2 * 1024 * 1024, f"{page_path} takes {size} bytes")
    family = TTFont(font)["name"].getBestFamilyName()
    with open(page_path, encoding="utf-8") as html, open(font, "rb") as ttf:
        embedded = re.search(r'font-family: "%s"; src: url\("data:font/ttf;base64,([^"]+)"' %
                             re.escape(family), html.read())
        check(embedded and base64.b64decode(embedded.group(1)) == ttf.read(),
              f"{page_path} does not embed {font} as {family}")

    url = "file://" + os.path.abspath(page_path)
    with Chromium() as browser:
        page = browser.open(url)
        check(page.evaluate("document.activeElement.id") == "text", "the text area has no focus")
        typed_in = every_key_in_every_state(page, kbdinspect, module)
        browser_keys(page, kbdinspect, module)
        on_screen_keyboard(page, kbdinspect, module, typed_in)
        # The glyphs in the text area come from the embedded font.
        page.batch([("DOM.enable", {}), ("CSS.enable", {})])
        root = page.call("DOM.getDocument", depth=-1, pierce=True)["root"]
        nodes = [root]
        while nodes[-1].get("localName") != "textarea":
            node = nodes.pop()
            nodes += node.get("children", []) + node.get("shadowRoots", [])
        editor = nodes[-1]["shadowRoots"][0]["children"][0]
        fonts = page.call("CSS.getPlatformFontsForNode", nodeId=editor["nodeId"])["fonts"]
        check([(f["familyName"], f["isCustomFont"]) for f in fonts] == [(family, True)],
              f"the text area is drawn in {fonts}")
        status = page.evaluate(f"[...document.fonts].filter(f => f.family === '{family}')"
                               ".map(f => f.status)")
        check(status == ["loaded"], f"{family}: {status}")
        others = [u for u in page.requests() if u != url and not u.startswith("data:")]
        check(not others, f"requests beyond the file: {others}")

    for failure in failures[:int(os.environ.get("SHOW", 40))]:
        print("FAIL:", failure)
    if len(failures) > 40:
        print(f"... and {len(failures) - 40} more")
    print("typing page: " + ("FAILED" if failures else "every check passed"))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
