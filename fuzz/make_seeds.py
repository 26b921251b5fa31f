#!/usr/bin/env python3
"""Writes the seed corpus of fuzz/ (fuzz/corpus/<target>/): report
descriptors of the shapes real devices have, and reports for them.
Run from anywhere; rewrites the seeds in place."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def h(text):
    return bytes.fromhex(text.replace("\n", " "))


# The box as this project builds it (tests/support/descriptors.h).
BOX = h("""
05 01 09 04 A1 01 85 01 05 09 19 01 29 10 15 00 25 01 75 01 95 10 81 02
05 01 26 FF 03 75 10 95 02 85 02 09 30 09 31 81 02 85 03 09 32 09 33 81 02
85 04 09 34 09 35 81 02 85 05 16 00 80 26 FF 7F 09 36 09 37 81 02 C0""")

DESCRIPTORS = {
    "box": BOX,
    # Same identity, Game Pad collection.
    "box_gamepad": BOX[:3] + b"\x05" + BOX[4:],
    # 10-bit signed X/Y and 4 bits of padding.
    "joystick_10bit": h("""05 01 09 04 A1 01 85 02 16 00 FE 26 FF 01 09 30 09 31
        75 0A 95 02 81 02 75 04 95 01 81 03 C0"""),
    # One-byte input report.
    "joystick_short": h("05 01 09 04 A1 01 85 01 09 30 75 08 95 01 81 02 C0"),
    # No report IDs, 7 data bytes.
    "joystick_no_ids": h("""05 01 09 04 A1 01 09 30 09 31 09 32 75 10 95 03 81 02
        09 36 75 08 95 01 81 02 C0"""),
    # Boot mouse: 3 buttons, padding, relative X/Y.
    "mouse_boot": h("""05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 03 15 00 25 01
        95 03 75 01 81 02 95 01 75 05 81 03 05 01 09 30 09 31 15 81 25 7F
        75 08 95 02 81 06 C0 C0"""),
    # Boot keyboard: modifiers, reserved byte, LED output, key array.
    "keyboard_boot": h("""05 01 09 06 A1 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08
        81 02 95 01 75 08 81 03 95 05 75 01 05 08 19 01 29 05 91 02 95 01
        75 03 91 03 95 06 75 08 15 00 25 65 05 07 19 00 29 65 81 00 C0"""),
    # Game pad: 12 buttons, hat switch with units, Push/Pop around 12-bit
    # axes in a physical collection, a vendor feature report.
    "gamepad_hat_feature": h("""05 01 09 05 A1 01 85 01 05 09 19 01 29 0C 15 00 25 01
        75 01 95 0C 81 02 75 04 95 01 81 03 05 01 09 39 15 00 25 07 35 00
        46 3B 01 65 14 75 04 95 01 81 42 65 00 75 04 95 01 81 03 A4 09 01
        A1 00 09 30 09 31 16 00 F8 26 FF 07 75 0C 95 02 81 02 C0 B4 85 02
        06 00 FF 09 01 15 00 26 FF 00 75 08 95 08 B1 02 C0"""),
    # Joystick with 4-byte (extended) usages and a delimiter set.
    "joystick_extended_delimiter": h("""05 01 09 04 A1 01 0B 30 00 01 00 0B 31 00 01 00
        15 00 26 FF 00 75 08 95 02 81 02 A9 01 09 32 09 35 A9 00 75 08 95 01
        81 02 C0"""),
    # Two top-level collections: a joystick, then consumer controls.
    "two_collections": h("""05 01 09 04 A1 01 85 01 09 30 09 31 75 08 95 02 81 02 C0
        05 0C 09 01 A1 01 85 02 19 00 2A 3C 02 15 00 26 3C 02 75 10 95 01
        81 00 C0"""),
    # A value array: one usage range over four 8-bit elements.
    "value_array": h("""05 01 09 04 A1 01 85 03 19 30 29 33 15 00 26 FF 00 75 08
        95 04 81 02 C0"""),
    # Collections nested eight deep.
    "nested": h("05 01 09 04 A1 01" + " A1 02" * 7 + " 09 30 75 08 95 01 81 02"
                + " C0" * 8),
    # At the limits: 513 one-byte fields (one past the field limit), 2304
    # usage spans in nine fields of 256 one-byte Usage items (past the span
    # limit), and a descriptor one byte past the length limit.
    "fields_513": h("05 01 09 04 A1 01 75 08 95 01" + " 09 30 81 02" * 513 + " C0"),
    "usage_spans_2304": h("05 01 09 04 A1 01 75 08 95 01"
                          + (" 08" * 256 + " 81 02") * 9 + " C0"),
    "too_long": h("05 01 09 04 A1 01" + " 09 30" * 2045 + " C0"),
    # Refused shapes: a long item, a truncated item, an open collection.
    "long_item": h("05 01 09 04 A1 01 FE 02 10 AA BB C0"),
    "truncated": h("05 01 09 04 A1 01 26 FF"),
    "unclosed": h("05 01 09 04 A1 01 09 30 75 08 95 01 81 02"),
}


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def usage_value_input(descriptor, report_type, page, usage, link, report):
    return (struct.pack("<H", len(descriptor)) + descriptor
            + struct.pack("<BHHB", report_type, page, usage, link) + report)


def relay_input(reports):
    out = b""
    for report in reports:
        out += bytes([len(report) - 1]) + report
    return out


BOX_REPORTS = [
    h("01 05 00 00 00"), h("01 00 80 00 00"), h("01 FF 03 00 00"),
    h("02 BC 02 00 02"), h("02 FF 03 00 02"), h("03 10 00 20 00"),
    h("04 64 00 C8 00"), h("05 07 00 FB FF"), h("00 01 02 03 04"), h("FF FF FF FF FF"),
]


def main():
    for name, descriptor in DESCRIPTORS.items():
        write("hid_descriptor", name, descriptor)

    # Every axis of the box, by its own report.
    for i, report in enumerate(BOX_REPORTS):
        usage = 0x30 + 2 * max(0, report[0] - 2) if 2 <= report[0] <= 5 else 0x30
        write("hid_usage_value", "box_%02d" % i,
              usage_value_input(BOX, 0, 0x01, usage, 0, report))
    write("hid_usage_value", "box_wrong_length",
          usage_value_input(BOX, 0, 0x01, 0x30, 0, h("02 01 02")))
    write("hid_usage_value", "joystick_10bit_top",
          usage_value_input(DESCRIPTORS["joystick_10bit"], 0, 0x01, 0x30, 0, h("02 FF 03 00")))
    write("hid_usage_value", "gamepad_feature",
          usage_value_input(DESCRIPTORS["gamepad_hat_feature"], 2, 0xFF00, 0x01, 0,
                            h("02 01 02 03 04 05 06 07 08")))
    write("hid_usage_value", "gamepad_axis_in_collection",
          usage_value_input(DESCRIPTORS["gamepad_hat_feature"], 0, 0x01, 0x31, 1,
                            h("01 FF 0F 42 10 32 54")))
    write("hid_usage_value", "value_array",
          usage_value_input(DESCRIPTORS["value_array"], 0, 0x01, 0x32, 0, h("03 10 20 30 40")))
    write("hid_usage_value", "no_ids",
          usage_value_input(DESCRIPTORS["joystick_no_ids"], 0, 0x01, 0x36, 0,
                            h("00 01 02 03 04 05 06 07")))

    write("relay_report", "each_id", relay_input(BOX_REPORTS))
    write("relay_report", "short_after_long",
          relay_input([h("02 BC 02 00 02"), h("02 01"), h("05 07 00 FB FF"), h("01")]))
    write("relay_report", "dropped_1023",
          relay_input([h("02 FF 03 FF 03"), h("05 FF 03 00 02"), h("01 FF 03")]))


if __name__ == "__main__":
    main()
