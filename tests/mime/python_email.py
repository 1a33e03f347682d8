"""Second opinion for the importer tests: what Python's email package reads from a
message file. One line per fact, values hex-encoded UTF-8:
  S <subject>   F <from address>   R <recipient address>   A <file name> <sha256>
"""
import email
import email.policy
import hashlib
import sys


def message_bytes(path):
    data = open(path, "rb").read()
    if path.endswith(".emlx"):
        first, _, rest = data.partition(b"\n")
        data = rest[: int(first.strip())]
    # The same clean-up the importer does before parsing: BOM and leading blank lines.
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return data.lstrip(b"\r\n \t")


def hexs(text):
    return text.encode("utf-8").hex()


def main():
    msg = email.message_from_bytes(message_bytes(sys.argv[1]), policy=email.policy.default)
    print("S", hexs(str(msg["subject"] or "")))
    for addr in msg["from"].addresses if msg["from"] else []:
        print("F", hexs(addr.addr_spec))
    for field in ("to", "cc", "bcc"):
        if msg[field]:
            for addr in msg[field].addresses:
                print("R", hexs(addr.addr_spec))
    for part in msg.walk():
        name = part.get_filename()
        if name and not part.is_multipart():
            payload = part.get_payload(decode=True) or b""
            print("A", hexs(name), hashlib.sha256(payload).hexdigest())


main()
