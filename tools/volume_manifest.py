#!/usr/bin/env python3
"""Write the manifest of an NTFS test volume image from Sleuth Kit's view of it.

Usage: volume_manifest.py IMAGE NAME NOTES [--check-listing FILE] [--bulk-sample N]
                          [--bulk-prefix PATH]...
       volume_manifest.py --tsk-view IMAGE VIEW

IMAGE is the unmounted volume image, NAME the volume's name, NOTES the facts
the build script recorded while filling the volume (one per line, tab
separated):
    short  <path of the file>  <8.3 name it was given>
    sd     <path of the file>  <hex of the descriptor set through system.ntfs_acl>
    lsn    <hex lsn>  <hex fields of the planted log record header>
    content <path of the file>  <stream name or ->  <size>  <sha256 of the bytes written>
A --bulk-sample N keeps record lines under the bulk directories for
every Nth record number only. A --bulk-prefix names a directory (path from the root, backslashes) whose
children are many alike files: they get record, path and dirent lines but no
attr or value lines (the directories below it keep theirs), which keeps the manifest of the large volumes small. --check-listing names the
listing of the mounted volume (record number, D or F, path per line, as
ntfs-3g showed it) that fls must agree with.

Every fact comes from fls, istat and icat (or, for the raw bytes of a
compressed value, from the clusters istat lists for it; ils tells which
records are in use); the format of each line is given in tests/data/README.md.
"""

import concurrent.futures
import hashlib
import os
import re
import struct
import subprocess
import sys

SYSTEM_RECORDS = range(0, 16)
FIRST_USER_RECORD = 24


def run(args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout


def geometry(image):
    with open(image, 'rb') as f:
        boot = f.read(512)
    sector = struct.unpack_from('<H', boot, 0x0B)[0]
    spc = boot[0x0D]
    # Above 0x80 the byte is a negative power of two (clusters of 128 KiB and up).
    cluster = sector * (1 << (256 - spc) if spc > 0x80 else spc)
    cpr = struct.unpack_from('<b', boot, 0x40)[0]
    record = (1 << -cpr) if cpr < 0 else cpr * cluster
    return sector, cluster, record


def make_tsk_view(image, view):
    """A view of the image that Sleuth Kit can open: a link to it, or a
    patched copy (then True).

    Sleuth Kit 4.11 rejects a sectors-per-cluster byte above 0x80 (clusters
    of 128 KiB and more on 512-byte sectors). The copy states the same
    cluster size as 4096-byte sectors, and the total sector count in those
    sectors; every cluster, record and value stays where it was. Only the
    boot sector itself ($Boot's value) differs from the real image.
    """
    with open(image, 'rb') as f:
        boot = bytearray(f.read(512))
    sector = struct.unpack_from('<H', boot, 0x0B)[0]
    spc = boot[0x0D]
    if os.path.lexists(view):
        os.unlink(view)
    if spc <= 0x80:
        os.symlink(os.path.abspath(image), view)
        return False
    cluster = sector << (256 - spc)
    total = struct.unpack_from('<Q', boot, 0x28)[0]
    struct.pack_into('<H', boot, 0x0B, 4096)
    boot[0x0D] = cluster // 4096
    struct.pack_into('<Q', boot, 0x28, total * sector // 4096)
    with open(image, 'rb') as src, open(view, 'wb') as dst:
        dst.write(boot)
        src.seek(512)
        while True:
            chunk = src.read(1 << 24)
            if not chunk:
                break
            dst.write(chunk)
    return True


def last_record(image):
    text = run(['fsstat', image]).decode('utf-8', 'replace')
    m = re.search(r'^Range: (\d+) - (\d+)', text, re.M)
    if not m:
        sys.exit('fsstat shows no MFT range')
    return int(m.group(2))


HEADER_RE = re.compile(
    r'Entry: (\d+)\s+Sequence: (\d+)\n(?:Base File Record: \d+\n)?\$LogFile Sequence Number: (\d+)\n'
    r'(Allocated|Not Allocated) (File|Directory)\nLinks: (\d+)')
ATTR_RE = re.compile(
    r'^Type: (\S+) \((\d+)-(\d+)\)   Name: (.*?)   (Resident|Non-Resident)(.*?)'
    r'   size: (\d+)')
LIST_ENTRY_RE = re.compile(r'^Type: (\d+)-(\d+) \tMFT Entry: (\d+) \tVCN: (\d+)$')


class Record:
    def __init__(self, recno, text):
        self.recno = recno
        self.text = text
        m = HEADER_RE.search(text)
        if not m or int(m.group(1)) != recno:
            sys.exit('istat %d: unexpected header' % recno)
        self.seq = int(m.group(2))
        self.lsn = int(m.group(3))
        self.allocated = m.group(4) == 'Allocated'
        self.kind = 'dir' if m.group(5) == 'Directory' else 'file'
        self.links = int(m.group(6))
        self.attrs = []        # (type, id, name, resident, flags, size, clusters)
        # The entries of its $ATTRIBUTE_LIST as istat shows them, in list
        # order: (type, instance, holding record, start VCN). istat gives the
        # entry's own instance here, not the id it gives the attribute.
        self.list_entries = []
        self.security_id = None
        m = re.search(r'^Security ID: (\d+)', text, re.M)
        if m:
            self.security_id = int(m.group(1))
        lines = text.split('\n')
        try:
            start = lines.index('Attributes: ') + 1
        except ValueError:
            start = len(lines)
        if '$ATTRIBUTE_LIST Attribute Values:' in lines:
            for line in lines[lines.index('$ATTRIBUTE_LIST Attribute Values:') + 1:start]:
                m = LIST_ENTRY_RE.match(line)
                if not m:
                    break
                self.list_entries.append(tuple(int(x) for x in m.groups()))
        current = None
        for line in lines[start:]:
            m = ATTR_RE.match(line)
            if m:
                name = m.group(4)
                current = [int(m.group(2)), int(m.group(3)),
                           '-' if name == 'N/A' else name,
                           m.group(5) == 'Resident', m.group(6),
                           int(m.group(7)), []]
                self.attrs.append(current)
            elif current is not None and re.fullmatch(r'[\d ]+', line.strip()):
                current[6].extend(int(x) for x in line.split())
            elif current is not None and line.strip():
                # istat's complaint about a value it cannot walk (an
                # extension record's piece of a long sparse value).
                current = None


def istat_all(image, recnos):
    def one(recno):
        out = subprocess.run(['istat', image, str(recno)], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        return recno, out.stdout.decode('utf-8', 'replace')
    records = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for recno, text in pool.map(one, recnos):
            if 'Entry: ' in text:
                records[recno] = Record(recno, text)
    return records


FLS_RE = re.compile(r'^(.)/(.) (\*? ?)(\d+)(?:-(\d+)-(\d+))?(?:\(realloc\))?:\t(.*)$')


def fls_entries(image, args, inode=None, unloaded=None):
    """Entries of fls, stream suffixes folded into their file: (recno, D|F, name).
    Names whose record fls could not load as theirs (no metadata type, "r/-":
    a name left in a freed index block whose record now holds another file
    with a new sequence number) go to unloaded when given, else are kept."""
    out = run(['fls', '-u'] + args + [image] + ([str(inode)] if inode is not None else [])).decode('utf-8')
    entries, seen = [], set()
    for line in out.split('\n'):
        if not line:
            continue
        m = FLS_RE.match(line)
        if not m:
            sys.exit('fls line not understood: %r' % line)
        if m.group(1) == 'V' or m.group(3).strip() == '*':
            continue
        recno = int(m.group(4))
        name = m.group(7)
        if name.startswith('$OrphanFiles'):
            continue
        # A named stream is listed as "file:stream"; a file name holds no colon.
        last = name.rsplit('/', 1)
        last[-1] = last[-1].split(':', 1)[0]
        name = '/'.join(last)
        kind = 'D' if m.group(1) == 'd' else 'F'
        if unloaded is not None and m.group(2) == '-':
            unloaded.append((recno, kind, name))
            continue
        if (recno, name) in seen:
            continue
        seen.add((recno, name))
        entries.append((recno, kind, name))
    return entries


def allocated_by_ils(image):
    """Record numbers ils -e marks allocated (base records; it counts
    extension records as free)."""
    out = run(['ils', '-e', image]).decode('utf-8', 'replace')
    allocated = set()
    for line in out.split('\n'):
        fields = line.split('|')
        if len(fields) > 2 and fields[0].isdigit() and fields[1] == 'a':
            allocated.add(int(fields[0]))
    return allocated


def list_entries_of_value(image, recno, list_id):
    """The entries of a record's $ATTRIBUTE_LIST read from icat's bytes:
    (type, instance, holding record, start VCN, name)."""
    data = run(['icat', image, '%d-32-%d' % (recno, list_id)])
    entries, at = [], 0
    while at + 0x1A <= len(data):
        atype, length, name_length, name_offset, vcn, ref, instance = struct.unpack_from(
            '<IHBBQQH', data, at)
        if length < 0x1A or at + length > len(data):
            sys.exit('record %d: list entry at %d has length %d' % (recno, at, length))
        name = data[at + name_offset:at + name_offset + 2 * name_length].decode('utf-16-le')
        entries.append((atype, instance, ref & 0xFFFFFFFFFFFF, vcn, name or '-'))
        at += length
    return entries


def sha256_of_command(args):
    h = hashlib.sha256()
    size = 0
    with subprocess.Popen(args, stdout=subprocess.PIPE) as p:
        while True:
            chunk = p.stdout.read(1 << 20)
            if not chunk:
                break
            size += len(chunk)
            h.update(chunk)
    if p.returncode != 0:
        sys.exit('%s failed' % ' '.join(args))
    return size, h.hexdigest()


def raw_clusters_sha(image, cluster, clusters, size, zero_is_hole=True):
    """The value's clusters in VCN order; a listed 0 is a hole (cluster 0 is the
    boot sector), except in $Boot's own value, which is cluster 0."""
    h = hashlib.sha256()
    left = size
    zero = bytes(cluster)
    with open(image, 'rb') as f:
        for lcn in clusters:
            if left <= 0:
                break
            if lcn == 0 and zero_is_hole:
                data = zero
            else:
                f.seek(lcn * cluster)
                data = f.read(cluster)
            take = min(left, cluster)
            h.update(data[:take])
            left -= take
    if left > 0:
        h.update(bytes(left))
    return h.hexdigest()


def value_kind(resident, flags):
    if resident:
        return 'resident'
    if 'Compressed' in flags:
        return 'compressed'
    if 'Sparse' in flags:
        return 'sparse'
    return 'nonresident'


def check_listing(listing, entries):
    """Sleuth Kit against the mounted view: same paths, same record numbers.

    fls also lists names it finds in index blocks that the directory no longer
    uses; a volume where that happens would give the tests false facts.
    """
    mounted = set()
    with open(listing, encoding='utf-8') as f:
        for line in f:
            recno, kind, path = line.rstrip('\n').split('\t')
            mounted.add((int(recno), kind, path))
    seen = set((r, k, to_ntfs_path(p)) for r, k, p in entries if not p.startswith('$'))
    if seen != mounted:
        for item in sorted(seen - mounted)[:20]:
            print('only in fls: %r' % (item,), file=sys.stderr)
        for item in sorted(mounted - seen)[:20]:
            print('only in the mount: %r' % (item,), file=sys.stderr)
        sys.exit('fls and the mounted volume disagree')


def to_ntfs_path(p):
    return '\\' + p.replace('/', '\\')


def main():
    args = sys.argv[1:]
    if args and args[0] == '--tsk-view':
        make_tsk_view(args[1], args[2])
        return
    bulk = []
    listing = None
    if '--check-listing' in args:
        i = args.index('--check-listing')
        listing = args[i + 1]
        del args[i:i + 2]
    sample = 0
    if '--bulk-sample' in args:
        i = args.index('--bulk-sample')
        sample = int(args[i + 1])
        del args[i:i + 2]
    while '--bulk-prefix' in args:
        i = args.index('--bulk-prefix')
        bulk.append(args[i + 1])
        del args[i:i + 2]
    real_image, name, notes_path = args
    sector, cluster, record = geometry(real_image)
    image = real_image + '.tsk'
    patched = make_tsk_view(real_image, image)
    try:
        out = manifest(real_image, image, patched, name, notes_path, listing, bulk,
                       sample, sector, cluster, record)
    finally:
        os.unlink(image)
    sys.stdout.buffer.write(('\n'.join(out) + '\n').encode('utf-8'))


def manifest(real_image, image, patched, name, notes_path, listing, bulk,
             sample, sector, cluster, record):
    out = []
    out.append('# Made by tools/make_volumes.sh from Sleuth Kit\'s fls, istat and icat; see tests/data/README.md')
    if patched:
        out.append('# Sleuth Kit read this volume through a copy whose boot sector states the same')
        out.append('# cluster size as 4096-byte sectors (it rejects sectors-per-cluster bytes above 0x80).')
    out.append('volume\t%s' % name)
    out.append('geometry\tsector=%d\tcluster=%d\trecord=%d' % (sector, cluster, record))

    if sample:
        out.append('# Under the bulk directories only every %dth record has a record line.' % sample)
    # fls also lists names left in index blocks that the directory no longer
    # uses, and calls them allocated; those naming a free record are no file,
    # nor are those naming a record given to another file since.
    allocated = allocated_by_ils(image)
    stale = []
    entries = []
    for entry in fls_entries(image, ['-r', '-p'], unloaded=stale):
        (entries if entry[0] in allocated else stale).append(entry)
    in_bulk = set()
    for recno, kind, p in entries:
        if kind == 'F' and any(to_ntfs_path(p).startswith(b + '\\') for b in bulk):
            in_bulk.add(recno)

    last = last_record(image)
    recnos = [r for r in list(SYSTEM_RECORDS) + list(range(FIRST_USER_RECORD, last + 1))
              if not sample or r not in in_bulk or r % sample == 0]
    records = istat_all(image, recnos)
    for recno in recnos:
        r = records.get(recno)
        if r is None or not r.allocated:
            continue
        out.append('record\t%d\tseq=%d\tlsn=%d\tlinks=%d\tkind=%s' %
                   (recno, r.seq, r.lsn, r.links, r.kind))

    path_of = {}
    out.append('path\t5\tD\t\\')
    script_recnos, script_dirs = [], []
    for recno, kind, p in entries:
        path = to_ntfs_path(p)
        out.append('path\t%d\t%s\t%s' % (recno, kind, path))
        path_of[path] = recno
        if p.startswith('$'):
            continue
        if recno in in_bulk:
            continue
        if recno not in script_recnos:
            script_recnos.append(recno)
        if kind == 'D' and recno not in script_dirs:
            script_dirs.append(recno)

    if listing:
        check_listing(listing, entries)

    notes = []
    with open(notes_path, encoding='utf-8') as f:
        for line in f:
            line = line.rstrip('\n')
            if line and not line.startswith('#'):
                notes.append(line.split('\t'))
    for note in notes:
        if note[0] == 'short':
            path, short = note[1], note[2]
            if path not in path_of:
                sys.exit('short name of unknown path %s' % path)
            parent = path.rsplit('\\', 1)[0]
            out.append('short\t%d\t%s\\%s' % (path_of[path], parent, short))

    # A directory's entries must be the paths below it, which the mounted
    # volume confirmed: an entry naming a record in use that has no such path
    # would be a stale one whose record was given to another file.
    known = set((recno, to_ntfs_path(p)) for recno, kind, p in entries)
    dir_path = {5: ''}
    for recno, kind, p in entries:
        if kind == 'D':
            dir_path[recno] = to_ntfs_path(p)
    for d in [5] + script_dirs:
        for recno, kind, n in fls_entries(image, [], d, unloaded=stale):
            if recno not in allocated:
                stale.append((recno, kind, n))
                continue
            if (recno, dir_path[d] + '\\' + n) not in known:
                sys.exit('fls %d lists %s (record %d), which is no path of the volume' % (d, n, recno))
            out.append('dirent\t%d\t%d\t%s\t%s' % (d, recno, kind, n))
    if stale:
        out.append('# %d names fls found in index blocks name free or reused records: left out.' % len(stale))

    for recno in script_recnos:
        r = records[recno]
        for t, i, n, resident, flags, size, clusters in r.attrs:
            out.append('attr\t%d\t%d\t%d\t%s' % (recno, t, i, n))

    # Attribute lists: of the script's files and of the metadata files, each
    # entry as istat shows it, checked against the list's own bytes (from
    # icat), which also give the entry's name.
    path_recnos = set(path_of.values())
    for recno in sorted(set(script_recnos) | (path_recnos - in_bulk)):
        r = records.get(recno)
        if r is None or not r.allocated:
            continue
        lists = [a for a in r.attrs if a[0] == 32]
        if not lists:
            continue
        if len(lists) != 1:
            sys.exit('record %d: istat shows %d attribute lists' % (recno, len(lists)))
        out.append('attrlist\t%d' % recno)
        stored = list_entries_of_value(image, recno, lists[0][1])
        if [e[:4] for e in stored] != r.list_entries:
            sys.exit('record %d: istat\'s list entries %r are not the list\'s bytes %r' %
                     (recno, r.list_entries, stored))
        for t, instance, holder, vcn, n in stored:
            out.append('listentry\t%d\t%d\t%d\t%d\t%d\t%s' % (recno, t, instance, holder, vcn, n))

    # Values: every attribute of the script's files but the fixed-layout
    # $STANDARD_INFORMATION and $FILE_NAME, and every non-resident value of
    # the metadata files.
    wanted = []
    for recno in recnos:
        r = records.get(recno)
        if r is None or not r.allocated:
            continue
        mine = recno in script_recnos
        if not mine and recno >= FIRST_USER_RECORD and recno not in path_recnos:
            continue
        if recno in in_bulk:
            continue
        for a in r.attrs:
            if a[0] in (16, 48):
                continue
            # $BadClus:$Bad maps the whole volume as one hole; icat gives
            # nothing for it, so it has no fact to record.
            if recno == 8 and a[2] == '$Bad':
                continue
            if mine or not a[3]:
                wanted.append((recno, a))

    def value(item):
        recno, (t, i, n, resident, flags, size, clusters) = item
        if patched and recno == 7:
            # $Boot: the view's boot sector is not the volume's.
            got, digest = size, raw_clusters_sha(real_image, cluster, clusters, size, zero_is_hole=False)
        else:
            got, digest = sha256_of_command(['icat', image, '%d-%d-%d' % (recno, t, i)])
        if got != size:
            sys.exit('icat %d-%d-%d gave %d bytes, istat says %d' % (recno, t, i, got, size))
        lines = ['value\t%d\t%d\t%d\t%s\t%d\t%s\t%s' %
                 (recno, t, i, n, size, digest, value_kind(resident, flags))]
        if value_kind(resident, flags) == 'compressed':
            lines.append('raw\t%d\t%d\t%d\t%s\t%d\t%s' %
                         (recno, t, i, n, size,
                          raw_clusters_sha(real_image, cluster, clusters, size)))
        return lines

    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for lines in pool.map(value, wanted):
            out.extend(lines)

    # What the build wrote into each file, as a reader on Windows gets it
    # back: the manifest only puts the record number to the path.
    for note in notes:
        if note[0] == 'content':
            path, stream, size, digest = note[1:5]
            if path not in path_of:
                sys.exit('content of unknown path %s' % path)
            out.append('content\t%d\t%s\t%s\t%s' % (path_of[path], stream, size, digest))

    for note in notes:
        if note[0] == 'sd':
            path, hexsd = note[1], note[2]
            r = records[path_of[path]]
            out.append('secid\t%d\t%d' % (r.recno, r.security_id))
    sds = {}
    for note in notes:
        if note[0] == 'sd':
            sid = records[path_of[note[1]]].security_id
            if sid in sds and sds[sid] != note[2]:
                sys.exit('security id %d given two descriptors' % sid)
            sds[sid] = note[2]
    for sid in sorted(sds):
        out.append('sd\t%d\t%s' % (sid, sds[sid]))
    for note in notes:
        if note[0] == 'logfile':
            out.append('\t'.join(note))
    for note in notes:
        if note[0] == 'lsn':
            out.append('lsn\t%s\t%s' % (note[1], note[2]))

    return out


if __name__ == '__main__':
    main()
