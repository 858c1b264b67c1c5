#include "text/entry_name.h"

const EntryNameRules kPlatformEntryNameRules = EntryNameRules::kPortable;

std::string FoldPathComponent(std::string_view component) {
  return std::string(component);
}
