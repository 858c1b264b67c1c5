// The names `pack list` (tools/pack/lister.*) still uses from the packer's
// former copy of the ZIP format, as aliases of zip/zip_format.h, which is the
// one place of the format. Nothing else includes this header; it goes when the
// lister reads archives through src/zip.
#ifndef PACK_ZIP_FORMAT_H
#define PACK_ZIP_FORMAT_H

#include <cstdint>

#include "zip/zip_format.h"

namespace pack {

using zip::kCentralRecordSignature;
using zip::kDataDescriptorSignature;
using zip::kEndRecordSignature;
using zip::kLocalHeaderSignature;
using zip::kZip64EndRecordSignature;
using zip::kZip64LocatorSignature;

using zip::kCentralRecordSize;
using zip::kEndRecordSize;
using zip::kLocalHeaderSize;
using zip::kZip64LocatorSize;

using zip::kFlagDataDescriptor;
using zip::kFlagEncrypted;
using zip::kFlagUtf8Name;
using zip::kMethodDeflate;
using zip::kMethodStored;
using zip::kVersionNeededDeflate;
using zip::kVersionNeededFolder;
using zip::kVersionNeededStored;

/// The packer's "made by", folder and file attributes.
constexpr std::uint16_t kVersionMadeBy = zip::kVersionMadeByMsDos63;
constexpr std::uint32_t kAttributeFolder = zip::kDosAttributeDirectory;
constexpr std::uint32_t kAttributeFile = zip::kDosAttributeArchive;

using zip::CivilFromDosStamp;
using zip::CivilTime;
using zip::DosStamp;
using zip::IsValidDosStamp;

using zip::AppendLe16;
using zip::AppendLe32;

/// zip::LoadLe16/32/64 under their former names.
inline std::uint16_t ReadLe16(const unsigned char* p) {
  return zip::LoadLe16(p);
}
inline std::uint32_t ReadLe32(const unsigned char* p) {
  return zip::LoadLe32(p);
}
inline std::uint64_t ReadLe64(const unsigned char* p) {
  return zip::LoadLe64(p);
}

}  // namespace pack

#endif  // PACK_ZIP_FORMAT_H
