#include "pack/archive_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "extract/worker_pool.h"
#include "pack/chunk_deflate.h"
#include "pack/entry_names.h"
#include "pack/host_io.h"
#include "zip/zip_format.h"

namespace pack {

namespace {

// Without Zip64 records entries are counted, and names measured, in 16 bits.
constexpr std::uint64_t kMaxEntries = 0xFFFF;
constexpr std::uint64_t kMaxNameLength = zip::kMaxFieldLength;

// Files are cut into pieces so that one large file can keep every thread busy.
struct Piece {
  std::size_t entry = 0;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  bool last = false;
};

struct PieceResult {
  std::string error;
  std::uint32_t crc = 0;
  bool raw = false;   // a piece to be stored comes back raw, not to be read again
  std::string bytes;  // raw, or a piece of the deflate stream
};

std::string Describe(const TreeEntry& entry, const std::string& why) {
  return DisplayName(entry.sourcePath) + ": " + why;
}

// Why the file `info` describes is not the file the walk saw, or empty.
std::string Mismatch(const TreeEntry& entry, const NodeInfo& info) {
  if (info.device != entry.device || info.inode != entry.inode) {
    return Describe(entry, "changed while being packed (another file took its place)");
  }
  const bool same = info.size == entry.size && info.modified == entry.modified &&
                    info.modifiedNanoseconds == entry.modifiedNanoseconds;
  return same ? std::string() : Describe(entry, "changed while being packed (it was modified)");
}

// The entries' files and their pieces in flight. Each file is opened once, by
// whichever thread needs it first, and shared by its pieces: whatever happens
// to the path meanwhile, every byte comes from the one file the walk saw.
// Pieces are compressed on the pool's threads in order, at most a window
// ahead of the writer (two per thread and three more), so memory stays
// bounded however large the files are.
class PiecePool {
 public:
  PiecePool(const std::vector<TreeEntry>& entries, const std::vector<Piece>& pieces,
            const WriteOptions& options)
      : entries_(entries),
        pieces_(pieces),
        options_(options),
        sources_(new Source[entries.size()]),
        slots_(2 * static_cast<std::size_t>(std::max(1u, options.threads)) + 3),
        pool_(std::max(1u, options.threads)) {}

  // Pieces are taken strictly in order, each once: a slot is queued again
  // only once its result was taken.
  PieceResult Take(std::size_t index) {
    for (; queued_ < pieces_.size() && queued_ < index + slots_.size(); ++queued_) {
      Slot& slot = slots_[queued_ % slots_.size()];
      const Piece& piece = pieces_[queued_];
      pool_.Submit(slot.work,
                   [this, &slot, &piece](zip::ZipJobScratch&) { Process(piece, slot.result); });
    }
    Slot& slot = slots_[index % slots_.size()];
    pool_.Wait(slot.work);
    return std::exchange(slot.result, PieceResult());
  }

  // The open file of entry `index`, or null with `error` naming the file.
  InputFile* File(std::size_t index, std::string& error) {
    Source& source = sources_[index];
    std::call_once(source.opened, [&] {
      const TreeEntry& entry = entries_[index];
      NodeInfo info;
      std::string reason;
      source.error = source.file.Open(entry.root, entry.name, entry.throughLink, info, reason)
                         ? Mismatch(entry, info)
                         : Describe(entry, "cannot open: " + reason);
    });
    if (!source.error.empty()) {
      error = source.error;
      return nullptr;
    }
    return &source.file;
  }

  // Checks that entry `index`'s file, all of it read, is still as the walk
  // saw it, and closes it. Returns false with `error` naming the file.
  bool Finish(std::size_t index, std::string& error) {
    InputFile* file = File(index, error);
    if (file == nullptr) {
      return false;
    }
    NodeInfo now;
    std::string reason;
    error = file->Describe(now, reason) ? Mismatch(entries_[index], now)
                                        : Describe(entries_[index], "cannot examine: " + reason);
    file->Close();
    return error.empty();
  }

 private:
  struct Source {
    std::once_flag opened;
    InputFile file;
    std::string error;
  };
  struct Slot {
    WorkerPool::Work work;
    PieceResult result;
  };

  void Process(const Piece& piece, PieceResult& result) {
    const TreeEntry& entry = entries_[piece.entry];
    InputFile* file = File(piece.entry, result.error);
    if (file == nullptr) {
      return;
    }
    // One byte past the end of the last piece tells whether the file grew.
    const std::size_t wanted = static_cast<std::size_t>(piece.length) + (piece.last ? 1 : 0);
    std::string buffer(wanted, '\0');
    std::string reason;
    const long long got = file->ReadAt(piece.offset, &buffer[0], wanted, reason);
    if (got < 0) {
      result.error = Describe(entry, "cannot read: " + reason);
      return;
    }
    if (static_cast<std::size_t>(got) != piece.length) {
      result.error = Describe(entry, static_cast<std::size_t>(got) < piece.length
                                         ? "changed while being packed (it shrank)"
                                         : "changed while being packed (it grew)");
      return;
    }
    buffer.resize(piece.length);
    const unsigned char* data = reinterpret_cast<const unsigned char*>(buffer.data());
    result.crc = static_cast<std::uint32_t>(crc32(0, data, piece.length));
    if (options_.level != 0) {
      if (!DeflatePiece(data, piece.length, piece.last, options_.level, result.bytes)) {
        result.error = Describe(entry, "compression failed");
        return;
      }
      if (SavesTooLittle(result.bytes.size(), piece.length, options_.storeBelowPercent)) {
        result.bytes.clear();
        StorePiece(data, piece.length, piece.last, result.bytes);
      }
    }
    // Level 0 stores every file, as is a file in one piece that deflate (or
    // stored blocks, which only add) does not shrink.
    result.raw = options_.level == 0 ||
                 (piece.offset == 0 && piece.last && result.bytes.size() >= piece.length);
    if (result.raw) {
      result.bytes = std::move(buffer);
    }
  }

  const std::vector<TreeEntry>& entries_;
  const std::vector<Piece>& pieces_;
  const WriteOptions& options_;
  std::unique_ptr<Source[]> sources_;
  std::vector<Slot> slots_;
  std::size_t queued_ = 0;
  WorkerPool pool_;  // last: runs what is still queued before the rest goes
};

// Buffered sequential output with the size limit enforced on every append.
// Appended bytes always end up in the archive at that place or further on, so
// hitting the limit here means the archive could not fit.
class Sink {
 public:
  Sink(OutputFile& file, std::uint64_t limit) : file_(file), limit_(limit) {}

  std::uint64_t position() const { return flushed_ + buffer_.size(); }

  // Room for the end record is kept free until it is appended, so that an
  // archive too large fails as early as possible.
  bool Append(std::string_view bytes, std::string& error,
              std::uint64_t keepFree = zip::kEndRecordSize) {
    if (position() + bytes.size() + keepFree >= limit_) {
      error = "the archive would reach " + std::to_string(limit_) +
              " bytes, the most a ZIP archive without Zip64 records can hold";
      return false;
    }
    buffer_.append(bytes);
    return buffer_.size() < kBufferSize || Flush(error);
  }

  bool Patch(std::uint64_t offset, const std::string& bytes, std::string& error) {
    if (offset >= flushed_) {
      std::memcpy(&buffer_[static_cast<std::size_t>(offset - flushed_)], bytes.data(),
                  bytes.size());
      return true;
    }
    return Flush(error) && WriteOut(offset, bytes.data(), bytes.size(), error);
  }

  // Drops what was written from `offset` on (output of a file better stored),
  // without writing out the buffered part of it; the stored copy that follows
  // is longer than what it drops, so it covers any part already written.
  void Rewind(std::uint64_t offset) {
    if (offset >= flushed_) {
      buffer_.resize(static_cast<std::size_t>(offset - flushed_));
    } else {
      buffer_.clear();
      flushed_ = offset;
    }
  }

  bool Flush(std::string& error) {
    if (!buffer_.empty() && !WriteOut(flushed_, buffer_.data(), buffer_.size(), error)) {
      return false;
    }
    flushed_ += buffer_.size();
    buffer_.clear();
    return true;
  }

 private:
  static constexpr std::size_t kBufferSize = 1 << 20;

  bool WriteOut(std::uint64_t offset, const char* data, std::size_t length, std::string& error) {
    std::string reason;
    if (!file_.WriteAt(offset, data, length, reason)) {
      error = "cannot write the archive: " + reason;
      return false;
    }
    return true;
  }

  OutputFile& file_;
  std::uint64_t limit_;
  std::uint64_t flushed_ = 0;
  std::string buffer_;
};

zip::DosStamp StampOf(std::int64_t modified) {
  zip::CivilTime civil;
  if (!ToLocalTime(modified, civil)) {
    civil.year = modified < 0 ? 1 : 9999;
  }
  return zip::DosStampFromCivil(civil);
}

// The local header of the entry `record` describes, without extra field.
std::string LocalHeaderBytes(const zip::CentralRecord& record) {
  // In the order of zip::LocalHeader's fields.
  const zip::LocalHeader local{record.versionNeeded,  record.flags,
                               record.method,         record.dosTime,
                               record.dosDate,        record.crc32,
                               record.compressedSize, record.uncompressedSize,
                               record.name,           {}};
  std::string bytes;
  zip::AppendLocalHeader(bytes, local);
  return bytes;
}

class ArchiveBuilder {
 public:
  ArchiveBuilder(const std::vector<TreeEntry>& entries, const WriteOptions& options,
                 WriteSummary& summary, std::string& error)
      : entries_(entries), options_(options), summary_(summary), error_(error) {
    options_.pieceSize = std::max(options_.pieceSize, 1u);
  }

  bool Build(const std::string& outputPath) {
    if (!PlanPieces()) {
      return false;
    }
    OutputFile file;
    std::string reason;
    if (!file.Create(outputPath, reason)) {
      error_ = DisplayName(outputPath) + ": cannot create the archive: " + reason;
      return false;
    }
    Sink sink(file, std::min(options_.sizeLimit, kArchiveSizeLimit));
    PiecePool pool(entries_, pieces_, options_);
    std::string central;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      zip::CentralRecord record;
      std::string pieceIndex;
      if (!WriteEntry(i, sink, pool, record, pieceIndex)) {
        return false;
      }
      record.extra = pieceIndex;
      zip::AppendCentralRecord(central, record);
    }
    zip::EndRecord endRecord;
    endRecord.entriesOnDisk = endRecord.entryCount = static_cast<std::uint16_t>(entries_.size());
    endRecord.directorySize = static_cast<std::uint32_t>(central.size());
    endRecord.directoryOffset = static_cast<std::uint32_t>(sink.position());
    zip::AppendEndRecord(central, endRecord);
    if (!sink.Append(central, error_, 0) || !sink.Flush(error_)) {
      return false;
    }
    summary_.archiveSize = sink.position();
    summary_.entries = entries_.size();
    if (!file.Truncate(summary_.archiveSize, reason) || !file.Commit(reason)) {
      error_ = DisplayName(outputPath) + ": cannot write the archive: " + reason;
      return false;
    }
    return true;
  }

 private:
  // Checks what an archive without Zip64 records holds; cuts files in pieces.
  bool PlanPieces() {
    if (entries_.size() > kMaxEntries) {
      error_ = "too many entries (" + std::to_string(entries_.size()) +
               "); an archive without Zip64 records holds at most 65535";
      return false;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const TreeEntry& entry = entries_[i];
      if (entry.name.size() > kMaxNameLength) {
        error_ = Describe(entry, "name longer than 65535 bytes");
        return false;
      }
      if (entry.size >= zip::kMarker32) {
        error_ =
            Describe(entry, "4 GiB or larger; an archive without Zip64 records cannot hold it");
        return false;
      }
      summary_.inputBytes += entry.size;
      for (std::uint64_t offset = 0; !entry.isFolder && offset < entry.size;
           offset += options_.pieceSize) {
        const auto length = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(options_.pieceSize, entry.size - offset));
        pieces_.push_back(Piece{i, offset, length, offset + length == entry.size});
      }
    }
    return true;
  }

  // Writes the entry's local header and data, and fills its central record
  // but for the extra field, whose bytes go to `pieceIndexBytes`.
  bool WriteEntry(std::size_t index, Sink& sink, PiecePool& pool, zip::CentralRecord& record,
                  std::string& pieceIndexBytes) {
    const TreeEntry& entry = entries_[index];
    const zip::DosStamp stamp = StampOf(entry.modified);
    record.name = entry.name;
    record.flags = IsAscii(entry.name) ? 0 : zip::kFlagUtf8Name;
    record.dosTime = stamp.time;
    record.dosDate = stamp.date;
    record.localHeaderOffset = static_cast<std::uint32_t>(sink.position());
    record.versionMadeBy = options_.unixModes ? kVersionMadeByUnix63 : zip::kVersionMadeByMsDos63;
    record.externalAttributes = options_.unixModes
                                    ? UnixExternalAttributes(entry.isFolder, entry.permissions)
                                : entry.isFolder ? zip::kDosAttributeDirectory
                                                 : zip::kDosAttributeArchive;
    // A file's sizes, CRC and version are known, and patched in, after its data.
    record.versionNeeded = zip::kVersionNeededFolder;
    const bool headerWritten = sink.Append(LocalHeaderBytes(record), error_);
    if (!headerWritten || entry.isFolder) {
      return headerWritten;
    }
    const std::uint64_t dataStart = sink.position();
    std::uint32_t crc = 0;
    bool stored = entry.size == 0;
    bool compressionLost = false;
    zip::PieceIndex pieceIndex;
    pieceIndex.pieceSize = options_.pieceSize;
    for (; nextPiece_ < pieces_.size() && pieces_[nextPiece_].entry == index; ++nextPiece_) {
      const std::uint32_t length = pieces_[nextPiece_].length;
      PieceResult result = pool.Take(nextPiece_);
      if (!result.error.empty()) {
        error_ = result.error;
        return false;
      }
      crc = static_cast<std::uint32_t>(crc32_combine(crc, result.crc, length));
      stored = stored || result.raw;
      // Once deflate cannot win any more, its output is no longer written:
      // the file will be stored, and the limit check stays exact.
      const std::uint64_t written = sink.position() - dataStart;
      compressionLost = compressionLost || (!stored && written + result.bytes.size() >= entry.size);
      if (!compressionLost && !sink.Append(result.bytes, error_)) {
        return false;
      }
      pieceIndex.compressedLengths.push_back(static_cast<std::uint32_t>(result.bytes.size()));
      done_ += length;
      if (options_.progress) {
        options_.progress(done_, summary_.inputBytes);
      }
    }
    if (compressionLost) {
      stored = true;
      InputFile* file = pool.File(index, error_);
      sink.Rewind(dataStart);
      if (file == nullptr || !CopyStored(entry, *file, crc, sink)) {
        return false;
      }
    }
    if (!pool.Finish(index, error_)) {
      return false;
    }
    record.method = stored ? zip::kMethodStored : zip::kMethodDeflate;
    record.versionNeeded = stored ? zip::kVersionNeededStored : zip::kVersionNeededDeflate;
    record.crc32 = crc;
    record.compressedSize = static_cast<std::uint32_t>(sink.position() - dataStart);
    record.uncompressedSize = static_cast<std::uint32_t>(entry.size);
    // An index too large for the extra field is left out: the entry is then
    // decoded in one pass, as any other reader does.
    if (!stored && pieceIndex.compressedLengths.size() > 1) {
      zip::AppendPieceIndex(pieceIndexBytes, pieceIndex);
    }
    ++(stored ? summary_.storedFiles : summary_.deflatedFiles);
    return sink.Patch(record.localHeaderOffset, LocalHeaderBytes(record), error_);
  }

  // The CRC came from the pieces read earlier; checking the copy against it
  // catches a file that changed in between.
  bool CopyStored(const TreeEntry& entry, InputFile& file, std::uint32_t expectedCrc, Sink& sink) {
    std::string reason;
    std::string buffer(std::max<std::uint32_t>(options_.pieceSize, 64 * 1024), '\0');
    std::uint32_t crc = 0;
    std::uint64_t offset = 0;
    long long got = 0;
    while ((got = file.ReadAt(offset, &buffer[0], buffer.size(), reason)) > 0) {
      const std::size_t count = static_cast<std::size_t>(got);
      if (offset + count > entry.size) {
        error_ = Describe(entry, "changed while being packed (it grew)");
        return false;
      }
      crc = static_cast<std::uint32_t>(crc32(
          crc, reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<uInt>(count)));
      if (!sink.Append(std::string_view(buffer.data(), count), error_)) {
        return false;
      }
      offset += count;
    }
    if (got < 0) {
      error_ = Describe(entry, "cannot read: " + reason);
      return false;
    }
    if (offset != entry.size || crc != expectedCrc) {
      error_ = Describe(entry, "changed while being packed");
      return false;
    }
    return true;
  }

  const std::vector<TreeEntry>& entries_;
  WriteOptions options_;
  WriteSummary& summary_;
  std::string& error_;
  std::vector<Piece> pieces_;
  std::size_t nextPiece_ = 0;
  std::uint64_t done_ = 0;
};

}  // namespace

bool WriteArchive(const std::vector<TreeEntry>& entries, const std::string& outputPath,
                  const WriteOptions& options, WriteSummary& summary, std::string& error) {
  summary = WriteSummary();
  if (options.level < 0 || options.level > 9) {
    error = "compression level must be 0 to 9";
    return false;
  }
  ArchiveBuilder builder(entries, options, summary, error);
  return builder.Build(outputPath);
}

}  // namespace pack
