// Turns an application folder into the ordered list of entries to archive.
#ifndef PACK_TREE_WALK_H
#define PACK_TREE_WALK_H

#include <cstdint>
#include <string>
#include <vector>

#include "pack/host_io.h"

namespace pack {

/// One file or folder to archive, as the walk saw it (a folder's size is 0):
/// reading checks that the file it opens is still this one.
struct TreeEntry : NodeInfo {
  std::string name;        // relative, '/'-separated, folders end in '/'
  std::string sourcePath;  // where it is on disk
  bool isFolder = false;
  std::string root;          // the folder walked: the file is `name` below it
  bool throughLink = false;  // reached through a symbolic link: open following links
};

struct WalkOptions {
  /// Follow symbolic links instead of refusing them; one that leads back to
  /// a folder being walked is refused either way.
  bool followSymlinks = false;
  /// A folder (by device and inode) that must not be part of the tree, such
  /// as the archive's; walking into it fails.
  bool hasExcludedFolder = false;
  std::uint64_t excludedDevice = 0;
  std::uint64_t excludedInode = 0;
};

/// Fills `entries` with everything below folder `root` (which may be a
/// symbolic link) in archive order (EntryNameLess): depth first, each folder
/// directly before its contents, siblings by CompareSiblingNames, empty
/// folders kept. Fails with `error` naming the offending path when `root` is
/// missing, unreadable or no folder; a folder cannot be listed; a name holds
/// '\' or is not valid UTF-8; something is neither a regular file nor a
/// folder; a symbolic link is met without `followSymlinks`, or dangles or
/// loops with it; the excluded folder is met. `entries` is then unspecified.
bool WalkTree(const std::string& root, const WalkOptions& options, std::vector<TreeEntry>& entries,
              std::string& error);

}  // namespace pack

#endif  // PACK_TREE_WALK_H
