// Turns an application folder into the ordered list of entries to archive.
#ifndef PACK_TREE_WALK_H
#define PACK_TREE_WALK_H

#include <cstdint>
#include <string>
#include <vector>

#include "pack/host_io.h"

namespace pack {

/// One file or folder to archive, with what the walk saw of it (a folder's
/// size is 0): reading checks that the file it opens is still this one.
struct TreeEntry : NodeInfo {
  std::string name;        // entry name: relative, '/'-separated, folders end in '/'
  std::string sourcePath;  // where it is on disk
  bool isFolder = false;
  /// The folder walked: the file is `name` below it.
  std::string root;
  /// Reached through a symbolic link (itself or a folder above it), so links
  /// are followed when it is opened.
  bool throughLink = false;
};

/// How to walk.
struct WalkOptions {
  /// Follow symbolic links (to files and folders) instead of refusing them.
  /// A link that leads back to a folder being walked is refused either way.
  bool followSymlinks = false;
  /// A folder that must not be part of the tree, e.g. the one the archive is
  /// written to; identified by device and inode. Walking into it fails.
  bool hasExcludedFolder = false;
  std::uint64_t excludedDevice = 0;
  std::uint64_t excludedInode = 0;
};

/// Walks folder `root` (a symbolic link naming a folder is accepted for the
/// root itself) and fills `entries` with everything below it, in archive
/// order (EntryNameLess): depth first, each folder directly before its
/// contents, siblings by CompareSiblingNames. Empty folders are kept.
///
/// Fails (returns false, `error` holding a message that names the offending
/// path) when: `root` is missing, unreadable or not a folder; a folder inside
/// cannot be listed; a name holds '\' or is not valid UTF-8; something is
/// neither a regular file nor a folder (FIFO, socket, device); a symbolic
/// link is met without `followSymlinks`, or it dangles or loops with it; the
/// excluded folder is met. `entries` is then unspecified.
bool WalkTree(const std::string& root, const WalkOptions& options, std::vector<TreeEntry>& entries,
              std::string& error);

}  // namespace pack

#endif  // PACK_TREE_WALK_H
