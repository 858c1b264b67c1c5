// The demo application a starter carries by default. It says where it runs
// from, what argument it got, and what lies in the unpacked tree beside it,
// so that a user sees the starter's whole job at work.
#ifndef DEMO_QUILLORBITE_DEMO_H
#define DEMO_QUILLORBITE_DEMO_H

#include <filesystem>
#include <optional>
#include <string>

/// The demo's report, UTF-8 with '\n' line ends: `self` (the demo's own
/// executable, made absolute), `argument` (UTF-8, or "(none)"), the current
/// folder, and every file and folder of the unpacked tree (the folder four
/// levels above `self`), sorted. A file or folder that cannot be read is left
/// out or shown with what could be read.
std::string DemoReport(const std::filesystem::path& self,
                       const std::optional<std::string>& argument);

#endif  // DEMO_QUILLORBITE_DEMO_H
