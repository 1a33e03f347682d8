#!/usr/bin/python3
"""Reads a PST file back through libpff and prints what it sees.

Run with the Debian interpreter (/usr/bin/python3), which has the pypff bindings.

    pst_oracle.py dump FILE          line-oriented text dump (stable, diffable)
    pst_oracle.py dump --json FILE   the same content as one JSON document
    pst_oracle.py dump --full FILE   do not shorten long values to size + sha256

The folder tree, folder and message properties, subjects, senders, bodies, transport
headers and attachment bytes come from pypff. pypff 20180714 has no access to recipient
tables, embedded messages or the names of named properties, so those are read through
libpff's own C API (the same library, loaded with ctypes): a message's recipients come
from libpff_message_get_recipients, an embedded message from libpff_attachment_get_item.

Text format: one record per line, `KIND field=value ...`. Values are bare tokens or
double-quoted strings with backslash escapes (\\\\ \\" \\n \\r \\t \\xHH \\uHHHH). Keys:
  folder path: "/" for the root folder, then display names joined by "/", each name with
               "%" and "/" written as %25 and %2F
  message key: "<folder path>#<index in the contents table>", an embedded message adds
               ":a<attachment index>" to the key of the message that holds it
  attachment key: "<message key>:a<index>"
Exit status: 0 read completely, 1 some items could not be read (see "error" lines),
2 the file could not be opened.
"""

import ctypes
import datetime
import hashlib
import json
import sys

import pypff

# Values longer than this (raw bytes) are given as size and sha256 only, unless --full.
LONG_VALUE = 4096
# Body and header text longer than this is given as size and sha256 only, unless --full.
LONG_TEXT = 65536

TYPE_NAMES = {
    0x0001: "null", 0x0002: "short", 0x0003: "long", 0x0004: "float", 0x0005: "double",
    0x0006: "currency", 0x0007: "apptime", 0x000A: "error", 0x000B: "boolean",
    0x000D: "object", 0x0014: "i8", 0x001E: "string8", 0x001F: "unicode",
    0x0040: "systime", 0x0048: "clsid", 0x00FB: "svreid", 0x00FD: "restriction",
    0x00FE: "actions", 0x0102: "binary",
}
FIXED_SIZES = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x0005: 8, 0x0006: 8, 0x0007: 8,
               0x000A: 4, 0x000B: 2, 0x0014: 8, 0x0040: 8, 0x0048: 16}

PR_SUBJECT = 0x0037
PR_SENDER_NAME = 0x0C1A
PR_TRANSPORT_HEADERS = 0x007D
PR_MESSAGE_CLASS = 0x001A
PR_DISPLAY_NAME = 0x3001
PR_ATTACH_METHOD = 0x3705
PR_ATTACH_FILENAME = 0x3704
PR_ATTACH_LONG_FILENAME = 0x3707
PR_ATTACH_MIME_TAG = 0x370E
PR_RECIPIENT_TYPE = 0x0C15
PR_EMAIL_ADDRESS = 0x3003
PR_ADDRTYPE = 0x3002
PR_SMTP_ADDRESS = 0x39FE
PR_CONTENT_COUNT = 0x3602
PR_CONTENT_UNREAD = 0x3603
PR_SUBFOLDERS = 0x360A


# ---------------------------------------------------------------------------------------
# Value formatting


def type_name(value_type):
    base = value_type & 0x0FFF
    name = TYPE_NAMES.get(base, "0x%04x" % base)
    return ("mv_" + name) if value_type & 0x1000 else name


def filetime_iso(ticks):
    """FILETIME (100 ns since 1601-01-01 UTC) as ISO 8601 UTC, exact to 100 ns."""
    seconds, rest = divmod(ticks, 10_000_000)
    try:
        moment = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=seconds)
    except OverflowError:
        return "filetime:%d" % ticks
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if rest:
        text += (".%07d" % rest).rstrip("0")
    return text + "Z"


def guid_text(raw):
    if len(raw) != 16:
        return raw.hex()
    d1 = int.from_bytes(raw[0:4], "little")
    d2 = int.from_bytes(raw[4:6], "little")
    d3 = int.from_bytes(raw[6:8], "little")
    return "{%08x-%04x-%04x-%s-%s}" % (d1, d2, d3, raw[8:10].hex(), raw[10:16].hex())


def decode_utf16(raw):
    if len(raw) % 2:
        raw = raw + b"\x00"
    return raw.decode("utf-16-le", errors="surrogatepass")


def scalar_value(base, raw):
    """A single fixed-size or variable value of base type `base` as text."""
    if base == 0x001F:
        return decode_utf16(raw)
    if base == 0x001E:
        return raw.decode("cp1252", errors="replace")
    if base in (0x0102, 0x000D, 0x00FB, 0x00FD, 0x00FE):
        return raw.hex()
    size = FIXED_SIZES.get(base)
    if base == 0x000B:
        size = 1  # stored as one byte in property contexts and table rows
    if size is None or len(raw) < size:
        return raw.hex()
    if base == 0x0002:
        return str(int.from_bytes(raw[:2], "little", signed=True))
    if base in (0x0003,):
        return str(int.from_bytes(raw[:4], "little", signed=True))
    if base == 0x000A:
        return "0x%08x" % int.from_bytes(raw[:4], "little")
    if base == 0x000B:
        return "true" if any(raw[:2]) else "false"
    if base in (0x0014, 0x0006):
        return str(int.from_bytes(raw[:8], "little", signed=True))
    if base == 0x0040:
        return filetime_iso(int.from_bytes(raw[:8], "little"))
    if base == 0x0004:
        return repr(ctypes.c_float.from_buffer_copy(raw[:4]).value)
    if base in (0x0005, 0x0007):
        return repr(ctypes.c_double.from_buffer_copy(raw[:8]).value)
    if base == 0x0048:
        return guid_text(raw[:16])
    return raw.hex()


def multi_value(base, raw):
    """A multi-valued property as a list of texts (None when the bytes do not parse)."""
    if base in FIXED_SIZES:
        size = FIXED_SIZES[base]
        if base == 0x000B:
            size = 2
        if len(raw) % size:
            return None
        return [scalar_value(base, raw[i:i + size]) for i in range(0, len(raw), size)]
    if len(raw) < 4:
        return [] if not raw else None
    count = int.from_bytes(raw[:4], "little")
    if 4 + 4 * count > len(raw):
        return None
    offsets = [int.from_bytes(raw[4 + 4 * i:8 + 4 * i], "little") for i in range(count)]
    offsets.append(len(raw))
    items = []
    for i in range(count):
        start, end = offsets[i], offsets[i + 1]
        if start > end or end > len(raw):
            return None
        items.append(scalar_value(base, raw[start:end]))
    return items


def property_record(tag_id, value_type, raw, named, full):
    """One property as an ordered dict: tag, type, size, value or sha256, name if named."""
    rec = {"tag": "0x%04x%04x" % (tag_id, value_type), "type": type_name(value_type)}
    if named:
        rec["named"] = named
    if raw is None:
        raw = b""
    base = value_type & 0x0FFF
    variable = value_type & 0x1000 or base not in FIXED_SIZES
    if variable:
        rec["size"] = len(raw)
    if len(raw) > LONG_VALUE and not full:
        rec["sha256"] = hashlib.sha256(raw).hexdigest()
        return rec
    if value_type & 0x1000:
        items = multi_value(base, raw)
        rec["value"] = json.dumps(items, ensure_ascii=False) if items is not None else raw.hex()
    else:
        rec["value"] = scalar_value(base, raw)
    return rec


def find_prop(props, tag_id):
    for p in props:
        if p[0] == tag_id:
            return p
    return None


def prop_text(props, tag_id):
    p = find_prop(props, tag_id)
    if p is None or p[2] is None:
        return None
    if p[1] == 0x001F:
        return decode_utf16(p[2])
    if p[1] == 0x001E:
        return p[2].decode("cp1252", errors="replace")
    return None


def prop_int(props, tag_id):
    p = find_prop(props, tag_id)
    if p is None or p[2] is None or len(p[2]) < 1:
        return None
    if p[1] == 0x000B:
        return 1 if any(p[2][:2]) else 0
    return int.from_bytes(p[2][:4], "little", signed=True)


def strip_subject_header(subject):
    # A stored subject may start with U+0001 and the prefix length + 1.
    if subject and len(subject) >= 2 and subject[0] == "\x01":
        return subject[2:]
    return subject


def text_record(kind, raw, full, as_text):
    rec = {"kind": kind, "size": len(raw), "sha256": hashlib.sha256(raw).hexdigest()}
    if as_text and (full or len(raw) <= LONG_TEXT):
        rec["text"] = raw.decode("utf-8", errors="surrogateescape")
    return rec


# ---------------------------------------------------------------------------------------
# libpff through ctypes: recipients, embedded messages, names of named properties


class Libpff:
    """A second handle on the same file through libpff's C API."""

    def __init__(self, path):
        self.lib = ctypes.CDLL("libpff.so.1")
        self.lib.libpff_attachment_data_read_buffer.restype = ctypes.c_ssize_t
        self.file = ctypes.c_void_p()
        err = ctypes.c_void_p()
        if self.lib.libpff_file_initialize(ctypes.byref(self.file), ctypes.byref(err)) != 1:
            self._free_error(err)
            raise OSError("libpff_file_initialize failed")
        if self.lib.libpff_file_open(self.file, path.encode(), 1, ctypes.byref(err)) != 1:
            self._free_error(err)
            self.lib.libpff_file_free(ctypes.byref(self.file), None)
            raise OSError("libpff_file_open failed")

    def close(self):
        self.lib.libpff_file_close(self.file, None)
        self.lib.libpff_file_free(ctypes.byref(self.file), None)

    def _free_error(self, err):
        if err.value:
            self.lib.libpff_error_free(ctypes.byref(err))

    def call(self, name, *args):
        err = ctypes.c_void_p()
        result = getattr(self.lib, name)(*args, ctypes.byref(err))
        self._free_error(err)
        return result

    def free_item(self, item):
        if item and item.value:
            self.lib.libpff_item_free(ctypes.byref(item), None)

    def item_by_id(self, nid):
        item = ctypes.c_void_p()
        if self.call("libpff_file_get_item_by_identifier", self.file, ctypes.c_uint32(nid),
                     ctypes.byref(item)) != 1:
            return None
        return item

    def identifier(self, item):
        value = ctypes.c_uint32()
        self.call("libpff_item_get_identifier", item, ctypes.byref(value))
        return value.value

    def record_sets(self, item, want_names=False):
        """All record sets of an item: lists of (id, type, bytes, named)."""
        count = ctypes.c_int()
        if self.call("libpff_item_get_number_of_record_sets", item, ctypes.byref(count)) != 1:
            return []
        sets = []
        for i in range(count.value):
            rs = ctypes.c_void_p()
            if self.call("libpff_item_get_record_set_by_index", item, i, ctypes.byref(rs)) != 1:
                continue
            sets.append(self._entries(rs, want_names))
            self.lib.libpff_record_set_free(ctypes.byref(rs), None)
        return sets

    def _entries(self, rs, want_names):
        entries = []
        n = ctypes.c_int()
        self.call("libpff_record_set_get_number_of_entries", rs, ctypes.byref(n))
        for j in range(n.value):
            e = ctypes.c_void_p()
            if self.call("libpff_record_set_get_entry_by_index", rs, j, ctypes.byref(e)) != 1:
                continue
            et, vt, size = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_size_t()
            self.call("libpff_record_entry_get_entry_type", e, ctypes.byref(et))
            self.call("libpff_record_entry_get_value_type", e, ctypes.byref(vt))
            data = None
            if self.call("libpff_record_entry_get_data_size", e, ctypes.byref(size)) == 1:
                buf = ctypes.create_string_buffer(size.value)
                if size.value == 0 or self.call("libpff_record_entry_get_data", e, buf,
                                                size) == 1:
                    data = buf.raw
            named = self._name(e) if want_names and et.value >= 0x8000 else None
            entries.append((et.value, vt.value, data, named))
            self.lib.libpff_record_entry_free(ctypes.byref(e), None)
        return entries

    def _name(self, entry):
        m = ctypes.c_void_p()
        if self.call("libpff_record_entry_get_name_to_id_map_entry", entry,
                     ctypes.byref(m)) != 1:
            return None
        guid = ctypes.create_string_buffer(16)
        self.call("libpff_name_to_id_map_entry_get_guid", m, guid, ctypes.c_size_t(16))
        kind = ctypes.c_uint8()
        self.call("libpff_name_to_id_map_entry_get_type", m, ctypes.byref(kind))
        if kind.value in (ord("s"), ord("S")):
            size = ctypes.c_size_t()
            self.call("libpff_name_to_id_map_entry_get_utf8_string_size", m, ctypes.byref(size))
            text = ctypes.create_string_buffer(max(size.value, 1))
            self.call("libpff_name_to_id_map_entry_get_utf8_string", m, text, size)
            name = "name:" + text.value.decode("utf-8", errors="replace")
        else:
            number = ctypes.c_uint32()
            self.call("libpff_name_to_id_map_entry_get_number", m, ctypes.byref(number))
            name = "lid:0x%04x" % number.value
        # The map entry belongs to the file's name-to-id map; it is not freed here.
        return guid_text(guid.raw) + " " + name

    def recipients(self, message):
        rec = ctypes.c_void_p()
        result = self.call("libpff_message_get_recipients", message, ctypes.byref(rec))
        if result != 1:
            return None if result == 0 else []
        rows = self.record_sets(rec)
        self.free_item(rec)
        return rows

    def attachments(self, message):
        n = ctypes.c_int()
        if self.call("libpff_message_get_number_of_attachments", message,
                     ctypes.byref(n)) != 1:
            return []
        result = []
        for i in range(n.value):
            a = ctypes.c_void_p()
            if self.call("libpff_message_get_attachment", message, i, ctypes.byref(a)) == 1:
                result.append(a)
            else:
                result.append(None)
        return result

    def attachment_type(self, attachment):
        t = ctypes.c_int()
        if self.call("libpff_attachment_get_type", attachment, ctypes.byref(t)) != 1:
            return None
        return chr(t.value)

    def attachment_data(self, attachment):
        size = ctypes.c_uint64()
        if self.call("libpff_attachment_get_data_size", attachment, ctypes.byref(size)) != 1:
            return None
        buf = ctypes.create_string_buffer(max(size.value, 1))
        self.call("libpff_attachment_data_seek_offset", attachment, ctypes.c_int64(0), 0)
        got = self.call("libpff_attachment_data_read_buffer", attachment, buf,
                        ctypes.c_size_t(size.value))
        if got < 0:
            return None
        return buf.raw[:got]

    def attached_item(self, attachment):
        item = ctypes.c_void_p()
        if self.call("libpff_attachment_get_item", attachment, ctypes.byref(item)) != 1:
            return None
        return item

    def body(self, message, which):
        size = ctypes.c_size_t()
        if self.call("libpff_message_get_%s_body_size" % which, message,
                     ctypes.byref(size)) != 1:
            return None
        buf = ctypes.create_string_buffer(max(size.value, 1))
        if self.call("libpff_message_get_%s_body" % which, message, buf, size) != 1:
            return None
        data = buf.raw[:size.value]
        # libpff counts the end-of-string character of plain and HTML bodies.
        if which in ("plain_text", "html") and data.endswith(b"\x00"):
            data = data[:-1]
        return data


# ---------------------------------------------------------------------------------------
# The model


class Oracle:
    def __init__(self, path, full):
        self.path = path
        self.full = full
        self.errors = []
        self.pff = pypff.file()
        self.pff.open(path)
        try:
            self.c = Libpff(path)
        except OSError as exc:
            self.c = None
            self.errors.append({"key": "", "message": "libpff C API: %s" % exc})

    def close(self):
        if self.c:
            self.c.close()
        self.pff.close()

    def error(self, key, exc):
        self.errors.append({"key": key, "message": "%s: %s" % (type(exc).__name__, exc)})

    # Properties of a pypff item, with names of named properties from the C API.
    def pypff_props(self, item, nid):
        props = []
        names = {}
        if self.c is not None and nid is not None:
            citem = self.c.item_by_id(nid)
            if citem is not None:
                for si, rs in enumerate(self.c.record_sets(citem, want_names=True)):
                    for ei, e in enumerate(rs):
                        if e[3]:
                            names[(si, ei, e[0])] = e[3]
                self.c.free_item(citem)
        for si in range(item.number_of_record_sets):
            rs = item.get_record_set(si)
            for ei, e in enumerate(rs.entries):
                props.append((e.entry_type, e.value_type, e.data,
                              names.get((si, ei, e.entry_type))))
        return props

    def render_props(self, props):
        return [property_record(p[0], p[1], p[2], p[3], self.full) for p in props]

    def run(self):
        doc = {"file": {"path": self.path, "size": self.pff.size,
                        "encryption": self.pff.encryption_type,
                        "content_type": self.pff.content_type,
                        "orphans": self.pff.number_of_orphan_items}}
        store = {"name": None, "properties": []}
        try:
            ms = self.pff.get_message_store()
            if ms is not None:
                props = self.pypff_props(ms, None)
                store["name"] = prop_text(props, PR_DISPLAY_NAME)
                store["properties"] = self.render_props(props)
        except Exception as exc:  # noqa: BLE001 - every failure is reported
            self.error("store", exc)
        doc["store"] = store
        folders = []
        try:
            self.walk_folder(self.pff.get_root_folder(), "/", folders)
        except Exception as exc:  # noqa: BLE001
            self.error("/", exc)
        doc["folders"] = folders
        doc["errors"] = self.errors
        return doc

    def walk_folder(self, folder, path, out):
        props = self.pypff_props(folder, folder.identifier)
        rec = {"path": path, "id": folder.identifier, "name": folder.name,
               "messages": folder.number_of_sub_messages,
               "subfolders": folder.number_of_sub_folders,
               "content_count": prop_int(props, PR_CONTENT_COUNT),
               "content_unread": prop_int(props, PR_CONTENT_UNREAD),
               "has_subfolders": prop_int(props, PR_SUBFOLDERS),
               "properties": self.render_props(props), "items": []}
        out.append(rec)
        for i in range(folder.number_of_sub_messages):
            key = "%s#%d" % (path, i)
            try:
                rec["items"].append(self.pypff_message(folder.get_sub_message(i), key))
            except Exception as exc:  # noqa: BLE001
                self.error(key, exc)
        for i in range(folder.number_of_sub_folders):
            try:
                sub = folder.get_sub_folder(i)
                name = sub.name or ""
                part = name.replace("%", "%25").replace("/", "%2F")
                self.walk_folder(sub, (path if path.endswith("/") else path + "/") + part,
                                 out)
            except Exception as exc:  # noqa: BLE001
                self.error("%s/[%d]" % (path, i), exc)

    def pypff_message(self, m, key):
        props = self.pypff_props(m, m.identifier)
        msg = self.message_header(key, m.identifier, props)
        msg["subject"] = m.subject
        msg["sender"] = m.sender_name
        msg["bodies"] = []
        for kind, getter in (("plain", "get_plain_text_body"), ("html", "get_html_body"),
                             ("rtf", "get_rtf_body")):
            try:
                data = getattr(m, getter)()
            except Exception as exc:  # noqa: BLE001
                self.error(key + " body " + kind, exc)
                data = None
            if data:
                msg["bodies"].append(text_record(kind, data, self.full, kind == "plain"))
        headers = m.transport_headers
        msg["headers"] = (text_record("headers", headers.encode("utf-8", "surrogatepass"),
                                      self.full, True) if headers else None)
        citem = self.c.item_by_id(m.identifier) if self.c else None
        try:
            msg["recipients"] = self.recipients(citem, key)
            catts = self.c.attachments(citem) if citem is not None else []
            msg["attachments"] = []
            for i in range(m.number_of_attachments):
                akey = "%s:a%d" % (key, i)
                try:
                    a = m.get_attachment(i)
                    aprops = self.pypff_props(a, None)
                    data = read_attachment(a)
                    catt = catts[i] if i < len(catts) else None
                    msg["attachments"].append(self.attachment(akey, i, a.identifier, aprops,
                                                              data, catt))
                except Exception as exc:  # noqa: BLE001
                    self.error(akey, exc)
            for a in catts:
                self.c.free_item(a)
        finally:
            if citem is not None:
                self.c.free_item(citem)
        return msg

    def message_header(self, key, nid, props):
        return {"key": key, "id": nid, "class": prop_text(props, PR_MESSAGE_CLASS),
                "properties": self.render_props(props)}

    def recipients(self, citem, key):
        if citem is None:
            return None
        rows = self.c.recipients(citem)
        if rows is None:
            return None
        result = []
        for i, row in enumerate(rows):
            result.append({"key": "%s:r%d" % (key, i), "index": i,
                           "type": prop_int(row, PR_RECIPIENT_TYPE),
                           "name": prop_text(row, PR_DISPLAY_NAME),
                           "addrtype": prop_text(row, PR_ADDRTYPE),
                           "email": prop_text(row, PR_EMAIL_ADDRESS),
                           "smtp": prop_text(row, PR_SMTP_ADDRESS),
                           "properties": self.render_props(row)})
        return result

    def attachment(self, key, index, nid, props, data, catt):
        rec = {"key": key, "index": index, "id": nid,
               "method": prop_int(props, PR_ATTACH_METHOD),
               "filename": prop_text(props, PR_ATTACH_FILENAME),
               "long_filename": prop_text(props, PR_ATTACH_LONG_FILENAME),
               "mime": prop_text(props, PR_ATTACH_MIME_TAG),
               "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
               "properties": self.render_props(props), "message": None}
        if catt is not None and self.c.attachment_type(catt) == "i":
            item = self.c.attached_item(catt)
            if item is not None:
                try:
                    rec["message"] = self.c_message(item, key)
                finally:
                    self.c.free_item(item)
        return rec

    def c_message(self, item, key, depth=0):
        """An embedded message, read through the C API."""
        sets = self.c.record_sets(item, want_names=True)
        props = [p for rs in sets for p in rs]
        msg = self.message_header(key, self.c.identifier(item), props)
        msg["subject"] = strip_subject_header(prop_text(props, PR_SUBJECT))
        msg["sender"] = prop_text(props, PR_SENDER_NAME)
        msg["bodies"] = []
        for kind, which in (("plain", "plain_text"), ("html", "html"), ("rtf", "rtf")):
            data = self.c.body(item, which)
            if data:
                msg["bodies"].append(text_record(kind, data, self.full, kind == "plain"))
        headers = prop_text(props, PR_TRANSPORT_HEADERS)
        msg["headers"] = (text_record("headers", headers.encode("utf-8", "surrogatepass"),
                                      self.full, True) if headers else None)
        msg["recipients"] = self.recipients(item, key)
        msg["attachments"] = []
        catts = self.c.attachments(item)
        for i, catt in enumerate(catts):
            akey = "%s:a%d" % (key, i)
            if catt is None:
                self.errors.append({"key": akey, "message": "attachment not readable"})
                continue
            aprops = [p for rs in self.c.record_sets(catt, want_names=True) for p in rs]
            kind = self.c.attachment_type(catt)
            data = (self.c.attachment_data(catt) if kind == "d" else b"") or b""
            if depth > 32:
                self.errors.append({"key": akey, "message": "embedded messages nest too deep"})
                continue
            rec = self.attachment(akey, i, self.c.identifier(catt), aprops, data, None)
            if kind == "i":
                sub = self.c.attached_item(catt)
                if sub is not None:
                    try:
                        rec["message"] = self.c_message(sub, akey, depth + 1)
                    finally:
                        self.c.free_item(sub)
            msg["attachments"].append(rec)
        for a in catts:
            self.c.free_item(a)
        return msg


# ---------------------------------------------------------------------------------------
# Text rendering


def quote(value):
    out = ['"']
    for ch in value:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        elif code < 0x20 or code == 0x7F:
            out.append("\\x%02x" % code)
        elif 0xD800 <= code <= 0xDFFF or 0xDC80 <= code <= 0xDCFF:
            out.append("\\u%04x" % code)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def field(name, value):
    if value is None:
        return None
    if isinstance(value, bool):
        return "%s=%d" % (name, int(value))
    if isinstance(value, int):
        return "%s=%d" % (name, value)
    return "%s=%s" % (name, quote(str(value)))


def line(out, kind, *fields):
    out.append(" ".join([kind] + [f for f in fields if f is not None]))


def render_props(out, kind, key_name, key, props):
    for p in props:
        line(out, kind, field(key_name, key), "tag=" + p["tag"], "type=" + p["type"],
             field("named", p.get("named")), field("size", p.get("size")),
             field("sha256", p.get("sha256")), field("value", p.get("value")))


def render_message(out, msg):
    key = msg["key"]
    recips = msg["recipients"]
    line(out, "message", field("key", key), field("id", msg["id"]),
         field("class", msg["class"]), field("subject", msg["subject"]),
         field("sender", msg["sender"]),
         field("recipients", len(recips) if recips is not None else None),
         field("attachments", len(msg["attachments"])))
    render_props(out, "message.prop", "key", key, msg["properties"])
    for b in msg["bodies"]:
        line(out, "message.body", field("key", key), "kind=" + b["kind"],
             field("size", b["size"]), field("sha256", b["sha256"]),
             field("text", b.get("text")))
    h = msg["headers"]
    if h:
        line(out, "message.headers", field("key", key), field("size", h["size"]),
             field("sha256", h["sha256"]), field("text", h.get("text")))
    if recips is None:
        line(out, "message.no-recipient-table", field("key", key))
    for r in recips or []:
        line(out, "recipient", field("key", r["key"]), field("index", r["index"]),
             field("type", r["type"]), field("name", r["name"]),
             field("addrtype", r["addrtype"]), field("email", r["email"]),
             field("smtp", r["smtp"]))
        render_props(out, "recipient.prop", "key", r["key"], r["properties"])
    for a in msg["attachments"]:
        line(out, "attachment", field("key", a["key"]), field("index", a["index"]),
             field("id", a["id"]), field("method", a["method"]),
             field("filename", a["filename"]), field("long_filename", a["long_filename"]),
             field("mime", a["mime"]), field("size", a["size"]), field("sha256", a["sha256"]),
             field("embedded", a["message"] is not None))
        render_props(out, "attachment.prop", "key", a["key"], a["properties"])
        if a["message"] is not None:
            render_message(out, a["message"])


def render_text(doc):
    out = []
    f = doc["file"]
    line(out, "file", field("size", f["size"]), field("encryption", f["encryption"]),
         field("content_type", f["content_type"]), field("orphans", f["orphans"]))
    line(out, "store", field("name", doc["store"]["name"]))
    render_props(out, "store.prop", None, None, doc["store"]["properties"])
    for fo in doc["folders"]:
        line(out, "folder", field("path", fo["path"]), field("id", fo["id"]),
             field("name", fo["name"]), field("messages", fo["messages"]),
             field("subfolders", fo["subfolders"]), field("content_count", fo["content_count"]),
             field("content_unread", fo["content_unread"]),
             field("has_subfolders", fo["has_subfolders"]))
        render_props(out, "folder.prop", "path", fo["path"], fo["properties"])
        for msg in fo["items"]:
            render_message(out, msg)
    for e in doc["errors"]:
        line(out, "error", field("key", e["key"]), field("message", e["message"]))
    return "\n".join(out) + "\n"


def read_attachment(a):
    """An attachment's data, read in pieces: pypff takes a read's size as a signed 32-bit
    number, so one read of data over 2 GiB fails."""
    left = a.size or 0
    if not left:
        return b""
    a.seek_offset(0, 0)
    parts = []
    while left > 0:
        chunk = a.read_buffer(min(left, 1 << 30))
        if not chunk:
            break
        parts.append(chunk)
        left -= len(chunk)
    return b"".join(parts)


def main(argv):
    args = argv[1:]
    if not args or args[0] != "dump":
        sys.stderr.write(__doc__)
        return 2
    args = args[1:]
    as_json = "--json" in args
    full = "--full" in args
    files = [a for a in args if not a.startswith("--")]
    if len(files) != 1:
        sys.stderr.write("usage: pst_oracle.py dump [--json] [--full] FILE\n")
        return 2
    try:
        oracle = Oracle(files[0], full)
    except Exception as exc:  # noqa: BLE001
        sys.stderr.write("cannot open %s: %s\n" % (files[0], exc))
        return 2
    try:
        doc = oracle.run()
    finally:
        oracle.close()
    if as_json:
        text = json.dumps(doc, ensure_ascii=True, indent=1) + "\n"
    else:
        text = render_text(doc)
    sys.stdout.buffer.write(text.encode("utf-8", errors="surrogatepass"))
    return 1 if doc["errors"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
