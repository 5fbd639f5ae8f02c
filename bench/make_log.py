#!/usr/bin/env python3
"""Writes a $LogFile of SIZE bytes (default 64 MiB) as NTFS lays one out:
two restart pages, two tail pages, then record pages filled with log records
until the log has wrapped once (so that the pages ahead of the newest record
hold the previous pass). The records are the kinds a busy volume writes:
$STANDARD_INFORMATION time updates, index entries added and deleted, file
records initialized and freed, non-resident writes, some spanning pages.

  make_log.py OUTPUT [SIZE_MIB]
"""
import struct
import sys

PAGE = 0x1000
DATA = 0x40
HEADER = 0x30
FIRST = 4 * PAGE
USN = 0x0003


def protect(page, array, count, usn):
    struct.pack_into('<HH', page, 4, array, count)
    struct.pack_into('<H', page, array, usn)
    for i in range(1, count):
        word = i * 512 - 2
        page[array + 2 * i:array + 2 * i + 2] = page[word:word + 2]
        struct.pack_into('<H', page, word, usn)


def operation(redo_op, undo_op, redo, undo, record, record_offset=0x38, attribute_offset=0):
    head = bytearray(0x28)
    struct.pack_into('<HHHHHHHHHHH', head, 0, redo_op, undo_op, 0x28, len(redo), 0x28 + len(redo), len(undo),
                     0x18, 1, record_offset, attribute_offset, record % 4 * 2)
    struct.pack_into('<QQ', head, 0x18, record // 4, 0xC000 + record // 4)
    data = bytes(head) + redo + undo
    return data + b'\0' * (-len(data) % 8)


def name_entry(record, name, time):
    key = struct.pack('<QQQQQQQII', 0x0005000000000005, time, time, time, time, 0, 0, 0x20, 0)
    key += struct.pack('<BB', len(name), 1) + name.encode('utf-16-le')
    entry = struct.pack('<QHHI', (1 << 48) | record, 0x10 + len(key) + (-len(key) % 8), len(key), 0) + key
    return entry + b'\0' * (-len(entry) % 8)


def records():
    time = 0x01D4C19390C80791
    record = 0x40
    while True:
        record += 1
        time += 10_000_000
        yield 1, operation(0x02, 0x00, b'\x46\x49\x4c\x45' + b'\0' * 0x9C, b'', record)
        yield 1, operation(0x0E, 0x0F, name_entry(record, 'file-%07d.txt' % record, time), b'', 0)
        yield 1, operation(0x07, 0x07, struct.pack('<QQQQ', time, time + 1, time + 2, time + 3),
                           struct.pack('<QQQQ', time - 9, time - 8, time - 7, time - 6), record, 0x38, 0x18)
        yield 1, operation(0x08, 0x00, bytes(range(256)) * (2 + record % 24), b'', 0)
        yield 1, operation(0x0F, 0x0E, b'', name_entry(record - 1, 'file-%07d.txt' % (record - 1), time), 0)
        yield 1, operation(0x03, 0x02, b'', b'', record - 1)
        yield 1, operation(0x1A, 0x00, b'', b'', 0)


def main():
    out = sys.argv[1]
    size = int(sys.argv[2]) << 20 if len(sys.argv) > 2 else 64 << 20
    pages = (size - FIRST) // PAGE
    # An LSN keeps the file offset in eighths below its sequence number:
    # as many bits as the log's size needs, no more.
    global BITS
    BITS = 64 - ((size - 1).bit_length() - 3)
    log = bytearray(FIRST + pages * PAGE)
    page, pos, sequence, lsn, written = 0, DATA, 1, 0, 0
    entered = [False] * pages

    def base(p):
        return FIRST + p * PAGE

    def enter(p):
        log[base(p):base(p) + PAGE] = b'\0' * PAGE
        log[base(p):base(p) + 4] = b'RCRD'
        entered[p] = True

    def next_page():
        nonlocal page, pos, sequence
        page += 1
        if page == pages:
            page, sequence = 0, sequence + 1
        pos = DATA

    enter(0)
    for transaction, data in records():
        if pos + HEADER > PAGE:
            next_page()
        if pos == DATA:
            enter(page)
        lsn = (sequence << (64 - BITS)) | ((base(page) + pos) >> 3)
        record = bytearray(HEADER)
        struct.pack_into('<QQQIHHII', record, 0, lsn, 0, 0, len(data), 0, 0, 1, transaction)
        if pos + HEADER + len(data) > PAGE:
            struct.pack_into('<H', record, 0x28, 1)
        record += data
        start = page
        struct.pack_into('<Q', log, base(page) + 0x08, lsn)
        at = 0
        while True:
            take = min(len(record) - at, PAGE - pos)
            log[base(page) + pos:base(page) + pos + take] = record[at:at + take]
            at += take
            pos += take
            if at == len(record):
                break
            next_page()
            enter(page)
            struct.pack_into('<Q', log, base(page) + 0x08, lsn)
        struct.pack_into('<IHHH', log, base(page) + 0x10, 1, 1, 1, (pos + 7) & ~7)
        struct.pack_into('<Q', log, base(page) + 0x20, lsn)
        pos = (pos + 7) & ~7
        written += len(record)
        if written > pages * (PAGE - DATA) * 5 // 4:
            break
    for p in range(pages):
        page_bytes = memoryview(log)[base(p):base(p) + PAGE]
        protect(page_bytes, 0x28, PAGE // 512 + 1, USN)
    for copy in range(2):
        restart = bytearray(PAGE)
        restart[0:4] = b'RSTR'
        struct.pack_into('<QIIHhh', restart, 0x08, 0, PAGE, PAGE, 0x30, 1, 1)
        struct.pack_into('<QHHHHIHHQIHHI', restart, 0x30, lsn, 1, 0xFFFF, 0, 2, BITS, 0xE0, 0x40, len(log), 0,
                         HEADER, DATA, 1)
        struct.pack_into('<QQHHH', restart, 0x70, 0, lsn, 0xFFFF, 0xFFFF, 0)
        struct.pack_into('<I', restart, 0x70 + 0x1C, 8)
        restart[0x70 + 0x20:0x70 + 0x28] = 'NTFS'.encode('utf-16-le')
        protect(restart, 0x1E, PAGE // 512 + 1, USN)
        log[copy * PAGE:(copy + 1) * PAGE] = restart
    with open(out, 'wb') as f:
        f.write(log)


if __name__ == '__main__':
    main()
