"""The contact sheet: every frame of every animation on one image.

One animation per row (wrapped onto further rows when it would pass 8192 pixels), in the order
of the pet description, frames left to right, on a dark grey grid with a 4-pixel gap. Frames
keep their transparency.
"""

import extract_strip_frames as png

GAP = 4
MAX_SHEET_WIDTH = 8192
GRID_COLOUR = bytes((64, 64, 64, 255))


def sheet_geometry(frame_counts, width, height):
    """(columns, sheet width, sheet height, first row of each animation)."""
    columns = max(1, min(max(frame_counts), (MAX_SHEET_WIDTH - GAP) // (width + GAP)))
    first_rows = []
    rows = 0
    for count in frame_counts:
        first_rows.append(rows)
        rows += -(-count // columns)
    return columns, GAP + columns * (width + GAP), GAP + rows * (height + GAP), first_rows


def build_contact_sheet(animations, width, height):
    """animations: (name, frames) pairs; returns the sheet Image."""
    columns, sheet_width, sheet_height, first_rows = sheet_geometry(
        [len(frames) for _, frames in animations], width, height)
    background = bytearray(GRID_COLOUR * (sheet_width * sheet_height))
    sheet = png.Image(sheet_width, sheet_height, background)
    row_bytes = width * 4
    for (_, frames), first_row in zip(animations, first_rows):
        for index, frame in enumerate(frames):
            left = GAP + (index % columns) * (width + GAP)
            top = GAP + (first_row + index // columns) * (height + GAP)
            for y in range(height):
                target = ((top + y) * sheet_width + left) * 4
                sheet.pixels[target:target + row_bytes] = frame[y * row_bytes:(y + 1) * row_bytes]
    return sheet


def self_test(check):
    columns, width, height, first_rows = sheet_geometry([3, 1], 2, 2)
    check((columns, width, height, first_rows) == (3, 22, 16, [0, 1]), "sheet geometry")
    columns, width, _, first_rows = sheet_geometry([256, 2], 1024, 8)
    check(columns == 7 and width <= MAX_SHEET_WIDTH and first_rows == [0, 37], "wide sheet wraps")
    frame = bytes(range(16))
    sheet = build_contact_sheet([("a", [frame])], 2, 2)
    check(sheet.pixels[(GAP * sheet.width + GAP) * 4:(GAP * sheet.width + GAP) * 4 + 8]
          == frame[:8] and sheet.pixels[:4] == GRID_COLOUR, "frame placed on the grid")
