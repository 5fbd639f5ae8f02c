#!/usr/bin/env python3
"""Creates, renames and deletes names on a mounted NTFS volume, and logs
every operation (used by tools/make_volumes.sh --only deleted).

    volume_churn.py MOUNT LOG

The same run makes the same operations in the same order (a seeded random
generator; only the times on the volume differ). LOG gets one line per
operation, tab-separated (the format of the manifests; # starts a comment):

    <op>  <D|F>  <directory>  <name>  [<new directory>  <new name>]

op is mkdir, create, rename, delete or rmdir; D or F says whether the name is
a directory or a file; directories are paths from the root with backslashes
(the root is \\), as they were when the operation was done (a directory
renamed later keeps its old path in the lines before the rename). A rename
moves the name to the new directory under the new name.

What is made, in this order (records freed early are given to later files):
    \\small           10 files: a resident index root only, some deleted and renamed
    \\emptied-small   12 files, all deleted
    \\emptied         600 files, all deleted: every index block freed
    \\doomed          20 files, deleted, then the directory itself
    \\old-name        files, then renamed \\new-name, then more changes inside
    \\unicode         150 names: accented, Greek, Hangul, CJK, U+1F600 and
                     U+20000 (surrogate pairs); half deleted, some renamed
    \\mid             400 files and 6 subdirectories with 12 files each; files
                     deleted, renamed, moved to \\small; subdirectories emptied
                     and removed, renamed, moved to \\unicode
    \\moves-a, -b     60 files each, moved across and some moved back
    \\big             5,000 files (long, accented, CJK, emoji names among them):
                     a run of 1,200 deleted (blocks freed, merged), renames,
                     moves to \\mid, 35% of the rest deleted, deleted names
                     made again, 200 more created; a subdirectory emptied in
                     part, renamed and moved to \\mid
Every file is empty: the image stays small.
"""

import os
import random
import sys

SEED = 20261209


class Churn:
    def __init__(self, mount, log):
        self.mount = mount
        self.log = log
        self.rng = random.Random(SEED)
        # Directory path (backslashes) -> {name: 'D' or 'F'}, as the script
        # knows it: every choice below is made from this, never from the mount.
        self.dirs = {'\\': {}}

    def real(self, directory, name=None):
        parts = [p for p in directory.split('\\') if p]
        if name is not None:
            parts.append(name)
        return os.path.join(self.mount, *parts)

    @staticmethod
    def join(directory, name):
        return ('' if directory == '\\' else directory) + '\\' + name

    def write(self, *fields):
        assert all('\t' not in f and '\n' not in f for f in fields)
        self.log.write('\t'.join(fields) + '\n')

    def mkdir(self, directory, name):
        os.mkdir(self.real(directory, name))
        self.dirs[directory][name] = 'D'
        self.dirs[self.join(directory, name)] = {}
        self.write('mkdir', 'D', directory, name)
        return self.join(directory, name)

    def create(self, directory, name):
        with open(self.real(directory, name), 'wb'):
            pass
        self.dirs[directory][name] = 'F'
        self.write('create', 'F', directory, name)

    def delete(self, directory, name):
        kind = self.dirs[directory][name]
        if kind == 'D':
            path = self.join(directory, name)
            for child in sorted(self.dirs[path]):
                self.delete(path, child)
            os.rmdir(self.real(directory, name))
            del self.dirs[path]
            self.write('rmdir', 'D', directory, name)
        else:
            os.unlink(self.real(directory, name))
            self.write('delete', 'F', directory, name)
        del self.dirs[directory][name]

    def rename(self, directory, name, new_directory, new_name):
        assert new_name not in self.dirs[new_directory]
        os.rename(self.real(directory, name), self.real(new_directory, new_name))
        kind = self.dirs[directory].pop(name)
        self.dirs[new_directory][new_name] = kind
        if kind == 'D':
            old, new = self.join(directory, name), self.join(new_directory, new_name)
            for path in [p for p in self.dirs if p == old or p.startswith(old + '\\')]:
                self.dirs[new + path[len(old):]] = self.dirs.pop(path)
        self.write('rename', kind, directory, name, new_directory, new_name)

    def files(self, directory):
        return sorted(n for n, k in self.dirs[directory].items() if k == 'F')

    def sample(self, directory, count):
        names = self.files(directory)
        return self.rng.sample(names, min(count, len(names)))

    def delete_share(self, directory, share):
        names = self.files(directory)
        for name in self.rng.sample(names, int(len(names) * share)):
            self.delete(directory, name)


def big_name(i):
    """Mostly plain names; some long (up to 240 units), accented, CJK or
    starting with U+1F600."""
    if i % 23 == 0:
        return ('%05d ' % i + 'a long file name that goes on and on ' * 7)[:100 + i % 141].rstrip()
    if i % 97 == 0:
        return '\U0001F600-%05d.txt' % i
    if i % 13 == 0:
        return '文件-%05d-資料.txt' % i
    if i % 11 == 0:
        return 'résumé-%05d-Ärger.txt' % i
    return 'file-%05d.dat' % i


UNICODE_STYLES = ['Ärger über Straße %03d.txt', 'Σίσυφος-%03d.txt', '한국어-%03d.txt',
                  '日本語の名前-%03d.txt', '\U0001F600 smile %03d', '\U00020000 ideograph %03d',
                  'façade-%03d-naïve.txt']


def run(churn):
    c = churn
    rng = c.rng

    small = c.mkdir('\\', 'small')
    for i in range(10):
        c.create(small, 'note-%02d.txt' % i)
    for name in c.sample(small, 4):
        c.delete(small, name)
    for name in c.sample(small, 2):
        c.rename(small, name, small, 'renamed-' + name)

    emptied_small = c.mkdir('\\', 'emptied-small')
    for i in range(12):
        c.create(emptied_small, 'gone-%02d.txt' % i)
    for name in c.files(emptied_small):
        c.delete(emptied_small, name)

    emptied = c.mkdir('\\', 'emptied')
    for i in range(600):
        c.create(emptied, 'emptied-%04d-%s.bin' % (i, 'x' * (i % 9)))
    for name in c.sample(emptied, 600):
        c.delete(emptied, name)

    doomed = c.mkdir('\\', 'doomed')
    for i in range(20):
        c.create(doomed, 'doomed-%02d.txt' % i)
    c.delete('\\', 'doomed')

    old = c.mkdir('\\', 'old-name')
    for i in range(30):
        c.create(old, 'before-rename-%02d.txt' % i)
    for name in c.sample(old, 10):
        c.delete(old, name)
    c.rename('\\', 'old-name', '\\', 'new-name')
    new = '\\new-name'
    for name in c.sample(new, 5):
        c.delete(new, name)
    for i in range(5):
        c.create(new, 'after-rename-%02d.txt' % i)

    uni = c.mkdir('\\', 'unicode')
    for i in range(150):
        c.create(uni, UNICODE_STYLES[i % len(UNICODE_STYLES)] % i)
    c.delete_share(uni, 0.5)
    for n, name in enumerate(c.sample(uni, 20)):
        c.rename(uni, name, uni, UNICODE_STYLES[(n + 3) % len(UNICODE_STYLES)] % (500 + n))

    mid = c.mkdir('\\', 'mid')
    for i in range(400):
        c.create(mid, 'mid-%04d.txt' % i)
    subs = [c.mkdir(mid, 'sub-%d' % i) for i in range(6)]
    for sub in subs:
        for i in range(12):
            c.create(sub, 'inner-%02d.txt' % i)
    c.delete_share(mid, 0.4)
    for name in c.sample(mid, 40):
        c.rename(mid, name, mid, 'renamed-' + name)
    for name in c.sample(mid, 3):
        c.rename(mid, name, small, 'from-mid-' + name)
    c.delete(small, c.sample(small, 1)[0])
    for sub in subs[:2]:
        c.delete_share(sub, 0.5)
        for name in c.sample(sub, 2):
            c.rename(sub, name, sub, 'again-' + name)
    c.delete(mid, 'sub-2')
    c.delete(mid, 'sub-3')
    c.rename(mid, 'sub-4', mid, 'sub-4-renamed')
    c.create('\\mid\\sub-4-renamed', 'added-after-rename.txt')
    c.rename(mid, 'sub-5', uni, 'sub-5-moved')
    c.delete_share('\\unicode\\sub-5-moved', 0.5)
    for i in range(6):
        c.create(c.mkdir(mid, 'sub-%d' % (10 + i)), 'only.txt')
    for i in range(10, 16, 2):
        c.delete(mid, 'sub-%d' % i)

    a = c.mkdir('\\', 'moves-a')
    b = c.mkdir('\\', 'moves-b')
    for i in range(60):
        c.create(a, 'a-%02d.txt' % i)
        c.create(b, 'b-%02d.txt' % i)
    moved = c.sample(a, 20)
    for name in moved:
        c.rename(a, name, b, name)
    for name in c.sample(b, 10):
        c.rename(b, name, a, name if name not in c.dirs[a] else 'back-' + name)
    for name in moved[:5]:
        if name in c.dirs[b]:
            c.rename(b, name, a, name)
    c.delete_share(a, 0.3)
    c.delete_share(b, 0.3)

    big = c.mkdir('\\', 'big')
    for i in range(5000):
        c.create(big, big_name(i))
    sub = c.mkdir(big, 'sub')
    for i in range(40):
        c.create(sub, 'sub-file-%02d.txt' % i)
    for i in range(1000, 2200):
        c.delete(big, big_name(i))
    for n, name in enumerate(c.sample(big, 150)):
        c.rename(big, name, big, 'renamed-%04d-%s' % (n, name[:60]))
    for n, name in enumerate(c.sample(big, 100)):
        c.rename(big, name, mid, 'from-big-%03d.txt' % n)
    c.delete_share(big, 0.35)
    deleted = [big_name(i) for i in range(5000) if big_name(i) not in c.dirs[big]]
    for name in rng.sample(deleted, 15):
        c.create(big, name)
    for i in range(5000, 5200):
        c.create(big, big_name(i))
    c.delete_share(sub, 0.5)
    c.rename(big, 'sub', big, 'sub-renamed')
    c.rename(big, 'sub-renamed', mid, 'sub-from-big')


def main():
    mount, log_path = sys.argv[1], sys.argv[2]
    with open(log_path, 'w', encoding='utf-8') as log:
        log.write('# op\tD|F\tdirectory\tname\tnew directory\tnew name (tools/volume_churn.py)\n')
        run(Churn(mount, log))


if __name__ == '__main__':
    main()
