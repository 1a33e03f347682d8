#!/usr/bin/env python3
"""Writes samples/mailbox (run: python3 samples/generate-mailbox.py): a small mailbox of our own messages in the folder layout of a
Windows Live Mail store. Deterministic: running it again gives the same bytes."""

import base64
import os
import struct
import sys
import zlib
from email.header import Header
from email.utils import formataddr

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "mailbox")

def png(width, height, rgb):
    """A solid-colour PNG, built by hand so the sample needs no image library."""
    raw = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

def b64(data):
    text = base64.b64encode(data).decode()
    return "\r\n".join(text[i:i + 76] for i in range(0, len(text), 76))

def enc(text, charset="utf-8"):
    return Header(text, charset).encode()

def addr(name, address, charset="utf-8"):
    if all(ord(c) < 128 for c in name):
        return formataddr((name, address))
    return f"{enc(name, charset)} <{address}>"

counter = [0]
def msgid():
    counter[0] += 1
    return f"<larkfield.sample.{counter[0]:04d}@example.org>"

def headers(frm, to, subject, date, cc=None, extra=()):
    h = []
    h.append(f"Received: from mail.example.org (mail.example.org [192.0.2.10])\r\n\tby mx.example.net with ESMTP id s{counter[0] + 1:04d}; {date}")
    h.append(f"From: {frm}")
    h.append(f"To: {to}")
    if cc:
        h.append(f"Cc: {cc}")
    h.append(f"Subject: {subject}")
    h.append(f"Date: {date}")
    h.append(f"Message-ID: {msgid()}")
    h.append("MIME-Version: 1.0")
    h.extend(extra)
    h.append("X-Mailer: Larkfield sample generator")
    return "\r\n".join(h) + "\r\n"

def plain(text, charset="utf-8", cte="8bit"):
    body = text.replace("\n", "\r\n")
    if cte == "quoted-printable":
        import quopri
        body = quopri.encodestring(text.encode(charset)).decode("ascii").replace("\n", "\r\n")
        return f"Content-Type: text/plain; charset={charset}\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n{body}\r\n"
    if cte == "base64":
        return f"Content-Type: text/plain; charset={charset}\r\nContent-Transfer-Encoding: base64\r\n\r\n{b64(text.encode(charset))}\r\n"
    return f"Content-Type: text/plain; charset={charset}\r\nContent-Transfer-Encoding: 8bit\r\n\r\n{body}\r\n"

def write(folder, name, head, body, charset="utf-8"):
    path = os.path.join(ROOT, folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # A body that is not a single part's own Content-* header block needs the empty line
    # that ends the message's header block.
    if not body.startswith("Content-"):
        head += "\r\n"
    data = (head + body).encode("utf-8")
    with open(path, "wb") as f:
        f.write(data)
    return data

ann = addr("Ann Example", "ann@example.org")
bob = addr("Bob Builder", "bob@example.net")
jorg = addr("Jörg Müller", "joerg@example.de")
olga = addr("Ольга Петрова", "olga@example.ru")
yuki = addr("山田 由紀", "yuki@example.jp")
team = "Project Team: ann@example.org, bob@example.net, joerg@example.de;"

# Inbox: plain and HTML mail, several charsets.
write("Inbox", "0001.eml", headers(bob, ann, "Welcome to the new mailbox", "Mon, 02 Mar 2015 09:15:00 +0000"),
      plain("Hi Ann,\n\nthis is the first message in the sample mailbox.\nIt is plain text.\n\nBob\n"))
write("Inbox", "0002.eml", headers(jorg, ann, enc("Grüße aus München"), "Tue, 03 Mar 2015 14:02:11 +0100"),
      plain("Hallo Ann,\n\nviele Grüße aus München – das Wetter ist schön.\n\nJörg\n", "windows-1252", "quoted-printable"), "ascii")
write("Inbox", "0003.eml", headers(olga, ann, enc("Отчёт за март", "koi8-r"), "Wed, 04 Mar 2015 08:30:45 +0300"),
      plain("Здравствуйте, Анна!\n\nОтчёт за март во вложении не нужен, всё в тексте.\n\nОльга\n", "koi8-r", "base64"), "ascii")
write("Inbox", "0004.eml", headers(yuki, ann, enc("会議の予定"), "Thu, 05 Mar 2015 10:00:00 +0900"),
      plain("アンさん\n\n来週の会議は木曜日の十時からです。\n\n由紀\n", "utf-8", "base64"), "ascii")
html = ("<html><head><meta charset=\"utf-8\"></head><body><p>Hello <b>Ann</b>,</p>"
        "<p>here is the <i>newsletter</i> for March.</p><ul><li>Item one</li><li>Item two</li></ul>"
        "<p>Best regards,<br>The Newsletter</p></body></html>")
write("Inbox", "0005.eml", headers(addr("Newsletter", "news@example.com"), ann, "March newsletter", "Fri, 06 Mar 2015 07:00:00 -0500",
      extra=["Content-Type: multipart/alternative; boundary=\"alt-0005\""]),
      "This is a multi-part message in MIME format.\r\n\r\n--alt-0005\r\n"
      + plain("Hello Ann,\n\nhere is the newsletter for March.\n\n- Item one\n- Item two\n\nBest regards,\nThe Newsletter\n", "utf-8", "quoted-printable")
      + "--alt-0005\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
      + __import__("quopri").encodestring(html.encode()).decode().replace("\n", "\r\n") + "\r\n--alt-0005--\r\n", "ascii")
# Inline image in multipart/related.
logo = png(48, 24, (30, 90, 160))
write("Inbox", "0006.eml", headers(bob, ann, "Our new logo", "Mon, 09 Mar 2015 11:11:11 +0000",
      extra=["Content-Type: multipart/related; boundary=\"rel-0006\"; type=\"text/html\""]),
      "--rel-0006\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n"
      "<html><body><p>Here is the new logo:</p><p><img src=\"cid:logo-0006@example.net\" alt=\"logo\"></p></body></html>\r\n"
      "--rel-0006\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-ID: <logo-0006@example.net>\r\nContent-Disposition: inline; filename=\"logo.png\"\r\n\r\n"
      + b64(logo) + "\r\n--rel-0006--\r\n", "ascii")
# Attachments with encoded names.
csv = "date,amount\r\n2015-03-01,12.50\r\n2015-03-02,7.25\r\n".encode()
write("Inbox", "0007.eml", headers(jorg, ann, "Rechnung März", "Tue, 10 Mar 2015 16:45:00 +0100",
      extra=["Content-Type: multipart/mixed; boundary=\"mix-0007\""]),
      "--mix-0007\r\n" + plain("Hallo Ann,\n\nanbei die Rechnung.\n\nJörg\n", "utf-8", "quoted-printable")
      + "--mix-0007\r\nContent-Type: text/csv; name*=utf-8''Rechnung%20M%C3%A4rz.csv\r\n"
        "Content-Disposition: attachment; filename*=utf-8''Rechnung%20M%C3%A4rz.csv\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      + b64(csv) + "\r\n--mix-0007--\r\n", "utf-8")
pdfish = b"%PDF-1.4\n% Larkfield sample attachment\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n"
write("Inbox", "0008.eml", headers(bob, ann, "Site plan", "Wed, 11 Mar 2015 09:20:00 +0000", cc=jorg,
      extra=["Content-Type: multipart/mixed; boundary=\"mix-0008\""]),
      "--mix-0008\r\n" + plain("Ann,\n\nthe site plan and a photo are attached.\n\nBob\n")
      + "--mix-0008\r\nContent-Type: application/pdf; name=\"site-plan.pdf\"\r\nContent-Disposition: attachment; filename=\"site-plan.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" + b64(pdfish)
      + "\r\n--mix-0008\r\nContent-Type: image/png; name=\"photo.png\"\r\nContent-Disposition: attachment; filename=\"photo.png\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" + b64(png(64, 48, (200, 120, 40))) + "\r\n--mix-0008--\r\n")
# An attached message.
inner = (headers(olga, jorg, "Original question", "Thu, 12 Mar 2015 08:00:00 +0300")
         + plain("Jörg, can you forward this to Ann?\n\nOlga\n"))
write("Inbox", "0009.eml", headers(jorg, ann, "Fwd: Original question", "Thu, 12 Mar 2015 09:30:00 +0100",
      extra=["Content-Type: multipart/mixed; boundary=\"mix-0009\""]),
      "--mix-0009\r\n" + plain("Ann, see the attached message from Olga.\n\nJörg\n")
      + "--mix-0009\r\nContent-Type: message/rfc822\r\nContent-Disposition: attachment; filename=\"Original question.eml\"\r\n\r\n"
      + inner + "\r\n--mix-0009--\r\n")
write("Inbox", "0010.eml", headers(addr("List Server", "list@example.com"), team, "Team meeting moved", "Fri, 13 Mar 2015 12:00:00 +0000"),
      plain("The team meeting moves to Tuesday.\n"))
write("Inbox", "0011.eml", headers(bob, "undisclosed-recipients:;", "Re: Welcome to the new mailbox", "Sat, 14 Mar 2015 18:05:00 +0000",
      extra=["In-Reply-To: <larkfield.sample.0001@example.org>", "References: <larkfield.sample.0001@example.org>", "Importance: High"]),
      plain("Forgot to say: the mailbox has folders too.\n"))
# Inbox/Projects and a deeper folder.
write("Inbox/Projects", "0012.eml", headers(ann, f"{bob}, {jorg}", "Project Larkfield kick-off", "Mon, 16 Mar 2015 09:00:00 +0000"),
      plain("Kick-off is on Monday.\n\nAnn\n"))
write("Inbox/Projects", "0013.eml", headers(bob, ann, "Re: Project Larkfield kick-off", "Mon, 16 Mar 2015 09:45:00 +0000",
      extra=["In-Reply-To: <larkfield.sample.0012@example.org>", "References: <larkfield.sample.0012@example.org>"]),
      plain("I will be there.\n\n> Kick-off is on Monday.\n"))
write("Inbox/Projects", "0014.eml", headers(jorg, ann, "AW: Project Larkfield kick-off", "Mon, 16 Mar 2015 10:15:00 +0100",
      extra=["In-Reply-To: <larkfield.sample.0012@example.org>"]), plain("Ich komme auch.\n"))
write("Inbox/Projects/Budget", "0015.eml", headers(olga, ann, enc("Бюджет проекта"), "Tue, 17 Mar 2015 13:00:00 +0300",
      extra=["Content-Type: multipart/mixed; boundary=\"mix-0015\""]),
      "--mix-0015\r\n" + plain("Анна, бюджет в таблице.\n")
      + "--mix-0015\r\nContent-Type: text/csv; name=\"=?utf-8?B?0LHRjtC00LbQtdGCLmNzdg==?=\"\r\n"
        "Content-Disposition: attachment; filename=\"=?utf-8?B?0LHRjtC00LbQtdGCLmNzdg==?=\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      + b64("статья,сумма\r\nматериалы,1000\r\n".encode()) + "\r\n--mix-0015--\r\n", "ascii")
write("Inbox/Projects/Budget", "0016.eml", headers(ann, olga, "Re: " + enc("Бюджет проекта"), "Tue, 17 Mar 2015 15:30:00 +0000"),
      plain("Спасибо, Ольга!\n"), "utf-8")
# Sent Items.
for i, (to, subj, date, text) in enumerate([
        (bob, "Lunch on Friday?", "Wed, 18 Mar 2015 11:00:00 +0000", "Bob, lunch on Friday at noon?\n"),
        (jorg, "Danke für die Rechnung", "Wed, 18 Mar 2015 11:05:00 +0000", "Danke, Jörg!\n"),
        (yuki, enc("ありがとうございます"), "Wed, 18 Mar 2015 11:10:00 +0000", "由紀さん、ありがとうございます。\n"),
        (f"{bob}, {olga}", "Minutes of the meeting", "Thu, 19 Mar 2015 17:00:00 +0000", "Minutes:\n1. Budget approved.\n2. Next meeting in April.\n"),
]):
    write("Sent Items", f"{20 + i:04d}.eml", headers(ann, to, subj, date), plain(text))
write("Sent Items", "0024.eml", headers(ann, bob, "Photos from the site", "Fri, 20 Mar 2015 08:00:00 +0000",
      extra=["Content-Type: multipart/mixed; boundary=\"mix-0024\""]),
      "--mix-0024\r\n" + plain("Two photos attached.\n")
      + "".join(f"--mix-0024\r\nContent-Type: image/png; name=\"site-{k}.png\"\r\nContent-Disposition: attachment; filename=\"site-{k}.png\"\r\n"
                f"Content-Transfer-Encoding: base64\r\n\r\n{b64(png(80, 60, (40 * k, 160, 90)))}\r\n" for k in (1, 2))
      + "--mix-0024--\r\n")
# Drafts-like folder and an HTML-only message with Windows-1252 text.
write("Drafts", "0025.eml", headers(ann, jorg, "Notes for the trip", "Sat, 21 Mar 2015 20:00:00 +0000",
      extra=["Content-Type: text/html; charset=windows-1252", "Content-Transfer-Encoding: quoted-printable"]),
      "<html><body><p>Packing list \x96 \x93passport\x94, tickets, caf\xe9 money.</p></body></html>\r\n".encode("latin-1").decode("latin-1")
      .replace("\x96", "=96").replace("\x93", "=93").replace("\x94", "=94").replace("\xe9", "=E9"), "ascii")

# A few more: no subject, Bcc on a sent copy, a long HTML newsletter with a table.
write("Inbox", "0017.eml", headers(bob, ann, "", "Sun, 15 Mar 2015 07:45:00 +0000"), plain("(no subject on purpose)\n"))
write("Sent Items", "0026.eml", headers(ann, bob, "Surprise party", "Sun, 22 Mar 2015 10:00:00 +0000",
      cc=jorg, extra=[f"Bcc: {olga}"]), plain("Saturday, 8 pm. Do not tell Bob!\n"))
rows = "".join(f"<tr><td>Week {w}</td><td>{w * 3} tasks</td></tr>" for w in range(1, 13))
write("Inbox", "0018.eml", headers(addr("Status Report", "status@example.com"), ann, "Quarterly status", "Mon, 30 Mar 2015 06:00:00 +0000",
      extra=["Content-Type: text/html; charset=utf-8", "Content-Transfer-Encoding: 8bit"]),
      "<html><body><h1>Quarterly status</h1><table border=1>" + rows + "</table><p>Résumé: all on track ✓</p></body></html>\r\n")
# Apple Mail .emlx files in an archive folder.
def emlx(folder, name, head, body, flags):
    message = (head + body).encode()
    plist = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
             f"\t<key>date-received</key>\n\t<integer>1427000000</integer>\n\t<key>flags</key>\n\t<integer>{flags}</integer>\n"
             "</dict>\n</plist>\n")
    path = os.path.join(ROOT, folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(f"{len(message):>10}\n".encode() + message + plist.encode())
emlx("Archive/2014", "101.emlx", headers(bob, ann, "Old message from 2014", "Mon, 15 Dec 2014 10:00:00 +0000"),
     plain("This one was kept by Apple Mail.\n"), 1)
emlx("Archive/2014", "102.emlx", headers(jorg, ann, enc("Frohe Weihnachten"), "Wed, 24 Dec 2014 18:00:00 +0100"),
     plain("Frohe Weihnachten und ein gutes neues Jahr!\n"), 0)
write("Archive/2014", "103.eml", headers(olga, ann, enc("С Новым годом!"), "Wed, 31 Dec 2014 23:59:00 +0300"),
      plain("С Новым годом, Анна!\n"))
print(f"wrote {sum(len(f) for _, _, f in os.walk(ROOT))} files under {ROOT}")
