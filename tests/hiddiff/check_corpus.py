#!/usr/bin/env python3
"""Walk every report descriptor in tests/hiddiff/corpus and print what it holds.

Each .hid file is hex text ('#' comments, tokens of one or two hex digits,
optionally "0x"-prefixed, separated by whitespace and/or commas); a file that
does not parse as that is taken as raw binary.  The walk checks that the last
item ends exactly at the end of the data and that Collection / End Collection
balance, and prints one table row per file: size, top-level collections
(usage page/usage) and the items worth knowing about when comparing parsers.

Exit status: 0 when every file walks cleanly, 1 otherwise.
Usage: check_corpus.py [DIR-or-FILE ...]   (default: the corpus next to this script)
"""

import os
import re
import sys

TOKEN = re.compile(r"^(?:0[xX])?([0-9a-fA-F]{1,2})$")

TLC_NAMES = {
    (0x01, 0x01): "Pointer", (0x01, 0x02): "Mouse", (0x01, 0x04): "Joystick",
    (0x01, 0x05): "Game Pad", (0x01, 0x06): "Keyboard", (0x01, 0x08): "Multi-axis",
    (0x01, 0x0C): "Wireless Radio", (0x01, 0x80): "System Control",
    (0x0B, 0x05): "Headset", (0x0C, 0x01): "Consumer Control",
    (0x0D, 0x01): "Digitizer", (0x0D, 0x02): "Pen", (0x0D, 0x04): "Touch Screen",
}


def parse_text(raw):
    """Return the bytes of a hex-text descriptor, or None when it is not hex text."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return None
    out = bytearray()
    for line in text.splitlines():
        line = line.split("#", 1)[0]
        for tok in re.split(r"[\s,]+", line):
            if not tok:
                continue
            m = TOKEN.match(tok)
            if not m:
                return None
            out.append(int(m.group(1), 16))
    return bytes(out)


def load(path):
    with open(path, "rb") as f:
        raw = f.read()
    data = parse_text(raw)
    return (raw, "binary") if data is None else (data, "hex")


def walk(data):
    """Walk the items of one descriptor; return (errors, tlcs, features)."""
    errors, tlcs, feats = [], [], set()
    pos, depth = 0, 0
    page = 0
    stack = []                  # Push/Pop of the global usage page
    usages = 0                  # local usages since the last main item
    usage_range = [None, None]
    page_after_usage = False
    report_ids = set()
    count = 1
    app_depths = []             # depths of open Application collections
    pending_usage = None        # (page, usage) of the last usage, for the TLC name
    while pos < len(data):
        prefix = data[pos]
        if prefix == 0xFE:      # long item: size byte, tag byte, data
            if pos + 3 > len(data):
                errors.append(f"long item header cut off at {pos}")
                break
            size = data[pos + 1]
            end = pos + 3 + size
            if end > len(data):
                errors.append(f"long item at {pos} runs {end - len(data)} bytes past the end")
                break
            feats.add("long item")
            pos = end
            continue
        size = (0, 1, 2, 4)[prefix & 3]
        kind = (prefix >> 2) & 3
        tag = prefix >> 4
        if pos + 1 + size > len(data):
            errors.append(f"item 0x{prefix:02x} at {pos} needs {size} data bytes, "
                          f"{len(data) - pos - 1} left")
            break
        val = int.from_bytes(data[pos + 1:pos + 1 + size], "little")
        if kind == 0:           # main
            if tag == 0xA:      # Collection
                if depth == 0:
                    if pending_usage and pending_usage[0] is None:
                        pending_usage = (page, pending_usage[1])
                    tlcs.append(pending_usage or (page, None))
                if val == 1:
                    if app_depths:
                        feats.add("nested Application")
                    app_depths.append(depth)
                depth += 1
            elif tag == 0xC:    # End Collection
                if depth == 0:
                    errors.append(f"End Collection at {pos} without an open collection")
                else:
                    depth -= 1
                    if app_depths and app_depths[-1] == depth:
                        app_depths.pop()
            elif tag in (0x8, 0x9, 0xB):
                constant = bool(val & 1)
                if usage_range[0] is not None and usage_range[1] is not None:
                    n = usage_range[1] - usage_range[0] + 1
                    usages += max(n, 0)
                if usages and not constant:
                    if usages > count:
                        feats.add("usages>count")
                    elif usages < count:
                        feats.add("usages<count")
                if usages and constant:
                    feats.add("usage on Constant")
                if page_after_usage:
                    feats.add("Usage Page between usages")
            else:
                feats.add(f"reserved main tag {tag:#x}")
            if size == 2 and tag in (0x8, 0x9, 0xB):
                feats.add("2-byte main data")
            usages, usage_range, page_after_usage = 0, [None, None], False
            pending_usage = None
        elif kind == 1:         # global
            if tag == 0x0:
                if usages or usage_range != [None, None]:
                    page_after_usage = True
                page = val
            elif tag == 0x8:
                report_ids.add(val)
            elif tag == 0x9:
                count = val
            elif tag == 0xA:
                stack.append((page, count))
                feats.add("Push/Pop")
            elif tag == 0xB:
                if not stack:
                    errors.append(f"Pop at {pos} with an empty stack")
                else:
                    page, count = stack.pop()
            if size == 0 and tag in (0x1, 0x2, 0x3, 0x4):
                feats.add("0-byte global")
        elif kind == 2:         # local
            if tag in (0x0, 0x1, 0x2) and size == 4:
                feats.add("extended usage")
            if tag == 0x0:
                usages += 1
                if size == 4:
                    pending_usage = (val >> 16, val & 0xFFFF)
                else:
                    pending_usage = (None, val)
            elif tag == 0x1:
                usage_range[0] = val & 0xFFFF if size == 4 else val
            elif tag == 0x2:
                usage_range[1] = val & 0xFFFF if size == 4 else val
            elif tag == 0xA:
                feats.add("Delimiter")
        else:
            feats.add("reserved item type")
        pos += 1 + size
    if depth:
        errors.append(f"{depth} collection(s) still open at the end")
    if stack:
        feats.add("unbalanced Push")
    if len(report_ids) > 0:
        feats.add(f"{len(report_ids)} report ID(s)")
    return errors, tlcs, feats


def fmt_tlc(t):
    page, usage = t
    if usage is None:
        return f"{page:02X}/--"
    name = TLC_NAMES.get((page, usage))
    s = f"{page:02X}/{usage:02X}" if page < 0x100 else f"{page:04X}/{usage:02X}"
    return f"{s} {name}" if name else s


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    targets = argv[1:] or [os.path.join(here, "corpus")]
    files = []
    for t in targets:
        if os.path.isdir(t):
            files += sorted(os.path.join(t, n) for n in os.listdir(t) if n.endswith(".hid"))
        else:
            files.append(t)
    bad = 0
    rows = []
    for path in files:
        data, form = load(path)
        errors, tlcs, feats = walk(data)
        name = os.path.basename(path)
        if form != "hex":
            feats.add("raw binary")
        if errors:
            bad += 1
            feats.add("ERROR: " + "; ".join(errors))
        rows.append((name, len(data), "; ".join(fmt_tlc(t) for t in tlcs) or "-",
                     ", ".join(sorted(feats)) or "-"))
    print("| file | bytes | top-level collections | notable |")
    print("|---|---:|---|---|")
    for r in rows:
        print(f"| {r[0]} | {r[1]} | {r[2]} | {r[3]} |")
    multi = sum(1 for r in rows if ";" in r[2])
    print(f"\n{len(rows)} files, {multi} with more than one top-level collection, "
          f"{bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
