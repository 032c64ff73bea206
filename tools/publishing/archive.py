"""The build's ZIP archive, written in one pass. Each file is read once and
cut into 1 MiB pieces that are deflated on every core, each piece primed
with the 32 KiB before it and ended on a byte boundary, so that the pieces
of a file join into one ordinary deflate stream; the pieces are written in
order as they come back, with the file's CRC-32 and SHA-256 taken while
reading. The writer thus knows every entry's place, and the file index
comes from the writing itself instead of a second pass over the archive.

At most 2 x (threads + 1) pieces are in flight, each at most 1 MiB read and
about as much deflated, and two more buffers are being read: about
4 x (threads + 1) + 2 MiB of file data, whatever the build's size. The
bytes depend only on the entries (names, contents and modification times)
and zlib's own output, never on the number of threads or their timing.

Entries are local header, deflated data and a data descriptor (the sizes
are known only once the data is written); folders are stored and empty.
ZIP64 records appear where a size, an offset or the number of entries needs
them."""

import collections
import concurrent.futures
import hashlib
import os
import struct
import time
import zlib

PIECE = 1 << 20
WINDOW = 32 * 1024
LEVEL = 6  # zlib's default, as zip -r uses it
SAMPLES = 8
SAMPLE = 2048
SAMPLED_PIECE = 64 * 1024
SLICE = 64 * 1024
# Values from these on are written as ZIP64 records, behind these markers.
LIMIT32 = MARK32 = 0xFFFFFFFF
LIMIT16 = MARK16 = 0xFFFF
# A file this big may deflate to more than 4 GiB (deflate adds up to 5 bytes
# a 16 KiB block, and each piece ends with a few), so its local header
# announces ZIP64 sizes for the descriptor.
ZIP64_LOCAL_SIZE = 0xFF000000
UTF8_FLAG = 0x800
DESCRIPTOR_FLAG = 0x08
DEFLATED = 8
STORED = 0
UNIX = 3
FILE_ATTRIBUTES = 0o100644 << 16
FOLDER_ATTRIBUTES = (0o40755 << 16) | 0x10  # the MS-DOS folder bit too

# Marks the place of an entry's data descriptor in the queue of a Packer.
DESCRIPTOR = object()

LOCAL = struct.Struct("<4sHHHHHLLLHH")
CENTRAL = struct.Struct("<4sHHHHHHLLLHHHHHLL")
ZIP64_END = struct.Struct("<4sQHHLLQQQQ")
ZIP64_LOCATOR = struct.Struct("<4sLQL")
END = struct.Struct("<4sHHHHLLH")


def usable_cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


class BuildChanged(Exception):
    """A file changed size while it was being packed."""


class Entry:
    """One entry as written: where it lies and what it holds."""

    def __init__(self, name, folder, mtime):
        self.name = name
        self.raw_name = name.encode("utf-8")
        self.flags = UTF8_FLAG if not name.isascii() else 0
        self.folder = folder
        self.time, self.date = dos_time(mtime)
        self.zip64_local = False
        self.offset = self.length = self.size = self.packed = self.crc = 0
        self.sha256 = "-"

    def index_line(self):
        """(kind, offset, length, size, sha256, name), as the file index has it."""
        return ("D" if self.folder else "F", self.offset, self.length, self.size, self.sha256,
                self.name)


def dos_time(mtime):
    """The MS-DOS time and date of a modification time, in local time as zip
    and zipfile write them, held within what the format can say."""
    year, month, day, hour, minute, second = time.localtime(mtime)[:6]
    if year < 1980:
        year, month, day, hour, minute, second = 1980, 1, 1, 0, 0, 0
    elif year > 2107:
        year, month, day, hour, minute, second = 2107, 12, 31, 23, 59, 59
    return (hour << 11) | (minute << 5) | (second // 2), ((year - 1980) << 9) | (month << 5) | day


def looks_incompressible(data):
    """Whether 8 samples of 2 KiB spread over a piece shrink by less than
    3 % at zlib's fastest level: already compressed data (audio, video,
    packed textures), which deflate would only copy, slowly."""
    if len(data) < SAMPLED_PIECE:
        return False
    step = len(data) // SAMPLES
    sample = b"".join(data[i * step:i * step + SAMPLE] for i in range(SAMPLES))
    return len(zlib.compress(sample, 1)) > len(sample) * 0.97


def deflate_piece(data, dictionary, last):
    """Raw deflate of one piece, primed with the bytes before it; a piece
    that is not the file's last ends with a sync flush, on a byte boundary,
    so that the next piece's data follows it directly. A piece that would
    not shrink goes into stored blocks of the same deflate stream."""
    level = 0 if looks_incompressible(data) else LEVEL
    if dictionary:
        packer = zlib.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS, 8,
                                  zlib.Z_DEFAULT_STRATEGY, dictionary)
    else:
        packer = zlib.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS)
    # Fed in slices, so that no output is big enough for the allocator to
    # map and unmap it each time (which costs more than the copying).
    out = [packer.compress(data[start:start + SLICE]) for start in range(0, len(data), SLICE)]
    out.append(packer.flush(zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH))
    return out


def field32(value):
    return value if value < LIMIT32 else MARK32


class Writer:
    """The archive file, written front to back, with its running SHA-256."""

    def __init__(self, out):
        self.out = out
        self.offset = 0
        self.digest = hashlib.sha256()

    def write(self, data):
        self.out.write(data)
        self.digest.update(data)
        self.offset += len(data)

    def local_header(self, entry):
        entry.offset = self.offset
        extra = b""
        sizes = 0
        needed = 20
        if entry.zip64_local:
            extra = struct.pack("<HHQQ", 1, 16, 0, 0)
            sizes = MARK32
            needed = 45
        flags = entry.flags | (0 if entry.folder else DESCRIPTOR_FLAG)
        self.write(LOCAL.pack(b"PK\x03\x04", needed, flags, STORED if entry.folder else DEFLATED,
                              entry.time, entry.date, 0, sizes, sizes, len(entry.raw_name),
                              len(extra)) + entry.raw_name + extra)
        entry.length = self.offset - entry.offset

    def descriptor(self, entry):
        if entry.zip64_local:
            self.write(struct.pack("<4sLQQ", b"PK\x07\x08", entry.crc, entry.packed, entry.size))
        else:
            self.write(struct.pack("<4sLLL", b"PK\x07\x08", entry.crc, entry.packed, entry.size))
        entry.length = self.offset - entry.offset

    def central_directory(self, entries):
        start = self.offset
        for entry in entries:
            zip64 = b""
            for value in (entry.size, entry.packed, entry.offset):
                if value >= LIMIT32:
                    zip64 += struct.pack("<Q", value)
            extra = struct.pack("<HH", 1, len(zip64)) + zip64 if zip64 else b""
            version = 45 if zip64 or entry.zip64_local else 20
            flags = entry.flags | (0 if entry.folder else DESCRIPTOR_FLAG)
            self.write(CENTRAL.pack(
                b"PK\x01\x02", (UNIX << 8) | version, version, flags,
                STORED if entry.folder else DEFLATED, entry.time, entry.date, entry.crc,
                field32(entry.packed), field32(entry.size), len(entry.raw_name), len(extra),
                0, 0, 0, FOLDER_ATTRIBUTES if entry.folder else FILE_ATTRIBUTES,
                field32(entry.offset)) + entry.raw_name + extra)
        size = self.offset - start
        count = len(entries)
        if count >= LIMIT16 or size >= LIMIT32 or start >= LIMIT32:
            end64 = self.offset
            self.write(ZIP64_END.pack(b"PK\x06\x06", ZIP64_END.size - 12, (UNIX << 8) | 45, 45,
                                      0, 0, count, count, size, start))
            self.write(ZIP64_LOCATOR.pack(b"PK\x06\x07", 0, end64, 1))
        entries16 = count if count < LIMIT16 else MARK16
        self.write(END.pack(b"PK\x05\x06", 0, 0, entries16, entries16, field32(size),
                            field32(start), 0))


def fill(source, buffer):
    """Reads into buffer until it is full or the file ends; the bytes read."""
    view = memoryview(buffer)
    done = 0
    while done < len(view):
        count = source.readinto(view[done:])
        if not count:
            break
        done += count
    return done


class Packer:
    """Reads the entries in order, hands their pieces to the deflating
    threads and writes what comes back, oldest first, never more than
    limit pieces ahead of the writing. The pieces are read into buffers
    that are used again once written."""

    def __init__(self, writer, threads, progress):
        self.writer = writer
        self.progress = progress
        self.pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="deflate")
        self.limit = 2 * (threads + 1)
        self.in_flight = 0
        self.free = []
        # In write order: (entry, None) for its local header, (entry, piece)
        # for deflated data, (entry, DESCRIPTOR) once its last piece is queued.
        self.queue = collections.deque()

    def buffer(self):
        return self.free.pop() if self.free else bytearray(PIECE)

    def write_next(self):
        entry, piece = self.queue.popleft()
        if piece is None:
            self.writer.local_header(entry)
        elif piece is DESCRIPTOR:
            self.writer.descriptor(entry)
        else:
            future, buffer, length = piece
            for data in future.result():
                entry.packed += len(data)
                self.writer.write(data)
            self.free.append(buffer)
            self.in_flight -= 1
            self.progress.advance(length)

    def add_piece(self, entry, buffer, length, dictionary, last):
        while self.in_flight >= self.limit:
            self.write_next()
        future = self.pool.submit(deflate_piece, memoryview(buffer)[:length], dictionary, last)
        self.queue.append((entry, (future, buffer, length)))
        self.in_flight += 1

    def add_folder(self, entry):
        self.queue.append((entry, None))

    def add_file(self, entry, path, size):
        entry.zip64_local = size >= ZIP64_LOCAL_SIZE
        self.queue.append((entry, None))
        digest, crc, total = hashlib.sha256(), 0, 0
        with open(path, "rb", buffering=0) as source:
            piece = self.buffer()
            length, dictionary = fill(source, piece), b""
            while True:
                following = self.buffer()
                following_length = fill(source, following) if length == PIECE else 0
                view = memoryview(piece)[:length]
                crc = zlib.crc32(view, crc)
                digest.update(view)
                total += length
                if following_length == 0:
                    self.free.append(following)
                self.add_piece(entry, piece, length, dictionary, not following_length)
                if not following_length:
                    break
                dictionary = bytes(view[-WINDOW:])
                piece, length = following, following_length
        if total != size:
            raise BuildChanged("%s changed while it was being packed (%d bytes listed, %d read)"
                               % (path, size, total))
        entry.crc, entry.size, entry.sha256 = crc, total, digest.hexdigest()
        self.queue.append((entry, DESCRIPTOR))

    def finish(self):
        while self.queue:
            self.write_next()

    def close(self):
        self.pool.shutdown(wait=True, cancel_futures=True)


def write_archive(out, entries, threads, progress):
    """Writes the archive of entries ((name, path, is folder, size, mtime),
    in archive order) to the open file out; returns (the archive's SHA-256,
    its size, the file index's lines). BuildChanged when a file's size is no
    longer the one listed."""
    writer = Writer(out)
    packer = Packer(writer, threads, progress)
    written = []
    try:
        for name, path, folder, size, mtime in entries:
            entry = Entry(name, folder, mtime)
            written.append(entry)
            if folder:
                packer.add_folder(entry)
            else:
                packer.add_file(entry, path, size)
        packer.finish()
    finally:
        packer.close()
    writer.central_directory(written)
    return writer.digest.hexdigest(), writer.offset, [entry.index_line() for entry in written]
