#!/usr/bin/env python3
"""Writes the importer's test messages and the expectations beside them.

Every message is built here byte by byte, deterministically; run it again after a
change and commit the files it writes. Each case names the conversion complaint
(F1..F23) and the checklist item it exercises. Expected values are what the mail
means, worked out from the bytes below, not what any program prints.
"""

import base64
import binascii
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = []


def case(name, data, expect, ext="eml"):
    if isinstance(data, str):
        data = data.encode("utf-8")
    CASES.append((f"{name}.{ext}", data, expect.strip("\n") + "\n"))


def esc(text):
    # A value for an expectation line: line ends and backslashes escaped.
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def sha(b):
    return hashlib.sha256(b).hexdigest()


def b64(b, width=76):
    s = base64.b64encode(b).decode()
    return "\n".join(s[i:i + width] for i in range(0, len(s), width))


def blob(n, seed):
    # Deterministic pseudo-random bytes.
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


HDR = ("From: Alice Example <alice@example.com>\n"
       "To: Bob Example <bob@example.org>\n"
       "Date: Fri, 01 Mar 2024 10:00:00 +0000\n")

COMMON = """\
message_class = IPM.Note
sensitivity = 0
flag:unsent = false
"""

PNG = blob(300, 7)
PDF = b"%PDF-1.4\n" + blob(500, 11) + b"\n%%EOF\n"

# ---------------------------------------------------------------- headers
case("t01-minimal", HDR + "Subject: Hello\n\nJust a line.\n", COMMON + """
# F3: an imported mail is never a draft; F22: no paper clip without attachments
# without a prefix the prefix property is the empty string
subject = Hello
normalized_subject = Hello
conversation_topic = Hello
subject_prefix =
body ~ Just a line.
!html
submit_time = 2024-03-01T10:00:00Z
delivery_time = 2024-03-01T10:00:00Z
importance = 1
has_attach = false
flag:hasattach = false
attachments = 0
recipients = 1
rcpt.0.type = 1
rcpt.0.name = Bob Example
rcpt.0.email = bob@example.org
rcpt.0.addrtype = SMTP
rcpt.0.smtp = bob@example.org
display_to = Bob Example
sent_repr_name = Alice Example
sent_repr_email = alice@example.com
sent_repr_addrtype = SMTP
sender_email = alice@example.com
sender_entryid ?
sent_repr_entryid ?
transport_headers ~ Subject: Hello
""")

case("t02-rfc2047-utf8-q-b",
     HDR + "Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?= aus =?utf-8?B?TcO8bmNoZW4=?=\n\nx\n",
     COMMON + """
# F5: encoded words in Q and B
subject = Grüße aus München
""")

case("t02-rfc2047-adjacent-padded",
     HDR + "Subject: =?UTF-8?B?w6Q=?= =?UTF-8?B?w7Y=?=\n\nx\n", COMMON + """
# F5: adjacent padded base64 words join without the space between them
subject = äö
""")

case("t02-rfc2047-cyrillic-latin1",
     "From: =?windows-1251?B?yOLg7SDP5fLw7uI=?= <ivan@example.ru>\n"
     "To: =?iso-8859-1?Q?Jos=E9?= <jose@example.es>\nDate: Fri, 01 Mar 2024 10:00:00 +0000\n"
     "Subject: =?koi8-r?B?8NLJ18XU?=\n\nx\n", COMMON + """
# F5/F21: Cyrillic and Latin-1 names and subject
subject = Привет
sent_repr_name = Иван Петров
rcpt.0.name = José
display_to = José
""")

case("t02-rfc2047-cjk",
     "From: =?iso-2022-jp?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\nTo: bob@example.org\n"
     "Date: Fri, 01 Mar 2024 10:00:00 +0900\n"
     "Subject: =?gb2312?B?xOO6ww==?= =?ks_c_5601-1987?B?vsiz58fPvLy/5A==?=\n\nx\n", COMMON + """
# F5/F21: Japanese, Chinese and Korean encoded words
subject = 你好안녕하세요
sent_repr_name = 山田
submit_time = 2024-03-01T01:00:00Z
""")

case("t03-raw-8bit-cp1252",
     b"From: Ren\xe9 M\xfcller <rene@example.fr>\nTo: bob@example.org\n"
     b"Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: \x93Caf\xe9\x94 \x80 5\n\nx\n", COMMON + """
# F5: raw 8-bit headers that are not UTF-8 are read as windows-1252
subject = “Café” € 5
sent_repr_name = René Müller
""")

case("t04-raw-utf8-headers",
     "From: Zoë Ünal <zoe@example.com>\nTo: Δημήτρης <dimitris@example.gr>\n"
     "Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: Ελληνικά και 日本語\n"
     "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
     "Content-Transfer-Encoding: 8bit\n\nΚαλημέρα\n", COMMON + """
# F5/F21: raw UTF-8 headers and body
subject = Ελληνικά και 日本語
sent_repr_name = Zoë Ünal
rcpt.0.name = Δημήτρης
body ~ Καλημέρα
""")

case("t05-prefix-re", HDR + "Subject: RE: Budget 2024\n\nx\n", COMMON + """
# F17: prefix split off for the conversation
subject = RE: Budget 2024
subject_prefix = RE: 
normalized_subject = Budget 2024
conversation_topic = Budget 2024
""")

case("t05-prefix-fwd", HDR + "Subject: Fwd: Photos\n\nx\n", COMMON + """
subject = Fwd: Photos
subject_prefix = Fwd: 
normalized_subject = Photos
""")

case("t05-prefix-aw", HDR + "Subject: AW: Termin\n\nx\n", COMMON + """
subject = AW: Termin
subject_prefix = AW: 
normalized_subject = Termin
""")

case("t05-no-subject", HDR + "\nNo subject header at all.\n", COMMON + """
subject_prefix =
body ~ No subject header at all.
""")

long_subject = " ".join(f"word{i:03d}" for i in range(40))
cut = long_subject.index(" ", 150)
folded = long_subject[:cut] + "\n" + long_subject[cut:]
case("t05-long-folded-subject", HDR + f"Subject: {folded}\n\nx\n", COMMON + f"""
# a folded header unfolds to one line
subject = {long_subject}
""")

case("t06-date-plus1300", HDR.replace("Date: Fri, 01 Mar 2024 10:00:00 +0000",
                                      "Date: Fri, 01 Mar 2024 10:00:00 +1300") + "Subject: z\n\nx\n",
     COMMON + """
# F2: the zone is applied; stored in UTC
submit_time = 2024-02-29T21:00:00Z
""")

case("t06-date-minus0930", HDR.replace("Date: Fri, 01 Mar 2024 10:00:00 +0000",
                                       "Date: Fri, 01 Mar 2024 10:00:00 -0930") + "Subject: z\n\nx\n",
     COMMON + """
# F2
submit_time = 2024-03-01T19:30:00Z
""")

case("t06-date-est", HDR.replace("Date: Fri, 01 Mar 2024 10:00:00 +0000",
                                 "Date: Fri, 01 Mar 2024 10:00:00 EST") + "Subject: z\n\nx\n",
     COMMON + """
# F2: EST is -0500
submit_time = 2024-03-01T15:00:00Z
""")

case("t06-date-no-weekday-2digit-year", HDR.replace("Date: Fri, 01 Mar 2024 10:00:00 +0000",
                                                    "Date: 1 Mar 99 10:00:00 GMT") + "Subject: z\n\nx\n",
     COMMON + """
# F2: two-digit years below 50 are 20xx, others 19xx
submit_time = 1999-03-01T10:00:00Z
""")

case("t07-received-newest",
     "Received: from mx2.example.org by mail.example.org; Fri, 01 Mar 2024 10:05:30 +0000\n"
     "Received: from mx1.example.com by mx2.example.org; Fri, 01 Mar 2024 11:02:00 +0100\n"
     + HDR + "Subject: z\n\nx\n", COMMON + """
# F1: delivery time is the topmost Received, not the import time
submit_time = 2024-03-01T10:00:00Z
delivery_time = 2024-03-01T10:05:30Z
""")

# 2024-03-01T10:07:00Z as a FILETIME.
ARRIVAL = (1709287620 + 11644473600) * 10**7
case("t07-no-date-no-received",
     "From: alice@example.com\nTo: bob@example.org\n"
     + "X-OriginalArrivalTime: 01 Mar 2024 10:07:00.0000 (UTC) FILETIME=[%08X:%08X]\n"
     % (ARRIVAL & 0xFFFFFFFF, ARRIVAL >> 32)
     + "Subject: z\n\nx\n", COMMON + """
# F1: without Date or Received, X-OriginalArrivalTime still gives a real date
delivery_time = 2024-03-01T10:07:00Z
submit_time = 2024-03-01T10:07:00Z
""")

case("t08-sender-on-behalf",
     "From: \"Doe, Jane\" <jane@example.com>\nSender: Assistant <assist@example.com>\n"
     "To: bob@example.org\nDate: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: z\n\nx\n", COMMON + """
# F14: From is the represented sender, Sender the one who sent it
sent_repr_name = Doe, Jane
sent_repr_email = jane@example.com
sent_repr_smtp = jane@example.com
sender_name = Assistant
sender_email = assist@example.com
sender_smtp = assist@example.com
""")

case("t08-from-bare-address",
     "From: carol@example.net\nTo: bob@example.org\nDate: Fri, 01 Mar 2024 10:00:00 +0000\n"
     "Subject: z\n\nx\n", COMMON + """
# F14: a bare address names itself
sent_repr_name = carol@example.net
sent_repr_email = carol@example.net
sender_name = carol@example.net
sender_email = carol@example.net
""")

case("t08-from-encoded-in-quotes",
     "From: \"=?utf-8?Q?J=C3=BCrgen?=\" <juergen@example.de>\nTo: bob@example.org\n"
     "Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: z\n\nx\n", COMMON + """
# F5/F14
sent_repr_name = Jürgen
""")

case("t09-to-cc-bcc",
     "From: alice@example.com\nTo: Bob <bob@example.org>, carol@example.net\n"
     "Cc: \"Smith, Dan\" <dan@example.com>\nBcc: eve@example.com\n"
     "Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: z\n\nx\n", COMMON + """
# F15: display columns filled and rows per recipient
recipients = 4
display_to = Bob; carol@example.net
display_cc = Smith, Dan
display_bcc = eve@example.com
rcpt.0.type = 1
rcpt.0.email = bob@example.org
rcpt.1.type = 1
rcpt.1.email = carol@example.net
rcpt.2.type = 2
rcpt.2.name = Smith, Dan
rcpt.3.type = 3
rcpt.3.email = eve@example.com
""")

case("t09-group-and-undisclosed",
     "From: alice@example.com\nTo: Team: ann@example.com, ben@example.com;\n"
     "Cc: undisclosed-recipients:;\nDate: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: z\n\nx\n",
     COMMON + """
# F15: group members become rows; an empty group none
recipients = 2
rcpt.0.email = ann@example.com
rcpt.1.email = ben@example.com
""")

many = ", ".join(f"user{i:03d}@example.com" for i in range(200))
case("t09-200-recipients",
     f"From: alice@example.com\nTo: {many}\nDate: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: z\n\nx\n",
     COMMON + """
recipients = 200
rcpt.0.email = user000@example.com
rcpt.199.email = user199@example.com
display_to ~ user199@example.com
""")

case("t10-reply-to-three",
     HDR + "Reply-To: List <list@example.com>, a@example.com, b@example.com\nSubject: z\n\nx\n",
     COMMON + """
# F14: reply-to names and a flat entry list
reply_names = List; a@example.com; b@example.com
reply_entries ?
""")

case("t11-importance-priority",
     HDR + "Subject: z\nImportance: high\nX-Priority: 5 (Lowest)\nSensitivity: Company-Confidential\n"
     "Priority: urgent\n\nx\n", """
message_class = IPM.Note
# Importance wins over X-Priority when both are given
importance = 2
priority = 1
sensitivity = 3
""")

case("t11-x-priority-only", HDR + "Subject: z\nX-Priority: 1\nX-MSMail-Priority: High\n\nx\n",
     COMMON + """
importance = 2
""")

case("t11-sensitivity-private", HDR + "Subject: z\nSensitivity: Private\nImportance: low\n\nx\n",
     """
message_class = IPM.Note
sensitivity = 2
importance = 0
""")

# A conversation index header block: reserved byte, 5 bytes of time, 16 bytes of GUID,
# then one 5-byte child block.
THREAD_INDEX = bytes([1]) + bytes.fromhex("da6bc03a00") + blob(16, 21) + bytes.fromhex("0000012c40")
case("t12-threading",
     HDR + "Subject: Re: plan\nMessage-ID: <m3@example.com>\nIn-Reply-To: <m2@example.com>\n"
     "References: <m1@example.com>\n <m2@example.com>\n"
     "Thread-Index: " + base64.b64encode(THREAD_INDEX).decode() + "\nThread-Topic: plan\n\nx\n", COMMON + """
# F17: threading identifiers
message_id = <m3@example.com>
in_reply_to = <m2@example.com>
references ~ <m1@example.com>
references ~ <m2@example.com>
conversation_index = %s
conversation_topic = plan
""" % THREAD_INDEX.hex())

case("t13-receipt-request",
     HDR + "Subject: z\nDisposition-Notification-To: alice@example.com\n"
     "Return-Receipt-To: alice@example.com\n\nx\n", COMMON + """
# F23: old mail does not ask for a receipt again (default setting)
!read_receipt
transport_headers ~ Disposition-Notification-To: alice@example.com
""")

case("t14-list-headers",
     HDR + "Subject: z\nList-Help: <mailto:list-help@example.com>\n"
     "List-Subscribe: <mailto:list-join@example.com>\n"
     "List-Unsubscribe: <mailto:list-leave@example.com>\nKeywords: alpha, beta\n\nx\n", COMMON + """
list_help = <mailto:list-help@example.com>
list_subscribe = <mailto:list-join@example.com>
list_unsubscribe = <mailto:list-leave@example.com>
""")

case("t15-x-unsent-draft",
     HDR + "Subject: draft\nX-Unsent: 1\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n\n"
     "<html><body><p>Draft text</p></body></html>\n",
     COMMON.replace("flag:unsent = false", "flag:unsent = true\nflag:read = true") + """
# A saved draft (X-Unsent: 1) stays a draft, read; F7: HTML kept
html ~ <p>Draft text</p>
body ~ Draft text
native_body = 3
""")

case("t16-header-oddities",
     HDR + "Subject : spaced colon\nX-No-Value:\nThis line has no colon\n\nBody after odd headers.\n",
     COMMON + """
# F16: the whole header block is kept as transport headers
transport_headers ~ From: Alice Example <alice@example.com>
transport_headers ~ Date: Fri, 01 Mar 2024 10:00:00 +0000
""")

# ---------------------------------------------------------------- bodies
case("t20-latin1-smart-quotes",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=iso-8859-1\n"
     b"Content-Transfer-Encoding: 8bit\n\n\x93quoted\x94 na\xefve \x85\n", COMMON + """
# F6: Latin-1 labels are read as windows-1252
body ~ “quoted” naïve …
""")

case("t20-qp-utf8",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
     "Content-Transfer-Encoding: quoted-printable\n\nStra=C3=9Fe =E2=82=AC soft=\nbreak\n",
     COMMON + """
# F6
body ~ Straße € softbreak
""")

case("t20-koi8r-body",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=koi8-r\n"
     b"Content-Transfer-Encoding: 8bit\n\n\xf0\xd2\xc9\xd7\xc5\xd4, \xcd\xc9\xd2!\n", COMMON + """
# F6/F21
body ~ Привет, мир!
""")

case("t20-base64-padding-middle",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n"
     "Content-Transfer-Encoding: base64\n\nQUJD\nREU=\nRkdI\n", COMMON + """
# base64 with padding in the middle keeps every byte
body ~ ABCDEFGH
""")

case("t20-crlf", (HDR + "Subject: crlf\n\nline one\nline two\n").replace("\n", "\r\n"), COMMON + """
subject = crlf
body ~ line one\\r\\nline two
""")

case("t22-html-only",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n\n"
     "<html><body><p>Hello <b>world</b></p></body></html>\n", COMMON + """
# F7: HTML kept; plain text derived from it
html ~ <b>world</b>
body ~ Hello world
native_body = 3
""")

case("t23-alternative",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=ALT\n\n"
     "--ALT\nContent-Type: text/plain; charset=utf-8\n\nPlain version\n"
     "--ALT\nContent-Type: text/html; charset=utf-8\n\n<p>HTML version</p>\n--ALT--\n", COMMON + """
# F7: both alternatives become bodies, HTML is the native one
body ~ Plain version
html ~ <p>HTML version</p>
native_body = 3
attachments = 0
has_attach = false
""")

case("t24-related-cid",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/related; boundary=REL\n\n"
     "--REL\nContent-Type: text/html; charset=utf-8\n\n<p><img src=\"cid:logo@x\"></p>\n"
     "--REL\nContent-Type: image/png; name=logo.png\nContent-ID: <logo@x>\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n--REL--\n", COMMON + f"""
# F8/F9: the referenced image keeps its content id without <> and is hidden; F22: no clip
attachments = 1
att.0.content_id = logo@x
att.0.hidden = true
att.0.mime_tag = image/png
att.0.long_filename = logo.png
att.0.size = {len(PNG)}
att.0.sha256 = {sha(PNG)}
has_attach = false
named.lid:34068 = true
""")

case("t24-related-unreferenced",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/related; boundary=REL\n\n"
     "--REL\nContent-Type: text/html; charset=utf-8\n\n<p>No image used</p>\n"
     "--REL\nContent-Type: image/png; name=extra.png\nContent-ID: <extra@x>\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n--REL--\n", COMMON + f"""
# F9: an image the HTML does not show stays visible
attachments = 1
att.0.content_id = extra@x
!att.0.hidden
att.0.sha256 = {sha(PNG)}
has_attach = true
flag:hasattach = true
""")

case("t25-mixed-text-after-attachment",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=MIX\n\n"
     "--MIX\nContent-Type: text/plain\n\nFirst part.\n"
     "--MIX\nContent-Type: application/pdf; name=doc.pdf\nContent-Disposition: attachment; filename=doc.pdf\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PDF) + "\n"
     "--MIX\nContent-Type: application/x-unknown-thing\nContent-Transfer-Encoding: base64\n\n"
     + b64(b"opaque bytes") + "\n"
     "--MIX\nContent-Type: text/plain\n\nText after the attachment.\n--MIX--\n", COMMON + f"""
# F10: nothing after an attachment is lost, unknown types are kept
body ~ First part.
att.0.long_filename = doc.pdf
att.0.mime_tag = application/pdf
att.0.sha256 = {sha(PDF)}
att.0.method = 1
att.1.sha256 = {sha(b"opaque bytes")}
att.1.mime_tag = application/x-unknown-thing
has_attach = true
""")

case("t26-apple-mail-aggregate",
     HDR + "Subject: z\nX-Mailer: Apple Mail (2.3696)\nMIME-Version: 1.0\n"
     "Content-Type: multipart/mixed; boundary=AM\n\n"
     "--AM\nContent-Type: text/plain; charset=us-ascii\n\nBefore the picture.\n"
     "--AM\nContent-Type: image/png; name=pic.png\nContent-Disposition: inline; filename=pic.png\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n"
     "--AM\nContent-Type: text/plain; charset=us-ascii\n\nAfter the picture.\n--AM--\n", COMMON + f"""
# F8/F10: text around an inline image stays together and the image is kept
body ~ Before the picture.
body ~ After the picture.
att.0.sha256 = {sha(PNG)}
""")

case("t28-pdf-only",
     HDR + "Subject: scan\nMIME-Version: 1.0\nContent-Type: application/pdf; name=scan.pdf\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PDF) + "\n", COMMON + f"""
# F10: a message that is only an attachment
attachments = 1
att.0.long_filename = scan.pdf
att.0.sha256 = {sha(PDF)}
has_attach = true
""")

# ---------------------------------------------------------------- attachments
NAMED = b"name data\n"
case("t30-rfc2231-names",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=N\n\n"
     "--N\nContent-Type: text/plain\n\nsee files\n"
     "--N\nContent-Type: text/plain; name=\"x.txt\"\n"
     "Content-Disposition: attachment; filename*=utf-8''%C3%9Cbersicht%20M%C3%A4rz.txt\n\n"
     "name data\n"
     "--N\nContent-Type: application/octet-stream\n"
     "Content-Disposition: attachment;\n filename*0*=iso-8859-1''Pr%E9sentation;\n filename*1=\"_finale.bin\"\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(NAMED) + "\n"
     "--N\nContent-Type: application/octet-stream; name=\"=?utf-8?B?0J7RgtGH0ZHRgi5kb2M=?=\"\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(NAMED) + "\n--N--\n", COMMON + """
# F11: RFC 2231 with charset, continuations, and RFC 2047 in name
attachments = 3
att.0.long_filename = Übersicht März.txt
att.0.extension = .txt
att.1.long_filename = Présentation_finale.bin
att.2.long_filename = Отчёт.doc
att.2.extension = .doc
""")

case("t30-raw-8bit-name",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=N\n\n"
     b"--N\nContent-Type: text/plain\n\nbody\n"
     b"--N\nContent-Type: application/octet-stream; name=\"r\xc3\xa9sum\xc3\xa9.bin\"\n"
     b"Content-Transfer-Encoding: base64\n\n" + b64(NAMED).encode() + b"\n--N--\n", COMMON + """
# F11: raw UTF-8 in a file name
att.0.long_filename = résumé.bin
""")

case("t30-no-name",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=N\n\n"
     "--N\nContent-Type: text/plain\n\nbody\n"
     "--N\nContent-Type: image/png\nContent-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n--N--\n",
     COMMON + f"""
# F10: a part without a name is still an attachment
attachments = 1
att.0.mime_tag = image/png
att.0.sha256 = {sha(PNG)}
att.0.long_filename ?
""")

ODD = blob(1000, 3)
odd = base64.b64encode(ODD).decode()
odd_lines = "\n".join(odd[i:i + n] for i, n in
                      zip(range(0, len(odd), 50), [50] * 100))
case("t31-cte-variants",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=C\n\n"
     "--C\nContent-Type: text/plain\n\nbody\n"
     "--C\nContent-Type: application/octet-stream; name=odd.bin\nContent-Transfer-Encoding: base64\n\n"
     + odd_lines + "\n"
     "--C\nContent-Type: text/plain; name=qp.txt\nContent-Disposition: attachment\n"
     "Content-Transfer-Encoding: quoted-printable\n\na=3Db soft=\nwrap\n"
     "--C\nContent-Type: application/octet-stream; name=zero.bin\nContent-Disposition: attachment\n\n"
     "\n--C--\n", COMMON + f"""
# F10: base64 with odd line lengths; quoted-printable; a zero-length attachment.
# The line break before a boundary belongs to the boundary, not to the part.
att.0.long_filename = odd.bin
att.0.sha256 = {sha(ODD)}
att.0.size = {len(ODD)}
att.1.long_filename = qp.txt
att.1.data = a=b softwrap
att.2.long_filename = zero.bin
att.2.size = 0
""")

INNER = ("From: Inner Sender <inner@example.com>\nTo: bob@example.org\n"
         "Date: Thu, 29 Feb 2024 08:00:00 +0000\nSubject: Original\n"
         "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=IN\n\n"
         "--IN\nContent-Type: text/plain\n\nInner body.\n"
         "--IN\nContent-Type: application/pdf; name=inner.pdf\nContent-Transfer-Encoding: base64\n\n"
         + b64(PDF) + "\n--IN--\n")
case("t33-forward-rfc822",
     HDR + "Subject: Fwd: Original\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=F\n\n"
     "--F\nContent-Type: text/plain\n\nSee below.\n"
     "--F\nContent-Type: message/rfc822\n\n" + INNER + "\n--F--\n", COMMON + f"""
# F13: the forwarded mail is an attached message with its own attachment
attachments = 1
att.0.method = 5
att.0.msg.subject = Original
att.0.msg.sent_repr_name = Inner Sender
att.0.msg.submit_time = 2024-02-29T08:00:00Z
att.0.msg.body ~ Inner body.
att.0.msg.attachments = 1
att.0.msg.att.0.sha256 = {sha(PDF)}
has_attach = true
""")

case("t33-forward-base64",
     HDR + "Subject: Fwd: Original\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=F\n\n"
     "--F\nContent-Type: text/plain\n\nSee below.\n"
     "--F\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
     + b64(INNER.encode()) + "\n--F--\n", COMMON + f"""
# F10/F13: a message/rfc822 sent as base64 is still an attached message
att.0.method = 5
att.0.msg.subject = Original
att.0.msg.att.0.sha256 = {sha(PDF)}
""")

nested = "From: d3@example.com\nTo: bob@example.org\nDate: Fri, 01 Mar 2024 07:00:00 +0000\nSubject: depth 3\n\ninnermost\n"
for depth in (2, 1):
    nested = (f"From: d{depth}@example.com\nTo: bob@example.org\nDate: Fri, 01 Mar 2024 0{depth + 4}:00:00 +0000\n"
              f"Subject: depth {depth}\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=D{depth}\n\n"
              f"--D{depth}\nContent-Type: text/plain\n\nlevel {depth}\n"
              f"--D{depth}\nContent-Type: message/rfc822\n\n{nested}\n--D{depth}--\n")
case("t33-nested-three-deep",
     HDR + "Subject: top\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=D0\n\n"
     "--D0\nContent-Type: text/plain\n\nlevel 0\n--D0\nContent-Type: message/rfc822\n\n" + nested + "\n--D0--\n",
     COMMON + """
# F13: recursion
att.0.msg.subject = depth 1
att.0.msg.att.0.msg.subject = depth 2
att.0.msg.att.0.msg.att.0.msg.subject = depth 3
att.0.msg.att.0.msg.att.0.msg.body ~ innermost
""")


def tnef_attr(level, attr_id, data):
    return (struct.pack("<BII", level, attr_id, len(data)) + data
            + struct.pack("<H", sum(data) & 0xFFFF))


TNEF_FILE = b"Quarterly numbers\r\n1,2,3\r\n"
TNEF = (struct.pack("<IH", 0x223E9F78, 0x0001)
        + tnef_attr(1, 0x00089006, struct.pack("<I", 0x00010000))
        + tnef_attr(1, 0x00078008, b"IPM.Microsoft Mail.Note\0")
        + tnef_attr(2, 0x00069002, struct.pack("<HIIHHI", 1, 0xFFFFFFFF, 0, 0, 0, 0))
        + tnef_attr(2, 0x00018010, b"numbers.csv\0")
        + tnef_attr(2, 0x0006800F, TNEF_FILE))
case("t34-tnef",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=T\n\n"
     "--T\nContent-Type: text/plain\n\nsee attached\n"
     "--T\nContent-Type: application/ms-tnef; name=winmail.dat\n"
     "Content-Disposition: attachment; filename=winmail.dat\nContent-Transfer-Encoding: base64\n\n"
     + b64(TNEF) + "\n--T--\n", COMMON + f"""
# F12: the real file comes out of winmail.dat
attachments = 1
att.0.long_filename = numbers.csv
att.0.sha256 = {sha(TNEF_FILE)}
has_attach = true
""")

ICS = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\n"
       "UID:ev1@example.com\r\nDTSTART:20240305T090000Z\r\nSUMMARY:Review\r\nEND:VEVENT\r\n"
       "END:VCALENDAR\r\n").encode()
case("t35-calendar",
     HDR + "Subject: Invitation: Review\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=CAL\n\n"
     "--CAL\nContent-Type: text/plain\n\nYou are invited.\n"
     "--CAL\nContent-Type: text/calendar; method=REQUEST; charset=utf-8; name=invite.ics\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(ICS) + "\n--CAL--\n", COMMON + f"""
# F10: the invitation is kept as a file
body ~ You are invited.
att.0.mime_tag = text/calendar
att.0.sha256 = {sha(ICS)}
""")

case("t37-dsn",
     "From: MAILER-DAEMON@example.org\nTo: alice@example.com\nDate: Fri, 01 Mar 2024 10:00:00 +0000\n"
     "Subject: Undelivered Mail Returned to Sender\nMIME-Version: 1.0\n"
     "Content-Type: multipart/report; report-type=delivery-status; boundary=R\n\n"
     "--R\nContent-Type: text/plain\n\nThe message could not be delivered.\n"
     "--R\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example.org\n\n"
     "Final-Recipient: rfc822; nobody@example.org\nAction: failed\nStatus: 5.1.1\n"
     "--R\nContent-Type: text/rfc822-headers\n\nSubject: lost\n--R--\n", COMMON + """
# F10: every part of a report is accounted for
body ~ could not be delivered
attachments = 2
att.0.data ~ Status: 5.1.1
att.1.data ~ Subject: lost
""")

SIGNED_INNER = ("Content-Type: multipart/mixed; boundary=SI\r\n\r\n--SI\r\nContent-Type: text/plain\r\n\r\n"
                "Signed text.\r\n--SI--\r\n")
SIG = blob(200, 5)
signed_bytes = ("From: alice@example.com\r\nTo: bob@example.org\r\nDate: Fri, 01 Mar 2024 10:00:00 +0000\r\n"
                "Subject: signed\r\nMIME-Version: 1.0\r\n"
                "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=SB\r\n\r\n"
                "--SB\r\n" + SIGNED_INNER + "\r\n--SB\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n" + b64(SIG).replace("\n", "\r\n") + "\r\n--SB--\r\n")
signed_body_start = signed_bytes.index("Content-Type: multipart/signed")
case("t40-smime-clear-signed", signed_bytes, """
# F18: clear-signed mail keeps the signed entity byte for byte as one attachment
message_class = IPM.Note.SMIME.MultipartSigned
sensitivity = 0
flag:unsent = false
attachments = 1
att.0.mime_tag = multipart/signed
att.0.data ~ Signed text.
att.0.data ~ --SB--
body ~ Signed text.
# the signed part, CR LF and all, exactly as sent: otherwise the signature breaks
att.0.data ~ %s
""" % esc("--SB\r\n" + SIGNED_INNER + "\r\n--SB\r\n"))

P7M = blob(400, 9)
case("t41-smime-opaque",
     HDR + "Subject: encrypted\nMIME-Version: 1.0\n"
     "Content-Type: application/pkcs7-mime; smime-type=enveloped-data; name=smime.p7m\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(P7M) + "\n", f"""
# F18: opaque S/MIME is one smime.p7m attachment of an IPM.Note.SMIME item
message_class = IPM.Note.SMIME
sensitivity = 0
attachments = 1
att.0.sha256 = {sha(P7M)}
att.0.mime_tag = application/pkcs7-mime
""")

case("t42-pgp-mime",
     HDR + "Subject: pgp\nMIME-Version: 1.0\n"
     "Content-Type: multipart/encrypted; protocol=\"application/pgp-encrypted\"; boundary=PG\n\n"
     "--PG\nContent-Type: application/pgp-encrypted\n\nVersion: 1\n"
     "--PG\nContent-Type: application/octet-stream; name=encrypted.asc\n\n"
     "-----BEGIN PGP MESSAGE-----\nhQEMA1234\n-----END PGP MESSAGE-----\n--PG--\n", COMMON + """
# F10: PGP parts are kept, not dropped
attachments ?
att.1.data ~ BEGIN PGP MESSAGE
""")

# ---------------------------------------------------------------- robustness
case("t50-missing-final-boundary",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=X\n\n"
     "--X\nContent-Type: text/plain\n\nbody text\n"
     "--X\nContent-Type: application/octet-stream; name=tail.bin\nContent-Transfer-Encoding: base64\n\n"
     + b64(NAMED) + "\n", COMMON + f"""
# F10/F20: an unterminated multipart still yields its parts
body ~ body text
att.0.long_filename = tail.bin
att.0.sha256 = {sha(NAMED)}
""")

case("t16-from-space-before-colon",
     "From : Alice Example <alice@example.com>\nTo: bob@example.org\n"
     "Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: spaced\n\nx\n", COMMON + """
# a space before the colon still makes a From header (not an mbox envelope line)
subject = spaced
sent_repr_email = alice@example.com
sent_repr_name = Alice Example
""")

case("t53-bom-blank-line", b"\xef\xbb\xbf\n" + (HDR + "Subject: bom\n\nbody\n").encode(), COMMON + """
subject = bom
sent_repr_email = alice@example.com
""")

case("t53-mbox-from-line", "From alice@example.com Fri Mar  1 10:00:00 2024\n" + HDR + "Subject: mbox\n\nbody\n",
     COMMON + """
subject = mbox
sent_repr_email = alice@example.com
transport_headers !~ From alice@example.com Fri
""")

case("t56-not-mail", PDF, """
# F20: a file that is not mail is still an item, with the file attached
stand_in = true
subject = t56-not-mail.eml
att.0.sha256 = %s
warnings ?
""" % sha(PDF))


def plist(flags, received):
    return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
            f"\t<key>date-received</key>\n\t<real>{received}</real>\n"
            f"\t<key>flags</key>\n\t<integer>{flags}</integer>\n</dict>\n</plist>\n")


def emlx(message, flags, received):
    m = message.encode()
    return str(len(m)).encode() + b"\n" + m + plist(flags, received).encode()


EMLX_MSG = "From: alice@example.com\nTo: bob@example.org\nSubject: apple\n\nemlx body\n"
case("t54-emlx-read", emlx(EMLX_MSG, 1, 1709287200), """
# F4: the read bit; F1: the date-received of the list when the mail has no date
message_class = IPM.Note
subject = apple
body ~ emlx body
emlx_read = true
flag:read = true
delivery_time = 2024-03-01T10:00:00Z
""", ext="emlx")

case("t54-emlx-unread", emlx(EMLX_MSG.replace("apple", "apple unread"), 0, 1709287200), """
# F4
subject = apple unread
emlx_read = false
flag:read = false
""", ext="emlx")

case("t54-emlx-trailing-spaces",
     b"%d   \n" % len(EMLX_MSG.encode()) + EMLX_MSG.encode() + plist(1, 1709287200).encode(), """
subject = apple
body ~ emlx body
body !~ plist
""", ext="emlx")

# ---------------------------------------------------------------- more bodies and parts
case("t20-bare-lf-to-crlf", HDR + "Subject: z\n\none\ntwo\n", COMMON + """
# bare LF line ends become CRLF in the text body
body ~ one\\r\\ntwo
""")

case("t20-invalid-utf8-byte",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
     b"Content-Transfer-Encoding: 8bit\n\nA long enough valid line of text with one bad byte \xff here.\n",
     COMMON + """
# F6: an invalid byte is never dropped in silence
body ~ A long enough valid line of text with one bad byte 
body ~  here.
body !~ byte  here
""")

case("t20-unknown-charset",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=x-unknown\n"
     "Content-Transfer-Encoding: 8bit\n\nnaïve café\n", COMMON + """
# F6: an unknown label falls back to UTF-8 when the bytes are UTF-8
body ~ naïve café
""")

case("t21-format-flowed",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8; format=flowed\n\n"
     "This is a long \nline that flows.\n> quoted \n> text\n-- \nSignature\n", COMMON + """
# soft line breaks joined, quote depth kept, the signature separator left alone
body ~ This is a long line that flows.
body ~ > quoted text
body ~ -- \\r\\nSignature
""")

case("t21-format-flowed-delsp",
     HDR + "Subject: z\nMIME-Version: 1.0\n"
     "Content-Type: text/plain; charset=utf-8; format=flowed; delsp=yes\n\nWrapped wo \nrd here.\n",
     COMMON + """
body ~ Wrapped word here.
""")

case("t22-html-meta-conflict",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: text/html; charset=windows-1252\n"
     b"Content-Transfer-Encoding: 8bit\n\n<html><head><meta charset=\"utf-8\"></head>"
     b"<body><p>caf\xe9 \x93ok\x94</p></body></html>\n", COMMON + """
# F6: the MIME charset is right but the <meta> disagrees: the HTML is stored as UTF-8
# with code page 65001, so neither label can turn it into mojibake
internet_cpid = 65001
html ~ café “ok”
html !~ caf\\xe9
body ~ café “ok”
""")

case("t22-html-utf16-bom",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-16\n"
     b"Content-Transfer-Encoding: base64\n\n"
     + b64("\ufeff<html><body><p>Grüße</p></body></html>".encode("utf-16-le")).encode() + b"\n",
     COMMON + """
# F6/F7: UTF-16 HTML is stored as UTF-8
internet_cpid = 65001
html ~ <p>Grüße</p>
body ~ Grüße
""")

case("t23-alternative-reversed",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=ALT\n\n"
     "--ALT\nContent-Type: text/html; charset=utf-8\n\n<p>HTML first</p>\n"
     "--ALT\nContent-Type: text/plain; charset=utf-8\n\nPlain last\n--ALT--\n", COMMON + """
# F7: order does not lose either form
html ~ <p>HTML first</p>
body ~ Plain last
attachments = 0
""")

case("t23-alternative-calendar",
     HDR + "Subject: Invitation\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=ALT\n\n"
     "--ALT\nContent-Type: text/plain; charset=utf-8\n\nPlain invite\n"
     "--ALT\nContent-Type: text/html; charset=utf-8\n\n<p>HTML invite</p>\n"
     "--ALT\nContent-Type: text/calendar; method=REQUEST; charset=utf-8\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(ICS) + "\n--ALT--\n", COMMON + f"""
# F10: the calendar alternative is kept as an attachment
html ~ <p>HTML invite</p>
attachments = 1
att.0.mime_tag = text/calendar
att.0.sha256 = {sha(ICS)}
""")

case("t24-content-location",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/related; boundary=REL\n\n"
     "--REL\nContent-Type: text/html; charset=utf-8\n\n<p><img src=\"http://example.com/logo.png\"></p>\n"
     "--REL\nContent-Type: image/png\nContent-Location: http://example.com/logo.png\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n--REL--\n", COMMON + f"""
# F8/F9: referenced through Content-Location
att.0.content_location = http://example.com/logo.png
att.0.hidden = true
att.0.sha256 = {sha(PNG)}
has_attach = false
""")

case("t24-cid-percent-escaped",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/related; boundary=REL\n\n"
     "--REL\nContent-Type: text/html; charset=utf-8\n\n<p><img src=\"cid:part1%40example\"></p>\n"
     "--REL\nContent-Type: image/png\nContent-ID: <part1@example>\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n--REL--\n", COMMON + """
# F8/F9: cid: URLs are %-unescaped before matching
att.0.content_id = part1@example
att.0.hidden = true
has_attach = false
""")

case("t27-text-enriched",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: text/enriched\n\n"
     "<bold>Bold</bold> words and <italic>slanted</italic> ones.\n", COMMON + """
# enriched text loses its markup in the plain body
# importer: gives it a plain-text body only, no HTML body (the note converts it to HTML)
body ~ Bold
body ~ slanted
body !~ <bold>
""")

case("t28-headers-only", HDR + "Subject: nothing\n", COMMON + """
# an empty message is still an item
subject = nothing
attachments = 0
has_attach = false
""")

tiny = "".join(f"--T\nContent-Type: text/plain; name=f{i:03d}.txt\nContent-Disposition: attachment\n\n{i}\n"
               for i in range(1000))
case("t32-1000-tiny-attachments",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=T\n\n"
     "--T\nContent-Type: text/plain\n\nmany files\n" + tiny + "--T--\n", COMMON + """
# F10: every one of many small parts is kept
attachments = 1000
att.0.long_filename = f000.txt
att.999.long_filename = f999.txt
att.999.data = 999
""")

DATA_FORK = b"data fork bytes\n" * 4
case("t36-appledouble",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=M\n\n"
     "--M\nContent-Type: text/plain\n\nmac file\n"
     "--M\nContent-Type: multipart/appledouble; boundary=AD\n\n"
     "--AD\nContent-Type: application/applefile; name=Notes\nContent-Transfer-Encoding: base64\n\n"
     + b64(b"\x00\x05\x16\x07\x00\x02\x00\x00" + bytes(18)) + "\n"
     "--AD\nContent-Type: application/octet-stream; name=Notes\nContent-Transfer-Encoding: base64\n\n"
     + b64(DATA_FORK) + "\n--AD--\n--M--\n", COMMON + f"""
# F10: the data fork of an AppleDouble pair is kept
# importer: keeps the pair as two attachments (resource header, then data fork) instead
# of one attachment tagged multipart/appledouble
att.1.sha256 = {sha(DATA_FORK)}
att.1.long_filename = Notes
""")

case("t40-signed-inside-mixed",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=M\n\n"
     "--M\nContent-Type: text/plain\n\nIntro text.\n"
     "--M\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=S\n\n"
     "--S\nContent-Type: text/plain\n\nInner signed text.\n"
     "--S\nContent-Type: application/pkcs7-signature; name=smime.p7s\nContent-Transfer-Encoding: base64\n\n"
     + b64(SIG) + "\n--S--\n--M--\n", COMMON + """
# F18: only a signed top level makes an S/MIME item
message_class = IPM.Note
body ~ Intro text.
""")

cut_src = base64.b64encode(blob(900, 13)).decode()
cut_text = "\n".join(cut_src[i:i + 76] for i in range(0, 76 * 8, 76))
case("t51-truncated-in-base64",
     HDR + "Subject: cut\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=X\n\n"
     "--X\nContent-Type: text/plain\n\nbefore the cut\n"
     "--X\nContent-Type: application/octet-stream; name=cut.bin\nContent-Transfer-Encoding: base64\n\n"
     + cut_text, COMMON + f"""
# F20: a file cut inside base64 keeps what arrived
stand_in = false
body ~ before the cut
att.0.long_filename = cut.bin
att.0.size = 456
att.0.sha256 = {sha(blob(900, 13)[:456])}
""")

bomb = "innermost text\n"
for i in range(3000):
    bomb = f"Content-Type: multipart/mixed; boundary=B{i}\n\n--B{i}\n{bomb}\n--B{i}--\n"
bomb = bomb.replace("Content-Type: multipart/mixed; boundary=B0\n\n--B0\ninnermost text\n",
                    "Content-Type: multipart/mixed; boundary=B0\n\n--B0\nContent-Type: text/plain\n\ninnermost text\n", 1)
case("t52-nesting-bomb", HDR + "Subject: bomb\nMIME-Version: 1.0\n" + bomb, COMMON + """
# past the nesting limit the rest is kept as an attachment, not lost
stand_in = false
subject = bomb
att.0.data ~ innermost text
""")

case("t55-windows-live-mail",
     "From: \"Ann\" <ann@example.org>\nTo: <bob@example.net>\nBcc: <secret@example.net>\n"
     "Subject: sent from live mail\nDate: Fri, 1 Mar 2024 11:00:00 +0100\nMIME-Version: 1.0\n"
     "Content-Type: text/plain; format=flowed; charset=\"iso-8859-1\"; reply-type=original\n"
     "Content-Transfer-Encoding: 7bit\nX-Priority: 3\nX-MSMail-Priority: Normal\n"
     "Importance: Normal\nX-Mailer: Microsoft Windows Live Mail 16.4.3528.331\n"
     "X-MimeOLE: Produced By Microsoft MimeOLE V16.4.3528.331\n\nSent copy.\n", COMMON + """
# F15: a sent copy keeps its Bcc; F16: the producer headers stay in the header block
display_bcc = secret@example.net
rcpt.1.type = 3
importance = 1
submit_time = 2024-03-01T10:00:00Z
transport_headers ~ X-MimeOLE: Produced By Microsoft MimeOLE
""")

GLOBAL_INNER = ("From: Zoë <zoe@example.com>\nTo: bob@example.org\nDate: Fri, 01 Mar 2024 09:00:00 +0000\n"
                "Subject: Grüße\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\nInnen\n")
case("t04-message-global",
     HDR + "Subject: fwd\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=G\n\n"
     "--G\nContent-Type: text/plain\n\nforwarded\n--G\nContent-Type: message/global\n\n"
     + GLOBAL_INNER + "\n--G--\n", COMMON + """
# F13/F5: message/global is an attached message with UTF-8 headers
att.0.method = 5
att.0.msg.subject = Grüße
att.0.msg.sent_repr_name = Zoë
att.0.msg.body ~ Innen
""")

case("t06-invalid-date-with-received",
     "Received: from a by b; Fri, 01 Mar 2024 12:00:00 +0000\nFrom: alice@example.com\n"
     "To: bob@example.org\nDate: sometime last week\nSubject: z\n\nx\n", COMMON + """
# F1/F2: an unreadable Date falls back to the Received date, never to the import time
submit_time = 2024-03-01T12:00:00Z
delivery_time = 2024-03-01T12:00:00Z
""")

case("t10-reply-to-equals-from",
     HDR + "Reply-To: Alice Example <alice@example.com>\nSubject: z\n\nx\n", COMMON + """
# importer: writes no reply-to properties when Reply-To only repeats From (replies
# still reach that address); [MS-OXCMAIL] maps Reply-To as given
sent_repr_email = alice@example.com
""")

case("t26-apple-mail-aggregate-emlx", emlx(
     "From: alice@example.com\nTo: bob@example.org\nDate: Fri, 01 Mar 2024 10:00:00 +0000\n"
     "Subject: photo\nX-Mailer: Apple Mail (2.3696)\nMIME-Version: 1.0\n"
     "Content-Type: multipart/mixed; boundary=AM\n\n"
     "--AM\nContent-Type: text/plain; charset=us-ascii\n\nLook:\n"
     "--AM\nContent-Type: image/png; name=pic.png\nContent-Disposition: inline; filename=pic.png\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + "\n"
     "--AM\nContent-Type: text/plain; charset=us-ascii\n\nNice, isn't it?\n--AM--\n", 3, 1709287500),
     f"""
# F4/F8: Apple Mail's text-image-text, as an .emlx that was read (and answered)
message_class = IPM.Note
emlx_read = true
body ~ Look:
body ~ Nice, isn't it?
att.0.sha256 = {sha(PNG)}
""", ext="emlx")


# ---------------------------------------------------------------- more encodings and damage
UU = blob(200, 17)
uu_lines = "".join(binascii.b2a_uu(UU[i:i + 45]).decode() for i in range(0, len(UU), 45))
RAW8 = "Zeile mit Ümlaut und € in 8bit".encode()
case("t31-uuencode-8bit-unknown-cte",
     HDR.encode() + b"Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=U\n\n"
     b"--U\nContent-Type: text/plain\n\nbody\n"
     b"--U\nContent-Type: application/octet-stream; name=u.bin\nContent-Transfer-Encoding: x-uuencode\n\n"
     + ("begin 644 u.bin\n" + uu_lines + "`\nend\n").encode() +
     b"--U\nContent-Type: text/plain; charset=utf-8; name=e.txt\nContent-Disposition: attachment\n"
     b"Content-Transfer-Encoding: 8bit\n\n" + RAW8 + b"\n"
     b"--U\nContent-Type: application/octet-stream; name=w.bin\nContent-Transfer-Encoding: x-weird\n\n"
     b"raw content\n--U--\n", COMMON + f"""
# F10: uuencode decoded; 8bit kept byte for byte; an unknown encoding kept as it is
attachments = 3
att.0.long_filename = u.bin
att.0.sha256 = {sha(UU)}
att.1.sha256 = {sha(RAW8)}
att.2.data = raw content
""")

TNEF_CUT = TNEF[:len(TNEF) - 10]
case("t34-tnef-truncated",
     HDR + "Subject: z\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=T\n\n"
     "--T\nContent-Type: text/plain\n\nsee attached\n"
     "--T\nContent-Type: application/ms-tnef; name=winmail.dat\n"
     "Content-Disposition: attachment; filename=winmail.dat\nContent-Transfer-Encoding: base64\n\n"
     + b64(TNEF_CUT) + "\n--T--\n", COMMON + f"""
# F12/F10: a winmail.dat that cannot be decoded is kept as the file it is
attachments = 1
att.0.long_filename = winmail.dat
att.0.sha256 = {sha(TNEF_CUT)}
""")

case("t37-mdn",
     "From: bob@example.org\nTo: alice@example.com\nDate: Fri, 01 Mar 2024 10:00:00 +0000\n"
     "Subject: Read: plan\nMIME-Version: 1.0\n"
     "Content-Type: multipart/report; report-type=disposition-notification; boundary=R\n\n"
     "--R\nContent-Type: text/plain\n\nYour message was displayed.\n"
     "--R\nContent-Type: message/disposition-notification\n\n"
     "Final-Recipient: rfc822; bob@example.org\n"
     "Disposition: manual-action/MDN-sent-manually; displayed\n--R--\n", COMMON + """
# F10: the notification part is kept
body ~ Your message was displayed.
attachments = 1
att.0.data ~ Disposition: manual-action/MDN-sent-manually; displayed
""")

case("t41-octet-stream-p7m",
     HDR + "Subject: encrypted\nMIME-Version: 1.0\n"
     "Content-Type: application/octet-stream; name=smime.p7m\n"
     "Content-Disposition: attachment; filename=smime.p7m\nContent-Transfer-Encoding: base64\n\n"
     + b64(P7M) + "\n", f"""
# F18: an octet-stream named .p7m is opaque S/MIME too
message_class = IPM.Note.SMIME
attachments = 1
att.0.sha256 = {sha(P7M)}
""")

case("t41-x-pkcs7-signed-data",
     HDR + "Subject: signed opaque\nMIME-Version: 1.0\n"
     "Content-Type: application/x-pkcs7-mime; smime-type=signed-data; name=smime.p7m\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(P7M) + "\n", f"""
# F18: the x- form is the same
message_class = IPM.Note.SMIME
flag:unsent = false
att.0.sha256 = {sha(P7M)}
""")

case("t53-nul-bytes",
     HDR.encode() + b"Subject: a\x00b\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n"
     b"before\x00after\n", COMMON + """
# NUL in a header reads as a space; NUL in the text body is dropped
subject = a b
body ~ beforeafter
""")

case("t54-emlx-count-too-large",
     b"9999\n" + EMLX_MSG.replace("apple", "apple long").encode(), """
# the byte count claims more than the file holds: the rest of the file is the message
message_class = IPM.Note
subject = apple long
body ~ emlx body
stand_in = false
""", ext="emlx")

case("t54-emlx-no-plist",
     b"%d\n" % len(EMLX_MSG.encode()) + EMLX_MSG.replace("apple", "apple bare").encode(), """
# F4: without the property list there is no read state to take over
subject = apple bare
!emlx_read
body ~ emlx body
""", ext="emlx")


# ---------------------------------------------------------------- charsets, dates, names
case("t57-charset-utf7-alias",
     HDR + "Subject: =?UNICODE-1-1-UTF-7?Q?+MMYwuTDI-?= 1\nMIME-Version: 1.0\n"
     "Content-Type: text/plain; charset=UNICODE-1-1-UTF-7\n\nText +MMYwuTDI- body\n", COMMON + """
# IANA's alias of UTF-7 decodes in encoded words and bodies alike
subject = テスト 1
body ~ Text テスト body
body !~ +MMYw
""")

# JIS X 0208 row 13 (NEC): 0x2D21 CIRCLED DIGIT ONE, 0x2D62 NUMERO SIGN; 0x467C 日
NEC = b"\x1b$B-!-bF|\x1b(B"
case("t57-charset-iso2022jp-nec",
     b"From: yamada@example.jp\nTo: bob@example.org\nDate: Fri, 01 Mar 2024 10:00:00 +0900\n"
     b"Subject: =?ISO-2022-JP?B?" + base64.b64encode(NEC) + b"?=\nMIME-Version: 1.0\n"
     b"Content-Type: text/plain; charset=ISO-2022-JP\n\n" + NEC + b" ok\n", COMMON + """
# ISO-2022-JP with NEC row 13 reads as Windows' code page 50220 does, not as '?'
subject = ①№日
body ~ ①№日 ok
internet_cpid = 50220
""")

case("t57-charset-ascii-utf8",
     HDR + "Subject: Grüße\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n"
     "Grüße aus Köln\n", COMMON + """
# bytes labelled us-ascii that are valid UTF-8 are UTF-8, in the body as in the headers
subject = Grüße
body ~ Grüße aus Köln
internet_cpid = 65001
warnings ~ labelled "us-ascii" read as utf-8
""")

case("t06-date-lowercase-zone", HDR.replace("Date: Fri, 01 Mar 2024 10:00:00 +0000",
                                            "Date: fri, 01 mar 2024 10:00:00 cst")
     + "Subject: z\n\nx\n", COMMON + """
# zone names are case-insensitive: cst is -0600, not UTC
submit_time = 2024-03-01T16:00:00Z
""")

case("t06-date-out-of-range",
     "Received: from mx.example.org by mail.example.com; Fri, 01 Mar 2024 10:05:00 +0000\n"
     + HDR.replace("Date: Fri, 01 Mar 2024 10:00:00 +0000", "Date: Mon, 01 Mar 3609 10:00:00 +0000")
     + "Subject: far future\n\nx\n", COMMON + """
# a date in year 3609 is replaced by the received time, and the log says so
submit_time = 2024-03-01T10:05:00Z
delivery_time = 2024-03-01T10:05:00Z
warnings ~ Date header out of range
warnings ~ 3609
""")

case("t58-address-utf8",
     "From: Jörg Döe <jdöe@mächine.example>\nTo: Zoë <zoë@bücher.example>\n"
     "Date: Fri, 01 Mar 2024 10:00:00 +0000\nSubject: idn\nMIME-Version: 1.0\n"
     "Content-Type: text/plain; charset=utf-8\n\nx\n", COMMON + """
# RFC 6532 addresses are kept as written, not turned into punycode
sent_repr_email = jdöe@mächine.example
sent_repr_smtp = jdöe@mächine.example
rcpt.0.email = zoë@bücher.example
rcpt.0.smtp = zoë@bücher.example
transport_headers !~ xn--
""")

case("t59-filename-stray-quote",
     HDR + "Subject: quotes\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=Q\n\n"
     "--Q\nContent-Type: text/plain\n\nsee files\n"
     "--Q\nContent-Type: application/pdf\nContent-Disposition: attachment; filename=\"report.pdf\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PDF) + "\n"
     "--Q\nContent-Type: text/plain; name=notes.txt\"\nContent-Disposition: attachment\n\nnotes\n"
     "--Q--\n", COMMON + f"""
# a quote on one side of a file name is no part of it (not "_report.pdf")
attachments = 2
att.0.long_filename = report.pdf
att.0.sha256 = {sha(PDF)}
att.1.long_filename = notes.txt
warnings ~ stray quote
""")

case("t60-filename-bidi",
     HDR + "Subject: bidi\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B\n\n"
     "--B\nContent-Type: text/plain\n\nsee file\n"
     "--B\nContent-Type: application/octet-stream\n"
     "Content-Disposition: attachment; filename*=utf-8''invoice%E2%80%AEfdp.exe\n\nMZ\n"
     "--B\nContent-Type: application/octet-stream\n"
     "Content-Disposition: attachment; filename=\"a\x7fb\u2066c\u2069.txt\"\n\nx\n"
     "--B--\n", COMMON + """
# bidi overrides and isolates and DEL in file names are replaced as controls are, so
# "invoice<RLO>fdp.exe" cannot show as "invoiceexe.pdf"
att.0.long_filename = invoice_fdp.exe
att.0.extension = .exe
att.1.long_filename = a_b_c_.txt
""")

PLIST_DATES = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n<dict>\n"
               "\t<key>date-received</key>\n\t<real>{received}</real>\n"
               "\t<key>date-sent</key>\n\t<real>{sent}</real>\n"
               "\t<key>flags</key>\n\t<integer>1</integer>\n</dict>\n</plist>\n")
NODATE_MSG = "From: alice@example.com\nTo: bob@example.org\nSubject: plist dates\n\nemlx body\n"
for label, received, sent in (("huge", "9.2e18", "1e300"), ("nan-inf", "nan", "inf")):
    case(f"t54-emlx-plist-dates-{label}",
         b"%d\n" % len(NODATE_MSG.encode()) + NODATE_MSG.encode()
         + PLIST_DATES.format(received=received, sent=sent).encode(), f"""
# property list dates no FILETIME can hold count as missing, with a warning
message_class = IPM.Note
subject = plist dates
emlx_read = true
warnings ~ .emlx date-received {received} is no date
warnings ~ .emlx date-sent {sent} is no date
warnings ~ message carries no date
""", ext="emlx")

case("t54-emlx-no-count-plist",
     EMLX_MSG.replace("apple", "apple uncounted").encode()
     + PLIST_DATES.format(received="1709287200", sent="1709287200").encode(), """
# without the byte count line the property list is still no part of the body
message_class = IPM.Note
subject = apple uncounted
body ~ emlx body
body !~ plist
body !~ <?xml
emlx_read = true
""", ext="emlx")


def tnef_props(*props):
    return struct.pack("<I", len(props)) + b"".join(props)


def tnef_long(prop_id, value):
    return struct.pack("<HHI", 0x0003, prop_id, value)


def tnef_str8(prop_id, value):
    data = value + b"\0"
    return (struct.pack("<HHII", 0x001E, prop_id, 1, len(data)) + data
            + b"\0" * (-len(data) % 4))


def tnef_object(prop_id, value):
    data = b"\x07\x03\x02\x00\x00\x00\x00\x00\xc0\x00\x00\x00\x00\x00\x00\x46" + value
    return (struct.pack("<HHII", 0x000D, prop_id, 1, len(data)) + data
            + b"\0" * (-len(data) % 4))


TNEF_HEAD = struct.pack("<IH", 0x223E9F78, 0x0001) + tnef_attr(
    1, 0x00089006, struct.pack("<I", 0x00010000))
RENDDATA = tnef_attr(2, 0x00069002, struct.pack("<HIIHHI", 1, 0xFFFFFFFF, 0, 0, 0, 0))
# An attached message whose own attachment says "attached message" (method 5) but holds
# none, beside a top-level attachment that says the same.
TNEF_INNER = (TNEF_HEAD + tnef_attr(1, 0x00078008, b"IPM.Note\0")
              + tnef_attr(1, 0x00069003, tnef_props(tnef_str8(0x0037, b"inner note")))
              + RENDDATA + tnef_attr(2, 0x00018010, b"ghost.msg\0")
              + tnef_attr(2, 0x00069005, tnef_props(tnef_long(0x3705, 5),
                                                    tnef_str8(0x3707, b"ghost.msg"))))
TNEF_METHOD5 = (TNEF_HEAD + tnef_attr(1, 0x00078008, b"IPM.Microsoft Mail.Note\0")
                + RENDDATA + tnef_attr(2, 0x00069005, tnef_props(
                    tnef_long(0x3705, 5), tnef_str8(0x3001, b"forwarded note"),
                    tnef_object(0x3701, TNEF_INNER)))
                + RENDDATA + tnef_attr(2, 0x00018010, b"empty.msg\0")
                + tnef_attr(2, 0x00069005, tnef_props(tnef_long(0x3705, 5))))
case("t34-tnef-method5-without-message",
     HDR + "Subject: tnef method 5\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=T\n\n"
     "--T\nContent-Type: text/plain\n\nsee attached\n"
     "--T\nContent-Type: application/ms-tnef; name=winmail.dat\n"
     "Content-Disposition: attachment; filename=winmail.dat\nContent-Transfer-Encoding: base64\n\n"
     + b64(TNEF_METHOD5) + "\n--T--\n", COMMON + """
# an attachment that says "attached message" but holds none is kept as a (here empty)
# file, so the message is saved; the attached message around it stays one
attachments = 2
att.0.method = 5
att.0.msg.subject = inner note
att.0.msg.att.0.method = 1
att.1.method = 1
warnings ~ marked as an attached message holds none
""")

# Apple Mail's .partial.emlx: the bodies of attachments lie in ../Attachments/<message
# number>/<IMAP part number>/, here relative to this folder.
PARTIAL_PDF = PDF
ATTACHMENTS = {("t61-partial-emlx", "2", "report.pdf"): PARTIAL_PDF}


def partial(subject):
    m = (HDR + f"Subject: {subject}\nMIME-Version: 1.0\n"
         "X-Mailer: Apple Mail (2.3445)\nContent-Type: multipart/mixed; boundary=P\n\n"
         "--P\nContent-Type: text/plain\n\nreport attached\n"
         "--P\nContent-Type: application/pdf; name=report.pdf\n"
         "Content-Disposition: attachment; filename=report.pdf\n"
         "Content-Transfer-Encoding: base64\n"
         f"X-Apple-Content-Length: {len(b64(PARTIAL_PDF))}\n\n\n--P--\n").encode()
    return b"%d\n" % len(m) + m + PLIST_DATES.format(received="1709287200",
                                                     sent="1709287200").encode()


case("t61-partial-emlx.partial", partial("partial found"), f"""
# the attachment body Apple Mail left out comes from Attachments/t61-partial-emlx/2/
message_class = IPM.Note
subject = partial found
attachments = 1
att.0.long_filename = report.pdf
att.0.sha256 = {sha(PARTIAL_PDF)}
att.0.attach_size = {len(PARTIAL_PDF)}
""", ext="emlx")

case("t61-partial-emlx-missing.partial", partial("partial missing"), """
# without its file the attachment stays, named and empty, and the log says so
message_class = IPM.Note
subject = partial missing
attachments = 1
att.0.long_filename = report.pdf
att.0.attach_size = 0
warnings ~ attachment "report.pdf" of this partial .emlx is not in Attachments/t61-partial-emlx-missing/2/
""", ext="emlx")

# ---------------------------------------------------------------- framing and decoding
case("t28-mime-fields-only",
     "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: 7bit\n\n"
     "Only MIME fields above this line.\n", """
# a header block of MIME fields only is a message without subject or sender
stand_in = false
message_class = IPM.Note
subject =
body ~ Only MIME fields above this line.
attachments = 0
""")

LONG_BOUNDARY = "=_Part_" + "0123456789abcdef" * 4 + "'()+_,-./:=?"
case("t50-long-odd-boundary",
     HDR + "Subject: long boundary\nMIME-Version: 1.0\n"
     f"Content-Type: multipart/mixed;\n boundary=\"{LONG_BOUNDARY}\"\n\n"
     f"--{LONG_BOUNDARY}\nContent-Type: text/plain\n\nbody under a long boundary\n"
     f"--{LONG_BOUNDARY}\nContent-Type: application/octet-stream; name=p.png\n"
     "Content-Transfer-Encoding: base64\n\n" + b64(PNG) + f"\n--{LONG_BOUNDARY}--\n", COMMON + f"""
# a boundary of 80 characters, among them ' ( ) + , - . / : = ?, is a boundary like any other
stand_in = false
subject = long boundary
body ~ body under a long boundary
attachments = 1
att.0.long_filename = p.png
att.0.sha256 = {sha(PNG)}
""")

case("t50-lone-cr-line-ends",
     (HDR + "Subject: classic line ends\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=CR\n\n"
      "--CR\nContent-Type: text/plain\n\nfirst line\nsecond line\n"
      "--CR\nContent-Type: application/octet-stream; name=p.png\nContent-Transfer-Encoding: base64\n\n"
      + b64(PNG) + "\n--CR--\n").replace("\n", "\r"), COMMON + f"""
# lines ended by a lone CR (old Mac files) are lines
stand_in = false
subject = classic line ends
body ~ first line\\r\\nsecond line
attachments = 1
att.0.long_filename = p.png
att.0.sha256 = {sha(PNG)}
warnings ~ lone CR
""")

case("t50-mixed-line-ends",
     HDR.replace("\n", "\r\n") + "Subject: mixed line ends\r\nMIME-Version: 1.0\n"
     "Content-Type: multipart/mixed; boundary=MX\r\n\r\n"
     "--MX\rContent-Type: text/plain\r\n\nmixed body\n"
     "--MX\r\nContent-Type: application/octet-stream; name=p.png\nContent-Transfer-Encoding: base64\r\r"
     + b64(PNG).replace("\n", "\r\n") + "\r--MX--\r\n", COMMON + f"""
# CRLF, LF and lone CR in one file: each is a line end
stand_in = false
subject = mixed line ends
body ~ mixed body
attachments = 1
att.0.sha256 = {sha(PNG)}
""")

LASTWORD_ATT = b"300 bytes of 7bit text " + b"x" * 269 + b"LASTWORD"
case("t50-bare-lf-before-crlf-boundary",
     b"From: alice@example.com\r\nTo: bob@example.org\r\nDate: Fri, 01 Mar 2024 10:00:00 +0000\r\n"
     b"Subject: bare LF\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=BL\r\n\r\n"
     b"--BL\r\nContent-Type: text/plain\r\n\r\nthe text ends in LASTWORD\n"
     b"--BL\r\nContent-Type: application/octet-stream; name=t.txt\r\n\r\n" + LASTWORD_ATT + b"\n"
     b"--BL--\r\n", COMMON + f"""
# a part whose last line ends in a bare LF before a CRLF boundary line loses only that LF
body ~ the text ends in LASTWORD
body !~ LASTWOR\\r
att.0.size = {len(LASTWORD_ATT)}
att.0.sha256 = {sha(LASTWORD_ATT)}
""")

EIGHTEEN = b"eighteen bytes!!ok"
case("t31-crlf-before-lf-boundary",
     HDR.encode() + b"Subject: crlf part\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=CL\n\n"
     b"--CL\nContent-Type: text/plain\n\nbody\n"
     b"--CL\nContent-Type: application/octet-stream; name=e.bin\nContent-Transfer-Encoding: 8bit\n\n"
     + EIGHTEEN + b"\r\n--CL--\n", COMMON + f"""
# the CRLF before a boundary belongs to the boundary, also in a file of LF lines
att.0.size = {len(EIGHTEEN)}
att.0.sha256 = {sha(EIGHTEEN)}
""")

case("t53-no-blank-line-after-headers",
     HDR + "Subject: no gap\nThis line starts the body.\nSecond: line of the body\n", COMMON + """
# the first line that is not a header field starts the body
subject = no gap
body ~ This line starts the body.\\r\\nSecond: line of the body
transport_headers !~ This line starts
warnings ~ blank line
""")

case("t05-duplicate-subject-content-type",
     HDR + "Subject: First subject\nSubject: Second subject\nMIME-Version: 1.0\n"
     "Content-Type: multipart/mixed; boundary=DUP\nContent-Type: text/plain\n\n"
     "--DUP\nContent-Type: text/plain\n\nthe real body\n"
     "--DUP\nContent-Type: application/octet-stream; name=d.png\nContent-Transfer-Encoding: base64\n\n"
     + b64(PNG) + "\n--DUP--\n", COMMON + f"""
# a repeated Subject or Content-Type: the first one counts
subject = First subject
body ~ the real body
body !~ --DUP
attachments = 1
att.0.sha256 = {sha(PNG)}
warnings ~ Content-Type
""")

GZ = b"\x1f\x8b\x08\x00" + blob(120, 23)
case("t30-invalid-content-type",
     HDR + "Subject: bad types\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=IT\n\n"
     "--IT\nContent-Type: text\n\ntext of a part typed only text\n"
     "--IT\nContent-Type: application-x-gzip; name=\"document.xml.gz\"\n"
     "Content-Disposition: attachment\nContent-Transfer-Encoding: base64\n\n" + b64(GZ) + "\n--IT--\n",
     COMMON + f"""
# an invalid Content-Type reads as text/plain; the part keeps its name
body ~ text of a part typed only text
attachments = 1
att.0.long_filename = document.xml.gz
att.0.sha256 = {sha(GZ)}
warnings ~ invalid Content-Type
""")

ONE_LINE = blob(7000, 29)
case("t31-base64-single-line",
     HDR + "Subject: one line\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=OL\n\n"
     "--OL\nContent-Type: text/plain\n\nsee attached\n"
     "--OL\nContent-Type: application/octet-stream; name=one.bin\nContent-Transfer-Encoding: base64\n\n"
     + base64.b64encode(ONE_LINE).decode() + "\n--OL--\n", COMMON + f"""
# base64 on one line of 9,336 characters
attachments = 1
att.0.long_filename = one.bin
att.0.size = {len(ONE_LINE)}
att.0.sha256 = {sha(ONE_LINE)}
""")

PADDED = blob(301, 31)
case("t31-base64-text-after-padding",
     HDR + "Subject: signed off\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=SP\n\n"
     "--SP\nContent-Type: text/plain\n\nsee attached\n"
     "--SP\nContent-Type: application/octet-stream; name=pad.bin\nContent-Transfer-Encoding: base64\n\n"
     + b64(PADDED) + "\n\n-- \nJohn Smith\nSent from a list server\n--SP--\n", COMMON + f"""
# the padding ends the data; the signature line after it is no data
attachments = 1
att.0.size = {len(PADDED)}
att.0.sha256 = {sha(PADDED)}
""")
case("t56-not-mail-text",
     "Shopping list\n\n- milk\n- bread, two loaves\n", """
# a text file without a header block: a stand-in that shows the text and carries the file
stand_in = true
subject = t56-not-mail-text.eml
body ~ - bread, two loaves
attachments = 1
att.0.data = Shopping list\\n\\n- milk\\n- bread, two loaves\\n
""")

UU2 = blob(150, 37)
uu2_lines = "".join(binascii.b2a_uu(UU2[i:i + 45]).decode() for i in range(0, len(UU2), 45))
case("t31-uuencode-folded-begin",
     HDR + "Subject: uu\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=UF\n\n"
     "--UF\nContent-Type: text/plain\n\nsee attached\n"
     "--UF\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: x-uuencode\n"
     " begin 644 folded.bin\n" + uu2_lines + "`\nend\n"
     "--UF\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: x-uuencode\n\n"
     "  begin 600 indented.bin\n" + uu2_lines + "`\nend\n--UF--\n", COMMON + f"""
# a begin line folded into the header block, or indented, still starts the data and names them
attachments = 2
att.0.long_filename = folded.bin
att.0.sha256 = {sha(UU2)}
att.1.long_filename = indented.bin
att.1.sha256 = {sha(UU2)}
""")


def main():
    for f in os.listdir(HERE):
        if f.endswith((".eml", ".emlx", ".expect")):
            os.remove(os.path.join(HERE, f))
    for name, data, expect in CASES:
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
        stem = name.rsplit(".", 1)[0]
        with open(os.path.join(HERE, stem + ".expect"), "w", encoding="utf-8") as f:
            f.write(expect)
    for (message, part, file), data in ATTACHMENTS.items():
        folder = os.path.join(HERE, "..", "Attachments", message, part)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, file), "wb") as f:
            f.write(data)
    print(f"{len(CASES)} messages", file=sys.stderr)


if __name__ == "__main__":
    main()
