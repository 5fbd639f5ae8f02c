#!/usr/bin/env python3
"""Content for the NTFS test volumes (used by tools/make_volumes.sh).

    volume_fill.py text PATH SIZE [OFFSET]     labelled 512-byte text blocks
    volume_fill.py random PATH SIZE [OFFSET]   seeded pseudo-random bytes
    volume_fill.py zero PATH SIZE [OFFSET]     zero bytes, written
    volume_fill.py const PATH SIZE OFFSET PAT  PAT repeated
    volume_fill.py truncate PATH SIZE          set the size (holes when growing)
    volume_fill.py many DIR COUNT SIZE         DIR/s0000... of SIZE bytes each
    volume_fill.py names DIR COUNT             COUNT empty files, some CJK names
    volume_fill.py fill PATH CHUNK             write CHUNK-byte blocks until ENOSPC
    volume_fill.py holes IMAGE FIRST           which small files to delete (see below)
    volume_fill.py sd NAME                     hex of the named security descriptor
    volume_fill.py sdnames                     the names sd knows
    volume_fill.py logplant IMAGE VIEW         write restart and record pages into $LogFile

Everything is deterministic: the same call writes the same bytes.
"""

import errno
import os
import random
import re
import struct
import subprocess
import sys
import uuid


def text(label, offset, size):
    """Blocks of 512 bytes: a header naming the file and the offset, then a
    fixed sentence, so every sector differs (a read from the wrong place
    shows) yet xz packs them to almost nothing."""
    out = bytearray()
    pos = offset - offset % 512
    filler = (b'The quick brown fox jumps over the lazy dog. ' * 12)[:480]
    while pos < offset + size:
        head = ('%-16.16s @%013x\n' % (label, pos)).encode().ljust(32, b'.')
        out += head[:32] + filler
        pos += 512
    start = offset % 512
    return bytes(out[start:start + size])


def write_at(path, data, offset):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        os.pwrite(fd, data, offset)
    finally:
        os.close(fd)


def cmd_many(directory, count, size):
    data = (b'small ' * (size // 6 + 1))[:size]
    for i in range(count):
        with open(os.path.join(directory, 's%04d' % i), 'wb') as f:
            f.write(data)


def cmd_names(directory, count):
    """COUNT empty files: name-00000.txt..., every 7th a CJK name, every
    101st beginning with U+1F600."""
    for i in range(count):
        if i % 101 == 0:
            name = '\U0001F600-%05d' % i
        elif i % 7 == 0:
            name = '名前-%05d.txt' % i
        else:
            name = 'name-%05d.txt' % i
        open(os.path.join(directory, name), 'wb').close()


def cmd_fill(path, chunk):
    block = (b'filler ' * (chunk // 7 + 1))[:chunk]
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        while True:
            os.write(fd, block)
    except OSError as e:
        if e.errno != errno.ENOSPC:
            raise
    finally:
        os.close(fd)


def cmd_holes(image, first):
    """Which files of frag/small to delete so that no two freed stretches
    touch. ntfs-3g does not place files strictly in creation order (it frees
    what it allocated ahead), so the choice comes from where Sleuth Kit says
    each file lies. FIRST of them are listed as "first", spread over the
    volume, the others as "rest"."""
    fls = subprocess.run(['fls', '-r', '-p', '-u', image], check=True,
                         stdout=subprocess.PIPE).stdout.decode()
    files = []
    for line in fls.splitlines():
        m = re.match(r'^r/r (\d+)-128-\d+:\tfrag/small/(s\d+)$', line)
        if not m:
            continue
        ist = subprocess.run(['istat', image, m.group(1)], check=True,
                             stdout=subprocess.PIPE).stdout.decode()
        clusters = [int(x) for x in ist.split('Non-Resident')[-1].split('\n', 1)[1].split()]
        if not clusters or clusters != list(range(clusters[0], clusters[0] + len(clusters))):
            continue
        files.append((clusters[0], clusters[-1], m.group(2)))
    files.sort()
    freed = set()
    chosen = []
    for start, end, name in files:
        if start - 1 in freed or end + 1 in freed:
            continue
        freed.update(range(start, end + 1))
        chosen.append(name)
    step = max(1, len(chosen) // max(1, first))
    firsts = set(chosen[::step][:first])
    for name in chosen:
        print(('first' if name in firsts else 'rest') + '\t' + name)


# Security descriptors (self-relative, as NTFS stores them) that give the
# renderer its cases: SACL with audit and mandatory-label ACEs, object ACEs
# with one, both or no GUIDs, inherited ACEs, ACE types a list does not keep,
# null and empty DACLs, and SIDs no account database knows.

def sid(text):
    parts = text.split('-')
    subs = [int(x) for x in parts[3:]]
    return (struct.pack('<BB', int(parts[1]), len(subs)) + int(parts[2], 0).to_bytes(6, 'big')
            + b''.join(struct.pack('<I', x) for x in subs))


def ace(typ, flags, mask, who, app=b''):
    body = struct.pack('<I', mask) + sid(who) + app
    return struct.pack('<BBH', typ, flags, 4 + len(body)) + body


def obj_ace(typ, flags, mask, who, obj=None, inh=None):
    extra = struct.pack('<I', (1 if obj else 0) | (2 if inh else 0))
    if obj:
        extra += uuid.UUID(obj).bytes_le
    if inh:
        extra += uuid.UUID(inh).bytes_le
    body = struct.pack('<I', mask) + extra + sid(who)
    return struct.pack('<BBH', typ, flags, 4 + len(body)) + body


def acl(aces, rev=2):
    body = b''.join(aces)
    return struct.pack('<BBHHH', rev, 0, 8 + len(body), len(aces), 0) + body


def descriptor(control, owner, group, sacl=None, dacl=None):
    offs, parts, off = {}, [], 20
    for key, blob in (('owner', owner), ('group', group), ('sacl', sacl), ('dacl', dacl)):
        offs[key] = off if blob is not None else 0
        if blob is not None:
            parts.append(blob)
            off += len(blob)
    return struct.pack('<BBHIIII', 1, 0, control, offs['owner'], offs['group'],
                       offs['sacl'], offs['dacl']) + b''.join(parts)


ADMINS = 'S-1-5-32-544'
SYSTEM = 'S-1-5-18'
USERS = 'S-1-5-32-545'
EVERYONE = 'S-1-1-0'
AUTH_USERS = 'S-1-5-11'
CREATOR_OWNER = 'S-1-3-0'
HIGH_LABEL = 'S-1-16-12288'
APP_PACKAGES = 'S-1-15-2-1'
TRUSTED_INSTALLER = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
DOMAIN_USER = 'S-1-5-21-1004336348-1177238915-682003330-1001'
BIG_AUTHORITY = 'S-1-0x123456789ABC-7-8'
GUID_A = 'bf967aba-0de6-11d0-a285-00aa003049e2'
GUID_B = '4828cc14-1437-45bc-9b07-ad6f015e5f28'

SE_DACL_PRESENT = 0x0004
SE_SACL_PRESENT = 0x0010
SE_DACL_AUTO_INHERITED = 0x0400
SE_SELF_RELATIVE = 0x8000


def descriptors():
    plain = acl([ace(0, 0, 0x1F01FF, ADMINS), ace(0, 0, 0x1F01FF, SYSTEM),
                 ace(0, 0, 0x1200A9, USERS)])
    rel_dacl = SE_SELF_RELATIVE | SE_DACL_PRESENT
    both = rel_dacl | SE_SACL_PRESENT
    return {
        'basic': descriptor(rel_dacl, sid(ADMINS), sid(SYSTEM), None, plain),
        # Audit ACEs for success and failure (0xC0), one for success only,
        # and a high mandatory label.
        'sacl': descriptor(both, sid(ADMINS), sid(SYSTEM),
                           acl([ace(2, 0xC0, 0x1F01FF, EVERYONE),
                                ace(2, 0x40, 0x10000, AUTH_USERS),
                                ace(0x11, 0, 0x1, HIGH_LABEL)]), plain),
        # Object ACEs: object GUID only, both GUIDs, inherited GUID only, none.
        'object': descriptor(both, sid(ADMINS), sid(SYSTEM),
                             acl([obj_ace(7, 0xC0, 0x20, EVERYONE, obj=GUID_A)], rev=4),
                             acl([ace(0, 0, 0x1F01FF, ADMINS),
                                  obj_ace(5, 0, 0x100, AUTH_USERS, obj=GUID_A),
                                  obj_ace(5, 0x02, 0x30, USERS, obj=GUID_A, inh=GUID_B),
                                  obj_ace(6, 0, 0x8, EVERYONE, inh=GUID_B),
                                  obj_ace(5, 0, 0x10, SYSTEM)], rev=4)),
        # Inherited ACEs (0x10) with inheritance flags around them.
        'inherited': descriptor(rel_dacl | SE_DACL_AUTO_INHERITED, sid(ADMINS), sid(SYSTEM), None,
                                acl([ace(0, 0x10, 0x1F01FF, SYSTEM),
                                     ace(0, 0x13, 0x1F01FF, ADMINS),
                                     ace(1, 0x1B, 0x10000, USERS),
                                     ace(0, 0x1B, 0x10000000, CREATOR_OWNER)])),
        # Types a list does not keep: a callback ACE (0x09, with application
        # data) and an audit ACE in the DACL, an access ACE in the SACL.
        'notkept': descriptor(both, sid(ADMINS), sid(SYSTEM),
                              acl([ace(0, 0, 0x1F01FF, EVERYONE),
                                   ace(2, 0x80, 0x1F01FF, EVERYONE)]),
                              acl([ace(0, 0, 0x1F01FF, ADMINS),
                                   ace(9, 0, 0x1200A9, USERS, app=b'artx\x00\x01\x02\x03'),
                                   ace(2, 0xC0, 0x1F01FF, EVERYONE),
                                   ace(0, 0, 0x1200A9, EVERYONE)])),
        # DACL present with offset 0 (a null DACL), and a DACL without ACEs.
        'nulldacl': descriptor(rel_dacl, sid(ADMINS), sid(SYSTEM), None, None),
        'emptydacl': descriptor(rel_dacl, sid(ADMINS), sid(SYSTEM), None, acl([])),
        # SIDs no account database knows, one with a 48-bit authority.
        'unknown': descriptor(rel_dacl, sid(DOMAIN_USER), sid(BIG_AUTHORITY), None,
                              acl([ace(0, 0, 0x1F01FF, DOMAIN_USER),
                                   ace(0, 0, 0x1200A9, APP_PACKAGES),
                                   ace(0, 0, 0x1F01FF, TRUSTED_INSTALLER),
                                   ace(1, 0, 0x40000, BIG_AUTHORITY)])),
    }


# $LogFile: mkntfs leaves it 0xFF throughout. Planted here: both restart
# pages and two record pages with known log record headers, the update
# sequence applied as on disk.

LOG_PAGE = 0x1000
USA_STRIDE = 512


def protect(page, usa_offset, usn):
    """Apply the update sequence: each sector's last two bytes go to the
    array and the sequence number takes their place."""
    count = len(page) // USA_STRIDE
    struct.pack_into('<H', page, usa_offset, usn)
    for i in range(count):
        end = (i + 1) * USA_STRIDE - 2
        page[usa_offset + 2 + 2 * i:usa_offset + 4 + 2 * i] = page[end:end + 2]
        struct.pack_into('<H', page, end, usn)


def restart_page(seq_bits, log_size, current_lsn):
    page = bytearray(LOG_PAGE)
    usa_count = LOG_PAGE // USA_STRIDE + 1
    struct.pack_into('<4sHHQIIHhh', page, 0, b'RSTR', 0x1E, usa_count, 0,
                     LOG_PAGE, LOG_PAGE, 0x30, 1, 1)
    ra = 0x30
    client_array = 0x30
    ra_len = client_array + 0xA0
    # A clean restart area: the one client on the free list, none in use,
    # the volume marked clean, so that ntfs-3g still mounts the volume.
    struct.pack_into('<QHHHHIHHQIHHI', page, ra, current_lsn, 1, 0, 0xFFFF, 0x0002,
                     seq_bits, ra_len, client_array, log_size, 0, 0x30, 0x40, 1)
    client = ra + client_array
    struct.pack_into('<QQHHH6xI', page, client, current_lsn, current_lsn, 0xFFFF, 0xFFFF, 1, 8)
    page[client + 0x20:client + 0x28] = 'NTFS'.encode('utf-16-le')
    protect(page, 0x1E, 0x0001)
    return page


def log_header(lsn, prev, undo, data_len, seq, index, rtype, tid, flags):
    return struct.pack('<QQQIHHIIH6x', lsn, prev, undo, data_len, seq, index, rtype, tid, flags)


def record_page(records, last_lsn, last_end_lsn, next_offset, usn):
    """records: (position in page, header fields tuple, client data)."""
    page = bytearray(LOG_PAGE)
    usa_count = LOG_PAGE // USA_STRIDE + 1
    struct.pack_into('<4sHHQIHHH6xQ', page, 0, b'RCRD', 0x28, usa_count, last_lsn, 0, 1, 1,
                     next_offset, last_end_lsn)
    for pos, fields, data in records:
        blob = log_header(*fields) + data
        page[pos:pos + len(blob)] = blob
    protect(page, 0x28, usn)
    return page


def cmd_logplant(image, view):
    """Write the pages into $LogFile's clusters (per Sleuth Kit, through the
    view), and print one note line per planted record:
    lsn <hex lsn> <hex header fields, comma separated>."""
    with open(image, 'rb') as f:
        boot = f.read(512)
    sector = struct.unpack_from('<H', boot, 0x0B)[0]
    spc = boot[0x0D]
    cluster = sector * (1 << (256 - spc) if spc > 0x80 else spc)
    ist = subprocess.run(['istat', view, '2'], check=True,
                         stdout=subprocess.PIPE).stdout.decode()
    m = re.search(r'^Type: \$DATA \(128-\d+\)   Name: N/A   Non-Resident   size: (\d+)', ist, re.M)
    if not m:
        sys.exit('logplant: $LogFile has no non-resident $DATA')
    log_size = int(m.group(1))
    tail = ist[m.end():].split('\n', 1)[1]
    clusters = []
    for line in tail.split('\n'):
        if not line.strip() or line.startswith('Type:'):
            break
        clusters.extend(int(x) for x in line.split())

    # As Windows sets it (and ntfs-3g checks it): 67 less the bit length of
    # the log size, so that 64 - S bits of an LSN, times 8, span the log.
    seq_bits = 67 - log_size.bit_length()
    seq = 5   # the log has wrapped a few times

    def lsn_at(offset):
        return (seq << (64 - seq_bits)) | (offset >> 3)

    page_a, page_b = 0x5000, 0x9000
    if page_b + LOG_PAGE > log_size:
        sys.exit('logplant: $LogFile too small')
    # Page A: three records back to back; the third begins at 0x1E8, so its
    # header crosses the first sector's end (0x1FE) and reads right only
    # after the update sequence is undone.
    r1 = lsn_at(page_a + 0x40)
    r2 = lsn_at(page_a + 0x90)
    r3 = lsn_at(page_a + 0x1E8)
    # Page B: one at the start, one whose 0x30-byte header ends at the page end.
    r4 = lsn_at(page_b + 0x40)
    r5 = lsn_at(page_b + 0xFD0)
    recs_a = [
        (0x40, (r1, 0, 0, 0x20, 0x0001, 0x0000, 1, 0x18, 0x0000), bytes(range(0x20))),
        (0x90, (r2, r1, r1, 0x128, 0x0001, 0x0000, 1, 0x18, 0x0000), bytes(0x128)),
        (0x1E8, (r3, r2, r1, 0x18, 0x0002, 0x0001, 2, 0x20, 0x0001), b'\xA5' * 0x18),
    ]
    recs_b = [
        (0x40, (r4, r3, r3, 0x40, 0x0003, 0x0002, 1, 0x0123, 0x0000), b'\x5A' * 0x40),
        (0xFD0, (r5, r4, 0, 0x18, 0xFFFF, 0x0102, 2, 0xABCDEF01, 0x0001), b''),
    ]
    pages = {
        0x0000: restart_page(seq_bits, log_size, r5),
        0x1000: restart_page(seq_bits, log_size, r5),
        page_a: record_page(recs_a, r3, r3, 0x230, 0x0007),
        page_b: record_page(recs_b, r5, r5, 0x1000, 0x0009),
    }
    with open(image, 'r+b') as f:
        for offset, page in pages.items():
            pos = 0
            while pos < LOG_PAGE:
                vcn, within = divmod(offset + pos, cluster)
                if clusters[vcn] == 0:
                    sys.exit('logplant: $LogFile cluster %d is a hole' % vcn)
                n = min(cluster - within, LOG_PAGE - pos)
                f.seek(clusters[vcn] * cluster + within)
                f.write(page[pos:pos + n])
                pos += n
    print('logfile\tsize=%d\tseqbits=%d\tpagesize=%d' % (log_size, seq_bits, LOG_PAGE))
    for _, fields, _ in recs_a + recs_b:
        print('lsn\t%016X\t%016X,%016X,%016X,%08X,%04X,%04X,%08X,%08X,%04X' % ((fields[0],) + fields))


def main():
    mode = sys.argv[1]
    args = sys.argv[2:]
    if mode == 'sd':
        print(descriptors()[args[0]].hex())
        return
    if mode == 'sdnames':
        print(' '.join(descriptors()))
        return
    if mode == 'logplant':
        cmd_logplant(args[0], args[1])
        return
    if mode == 'holes':
        cmd_holes(args[0], int(args[1]))
        return
    if mode == 'many':
        cmd_many(args[0], int(args[1]), int(args[2], 0))
        return
    if mode == 'names':
        cmd_names(args[0], int(args[1]))
        return
    if mode == 'fill':
        cmd_fill(args[0], int(args[1], 0))
        return
    path = args[0]
    if mode == 'truncate':
        fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
        os.ftruncate(fd, int(args[1], 0))
        os.close(fd)
        return
    size = int(args[1], 0)
    offset = int(args[2], 0) if len(args) > 2 else 0
    label = os.path.basename(path)
    if mode == 'text':
        data = text(label, offset, size)
    elif mode == 'random':
        data = random.Random(label + args[1]).randbytes(size)
    elif mode == 'zero':
        data = bytes(size)
    elif mode == 'const':
        data = (args[3].encode() * (size // len(args[3]) + 1))[:size]
    else:
        sys.exit('volume_fill.py: unknown mode ' + mode)
    write_at(path, data, offset)


if __name__ == '__main__':
    main()
