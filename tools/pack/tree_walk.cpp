#include "pack/tree_walk.h"

#include <algorithm>

#include "pack/entry_names.h"
#include "pack/host_io.h"

namespace pack {

namespace {

class Walker {
 public:
  Walker(const WalkOptions& options, const std::string& root, std::vector<TreeEntry>& entries,
         std::string& error)
      : options_(options), root_(root), entries_(entries), error_(error) {}

  bool WalkFolder(const std::string& path, const std::string& prefix, const NodeInfo& info,
                  bool throughLink) {
    for (const NodeInfo* ancestor : ancestors_) {
      if (ancestor->device == info.device && ancestor->inode == info.inode) {
        return Fail(path, "symbolic link loop: leads back to a folder that contains it");
      }
    }
    if (options_.hasExcludedFolder && info.device == options_.excludedDevice &&
        info.inode == options_.excludedInode) {
      return Fail(path, "the output archive would be written inside the application folder");
    }
    std::vector<std::string> names;
    std::string reason;
    if (!ListFolder(path.empty() ? "/" : path, names, reason)) {
      return Fail(path, "cannot read folder: " + reason);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return CompareSiblingNames(a, b) < 0;
    });
    ancestors_.push_back(&info);
    for (const std::string& name : names) {
      if (!WalkChild(path + "/" + name, prefix, name, throughLink)) {
        return false;
      }
    }
    ancestors_.pop_back();
    return true;
  }

 private:
  bool WalkChild(const std::string& path, const std::string& prefix, const std::string& name,
                 bool throughLink) {
    const std::string problem = CheckComponentName(name);
    if (!problem.empty()) {
      return Fail(path, "name " + problem);
    }
    NodeInfo info;
    std::string reason;
    if (!InspectNode(path, false, info, reason)) {
      return Fail(path, reason);
    }
    if (info.kind == NodeKind::kSymlink) {
      if (!options_.followSymlinks) {
        return Fail(path, "is a symbolic link (use --follow-symlinks to follow it)");
      }
      if (!InspectNode(path, true, info, reason)) {
        return Fail(path, "symbolic link cannot be followed: " + reason);
      }
      throughLink = true;
    }
    if (info.kind != NodeKind::kFile && info.kind != NodeKind::kFolder) {
      return Fail(path, "is neither a regular file nor a folder");
    }
    TreeEntry entry;
    static_cast<NodeInfo&>(entry) = info;
    entry.isFolder = info.kind == NodeKind::kFolder;
    entry.name = prefix + name + (entry.isFolder ? "/" : "");
    entry.sourcePath = path;
    entry.root = root_;
    entry.throughLink = throughLink;
    entries_.push_back(entry);
    return !entry.isFolder || WalkFolder(path, entry.name, info, throughLink);
  }

  bool Fail(const std::string& path, const std::string& why) {
    error_ = DisplayName(path.empty() ? "/" : path) + ": " + why;
    return false;
  }

  const WalkOptions& options_;
  const std::string& root_;
  std::vector<TreeEntry>& entries_;
  std::string& error_;
  std::vector<const NodeInfo*> ancestors_;  // the folders being walked, outermost first
};

}  // namespace

bool WalkTree(const std::string& root, const WalkOptions& options, std::vector<TreeEntry>& entries,
              std::string& error) {
  entries.clear();
  NodeInfo info;
  std::string reason;
  if (!InspectNode(root, true, info, reason) || info.kind != NodeKind::kFolder) {
    error = DisplayName(root) + ": " + (reason.empty() ? "not a folder" : reason);
    return false;
  }
  // Children are named base + "/" + name, so "/" itself becomes empty.
  const std::string base = root.substr(0, root.find_last_not_of('/') + 1);
  // Files are opened again below the root as given, not as resolved.
  const std::string walkedRoot = base.empty() ? "/" : base;
  Walker walker(options, walkedRoot, entries, error);
  return walker.WalkFolder(base, "", info, false);
}

}  // namespace pack
