#!/usr/bin/python3
"""Generates decode/SjisTables.cpp: UnicodeToSjisTable and Jisx0212Table.

Reference: Python's standard codecs. `shift_jis_2004` gives the
Unicode-to-Shift_JIS-2004 correspondence of JIS X 0213 (one code point to one
code); `euc_jp` gives the characters of JIS X 0212 (SS3 sequences), which are
then looked up in `shift_jis_2004`.

    /usr/bin/python3 tools/make_sjis_tables.py -o decode/SjisTables.cpp

Every deliberate difference from the reference is listed below with its
reason; the script checks the counts the tables must have and stops if the
reference does not produce them.
"""

import argparse
import sys

# Pages of UnicodeToSjisTable (high bytes of a UTF-16 unit). Every other page is
# empty: the generator checks that no mapping falls outside these.
PAGES = (list(range(0x00, 0x05)) + list(range(0x1E, 0x28)) + [0x30]
         + list(range(0x32, 0xA0)) + list(range(0xF8, 0xFB)) + [0xFF])
assert len(PAGES) == 130

# Differences from shift_jis_2004, applied after the reference.
OVERRIDES = {
    # ASCII and code page 932: backslash and tilde are the single bytes (the
    # reference sends them to the full-width forms 0x815F and 0x81B0), the yen
    # sign keeps the single byte 0x5C of JIS X 0201, U+0080 passes through, and
    # the private-use points that code page 932 applications use for the
    # single bytes 0xA0, 0xFD, 0xFE and 0xFF give those bytes back.
    0x005C: 0x5C, 0x007E: 0x7E, 0x00A5: 0x5C, 0x0080: 0x80,
    0xF8F0: 0xA0, 0xF8F1: 0xFD, 0xF8F2: 0xFE, 0xF8F3: 0xFF,
    # Code page 932's choices for seven symbols, so that text written on
    # Windows with these characters gets the codes Windows gave them.
    0xFF5E: 0x8160,  # FULLWIDTH TILDE      (reference: U+301C WAVE DASH)
    0x2225: 0x8161,  # PARALLEL TO          (reference: U+2016, 0x81D2 for U+2225)
    0xFF0D: 0x817C,  # FULLWIDTH HYPHEN-MINUS (reference: U+2212, 0x81AF for U+FF0D)
    0xFF3C: 0x815F,  # FULLWIDTH REVERSE SOLIDUS
    0xFFE0: 0x8191,  # FULLWIDTH CENT SIGN  (reference: U+00A2)
    0xFFE1: 0x8192,  # FULLWIDTH POUND SIGN (reference: U+00A3)
    0xFFE2: 0x81CA,  # FULLWIDTH NOT SIGN   (reference: U+00AC)
    # Added: look-alikes that have no code of their own.
    0x00B5: 0x83CA,  # MICRO SIGN -> GREEK SMALL LETTER MU
    0x2211: 0x83B0,  # N-ARY SUMMATION -> GREEK CAPITAL LETTER SIGMA
    0x9B1D: 0xFC5A,  # the kanji at 0xFC5A (the reference gives it to U+9B1C)
}


def ranges(*spans):
    out = []
    for span in spans:
        if isinstance(span, tuple):
            out.extend(range(span[0], span[1] + 1))
        else:
            out.append(span)
    return out


# No mapping (they become '?'):
#  - points whose reference code went to another point above (U+2016, U+203E,
#    U+2212, U+301C, U+9B1C);
#  - the byte-order mark and every surrogate unit: each unit stands alone and
#    has no character of its own;
#  - characters the table keeps out of the JIS X 0213 correspondence: the ten
#    kanji of the 2004 edition (U+4FF1 ... U+7E6B), and the symbols, kana and
#    compatibility ideographs that got their Unicode points after the table's
#    mapping was made (U+2047 ... U+FA6A, the vertical forms U+FE45 and
#    U+FE46, the full-width quotation marks U+FF02 and U+FF07).
UNMAPPED = ranges(
    0x2016, 0x203E, 0x2047, 0x2051, 0x2212, (0x23BE, 0x23CC), 0x23CE,
    (0x24EB, 0x24FE), (0x2616, 0x2617), (0x2934, 0x2935), (0x2985, 0x2986),
    0x29BF, (0x29FA, 0x29FB), 0x301C, (0x303B, 0x303D), (0x3095, 0x3096),
    (0x309F, 0x30A0), 0x30FF, (0x31F0, 0x31FF), (0x3251, 0x325F),
    (0x32B1, 0x32BF), 0x4FF1, 0x525D, 0x541E, 0x5653, 0x59F8, 0x5C5B, 0x5E77,
    0x69EA, 0x7626, 0x7E6B, 0x9B1C, 0x9B2D, (0xFA30, 0xFA6A), (0xFE45, 0xFE46),
    0xFF02, 0xFF07, 0xFEFF, (0xD800, 0xDFFF))

# Jisx0212Table: rows 0x30 to 0x6D, cells 0x21 to 0x7D.
JISX0212_ROWS = range(0x30, 0x6E)
JISX0212_CELLS = range(0x21, 0x7E)
# Differences from the reference: these JIS X 0212 kanji give no code (their
# Shift_JIS-2004 counterparts are among the points left unmapped above, or
# 0xFAFB, which goes to (0x60, 0x59) instead) ...
JISX0212_UNMAPPED = [(0x42, 0x47), (0x4D, 0x77), (0x54, 0x5A), (0x64, 0x57),
                     (0x66, 0x74), (0x6A, 0x32), (0x6B, 0x59)]
# ... and this one, which the reference cannot place, shares 0xFAFB.
JISX0212_OVERRIDES = {(0x60, 0x59): 0xFAFB}
JISX0212_NONZERO = 2706
JISX0212_NONZERO_ROW30 = 44


def sjis2004(ch):
    """Shift_JIS-2004 code of one character as an int, 0 when it has none."""
    try:
        data = ch.encode('shift_jis_2004')
    except UnicodeEncodeError:
        return 0
    if len(data) > 2:
        return 0
    return int.from_bytes(data, 'big')


def unicode_table():
    table = [0] * 0x10000
    for unit in range(0x10000):
        if 0xD800 <= unit <= 0xDFFF:
            continue
        table[unit] = sjis2004(chr(unit))
    for unit, code in OVERRIDES.items():
        table[unit] = code
    for unit in UNMAPPED:
        table[unit] = 0
    stray = sorted({u >> 8 for u in range(0x10000) if table[u]} - set(PAGES))
    if stray:
        sys.exit('mappings outside the listed pages: %s' % [hex(p) for p in stray])
    return table


def jisx0212_table():
    table = []
    for row in JISX0212_ROWS:
        for cell in JISX0212_CELLS:
            try:
                ch = bytes([0x8F, row | 0x80, cell | 0x80]).decode('euc_jp')
                code = sjis2004(ch) if len(ch) == 1 else 0
            except UnicodeDecodeError:
                code = 0
            if (row, cell) in JISX0212_UNMAPPED:
                code = 0
            code = JISX0212_OVERRIDES.get((row, cell), code)
            table.append(code)
    nonzero = sum(1 for c in table if c)
    row30 = sum(1 for c in table[:len(JISX0212_CELLS)] if c)
    if nonzero != JISX0212_NONZERO or row30 != JISX0212_NONZERO_ROW30:
        sys.exit('Jisx0212Table: %d nonzero entries, %d in row 0x30; expected %d and %d'
                 % (nonzero, row30, JISX0212_NONZERO, JISX0212_NONZERO_ROW30))
    return table


def rows_of(values, per_line):
    for start in range(0, len(values), per_line):
        yield '    ' + ' '.join('0x%04X,' % v for v in values[start:start + per_line])


def render(utable, xtable):
    out = [
        '// generated by tools/make_sjis_tables.py, do not edit.',
        '// Command: /usr/bin/python3 tools/make_sjis_tables.py -o decode/SjisTables.cpp',
        '// Source: Python\'s shift_jis_2004 and euc_jp codecs, with the differences',
        '// listed in the script.',
        '#include "decode/SjisTables.h"',
        '',
        'namespace {',
        '',
    ]
    for page in PAGES:
        out.append('const uint16_t Page%02X[256] = {' % page)
        out.extend(rows_of(utable[page << 8:(page << 8) + 256], 8))
        out.append('};')
        out.append('')
    out.append('} // namespace')
    out.append('')
    out.append('const uint16_t* const UnicodeToSjisTable[256] = {')
    for high in range(256):
        out.append('    %s, // 0x%02X' % ('Page%02X' % high if high in PAGES else 'nullptr', high))
    out.append('};')
    out.append('')
    out.append('const uint16_t Jisx0212Table[Jisx0212Rows * Jisx0212Cells] = {')
    cells = len(JISX0212_CELLS)
    for index, row in enumerate(JISX0212_ROWS):
        out.append('    // row 0x%02X' % row)
        out.extend(rows_of(xtable[index * cells:(index + 1) * cells], 8))
    out.append('};')
    return '\n'.join(out) + '\n'


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('-o', '--output', required=True, help='C++ file to write')
    args = parser.parse_args()
    text = render(unicode_table(), jisx0212_table())
    with open(args.output, 'w', encoding='ascii', newline='\n') as f:
        f.write(text)


if __name__ == '__main__':
    main()
