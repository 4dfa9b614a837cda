"""A 5x7 bitmap font for the text the tool draws on its pictures.

Built in rather than taken from Pillow or a font file: the few labels on a contact sheet
need only digits, letters and some punctuation, and a font in the package draws the same
pixels everywhere, with no dependency to install and no system font to look for. Letters
are drawn as capitals; a character without a glyph is drawn as "?".
"""

from __future__ import annotations

from typing import Dict

import numpy as np

WIDTH, HEIGHT = 5, 7
ADVANCE = WIDTH + 1  # one blank column between characters
LINE = HEIGHT + 3  # the distance between baselines

# Each glyph: seven rows of five columns, "#" for a lit pixel.
_ROWS = {
    "0": ".###. #...# #..## #.#.# ##..# #...# .###.",
    "1": "..#.. .##.. ..#.. ..#.. ..#.. ..#.. .###.",
    "2": ".###. #...# ....# ...#. ..#.. .#... #####",
    "3": "####. ....# ....# .###. ....# ....# ####.",
    "4": "...#. ..##. .#.#. #..#. ##### ...#. ...#.",
    "5": "##### #.... ####. ....# ....# #...# .###.",
    "6": ".###. #.... #.... ####. #...# #...# .###.",
    "7": "##### ....# ...#. ..#.. .#... .#... .#...",
    "8": ".###. #...# #...# .###. #...# #...# .###.",
    "9": ".###. #...# #...# .#### ....# ....# .###.",
    "A": ".###. #...# #...# ##### #...# #...# #...#",
    "B": "####. #...# #...# ####. #...# #...# ####.",
    "C": ".###. #...# #.... #.... #.... #...# .###.",
    "D": "####. #...# #...# #...# #...# #...# ####.",
    "E": "##### #.... #.... ####. #.... #.... #####",
    "F": "##### #.... #.... ####. #.... #.... #....",
    "G": ".###. #...# #.... #.### #...# #...# .####",
    "H": "#...# #...# #...# ##### #...# #...# #...#",
    "I": ".###. ..#.. ..#.. ..#.. ..#.. ..#.. .###.",
    "J": "..### ...#. ...#. ...#. ...#. #..#. .##..",
    "K": "#...# #..#. #.#.. ##... #.#.. #..#. #...#",
    "L": "#.... #.... #.... #.... #.... #.... #####",
    "M": "#...# ##.## #.#.# #.#.# #...# #...# #...#",
    "N": "#...# ##..# #.#.# #..## #...# #...# #...#",
    "O": ".###. #...# #...# #...# #...# #...# .###.",
    "P": "####. #...# #...# ####. #.... #.... #....",
    "Q": ".###. #...# #...# #...# #.#.# #..#. .##.#",
    "R": "####. #...# #...# ####. #.#.. #..#. #...#",
    "S": ".#### #.... #.... .###. ....# ....# ####.",
    "T": "##### ..#.. ..#.. ..#.. ..#.. ..#.. ..#..",
    "U": "#...# #...# #...# #...# #...# #...# .###.",
    "V": "#...# #...# #...# #...# #...# .#.#. ..#..",
    "W": "#...# #...# #...# #.#.# #.#.# #.#.# .#.#.",
    "X": "#...# #...# .#.#. ..#.. .#.#. #...# #...#",
    "Y": "#...# #...# .#.#. ..#.. ..#.. ..#.. ..#..",
    "Z": "##### ....# ...#. ..#.. .#... #.... #####",
    " ": "..... ..... ..... ..... ..... ..... .....",
    ".": "..... ..... ..... ..... ..... .##.. .##..",
    ",": "..... ..... ..... ..... .##.. ..#.. .#...",
    ":": "..... .##.. .##.. ..... .##.. .##.. .....",
    "-": "..... ..... ..... ##### ..... ..... .....",
    "_": "..... ..... ..... ..... ..... ..... #####",
    "/": "....# ...#. ...#. ..#.. .#... .#... #....",
    "(": "...#. ..#.. .#... .#... .#... ..#.. ...#.",
    ")": ".#... ..#.. ...#. ...#. ...#. ..#.. .#...",
    "=": "..... ..... ##### ..... ##### ..... .....",
    "+": "..... ..#.. ..#.. ##### ..#.. ..#.. .....",
    "%": "##..# ##.#. ...#. ..#.. .#... .#.## #..##",
    "'": "..#.. ..#.. .#... ..... ..... ..... .....",
    "#": ".#.#. .#.#. ##### .#.#. ##### .#.#. .#.#.",
    "?": ".###. #...# ....# ...#. ..#.. ..... ..#..",
}


def _glyph(rows: str) -> np.ndarray:
    bits = np.array([[c == "#" for c in row] for row in rows.split()], dtype=bool)
    assert bits.shape == (HEIGHT, WIDTH)
    return bits


GLYPHS: Dict[str, np.ndarray] = {char: _glyph(rows) for char, rows in _ROWS.items()}


def glyph(char: str) -> np.ndarray:
    """The (HEIGHT, WIDTH) boolean bitmap of a character, letters as capitals."""
    return GLYPHS.get(char.upper(), GLYPHS["?"])


def text_width(text: str) -> int:
    return max(len(text) * ADVANCE - 1, 0)


def draw_text(img: np.ndarray, x: int, y: int, text: str, color) -> None:
    """Draws one line of text with its top left corner at (x, y), clipped to the image."""
    h, w = img.shape[:2]
    for i, char in enumerate(text):
        left = x + i * ADVANCE
        if left >= w:
            break
        bits = glyph(char)
        top, bottom = max(y, 0), min(y + HEIGHT, h)
        lo, hi = max(left, 0), min(left + WIDTH, w)
        if top >= bottom or lo >= hi:
            continue
        cut = bits[top - y:bottom - y, lo - left:hi - left]
        img[top:bottom, lo:hi][cut] = color
