"""Archives written by other ZIP writers unpack through the starter's
extraction to the same tree, contents and file times as Info-ZIP unzip makes
of them; and the extraction with 4 worker threads gives the same log,
standard error and tree as with 1.

Writers, where installed: Info-ZIP zip (plain, streamed with data
descriptors, forced Zip64), bsdtar, and Python's zipfile (plain, streamed
with data descriptors, forced Zip64). Source files get even-second times, so
the MS-DOS time the starter uses and the exact times unzip restores agree.

With --pack, the other way round too: an archive of our packer whose files
span several pieces, with a piece index in their central records and pieces
of random bytes kept in stored blocks inside the deflate stream, must read
unchanged in unzip -t, 7-Zip's test, bsdtar and Python's zipfile, and each
piece must inflate on its own with Python's zlib.

Usage: interop_test.py EXTRACT_ARCHIVE_TOOL [--pack PACK_TOOL]
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

STAMP = 1_700_000_000  # an even second


def make_source(root):
    files = {
        "readme.txt": b"plain text\n" * 10,
        "empty.bin": b"",
        "Engine/Config/base.ini": b"[Core]\nmode=interop\n" * 400,
        "Engine/Binaries/big.bin": bytes((i * 2654435761) >> 13 & 0xFF for i in range(700_000)),
        "quillorbite/caf\u00e9 \u65e5\u672c.txt": "utf-8 name\n".encode(),
    }
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "Engine", "Empty"))
    for folder, _, names in os.walk(root):
        for name in names:
            os.utime(os.path.join(folder, name), (STAMP, STAMP + 2 * len(name)))
    return files


def python_zip(source, archive, zip64=False, streamed=False):
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
        for folder, folders, names in sorted(os.walk(source)):
            relative = os.path.relpath(folder, source)
            if relative != "." and not names and not folders:
                out.write(folder, relative + "/")
            for name in sorted(names):
                path = os.path.join(folder, name)
                arcname = os.path.normpath(os.path.join(relative, name)).replace(os.sep, "/")
                if streamed or zip64:
                    info = zipfile.ZipInfo.from_file(path, arcname)
                    info.compress_type = zipfile.ZIP_DEFLATED
                    # Writing through open() without a known size makes a data
                    # descriptor; force_zip64 adds Zip64 extra fields.
                    with out.open(info, "w", force_zip64=zip64) as dest, open(path, "rb") as src:
                        shutil.copyfileobj(src, dest)
                else:
                    out.write(path, arcname)


def writers():
    found = []
    if shutil.which("zip"):
        found.append(("Info-ZIP zip", lambda s, a: subprocess.run(
            ["zip", "-q", "-r", a, "."], cwd=s, check=True)))
        found.append(("Info-ZIP zip, streamed", lambda s, a: subprocess.run(
            "zip -q -r -fd - . > '%s'" % a, shell=True, cwd=s, check=True)))
        found.append(("Info-ZIP zip, Zip64", lambda s, a: subprocess.run(
            ["zip", "-q", "-r", "-fz", a, "."], cwd=s, check=True)))
    if shutil.which("bsdtar"):
        found.append(("bsdtar", lambda s, a: subprocess.run(
            ["bsdtar", "--format", "zip", "-cf", a, "."], cwd=s, check=True)))
    found.append(("Python zipfile", lambda s, a: python_zip(s, a)))
    found.append(("Python zipfile, streamed", lambda s, a: python_zip(s, a, streamed=True)))
    found.append(("Python zipfile, Zip64", lambda s, a: python_zip(s, a, zip64=True)))
    return found


def tree(root):
    """{relative path: (kind, bytes, mtime)} for everything below root."""
    result = {}
    for folder, folders, names in os.walk(root):
        for name in folders:
            path = os.path.join(folder, name)
            result[os.path.relpath(path, root)] = ("folder", None, None)
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                result[os.path.relpath(path, root)] = ("file", f.read(), int(os.stat(path).st_mtime))
    return result


PIECE_INDEX_ID = 0xBC01
MIB = 1 << 20


def make_pieced_source(root):
    """Files of several pieces at any piece size up to 4 MiB: text, noise, and
    both mixed, with sizes that do not divide into whole pieces."""
    noise = random.Random(7)
    text = b"".join(b"line %d of a text that deflate shrinks well\n" % (i % 9973)
                    for i in range(300_000))
    files = {
        "pieces/text.txt": text[:9 * MIB + 12345],
        "pieces/mixed.bin": text[:3 * MIB] + noise.randbytes(3 * MIB + 777) + text[:2 * MIB],
        "pieces/small.txt": b"fits in one piece\n",
        "pieces/noise-tail.bin": text[:MIB] + noise.randbytes(2 * MIB + 99),
    }
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return files


def piece_index(extra):
    """(piece size, [compressed lengths]) from a central extra field, or None."""
    pos = 0
    while pos + 4 <= len(extra):
        field_id, length = struct.unpack_from("<HH", extra, pos)
        body = extra[pos + 4:pos + 4 + length]
        if field_id == PIECE_INDEX_ID:
            version, size, count = struct.unpack_from("<BII", body)
            if version != 1 or len(body) != 9 + 4 * count:
                return "malformed"
            return size, list(struct.unpack_from("<%dI" % count, body, 9))
        pos += 4 + length
    return None


def stored_length(length, last):
    """The length of `length` bytes as the packer's stored blocks: a 5-byte
    header per 65,535 bytes, and a non-last piece's empty closing block."""
    return length + 5 * max(1, -(-length // 65535)) + (0 if last else 5)


# How many pieces of each file the packer keeps in stored blocks: those of
# random bytes only.
STORED_PIECES = {"pieces/text.txt": 0, "pieces/mixed.bin": 3, "pieces/noise-tail.bin": 3}


def check_pieces(archive, files):
    """What is wrong with the piece indexes and the pieces, as a list."""
    problems = []
    stored = dict.fromkeys(STORED_PIECES, 0)
    with open(archive, "rb") as f:
        raw = f.read()
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            if info.is_dir():
                continue
            index = piece_index(info.extra)
            if info.file_size <= MIB:
                if index is not None:
                    problems.append("%s: an index on a file of one piece" % info.filename)
                continue
            if not isinstance(index, tuple):
                problems.append("%s: piece index %s" % (info.filename, index or "missing"))
                continue
            size, lengths = index
            if len(lengths) < 2 or len(lengths) != -(-info.file_size // size):
                problems.append("%s: %d pieces of %d bytes for %d bytes" % (
                    info.filename, len(lengths), size, info.file_size))
            if sum(lengths) != info.compress_size:
                problems.append("%s: the lengths do not add up" % info.filename)
            name_length, extra_length = struct.unpack_from("<HH", raw, info.header_offset + 26)
            start = info.header_offset + 30 + name_length + extra_length
            content = files[info.filename]
            for i, length in enumerate(lengths):
                piece = raw[start:start + length]
                start += length
                decoder = zlib.decompressobj(-15)
                out = decoder.decompress(piece)
                last = i + 1 == len(lengths)
                expected = content[i * size:(i + 1) * size]
                if length == stored_length(len(expected), last) and piece[0] in (0, 1):
                    stored[info.filename] += 1
                if out != expected or decoder.eof != last:
                    problems.append("%s: piece %d does not inflate alone" % (info.filename, i))
                    break
    if stored != STORED_PIECES:
        problems.append("stored pieces %r, expected %r" % (stored, STORED_PIECES))
    return problems


def tool_problems(archive, files, work):
    """Each installed reader must accept the archive and give the files back."""
    problems = []
    runs = [("unzip -t", ["unzip", "-t", "-q", archive])]
    seven = shutil.which("7zz") or shutil.which("7z")
    if seven:
        runs.append(("7-Zip t", [seven, "t", archive]))
    for label, command in runs:
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            problems.append("%s: status %d, %s" % (label, done.returncode,
                                                   (done.stdout + done.stderr)[-300:]))
    if shutil.which("bsdtar"):
        out = os.path.join(work, "bsdtar-pieces")
        os.makedirs(out)
        done = subprocess.run(["bsdtar", "-xf", archive, "-C", out], capture_output=True,
                              text=True)
        if done.returncode != 0:
            problems.append("bsdtar: status %d, %s" % (done.returncode, done.stderr[-300:]))
        for name, data in files.items():
            path = os.path.join(out, *name.split("/"))
            if not os.path.isfile(path) or open(path, "rb").read() != data:
                problems.append("bsdtar: %s differs" % name)
    with zipfile.ZipFile(archive) as z:
        bad = z.testzip()
        if bad is not None:
            problems.append("zipfile: %s fails its CRC" % bad)
        for name, data in files.items():
            if z.read(name) != data:
                problems.append("zipfile: %s differs" % name)
    return problems


def check_packed_pieces(pack, work):
    source = os.path.join(work, "pieced")
    files = make_pieced_source(source)
    archive = os.path.join(work, "pieced.zip")
    # A tree without the starter's executable: the packer warns about that.
    subprocess.run([pack, source, "-o", archive, "--quiet"], check=True, capture_output=True)
    return check_pieces(archive, files) + tool_problems(archive, files, work)


def main():
    tool = sys.argv[1]
    pack = sys.argv[3] if len(sys.argv) == 4 and sys.argv[2] == "--pack" else None
    if not shutil.which("unzip"):
        print("Info-ZIP unzip is not installed: nothing to compare with")
        print("0 passed, 0 failed")
        return 0
    passed = failed = 0
    work = tempfile.mkdtemp(prefix="interop-")
    try:
        if pack:
            problems = check_packed_pieces(pack, work)
            if problems:
                failed += 1
                print("FAIL our packer, files in several pieces")
                for problem in problems:
                    print("    " + problem)
            else:
                passed += 1
                print("ok   our packer, files in several pieces")
        source = os.path.join(work, "source")
        make_source(source)
        for label, write in writers():
            archive = os.path.join(work, label.replace(" ", "_").replace(",", "") + ".zip")
            write(source, archive)
            by_unzip = os.path.join(work, "unzip-" + os.path.basename(archive))
            by_starter = os.path.join(work, "starter-" + os.path.basename(archive))
            subprocess.run(["unzip", "-q", archive, "-d", by_unzip], check=True)
            done = subprocess.run([tool, archive, by_starter], capture_output=True, text=True)
            problems = []
            if done.returncode != 0 or done.stderr:
                problems.append("extraction: status %d, %s" % (done.returncode, done.stderr))
            if not done.stdout.startswith("open success") or " Failed" in done.stdout:
                problems.append("log: " + done.stdout.strip()[:300])
            expected, got = tree(by_unzip), tree(by_starter)
            if sorted(expected) != sorted(got):
                problems.append("trees differ: only unzip %s, only ours %s" % (
                    sorted(set(expected) - set(got)), sorted(set(got) - set(expected))))
            for path in sorted(set(expected) & set(got)):
                if expected[path][:2] != got[path][:2]:
                    problems.append("%s: contents differ" % path)
                elif expected[path][2] != got[path][2]:
                    problems.append("%s: time %s, unzip gives %s" % (path, got[path][2],
                                                                     expected[path][2]))
            # The same archive on one thread and on four, into the same place
            # (the log holds the destination's path).
            runs = []
            for workers in ("1", "4"):
                place = os.path.join(work, "workers-" + os.path.basename(archive))
                run = subprocess.run([tool, archive, place, workers], capture_output=True,
                                     text=True)
                runs.append((run.returncode, run.stdout, run.stderr, tree(place)))
                shutil.rmtree(place, ignore_errors=True)
            if runs[0] != runs[1]:
                problems.append("1 worker and 4 workers differ: %s / %s" % (
                    runs[0][1][:200], runs[1][1][:200]))
            if problems:
                failed += 1
                print("FAIL %s" % label)
                for problem in problems:
                    print("    " + problem)
            else:
                passed += 1
                print("ok   %s" % label)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
