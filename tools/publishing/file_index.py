"""The file index published beside an archive (<archive>.files): where each
entry's bytes lie in the archive, so that a launcher can fetch just the
changed files of a build by Range requests and unpack each on its own.

    vorn-files 1
    archive <archive size>
    <kind> <offset> <length> <size> <sha256> <path>     (one line per entry)

kind F (file) or D (folder entry); offset of the entry's local header;
length from there through its compressed data and data descriptor; size and
sha256 of the unpacked content (D: 0 and -); path as named in the archive.
UTF-8, LF line ends."""

import hashlib
import re
import struct
import zipfile

MAGIC = "vorn-files 1"
LOCAL_HEADER = struct.Struct("<4sHHHHHLLLHH")
LOCAL_SIGNATURE = b"PK\x03\x04"
DESCRIPTOR_SIGNATURE = b"PK\x07\x08"
DESCRIPTOR_FLAG = 0x08
ZIP64_EXTRA_ID = 0x0001
READ_PIECE = 1 << 20
ENTRY_LINE = re.compile(r"([FD]) ([0-9]+) ([0-9]+) ([0-9]+) ([0-9a-f]{64}|-) (.+)")


def zip64_in_extra(extra):
    """Whether the local extra field holds a Zip64 record: then a data
    descriptor carries its sizes in 8 bytes each."""
    pos = 0
    while pos + 4 <= len(extra):
        kind, size = struct.unpack_from("<HH", extra, pos)
        if kind == ZIP64_EXTRA_ID:
            return True
        pos += 4 + size
    return False


def descriptor_length(head, crc, zip64):
    """The length of the data descriptor whose first bytes are head: its
    signature is optional, so it is there when the CRC follows it."""
    crc_bytes = struct.pack("<L", crc)
    sizes = 16 if zip64 else 8
    if head[:4] == DESCRIPTOR_SIGNATURE and head[4:8] == crc_bytes:
        return 4 + 4 + sizes
    if head[:4] == crc_bytes:
        return 4 + sizes
    raise ValueError("no data descriptor where one is announced")


def entry_span(f, info):
    """(offset, length) of the entry's local header, data and descriptor,
    read from the archive's own bytes: the local header's name and extra
    lengths may differ from the central directory's."""
    f.seek(info.header_offset)
    header = f.read(LOCAL_HEADER.size)
    if len(header) != LOCAL_HEADER.size or header[:4] != LOCAL_SIGNATURE:
        raise ValueError("%s: no local header at %d" % (info.filename, info.header_offset))
    fields = LOCAL_HEADER.unpack(header)
    flags, name_length, extra_length = fields[2], fields[9], fields[10]
    name = f.read(name_length)
    extra = f.read(extra_length)
    if name != info.orig_filename.encode("utf-8" if flags & 0x800 else "cp437"):
        raise ValueError("%s: the local header names %r" % (info.filename, name))
    end = info.header_offset + LOCAL_HEADER.size + name_length + extra_length + info.compress_size
    if flags & DESCRIPTOR_FLAG:
        f.seek(end)
        end += descriptor_length(f.read(24), info.CRC, zip64_in_extra(extra))
    return info.header_offset, end - info.header_offset


def archive_entries(path):
    """The index's lines for the archive at path, as (kind, offset, length,
    size, sha256, name), in archive order; ValueError when entries overlap
    or do not hold what the archive says."""
    entries = []
    with open(path, "rb") as f, zipfile.ZipFile(f) as archive:
        infos = sorted(archive.infolist(), key=lambda info: info.header_offset)
        directory_start = archive.start_dir
        for info in infos:
            offset, length = entry_span(f, info)
            if info.is_dir():
                entries.append(("D", offset, length, 0, "-", info.filename))
                continue
            digest, size = hashlib.sha256(), 0
            with archive.open(info) as content:
                for piece in iter(lambda: content.read(READ_PIECE), b""):
                    digest.update(piece)
                    size += len(piece)
            entries.append(("F", offset, length, size, digest.hexdigest(), info.filename))
    ends = [offset for _, offset, _, _, _, _ in entries[1:]] + [directory_start]
    for entry, next_start in zip(entries, ends):
        if entry[1] + entry[2] > next_start:
            raise ValueError("%s runs into the next entry" % entry[5])
    return entries


def render_index(archive_size, entries):
    lines = [MAGIC, "archive %d" % archive_size]
    lines += ["%s %d %d %d %s %s" % entry for entry in entries]
    return "\n".join(lines) + "\n"


def parse_index(text):
    """(archive size, entries) of an index's text; ValueError saying what is
    wrong."""
    lines = text.split("\n")
    if lines[0] != MAGIC:
        raise ValueError("the first line is %r, not %r" % (lines[0][:40], MAGIC))
    size = re.fullmatch(r"archive ([0-9]+)", lines[1]) if len(lines) > 1 else None
    if size is None:
        raise ValueError("the second line is not \"archive <size>\"")
    if lines[-1] != "":
        raise ValueError("the last line does not end with a line feed")
    entries = []
    for number, line in enumerate(lines[2:-1], 3):
        match = ENTRY_LINE.fullmatch(line)
        if match is None or (match.group(1) == "D") != (match.group(5) == "-") or (
                match.group(1) == "D" and match.group(4) != "0"):
            raise ValueError("line %d is not \"<F|D> <offset> <length> <size> <sha256> "
                             "<path>\"" % number)
        kind, offset, length, unpacked, digest, name = match.groups()
        entries.append((kind, int(offset), int(length), int(unpacked), digest, name))
    return int(size.group(1)), entries


def check_spans(path, entries):
    """Checks the index's lines (as archive_entries gives them) against the
    archive at path as zipfile reads it: the same entries in the same order,
    each local entry where the line says, of the size it says. It reads the
    directory and the local headers only; ValueError saying what differs."""
    with open(path, "rb") as f, zipfile.ZipFile(f) as archive:
        infos = sorted(archive.infolist(), key=lambda info: info.header_offset)
        if len(infos) != len(entries):
            raise ValueError("%d entries in the directory, %d written"
                             % (len(infos), len(entries)))
        for info, (kind, offset, length, size, _, name) in zip(infos, entries):
            if (info.filename != name or entry_span(f, info) != (offset, length)
                    or info.file_size != size or info.is_dir() != (kind == "D")):
                raise ValueError("%s is not in the archive as it was written" % name)
