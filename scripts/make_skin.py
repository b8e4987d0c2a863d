#!/usr/bin/python3
"""Draws the skin of the workflow dialogs and the program icon.

    make_skin.py OUT_DIR          writes skin_background.bmp (resource 205),
                                  skin_buttons.bmp (204) and app.ico (206)
    make_skin.py --check          draws everything twice, checks that both runs give the
                                  same bytes and that sizes, headers and the nine-slice
                                  layout are right; exit status 1 otherwise
    make_skin.py --preview F.png  writes a PNG to look at: the background, the faces, the
                                  dialog at its three heights, the icons enlarged

Standard library only; the output depends on nothing but this file, so every build
produces the same bytes.
"""

import os
import struct
import sys
import zlib

BACKGROUND_SIZE = (400, 167)
FACE_SIZE = (94, 26)
FACE_COUNT = 4  # normal, hot, pressed, disabled
# The dialog paints the background in nine pieces: corners copied as they are, edges and
# middle tiled. Column and row borders of those pieces.
SLICE_X = (25, 350)
SLICE_Y = (34, 113)
# The dialogs clip the window to a rounded rectangle with a 6 x 6 ellipse.
WINDOW_CORNER = 3.0

# Colours. The dialogs draw the caption in RGB(51, 51, 51) and the status text on
# RGB(247, 247, 247), the button text in white: a light title band, a body of the label's
# grey, blue buttons.
FRAME = (163, 172, 186)
TITLE_TOP = (255, 255, 255)
TITLE_BOTTOM = (240, 243, 247)
ACCENT = (0, 95, 184)
SEPARATOR = (218, 223, 230)
BODY = (247, 247, 247)

FACES = (
    # fill at the top, fill at the bottom, border, inner top line
    ((22, 124, 214), (0, 100, 190), (0, 82, 160), (74, 156, 228)),  # normal
    ((64, 152, 232), (36, 128, 214), (16, 104, 190), (120, 186, 240)),  # hot
    ((0, 72, 140), (0, 86, 164), (0, 58, 116), (0, 52, 104)),  # pressed: shadow at the top
    ((222, 225, 230), (212, 216, 222), (186, 192, 201), (232, 234, 238)),  # disabled
)
BUTTON_CORNER = 3.0
ICON_BLUE = (0, 103, 192)
ICON_BLUE_DARK = (0, 78, 150)
WHITE = (255, 255, 255)

SUPERSAMPLE = 4


def mix(a, b, t):
    """a blended towards b by t (0..1), rounded to whole channel values."""
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def in_round_rect(px, py, left, top, right, bottom, radius):
    if px < left or px >= right or py < top or py >= bottom:
        return False
    cx = min(max(px, left + radius), right - radius)
    cy = min(max(py, top + radius), bottom - radius)
    return (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius


def coverage(x, y, inside):
    """Share of pixel (x, y) that inside(px, py) covers, in steps of 1/16."""
    hits = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            if inside(x + (sx + 0.5) / SUPERSAMPLE, y + (sy + 0.5) / SUPERSAMPLE):
                hits += 1
    return hits / (SUPERSAMPLE * SUPERSAMPLE)


def round_rect_coverage(width, height, left, top, right, bottom, radius):
    """Coverage map of a rounded rectangle; only pixels near corners are supersampled."""
    out = []
    for y in range(height):
        row = []
        for x in range(width):
            if x + 1 <= left or x >= right or y + 1 <= top or y >= bottom:
                row.append(0.0)
            elif (left + radius <= x and x + 1 <= right - radius) or (top + radius <= y and y + 1 <= bottom - radius):
                # away from the corners: a plain rectangle, partial only on a fractional edge
                cx = min(x + 1, right) - max(x, left)
                cy = min(y + 1, bottom) - max(y, top)
                row.append(cx * cy)
            else:
                row.append(coverage(x, y, lambda px, py: in_round_rect(px, py, left, top, right, bottom, radius)))
        out.append(row)
    return out


def paint(image, cover, colour_at):
    for y, row in enumerate(cover):
        for x, c in enumerate(row):
            if c > 0:
                image[y][x] = mix(image[y][x], colour_at(x, y), c)


def draw_background():
    w, h = BACKGROUND_SIZE
    # The frame colour everywhere; the rounded window region cuts away what lies outside
    # the outer corner, so that much may stay frame-coloured.
    img = [[FRAME] * w for _ in range(h)]
    band = SLICE_Y[0]  # title band: rows 0..33, the frame's top line included

    def content(x, y):
        if y < 3:
            return ACCENT
        if y < band - 1:
            return mix(TITLE_TOP, TITLE_BOTTOM, (y - 3) / (band - 5))
        if y == band - 1:
            return SEPARATOR
        return BODY

    paint(img, round_rect_coverage(w, h, 1, 1, w - 1, h - 1, WINDOW_CORNER - 1), content)
    return img


def draw_faces():
    fw, fh = FACE_SIZE
    img = [[BODY] * (fw * FACE_COUNT) for _ in range(fh)]
    for i, (top, bottom, border, line) in enumerate(FACES):
        face = [[BODY] * fw for _ in range(fh)]
        paint(face, round_rect_coverage(fw, fh, 0, 0, fw, fh, BUTTON_CORNER), lambda x, y: border)

        def fill(x, y, top=top, bottom=bottom, line=line):
            if y == 1:
                return line  # a highlight, or on the pressed face a shadow that shifts it down
            if i == 2 and y == 2:
                return mix(line, top, 0.5)
            return mix(top, bottom, (y - 1) / (fh - 3))

        paint(face, round_rect_coverage(fw, fh, 1, 1, fw - 1, fh - 1, BUTTON_CORNER - 1), fill)
        for y in range(fh):
            img[y][i * fw:(i + 1) * fw] = face[y]
    return img


def draw_icon(size):
    """RGBA rows: a blue rounded tile with a white arrow pointing down onto a bar."""
    s = float(size)
    tile = (0.0, 0.0, s, s)
    r = 3.5 / 16 * s

    def on_tile(px, py):
        return in_round_rect(px, py, tile[0], tile[1], tile[2], tile[3], r)

    def on_mark(px, py):
        u, v = px / s * 16, py / s * 16
        # on whole pixels of the 16 x 16 grid, so that the small icon stays sharp
        if 7.0 <= u < 9.0 and 3.0 <= v < 8.0:  # shaft
            return True
        if 7.0 <= v < 11.0 and abs(u - 8) < 11.0 - v:  # head
            return True
        return 4.0 <= u < 12.0 and 12.0 <= v < 13.0  # bar

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            a = coverage(x, y, on_tile)
            if a == 0:
                row.append((0, 0, 0, 0))
                continue
            base = mix(ICON_BLUE, ICON_BLUE_DARK, y / (size - 1))
            colour = mix(base, WHITE, coverage(x, y, on_mark))
            row.append(colour + (int(round(a * 255)),))
        rows.append(row)
    return rows


def bmp8(img):
    """An 8-bit palette BMP (BITMAPINFOHEADER, bottom-up) of an RGB image."""
    h, w = len(img), len(img[0])
    palette = sorted({c for row in img for c in row})
    if len(palette) > 256:
        raise ValueError("%d colours do not fit an 8-bit palette" % len(palette))
    index = {c: i for i, c in enumerate(palette)}
    stride = (w + 3) & ~3
    pixels = b"".join(bytes(index[c] for c in img[y]) + b"\0" * (stride - w) for y in range(h - 1, -1, -1))
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + 40 + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, len(palette), 0)
    return header + info + colours + pixels


def ico(images):
    """An icon file of 32-bit BGRA images, each with its AND mask."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for rows in images:
        n = len(rows)
        xor = b"".join(bytes((b, g, r, a)) for y in range(n - 1, -1, -1) for r, g, b, a in rows[y])
        mask_stride = ((n + 31) // 32) * 4
        mask = b""
        for y in range(n - 1, -1, -1):
            bits = bytearray(mask_stride)
            for x in range(n):
                if rows[y][x][3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bytes(bits)
        info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        blob = info + xor + mask
        entries.append(struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def build():
    return {
        "skin_background.bmp": bmp8(draw_background()),
        "skin_buttons.bmp": bmp8(draw_faces()),
        "app.ico": ico([draw_icon(16), draw_icon(32)]),
    }


# ---- checks ------------------------------------------------------------------------


def read_bmp8(data):
    """(width, height, rows of RGB) of an 8-bit BMP; raises ValueError on a bad header."""
    magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    hsize, w, h, planes, bpp, comp, image_size, _, _, used, _ = struct.unpack_from("<IiiHHIIiiII", data, 14)
    stride = (w + 3) & ~3
    problems = []
    if magic != b"BM" or size != len(data):
        problems.append("file header")
    if hsize != 40 or planes != 1 or bpp != 8 or comp != 0 or h <= 0:
        problems.append("info header")
    if not 0 < used <= 256 or offset != 54 + 4 * used:
        problems.append("palette")
    if image_size != stride * h or offset + image_size != len(data):
        problems.append("pixel size")
    if problems:
        raise ValueError(", ".join(problems))
    pal = [tuple(data[54 + 4 * i + k] for k in (2, 1, 0)) for i in range(used)]
    rows = []
    for y in range(h - 1, -1, -1):
        line = data[offset + y * stride:offset + y * stride + w]
        if max(line) >= used:
            raise ValueError("pixel outside the palette")
        rows.append([pal[i] for i in line])
    return w, h, rows


def check_background(rows):
    w, h = BACKGROUND_SIZE
    problems = []
    x0, x1 = SLICE_X
    y0, y1 = SLICE_Y
    # The middle column is tiled sideways: every one of its columns must be the same.
    for y in range(h):
        if len(set(rows[y][x0:x1])) != 1:
            problems.append("row %d varies along the middle column" % y)
            break
    # The middle row is tiled downwards: every one of its rows must be the same.
    for y in range(y0 + 1, y1):
        if rows[y] != rows[y0]:
            problems.append("row %d differs from the first middle row" % y)
            break
    # The right pieces reach the window's right edge, the bottom ones its bottom edge.
    if rows[0][w - 1] != FRAME or rows[h - 1][w - 1] != FRAME or rows[y0][w - 1] != FRAME:
        problems.append("no frame on the outer edge")
    if rows[y0][x0] != BODY:
        problems.append("the middle is not the body colour")
    return problems


def check(files):
    problems = []
    w, h, rows = read_bmp8(files["skin_background.bmp"])
    if (w, h) != BACKGROUND_SIZE:
        problems.append("background is %dx%d" % (w, h))
    else:
        problems += check_background(rows)
    w, h, rows = read_bmp8(files["skin_buttons.bmp"])
    fw, fh = FACE_SIZE
    if (w, h) != (fw * FACE_COUNT, fh):
        problems.append("buttons are %dx%d" % (w, h))
    else:
        faces = [[row[i * fw:(i + 1) * fw] for row in rows] for i in range(FACE_COUNT)]
        for i in range(FACE_COUNT):
            for j in range(i + 1, FACE_COUNT):
                if faces[i] == faces[j]:
                    problems.append("faces %d and %d are the same" % (i, j))
    data = files["app.ico"]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if (reserved, kind, count) != (0, 1, 2):
        problems.append("icon directory")
    else:
        for k, want in enumerate((16, 32)):
            bw, bh, _, _, planes, bpp, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * k)
            hsize, iw, ih, _, ibpp = struct.unpack_from("<IiiHH", data, offset)
            mask_stride = ((want + 31) // 32) * 4
            if ((bw, bh, planes, bpp) != (want, want, 1, 32) or offset + length > len(data) or
                    (hsize, iw, ih, ibpp) != (40, want, 2 * want, 32) or
                    length != 40 + want * want * 4 + mask_stride * want):
                problems.append("icon image %d" % want)
    return problems


# ---- preview -----------------------------------------------------------------------


def nine_slice(bg, cw, ch):
    """The background as the dialog paints it (draw mode 5) on a cw x ch client area."""
    w, h = BACKGROUND_SIZE
    out = [[(0, 0, 0)] * cw for _ in range(ch)]
    cols = ((0, SLICE_X[0], 0, SLICE_X[0]), (SLICE_X[0], SLICE_X[1], SLICE_X[0], cw - (w - SLICE_X[1])),
            (SLICE_X[1], w, cw - (w - SLICE_X[1]), cw))
    rws = ((0, SLICE_Y[0], 0, SLICE_Y[0]), (SLICE_Y[0], SLICE_Y[1], SLICE_Y[0], ch - (h - SLICE_Y[1])),
           (SLICE_Y[1], h, ch - (h - SLICE_Y[1]), ch))
    for sy0, sy1, dy0, dy1 in rws:
        for sx0, sx1, dx0, dx1 in cols:
            for dy in range(dy0, dy1):
                for dx in range(dx0, dx1):
                    out[dy][dx] = bg[sy0 + (dy - dy0) % (sy1 - sy0)][sx0 + (dx - dx0) % (sx1 - sx0)]
    # The window region: a 6 x 6 rounded rectangle, outside it the desktop shows.
    for y in range(ch):
        for x in range(cw):
            if not in_round_rect(x + 0.5, y + 0.5, 0, 0, cw, ch, WINDOW_CORNER):
                out[y][x] = DESKTOP
    return out


DESKTOP = (96, 110, 128)


def png(rows):
    h, w = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def preview(path, scale):
    bg, faces = draw_background(), draw_faces()
    fw, fh = FACE_SIZE
    margin = 12
    dialogs = [nine_slice(bg, 400, ch) for ch in (125, 155, 185)]
    for d in dialogs:  # the Cancel button where the dialogs put it
        ch = len(d)
        for y in range(fh):
            d[ch - 40 + y][400 - 115:400 - 115 + fw] = faces[y][0:fw]
    icons = [draw_icon(16), draw_icon(32)]
    width = margin * 2 + 400 * 2 + margin
    height = margin + BACKGROUND_SIZE[1] + margin + fh + margin + 185 + margin + 64 + margin
    canvas = [[DESKTOP] * width for _ in range(height)]

    def put(img, x0, y0, zoom=1):
        for y, row in enumerate(img):
            for x, px in enumerate(row):
                if len(px) == 4:  # icon pixel with alpha over the desktop
                    px = mix(DESKTOP, px[:3], px[3] / 255)
                for zy in range(zoom):
                    for zx in range(zoom):
                        canvas[y0 + y * zoom + zy][x0 + x * zoom + zx] = px

    put(bg, margin, margin)
    put(faces, margin, margin + BACKGROUND_SIZE[1] + margin)
    put(dialogs[2], margin * 2 + 400, margin)
    y = margin * 3 + BACKGROUND_SIZE[1] + fh
    put(dialogs[0], margin, y)
    put(dialogs[1], margin * 2 + 400, y + 185 - 155)
    y += 185 + margin
    put(icons[0], margin, y, 4)
    put(icons[1], margin * 2 + 64, y, 2)
    put(icons[0], margin * 3 + 128, y)
    put(icons[1], margin * 4 + 144, y)
    if scale > 1:
        canvas = [[px for px in row for _ in range(scale)] for row in canvas for _ in range(scale)]
    with open(path, "wb") as f:
        f.write(png(canvas))


def main(argv):
    if len(argv) == 2 and argv[1] == "--check":
        first, second = build(), build()
        problems = [name + " differs between two runs" for name in first if first[name] != second[name]]
        try:
            problems += check(first)
        except (ValueError, struct.error) as e:
            problems.append("unreadable output: %s" % e)
        for p in problems:
            print("make_skin: " + p, file=sys.stderr)
        if not problems:
            print("make_skin: images are reproducible and well formed")
        return 1 if problems else 0
    if len(argv) in (3, 4) and argv[1] == "--preview":
        preview(argv[2], int(argv[3]) if len(argv) == 4 else 1)
        return 0
    if len(argv) == 2 and not argv[1].startswith("-"):
        os.makedirs(argv[1], exist_ok=True)
        for name, data in build().items():
            with open(os.path.join(argv[1], name), "wb") as f:
                f.write(data)
        return 0
    print("usage: make_skin.py OUT_DIR | --check | --preview FILE.png [SCALE]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
