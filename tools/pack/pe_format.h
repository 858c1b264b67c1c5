// The PE32+ format in one place, as far as the packer reads and writes it:
// signatures, fixed sizes and the byte offsets of the header, section table
// and resource tree fields. pe_image.cpp parses and writes images through
// these names only.
#ifndef PACK_PE_FORMAT_H
#define PACK_PE_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace pack::pe {

/// The MS-DOS header: "MZ" at the start, the PE header's file offset at 0x3C.
constexpr char kDosMagic[] = {'M', 'Z'};
constexpr std::size_t kDosMagicSize = sizeof kDosMagic;
constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kDosPeOffsetField = 0x3C;

/// The PE header: the signature, then the COFF file header.
constexpr char kSignature[] = {'P', 'E', '\0', '\0'};
constexpr std::uint32_t kSignatureSize = sizeof kSignature;
constexpr std::uint32_t kCoffHeaderSize = 20;

/// Byte offsets of the fields of the COFF file header.
namespace coff_field {
constexpr std::uint32_t kMachine = 0;
constexpr std::uint32_t kSectionCount = 2;
constexpr std::uint32_t kOptionalHeaderSize = 16;
}  // namespace coff_field

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;

/// Byte offsets of the fields of the PE32+ optional header.
namespace optional_field {
constexpr std::uint32_t kMagic = 0;
constexpr std::uint32_t kMagicSize = 2;
constexpr std::uint32_t kSizeOfInitializedData = 8;
constexpr std::uint32_t kSectionAlignment = 32;
constexpr std::uint32_t kFileAlignment = 36;
constexpr std::uint32_t kSizeOfImage = 56;
constexpr std::uint32_t kSizeOfHeaders = 60;
constexpr std::uint32_t kChecksum = 64;
constexpr std::uint32_t kDirectoryCount = 108;
constexpr std::uint32_t kDirectories = 112;  // the data directories, up to 16
}  // namespace optional_field

/// A data directory: an address (an RVA; a file offset for the certificate
/// table) and a size.
constexpr std::uint32_t kDataDirectorySize = 8;
namespace data_directory_field {
constexpr std::uint32_t kAddress = 0;
constexpr std::uint32_t kSize = 4;
}  // namespace data_directory_field

/// Indexes of the data directories.
constexpr std::uint32_t kDirectoryResource = 2;
constexpr std::uint32_t kDirectorySecurity = 4;
/// The loader needs the entries up to the base relocations.
constexpr std::uint32_t kMinDataDirectories = 6;
constexpr std::uint32_t kMaxDataDirectories = 16;

/// A section table entry.
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kSectionNameSize = 8;
constexpr std::uint32_t kMaxSections = 96;
namespace section_field {
constexpr std::uint32_t kName = 0;
constexpr std::uint32_t kVirtualSize = 8;
constexpr std::uint32_t kVirtualAddress = 12;
constexpr std::uint32_t kRawSize = 16;
constexpr std::uint32_t kRawOffset = 20;
constexpr std::uint32_t kCharacteristics = 36;
}  // namespace section_field

/// Section characteristics.
constexpr std::uint32_t kSectionInitializedData = 0x00000040;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

/// The names the packer gives the section it writes and the one it retires.
constexpr char kResourceSectionName[] = ".rsrc";
constexpr char kRetiredResourceSectionName[] = ".oldrsrc";

/// A resource directory: a fixed part with the counts of its named and id
/// entries, followed by those entries.
constexpr std::uint32_t kResourceDirectorySize = 16;
namespace resource_directory_field {
constexpr std::uint32_t kNamedEntryCount = 12;
constexpr std::uint32_t kIdEntryCount = 14;
}  // namespace resource_directory_field

/// A resource directory entry: an id (or a name, high bit set) and the
/// offset of a subdirectory (high bit set) or of a data entry.
constexpr std::uint32_t kResourceEntrySize = 8;
namespace resource_entry_field {
constexpr std::uint32_t kId = 0;
constexpr std::uint32_t kTarget = 4;
}  // namespace resource_entry_field
constexpr std::uint32_t kResourceSubdirectory = 0x80000000;

/// A resource data entry: where the data lies (an RVA), its size and code
/// page, and a reserved word.
constexpr std::uint32_t kResourceDataEntrySize = 16;
namespace resource_data_field {
constexpr std::uint32_t kAddress = 0;
constexpr std::uint32_t kSize = 4;
constexpr std::uint32_t kCodePage = 8;
}  // namespace resource_data_field
/// The resource type of raw data (RT_RCDATA).
constexpr std::uint32_t kResourceTypeRcData = 10;
/// Data blocks are aligned like this, as resource compilers do.
constexpr std::uint32_t kResourceDataAlignment = 8;

}  // namespace pack::pe

#endif  // PACK_PE_FORMAT_H
