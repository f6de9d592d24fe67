#!/usr/bin/python3
"""Reference data for the decode tests, from Python's standard codecs.

    make_reference.py OUTPUT

Lines of OUTPUT (hex fields):
  B unit code       a BMP unit and its shift_jis_2004 code, for every unit the
                    codec maps to one or two bytes (surrogates excluded)
  J euc jis sjis    every JIS X 0208 character: its EUC-JP bytes, its
                    ISO-2022-JP bytes (with escapes) and its Shift_JIS bytes
  X code sjis       every JIS X 0212 kanji code the euc_jp codec knows, with
                    the shift_jis_2004 code of the same character (0: none)
  Q euc sjis        every JIS X 0213 plane-1 character: EUC-JIS-2004 bytes and
                    Shift_JIS-2004 bytes
  P euc sjis        the same for the plane-2 rows that have a Shift_JIS place
"""

PLANE2_ROWS = [0x21, 0x23, 0x24, 0x25, 0x28, 0x2C, 0x2D, 0x2E, 0x2F] + list(range(0x6E, 0x7F))
import sys


def main():
    out = []
    for unit in range(1, 0x10000):
        if 0xD800 <= unit <= 0xDFFF:
            continue
        try:
            data = chr(unit).encode('shift_jis_2004')
        except UnicodeEncodeError:
            continue
        if len(data) <= 2:
            out.append('B %04X %04X' % (unit, int.from_bytes(data, 'big')))
    for row in range(0x21, 0x7F):
        for cell in range(0x21, 0x7F):
            euc = bytes([row | 0x80, cell | 0x80])
            try:
                ch = euc.decode('euc_jp')
                out.append('J %s %s %s' % (euc.hex(), ch.encode('iso2022_jp').hex(),
                                           ch.encode('shift_jis').hex()))
            except UnicodeError:
                pass
    for row in range(0x21, 0x7F):
        for cell in range(0x21, 0x7F):
            try:
                ch = bytes([0x8F, row | 0x80, cell | 0x80]).decode('euc_jp')
            except UnicodeError:
                continue
            try:
                code = int.from_bytes(ch.encode('shift_jis_2004'), 'big')
            except UnicodeError:
                code = 0
            out.append('X %02X%02X %04X' % (row, cell, code))
    for kind, prefix, rows in (('Q', b'', range(0x21, 0x7F)), ('P', b'\x8f', PLANE2_ROWS)):
        for row in rows:
            for cell in range(0x21, 0x7F):
                euc = prefix + bytes([row | 0x80, cell | 0x80])
                try:
                    sjis = euc.decode('euc_jis_2004').encode('shift_jis_2004')
                except UnicodeError:
                    continue
                out.append('%s %s %s' % (kind, euc.hex(), sjis.hex()))
    with open(sys.argv[1], 'w', encoding='ascii') as f:
        f.write('\n'.join(out) + '\n')


if __name__ == '__main__':
    main()
