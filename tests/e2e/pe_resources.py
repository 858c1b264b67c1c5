"""Lists the resources of a PE image: (type, name, language, bytes) each.

Reads the resource directory of the .rsrc data directory the way the loader
does, checking every offset against the file, so a test can assert what a
starter executable carries without running it.
"""

import struct


class PeError(Exception):
    pass


def _unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PeError("read past the end of the image at %d" % offset)
    return struct.unpack_from(fmt, data, offset)


def list_resources(data):
    """Returns [(type, name, language, bytes)]; ids are ints, names strings."""
    (pe_offset,) = _unpack("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    (sections, optional_size) = _unpack("<2xH12xH2x", data, pe_offset + 4)
    optional = pe_offset + 24
    (magic,) = _unpack("<H", data, optional)
    directories = optional + (112 if magic == 0x20B else 96)
    (rsrc_rva, rsrc_size) = _unpack("<II", data, directories + 2 * 8)
    if rsrc_rva == 0:
        return []

    section_table = optional + optional_size
    spans = []
    for i in range(sections):
        (vsize, vaddr, raw_size, raw_ptr) = _unpack("<8xIIII", data, section_table + 40 * i)
        spans.append((vaddr, max(vsize, raw_size), raw_ptr))

    def file_offset(rva):
        for vaddr, size, raw_ptr in spans:
            if vaddr <= rva < vaddr + size:
                return raw_ptr + rva - vaddr
        raise PeError("RVA %#x is in no section" % rva)

    base = file_offset(rsrc_rva)

    def entries(directory_offset):
        (named, ids) = _unpack("<12xHH", data, base + directory_offset)
        for i in range(named + ids):
            (name, target) = _unpack("<II", data, base + directory_offset + 16 + 8 * i)
            if name & 0x80000000:
                (length,) = _unpack("<H", data, base + (name & 0x7FFFFFFF))
                start = base + (name & 0x7FFFFFFF) + 2
                key = data[start:start + 2 * length].decode("utf-16-le")
            else:
                key = name
            yield key, target

    result = []
    for type_key, type_target in entries(0):
        for name_key, name_target in entries(type_target & 0x7FFFFFFF):
            for language, leaf in entries(name_target & 0x7FFFFFFF):
                (data_rva, size) = _unpack("<II", data, base + leaf)
                start = file_offset(data_rva)
                if start + size > len(data):
                    raise PeError("resource data past the end of the image")
                result.append((type_key, name_key, language, data[start:start + size]))
    return result


if __name__ == "__main__":
    import sys
    with open(sys.argv[1], "rb") as image:
        for type_key, name_key, language, blob in list_resources(image.read()):
            print(type_key, name_key, language, len(blob))
