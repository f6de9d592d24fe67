#!/usr/bin/python3
"""Writes a labelled set of log lines for the timestamp reader.

    make_time_samples.py -o FILE [--encoding shift_jis|utf-8] [--seed S]

The set is a series of logs. Each log starts with a line

    #log<TAB>NAME<TAB>REFERENCE_MS

(REFERENCE_MS: the time syslog lines are dated against, the copy's
modification time), and each of its lines is

    EXPECTED<TAB>TEXT

where EXPECTED is the line's own time in milliseconds since the epoch, or -
for a line that has none (a continuation, or a decoy: version numbers, IP
addresses, sizes, durations, a bare time, a date alone, numbers at a line's
start in a log that is not dated by epoch numbers). Times without a zone are
written in local time at UTC+9: read the set with TZ=JST-9. The same seed
gives the same set. Shift_JIS is what the reader sees; UTF-8 is for reading.
"""

import argparse
import random
from datetime import datetime, timedelta, timezone

JST = timezone(timedelta(hours=9))
MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec']
WEEKDAYS = '月火水木金土日'
PREFIXES = ['', '', '', '[INFO] ', 'ERROR ', 'WARN  ', 'web01 ', '[web01] ', '<134>', '【警告】',
            '［情報］', 'app[1234]: ', 'time=', '"', 'INFO  | ']
MESSAGES = ['接続に失敗しました', '処理を開始します', '日次集計が終了しました', 'user=tanaka login ok',
            'GET /index.html 200', '在庫同期 3 件', 'retry 2/5', 'ファイル受注_20261208.csv を取り込みました',
            'session closed', 'バックアップ完了 (12.5 GB)']
DECOYS = [
    'version v2026.12.08 起動',
    'wisplog 2026.12.08-1 を起動しました',
    '接続元 192.168.10.20:8080 から要求',
    'peer 10.0.0.1 port 2026',
    'size 1048576 bytes (1.0 MB)',
    '転送量 2026/12 月分 512 MB',
    'took 07:35:12',
    '経過時間 12:35',
    'elapsed 00:12:35.120',
    'release 2026-12-08 を配布',
    'build 20261208073512',
    '  at com.example.Foo.bar(Foo.java:123)',
    '    ... 12 more',
    'id 1796715312 を処理',
    'order 1796715312123 shipped',
    '平成の記録 12件',
    'Dec total 42',
    'May the job 8 be done',
    'ratio 12/08 07:35',
    '2026-13-08 07:35:12 invalid month',
    '2026/02/30 07:35:12 invalid day',
    '2026-12-08 25:35:12 invalid hour',
    '',
]


def ms(instant):
    return int(round(instant.timestamp() * 1000))


def fraction(rng, instant):
    """A fraction of a second as written, and the instant cut to it."""
    kind = rng.choice(['', '', '.', ',', '.us'])
    milli = instant.microsecond // 1000
    if kind == '':
        return '', instant.replace(microsecond=0)
    if kind == '.us':
        return '.%06d' % instant.microsecond, instant.replace(microsecond=milli * 1000)
    return '%s%03d' % (kind, milli), instant.replace(microsecond=milli * 1000)


def zoned(rng):
    """A zone as written after a time, and its offset; None for local time."""
    return rng.choice([('', None), ('', None), ('Z', 0), ('+09:00', 9 * 60), ('+0900', 9 * 60),
                       ('-05:00', -5 * 60), ('+05:30', 5 * 60 + 30), (' JST', 9 * 60), (' UTC', 0)])


def in_zone(instant, offset):
    return instant.astimezone(JST if offset is None else timezone(timedelta(minutes=offset)))


def iso(rng, instant):
    zone, offset = zoned(rng)
    frac, instant = fraction(rng, instant)
    t = in_zone(instant, offset)
    sep = rng.choice('T ')
    return t.strftime('%Y-%m-%d') + sep + t.strftime('%H:%M:%S') + frac + zone, instant


def slash(rng, instant):
    zone, offset = rng.choice([('', None), ('', None), (' +0900', 9 * 60)])
    frac, instant = fraction(rng, instant)
    t = in_zone(instant, offset)
    if rng.random() < 0.5:
        date = '%d/%d/%d' % (t.year, t.month, t.day)
        clock = '%d:%02d:%02d' % (t.hour, t.minute, t.second)
    else:
        date = t.strftime('%Y/%m/%d')
        clock = t.strftime('%H:%M:%S')
    if rng.random() < 0.2:
        date += '(%s)' % WEEKDAYS[t.weekday()]
    return date + ' ' + clock + frac + zone, instant


def kanji_date(rng, t, era):
    if era and t.year >= 2019 and t >= datetime(2019, 5, 1, tzinfo=JST):
        n = t.year - 2018
        year = '令和' + ('元' if n == 1 else str(n)) + '年'
    elif era:
        year = '平成%d年' % (t.year - 1988)
    else:
        year = '%d年' % t.year
    if rng.random() < 0.5:
        return year + '%d月%d日' % (t.month, t.day)
    return year + '%02d月%02d日' % (t.month, t.day)


def kanji(rng, instant, era=False):
    t = in_zone(instant, None)
    date = kanji_date(rng, t, era)
    if rng.random() < 0.2:
        date += '（%s）' % WEEKDAYS[t.weekday()]
    style = rng.randrange(3)
    if style == 0:
        return date + rng.choice([' ', '　', '']) + '%d時%d分%d秒' % (t.hour, t.minute, t.second), \
            instant.replace(microsecond=0)
    frac, instant = fraction(rng, instant)
    t = in_zone(instant, None)
    clock = ('%02d:%02d:%02d' if style == 1 else '%d:%02d:%02d') % (t.hour, t.minute, t.second)
    return date + ' ' + clock + frac, instant


def syslog(rng, instant):
    frac, instant = fraction(rng, instant) if rng.random() < 0.2 else ('', instant.replace(microsecond=0))
    t = in_zone(instant, None)
    return '%s %2d %02d:%02d:%02d%s' % (MONTHS[t.month - 1], t.day, t.hour, t.minute, t.second, frac), instant


def web(rng, instant):
    zone, offset = rng.choice([(' +0900', 9 * 60), (' -0700', -7 * 60), (' +0000', 0)])
    t = in_zone(instant.replace(microsecond=0), offset)
    stamp = '%02d/%s/%d:%02d:%02d:%02d%s' % (t.day, MONTHS[t.month - 1], t.year, t.hour, t.minute, t.second, zone)
    host = rng.choice(['127.0.0.1', '192.168.1.20', 'proxy.example.jp'])
    return host + ' - - [' + stamp + '] "GET /index.html HTTP/1.1" 200 5120', instant.replace(microsecond=0)


FORMATS = {'iso': iso, 'slash': slash, 'kanji': kanji, 'era': lambda r, i: kanji(r, i, True),
           'syslog': syslog, 'web': web}


class Log:
    def __init__(self, name, reference):
        self.name = name
        self.reference = reference
        self.lines = []

    def add(self, expected, text):
        self.lines.append((expected, text))


def dated_log(rng, name, formats, start, count, reference=None, decoys=True):
    log = Log(name, reference or start + timedelta(days=2))
    instant = start
    for _ in range(count):
        roll = rng.random()
        if decoys and roll < 0.15:
            log.add(None, rng.choice(DECOYS))
            continue
        if decoys and roll < 0.22:
            log.add(None, rng.choice(['    at jp.example.Batch.run(Batch.java:%d)' % rng.randrange(900),
                                      '  詳細: 接続がリセットされました', '\t' + rng.choice(MESSAGES)]))
            continue
        step = timedelta(milliseconds=rng.randrange(1, 90000))
        # Now and then a line earlier than the one before: kept, out of order.
        instant = instant - step / 3 if rng.random() < 0.03 else instant + step
        fmt = rng.choice(formats)
        stamp, exact = FORMATS[fmt](rng, instant)
        if fmt == 'web':
            log.add(ms(exact), stamp)
        else:
            log.add(ms(exact), rng.choice(PREFIXES) + stamp + ' ' + rng.choice(MESSAGES))
    return log


def epoch_log(rng, name, millis, start, count):
    log = Log(name, start + timedelta(days=1))
    instant = start
    for _ in range(count):
        if rng.random() < 0.15:
            log.add(None, rng.choice(['  at jp.example.Job.run(Job.java:12)', 'size 1048576 bytes', '']))
            continue
        instant += timedelta(milliseconds=rng.randrange(1, 60000))
        if millis:
            log.add(ms(instant), '%d %s' % (ms(instant), rng.choice(MESSAGES)))
        else:
            exact = instant.replace(microsecond=0)
            if rng.random() < 0.3:
                exact = instant.replace(microsecond=instant.microsecond // 1000 * 1000)
                text = '%d.%03d' % (int(exact.timestamp()), exact.microsecond // 1000)
            else:
                text = '%d' % int(exact.timestamp())
            log.add(ms(exact), text + ' ' + rng.choice(MESSAGES))
    return log


def make_logs(seed):
    rng = random.Random(seed)
    start = datetime(2026, 12, 8, 7, 35, 12, 123456, tzinfo=JST)
    logs = [dated_log(rng, 'mixed', list(FORMATS), start, 700)]
    for fmt in FORMATS:
        if fmt == 'syslog':
            continue
        logs.append(dated_log(rng, fmt, [fmt], start - timedelta(days=rng.randrange(400)), 150))
    logs.append(dated_log(rng, 'era-heisei', ['era'], datetime(2015, 3, 1, 9, 0, 0, tzinfo=JST), 120))
    logs.append(dated_log(rng, 'era-first-year', ['era'], datetime(2019, 5, 3, 9, 0, 0, tzinfo=JST), 60))
    # Syslog across a new year: the copy was written on 2 January.
    logs.append(dated_log(rng, 'syslog-new-year', ['syslog'], datetime(2026, 12, 31, 20, 0, 0, tzinfo=JST), 200,
                          reference=datetime(2027, 1, 2, 12, 0, 0, tzinfo=JST)))
    logs.append(dated_log(rng, 'syslog', ['syslog'], datetime(2026, 3, 1, 0, 0, 0, tzinfo=JST), 150,
                          reference=datetime(2026, 6, 1, 0, 0, 0, tzinfo=JST)))
    logs.append(epoch_log(rng, 'epoch-seconds', False, start, 150))
    logs.append(epoch_log(rng, 'epoch-millis', True, start, 150))
    # Numbers at a line's start in a log dated otherwise are counts, not times.
    numbers = dated_log(rng, 'numbers', ['iso'], start, 100, decoys=False)
    for k in range(60):
        numbers.lines.insert(rng.randrange(1, len(numbers.lines)),
                             (None, rng.choice(['1796715312 件処理', '1796715312123 bytes', '%d' % (1796715312 + k)])))
    logs.append(numbers)
    logs.append(Log('no-times', start))
    for _ in range(100):
        logs[-1].add(None, rng.choice(DECOYS + MESSAGES))
    return logs


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('-o', '--output', required=True)
    parser.add_argument('--encoding', default='shift_jis', choices=['shift_jis', 'utf-8'])
    parser.add_argument('--seed', type=int, default=37)
    args = parser.parse_args()
    out = []
    for log in make_logs(args.seed):
        out.append('#log\t%s\t%d' % (log.name, ms(log.reference)))
        for expected, text in log.lines:
            out.append('%s\t%s' % ('-' if expected is None else expected, text))
    with open(args.output, 'wb') as f:
        f.write(('\n'.join(out) + '\n').encode('cp932' if args.encoding == 'shift_jis' else 'utf-8'))


if __name__ == '__main__':
    main()
