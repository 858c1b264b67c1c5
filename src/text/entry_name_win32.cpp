#include "text/entry_name.h"

const EntryNameRules kPlatformEntryNameRules = EntryNameRules::kWindows;
