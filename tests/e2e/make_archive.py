"""Builds the archives that the end-to-end starters carry.

Usage: make_archive.py KIND OUTPUT [PROBE_EXECUTABLE]
       make_archive.py --swap STARTER CARRIER REPLACEMENT

The second form writes REPLACEMENT over the archive CARRIER (of the same
length) where a POSIX starter carries it, in front of the 32-byte record that
ends the file: the packer refuses to add bytes that are no archive, so the
not-zip starter of a POSIX build is made around the not-zip-carrier archive
and then given the not-zip bytes.

Entries are written the way Windows tools write them (made on MS-DOS, folder
attribute 0x10, archive attribute 0x20), with fixed times so the bytes do not
depend on when the test was built.
"""

import random
import struct
import sys
import zipfile
import zlib

EXE = "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe"
STAMP = (2024, 5, 17, 13, 45, 30)


def folder(archive, name):
    info = zipfile.ZipInfo(name, STAMP)
    info.create_system = 0
    info.external_attr = 0x10
    archive.writestr(info, b"")


def file(archive, name, data, method=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, STAMP)
    info.create_system = 0
    info.external_attr = 0x20
    info.compress_type = method
    archive.writestr(info, data)


def application(archive, probe):
    """The probe at the executable's path with a few files and folders."""
    for name in ("Engine/", "Engine/Config/", "Engine/Empty/", "quillorbite/",
                 "quillorbite/Binaries/", "quillorbite/Binaries/Win64/"):
        folder(archive, name)
    file(archive, "Engine/Config/base.ini", b"[Core]\nmode=test\n" * 50)
    file(archive, "quillorbite/readme.txt", b"hello", zipfile.ZIP_STORED)
    with open(probe, "rb") as executable:
        file(archive, EXE, executable.read())


def fnv1a64(data):
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return value


def shared_tree(archive, program, variant):
    """The tree checker at the executable's path, twenty files of noise and a
    manifest of them all: what runs that share one tree check for as long as
    their application runs. Each variant has other content (and so is another
    archive) under the same names; the program comes last."""
    noise = random.Random(20261209 + variant)
    files = {"quillorbite/Content/part%02d.pak" % i: noise.randbytes(256 * 1024)
             for i in range(20)}
    files["quillorbite/readme.txt"] = b"variant %d" % variant
    with open(program, "rb") as executable:
        files[EXE] = executable.read()
    manifest = "".join("%d %x %s\n" % (len(data), fnv1a64(data), name)
                       for name, data in sorted(files.items()))
    for name in ("quillorbite/", "quillorbite/Binaries/", "quillorbite/Binaries/Win64/",
                 "quillorbite/Content/"):
        folder(archive, name)
    file(archive, "manifest.txt", manifest.encode())
    for name in sorted(files, key=lambda name: name == EXE):
        file(archive, name, files[name])


NOT_ZIP = b"This is no archive, just text that ends here.\n"
TRAILER_SIZE = 32


def swap(starter, carrier, replacement):
    with open(carrier, "rb") as f:
        old = f.read()
    with open(replacement, "rb") as f:
        new = f.read()
    with open(starter, "r+b") as f:
        image = f.read()
        at = len(image) - TRAILER_SIZE - len(old)
        if len(new) != len(old) or at < 0 or image[at:at + len(old)] != old:
            sys.exit("make_archive.py: %s does not carry %s in front of its record"
                     % (starter, carrier))
        f.seek(at)
        f.write(new)


def build(kind, output, probe):
    if kind == "not-zip":
        with open(output, "wb") as out:
            out.write(NOT_ZIP)
        return
    if kind == "not-zip-carrier":
        # An empty archive as long as the not-zip bytes: an end record whose
        # comment fills the rest.
        comment = b"-" * (len(NOT_ZIP) - 22)
        with open(output, "wb") as out:
            out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0, 0, 0, 0, len(comment))
                      + comment)
        return
    if kind == "empty":
        # An end-of-central-directory record alone: 22 bytes, no entries.
        with open(output, "wb") as out:
            out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0, 0, 0, 0, 0))
        return
    with zipfile.ZipFile(output, "w") as archive:
        if kind == "application":
            application(archive, probe)
        elif kind == "no-executable":
            folder(archive, "quillorbite/")
            file(archive, "quillorbite/readme.txt", b"no program here")
        elif kind == "hostile-names":
            file(archive, "../escaped.txt", b"outside")
            file(archive, "Engine/../../escaped-too.txt", b"outside")
            file(archive, "/absolute.txt", b"rooted")
            file(archive, "back\\slash.txt", b"backslash")
            application(archive, probe)
        elif kind == "large-file":
            application(archive, probe)
            # Eight megabytes that deflate cannot shrink, from a fixed seed.
            data = random.Random(20240517).randbytes(8 << 20)
            file(archive, "quillorbite/Content/big.pak", data, zipfile.ZIP_STORED)
        elif kind == "damaged-entry":
            application(archive, probe)
            file(archive, "quillorbite/damaged.bin", b"will not match its CRC " * 100)
        elif kind == "deep-tree":
            application(archive, probe)
            # Eight levels of 40 characters: every path below the deepest
            # level is longer than Windows' 260 without the long-path form.
            path = ""
            for level in range(8):
                path += "level%d-" % level + "d" * 33 + "/"
                folder(archive, path)
            file(archive, path + "deepest.txt", b"at the bottom")
        elif kind == "many-entries":
            # Long enough to unpack that a test can interrupt it halfway:
            # many files of zeros, small in the archive, large on disk. The
            # program comes last.
            for i in range(1000):
                file(archive, "quillorbite/Content/part%04d.pak" % i, bytes(64 * 1024))
            application(archive, probe)
        elif kind.startswith("shared-tree"):
            shared_tree(archive, probe, 1 if kind.endswith("other") else 0)
        elif kind == "too-large":
            application(archive, probe)
            for i in range(300):
                file(archive, "quillorbite/Content/filler%03d.pak" % i, b"x", zipfile.ZIP_STORED)
        else:
            raise SystemExit("unknown kind " + kind)
    if kind == "damaged-entry":
        patch_central_records(output, lambda data, offset, name: name == b"quillorbite/damaged.bin"
                              and struct.pack_into("<I", data, offset + 16,
                                                   struct.unpack_from("<I", data, offset + 16)[0]
                                                   ^ 0xFFFFFFFF))
    if kind == "too-large":
        # Each filler claims almost 4 GiB unpacked: 300 of them need more room
        # than any disk here has.
        patch_central_records(output, lambda data, offset, name: b"filler" in name
                              and struct.pack_into("<I", data, offset + 24, 0xFFFF0000))


def patch_central_records(path, patch):
    """Calls patch(data, record_offset, name) for every central record."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        end = data.rfind(b"PK\x05\x06")
        (count, cd_size, cd_offset) = struct.unpack_from("<HII", data, end + 10)
        offset = cd_offset
        for _ in range(count):
            (n, m, k) = struct.unpack_from("<HHH", data, offset + 28)
            patch(data, offset, bytes(data[offset + 46:offset + 46 + n]))
            offset += 46 + n + m + k
        f.seek(0)
        f.write(data)


if __name__ == "__main__":
    if sys.argv[1] == "--swap":
        swap(*sys.argv[2:5])
    else:
        build(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)
