#include "pack/zip_format.h"

#include <algorithm>

namespace pack {

namespace {

// Named zero fields: the form has no extra fields, comments, internal
// attributes or other disks.
constexpr std::uint16_t kNoExtraField = 0;
constexpr std::uint16_t kNoComment = 0;
constexpr std::uint16_t kDiskZero = 0;
constexpr std::uint16_t kNoInternalAttributes = 0;

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) {
    return 29;
  }
  return kDays[month - 1];
}

}  // namespace

DosStamp DosStampFromCivil(const CivilTime& civil) {
  CivilTime c = civil;
  if (c.year < 1980) {
    c = CivilTime{1980, 1, 1, 0, 0, 0};
  } else if (c.year > 2107) {
    c = CivilTime{2107, 12, 31, 23, 59, 58};
  }
  c.month = std::clamp(c.month, 1, 12);
  c.day = std::clamp(c.day, 1, DaysInMonth(c.year, c.month));
  c.hour = std::clamp(c.hour, 0, 23);
  c.minute = std::clamp(c.minute, 0, 59);
  // A leap second (60) still has to fit the 0..58 range of two-second steps.
  c.second = std::clamp(c.second, 0, 59);
  DosStamp stamp;
  stamp.date = static_cast<std::uint16_t>(((c.year - 1980) << 9) | (c.month << 5) | c.day);
  stamp.time = static_cast<std::uint16_t>((c.hour << 11) | (c.minute << 5) | (c.second / 2));
  return stamp;
}

CivilTime CivilFromDosStamp(DosStamp stamp) {
  CivilTime c;
  c.year = 1980 + (stamp.date >> 9);
  c.month = (stamp.date >> 5) & 0x0F;
  c.day = stamp.date & 0x1F;
  c.hour = stamp.time >> 11;
  c.minute = (stamp.time >> 5) & 0x3F;
  c.second = (stamp.time & 0x1F) * 2;
  return c;
}

bool IsValidDosStamp(DosStamp stamp) {
  const CivilTime c = CivilFromDosStamp(stamp);
  return c.month >= 1 && c.month <= 12 && c.day >= 1 && c.day <= DaysInMonth(c.year, c.month) &&
         c.hour < 24 && c.minute < 60 && c.second < 60;
}

void AppendLe16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void AppendLe32(std::string& out, std::uint32_t value) {
  AppendLe16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  AppendLe16(out, static_cast<std::uint16_t>(value >> 16));
}

void AppendLocalHeader(std::string& out, const EntryHeader& header) {
  AppendLe32(out, kLocalHeaderSignature);
  AppendLe16(out, header.versionNeeded);
  AppendLe16(out, header.flags);
  AppendLe16(out, header.method);
  AppendLe16(out, header.stamp.time);
  AppendLe16(out, header.stamp.date);
  AppendLe32(out, header.crc32);
  AppendLe32(out, header.compressedSize);
  AppendLe32(out, header.uncompressedSize);
  AppendLe16(out, static_cast<std::uint16_t>(header.name.size()));
  AppendLe16(out, kNoExtraField);
  out += header.name;
}

void AppendCentralRecord(std::string& out, const EntryHeader& header) {
  AppendLe32(out, kCentralRecordSignature);
  AppendLe16(out, kVersionMadeBy);
  AppendLe16(out, header.versionNeeded);
  AppendLe16(out, header.flags);
  AppendLe16(out, header.method);
  AppendLe16(out, header.stamp.time);
  AppendLe16(out, header.stamp.date);
  AppendLe32(out, header.crc32);
  AppendLe32(out, header.compressedSize);
  AppendLe32(out, header.uncompressedSize);
  AppendLe16(out, static_cast<std::uint16_t>(header.name.size()));
  AppendLe16(out, kNoExtraField);
  AppendLe16(out, kNoComment);
  AppendLe16(out, kDiskZero);
  AppendLe16(out, kNoInternalAttributes);
  AppendLe32(out, header.externalAttributes);
  AppendLe32(out, header.localHeaderOffset);
  out += header.name;
}

void AppendEndRecord(std::string& out, std::uint16_t entries, std::uint32_t directorySize,
                     std::uint32_t directoryOffset) {
  AppendLe32(out, kEndRecordSignature);
  AppendLe16(out, kDiskZero);
  AppendLe16(out, kDiskZero);
  AppendLe16(out, entries);
  AppendLe16(out, entries);
  AppendLe32(out, directorySize);
  AppendLe32(out, directoryOffset);
  AppendLe16(out, kNoComment);
}

}  // namespace pack
