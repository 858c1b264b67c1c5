// The payload slot of a POSIX stub: a read-only loadable segment of its own,
// above every other segment, that `pack --stub` points at the archive it adds
// (see src/payload/payload_trailer.h). The GNU linker's default x86-64 script
// places `.lrodata` sections after `.bss`, at an address of their own, so
// this section becomes a segment of its own with nothing else in it.
asm(".pushsection .lrodata.starter_payload_slot, \"a\"\n"
    ".globl starter_payload_slot\n"
    "starter_payload_slot:\n"
    // The open-slot record: its marker, then zero bytes up to 32.
    ".byte 0x89\n"
    ".ascii \"STARTER-SLOT\\r\\n\"\n"
    ".byte 0x1A\n"
    ".zero 16\n"
    ".popsection\n");
