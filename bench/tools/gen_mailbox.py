#!/usr/bin/env python3
"""Writes a deterministic, mailbox-shaped tree of .eml files for benchmarks.

    gen_mailbox.py OUT --messages N [--folders F] [--seed S] [--big-every K] [--big-size BYTES]

Same arguments, same bytes. The mix: most messages 5-50 KB of text; about a third HTML
(multipart/alternative), some with an inline image (multipart/related); about one in
eight with a small attachment; one in K (default 2,000) with a multi-MB attachment; about
a fifth with non-ASCII subjects and names. Folders are nested two levels deep like a
mail client's store ("Inbox", "Inbox/Projects 3", ...). Prints the number of files and
bytes written.
"""

import argparse
import base64
import os
import random
import struct
import zlib

WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt "
         "ut labore et dolore magna aliqua enim ad minim veniam quis nostrud exercitation ullamco "
         "laboris nisi aliquip ex ea commodo consequat duis aute irure in reprehenderit voluptate "
         "velit esse cillum fugiat nulla pariatur excepteur sint occaecat cupidatat non proident "
         "sunt culpa qui officia deserunt mollit anim id est laborum").split()
NAMES = [("Ann Example", "ann@example.org"), ("Bob Builder", "bob@example.net"),
         ("Carol Smith", "carol@example.com"), ("Dave Jones", "dave@example.co.uk"),
         ("Jörg Müller", "joerg@example.de"), ("Ольга Петрова", "olga@example.ru"),
         ("山田 由紀", "yuki@example.jp"), ("Søren Ødegård", "soren@example.dk")]
SUBJECTS_INTL = ["Grüße aus München", "Отчёт за месяц", "会議の予定", "Réunion à Paris",
                 "Ærlig talt", "Ζητήματα προϋπολογισμού"]
TOP = ["Inbox", "Sent Items", "Archive", "Projects", "Lists"]


def b64lines(data):
    text = base64.b64encode(data).decode()
    return "\r\n".join(text[i:i + 76] for i in range(0, len(text), 76))


def enc_word(text):
    if all(ord(c) < 128 for c in text):
        return text
    return "=?utf-8?B?" + base64.b64encode(text.encode()).decode() + "?="


def addr(rng):
    name, email = rng.choice(NAMES)
    return f"{enc_word(name) if not name.isascii() else chr(34) + name + chr(34)} <{email}>"


def paragraph(rng, size):
    out, n = [], 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(8, 14)))
        out.append(line)
        n += len(line) + 2
    return "\r\n".join(out)


def png(rng, width, height):
    raw = bytes(rng.getrandbits(8) for _ in range(64))
    rows = b"".join(b"\x00" + (raw * (width * 3 // 64 + 1))[: width * 3] for _ in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))


def message(rng, index, big_every, big_size):
    date_s = 1420070400 + index * 137
    import email.utils
    date = email.utils.formatdate(date_s, localtime=False)
    intl = rng.random() < 0.2
    subject = (rng.choice(SUBJECTS_INTL) if intl else " ".join(rng.choice(WORDS) for _ in range(5)).capitalize())
    if rng.random() < 0.3:
        subject = "Re: " + subject
    head = [f"Received: from relay.example.net by mx.example.org; {date}", f"From: {addr(rng)}",
            f"To: {addr(rng)}" + (f", {addr(rng)}" if rng.random() < 0.3 else ""),
            f"Subject: {enc_word(subject)}", f"Date: {date}", f"Message-ID: <bench.{index}@example.org>",
            "MIME-Version: 1.0"]
    text = paragraph(rng, rng.randint(5_000, 50_000) if rng.random() < 0.9 else rng.randint(500, 5_000))
    kind = rng.random()
    boundary = f"b{index:08x}"
    parts = []
    if kind < 0.22:      # HTML with a text alternative
        html = "<html><body><p>" + text.replace("\r\n", "</p>\r\n<p>") + "</p></body></html>"
        head.append(f'Content-Type: multipart/alternative; boundary="{boundary}"')
        body = (f"--{boundary}\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n{text}\r\n"
                f"--{boundary}\r\nContent-Type: text/html; charset=utf-8\r\n\r\n{html}\r\n--{boundary}--\r\n")
    elif kind < 0.32:    # HTML with an inline image
        img = png(rng, 64, 48)
        html = f'<html><body><p>{text[:2000]}</p><img src="cid:img{index}@example.org"></body></html>'
        head.append(f'Content-Type: multipart/related; boundary="{boundary}"; type="text/html"')
        body = (f"--{boundary}\r\nContent-Type: text/html; charset=utf-8\r\n\r\n{html}\r\n"
                f"--{boundary}\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n"
                f"Content-ID: <img{index}@example.org>\r\n\r\n{b64lines(img)}\r\n--{boundary}--\r\n")
    else:
        body = None
    big = big_every > 0 and index % big_every == big_every // 2
    if body is None and (big or rng.random() < 0.12):
        size = big_size if big else rng.randint(2_000, 60_000)
        data = rng.randbytes(size) if hasattr(rng, "randbytes") else bytes(rng.getrandbits(8) for _ in range(size))
        name = f"report-{index}.bin" if not intl else f"Bericht-{index}-ä.bin"
        head.append(f'Content-Type: multipart/mixed; boundary="{boundary}"')
        body = (f"--{boundary}\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n{text}\r\n"
                f"--{boundary}\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
                f'Content-Disposition: attachment; filename="{enc_word(name)}"\r\n\r\n{b64lines(data)}\r\n--{boundary}--\r\n')
    if body is None:
        head.append("Content-Type: text/plain; charset=utf-8")
        head.append("Content-Transfer-Encoding: 8bit")
        body = text + "\r\n"
    return ("\r\n".join(head) + "\r\n\r\n" + body).encode()


def folders(count):
    out = []
    for i in range(count):
        top = TOP[i % len(TOP)]
        out.append(top if i < len(TOP) else os.path.join(top, f"Projects {i // len(TOP)}"))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--messages", type=int, required=True)
    ap.add_argument("--folders", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--big-every", type=int, default=2000)
    ap.add_argument("--big-size", type=int, default=4 * 1024 * 1024)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    dirs = folders(max(1, args.folders))
    total = 0
    for index in range(args.messages):
        folder = os.path.join(args.out, dirs[index % len(dirs)])
        os.makedirs(folder, exist_ok=True)
        data = message(rng, index, args.big_every, args.big_size)
        with open(os.path.join(folder, f"{index:07d}.eml"), "wb") as f:
            f.write(data)
        total += len(data)
    print(f"{args.messages} files, {total} bytes")


if __name__ == "__main__":
    main()
