#!/usr/bin/python3
"""Writes a realistic Japanese application log in a chosen encoding.

    make_japanese_log.py --bytes N --encoding ENC -o FILE [--crlf] [--bom] [--seed S]
    make_japanese_log.py --from TEXT.utf8 --encoding ENC -o FILE [--crlf] [--bom]

ENC is one of utf-8, euc-jp, iso-2022-jp (JIS), shift_jis, utf-16le. N may
carry a K, M or G suffix (powers of 1024); the file stops at the last whole line
that fits in N bytes of the target encoding. The lines mix ASCII (timestamps,
levels, ids, paths, numbers) with Japanese messages made of JIS X 0208
characters only, so the same text is representable in every encoding above and
in their JIS X 0213 supersets. The same seed gives the same text, so files in
different encodings hold the same lines; --from re-encodes an existing UTF-8
log instead of generating one (it converts in pieces, so any size works).
"""

import argparse
import random
import sys

ENCODINGS = {
    'utf-8': 'utf-8',
    'euc-jp': 'euc_jp',
    'iso-2022-jp': 'iso2022_jp',
    'jis': 'iso2022_jp',
    'shift_jis': 'shift_jis',
    'sjis': 'shift_jis',
    'utf-16le': 'utf-16-le',
}

LEVELS = ['INFO ', 'INFO ', 'INFO ', 'INFO ', 'DEBUG', 'DEBUG', 'WARN ', 'ERROR']
MODULES = ['main', 'worker-1', 'worker-2', 'worker-3', 'db-pool', 'scheduler', 'ftp-sync',
           'http', 'batch', 'mailer', 'auth', 'cache']
USERS = ['tanaka', 'suzuki', 'sato', 'takahashi', 'watanabe', 'ito', 'yamamoto', 'nakamura',
         'kobayashi', 'kato']
PEOPLE = ['田中', '鈴木', '佐藤', '高橋', '渡辺', '伊藤', '山本', '中村', '小林', '加藤',
          '吉田', '山田', '佐々木', '松本', '井上']
JOBS = ['日次集計', '月次締め処理', '在庫同期', '受注取込', '請求書発行', '売上速報',
        'バックアップ', 'ログ圧縮', '顧客データ更新', '出荷予定作成']
FILES = ['受注_{d}.csv', '在庫一覧_{d}.tsv', '売上明細_{d}.csv', '顧客マスタ.csv',
         '請求データ_{d}.dat', 'report_{d}.txt', '日報_{d}.log']
DIRS = ['/var/data/', '/home/batch/in/', '/srv/share/経理/', '/srv/share/営業部/',
        '/opt/app/work/']
PLACES = ['東京', '大阪', '名古屋', '福岡', '札幌', '仙台', '広島', '横浜']
ERRORS = ['ファイルが見つかりません', '許可がありません', '接続がタイムアウトしました',
          'ディスクの空き容量が不足しています', '形式が正しくありません',
          '相手先から切断されました', '認証に失敗しました', '件数が一致しません']
TEMPLATES = [
    'ジョブ「{job}」を開始しました (id={id}, user={user})',
    'ジョブ「{job}」が正常に終了しました。処理件数: {n}件、所要時間: {ms}ms',
    'ジョブ「{job}」は異常終了しました: {err} (code={code})',
    'ファイル {dir}{file} を読み込みました。{n}行、{kb}KB',
    'ファイル {dir}{file} を開けません: {err}',
    '{person}さん ({user}) がログインしました。接続元: 192.168.{a}.{b}',
    '{person}さんのセッションが期限切れになりました',
    'データベース接続の待ち時間が長くなっています: {ms}ms (上限 5000ms)',
    '{place}支店の売上データを取り込み中です… {p}% 完了',
    '{place}倉庫の在庫数を更新しました: 品番 A-{id} 数量 {n} → {n2}',
    'メール送信に失敗しました。宛先: {user}@example.co.jp、理由: {err}',
    'FTP サーバー ftp{a}.example.jp から {file} を受信しました ({kb}KB)',
    '再試行します ({r}回目/3回)',
    'キャッシュを消去しました。解放したメモリ: {kb}KB',
    'HTTP GET /api/v1/orders?page={r} 200 {ms}ms',
    'HTTP POST /api/v1/注文/確定 500 {ms}ms: 内部エラーが発生しました',
    '設定ファイルを再読み込みしました。変更点: {n}項目',
    '受注番号 {id} の出荷予定日を {d} に変更しました (担当: {person})',
    'heartbeat ok, queue={n}, threads={r}',
    'スケジュールされたタスクはありません。次回の確認は {ms}ms 後です',
]


def parse_size(text):
    scale = {'K': 1024, 'M': 1024 ** 2, 'G': 1024 ** 3}
    suffix = text[-1:].upper()
    if suffix in scale:
        return int(float(text[:-1]) * scale[suffix])
    return int(text)


def log_lines(seed):
    """Endless log lines (without line ends), the same for the same seed."""
    rng = random.Random(seed)
    seconds = 8 * 3600
    day = 7
    while True:
        seconds += rng.randint(0, 3)
        if seconds >= 24 * 3600:
            seconds -= 24 * 3600
            day = day % 28 + 1
        stamp = '2026-12-%02d %02d:%02d:%02d.%03d' % (
            day, seconds // 3600, seconds // 60 % 60, seconds % 60, rng.randrange(1000))
        date = '202612%02d' % day
        values = {
            'job': rng.choice(JOBS), 'user': rng.choice(USERS), 'person': rng.choice(PEOPLE),
            'place': rng.choice(PLACES), 'err': rng.choice(ERRORS), 'dir': rng.choice(DIRS),
            'file': rng.choice(FILES).format(d=date), 'd': date,
            'id': rng.randrange(10000, 99999), 'n': rng.randrange(1, 50000),
            'n2': rng.randrange(0, 50000), 'ms': rng.randrange(1, 9000),
            'kb': rng.randrange(1, 200000), 'code': rng.randrange(1, 255),
            'a': rng.randrange(0, 255), 'b': rng.randrange(1, 254),
            'p': rng.randrange(0, 101), 'r': rng.randrange(1, 4),
        }
        message = rng.choice(TEMPLATES).format(**values)
        yield '%s [%s] [%s] %s' % (stamp, rng.choice(LEVELS), rng.choice(MODULES), message)


def write_generated(out, codec, limit, newline, seed):
    written = 0
    chunk = []
    chunk_bytes = 0
    for line in log_lines(seed):
        data = (line + newline).encode(codec)
        if written + chunk_bytes + len(data) > limit:
            break
        chunk.append(data)
        chunk_bytes += len(data)
        if chunk_bytes >= 1 << 20:
            out.write(b''.join(chunk))
            written += chunk_bytes
            chunk, chunk_bytes = [], 0
    out.write(b''.join(chunk))
    return written + chunk_bytes


def write_converted(out, codec, source, newline):
    written = 0
    with open(source, 'r', encoding='utf-8', newline='') as f:
        while True:
            lines = f.readlines(1 << 20)
            if not lines:
                return written
            text = ''.join(line.rstrip('\r\n') + newline for line in lines)
            data = text.encode(codec)
            out.write(data)
            written += len(data)


def main():
    parser = argparse.ArgumentParser(
        description='Write a realistic Japanese log file in a chosen encoding.')
    parser.add_argument('--bytes', type=parse_size, help='size limit of the file (K/M/G suffix)')
    parser.add_argument('--from', dest='source', help='re-encode this UTF-8 log instead')
    parser.add_argument('--encoding', required=True, choices=sorted(ENCODINGS))
    parser.add_argument('-o', '--output', required=True, help='file to write ("-" for stdout)')
    parser.add_argument('--crlf', action='store_true', help='end lines with CR LF (default LF)')
    parser.add_argument('--bom', action='store_true', help='start a UTF-16LE file with FF FE')
    parser.add_argument('--seed', type=int, default=1, help='random seed (default 1)')
    args = parser.parse_args()
    if (args.bytes is None) == (args.source is None):
        parser.error('give exactly one of --bytes and --from')

    codec = ENCODINGS[args.encoding]
    newline = '\r\n' if args.crlf else '\n'
    out = sys.stdout.buffer if args.output == '-' else open(args.output, 'wb')
    try:
        bom = b''
        if args.bom and codec == 'utf-16-le':
            bom = b'\xff\xfe'
            out.write(bom)
        if args.source:
            write_converted(out, codec, args.source, newline)
        else:
            write_generated(out, codec, max(0, args.bytes - len(bom)), newline, args.seed)
    finally:
        if out is not sys.stdout.buffer:
            out.close()


if __name__ == '__main__':
    main()
