#include "quillorbite_demo.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

std::string DemoReport(const fs::path& self, const std::optional<std::string>& argument) {
  std::error_code error;
  const fs::path program = fs::absolute(self, error);
  // The executable lies three levels below the application's own folder,
  // which lies in the unpacked tree's root.
  const fs::path root = program.parent_path().parent_path().parent_path().parent_path();
  std::string report = "quillorbite demo: running as " + program.u8string() + "\n";
  report += "  argument: " + argument.value_or("(none)") + "\n";
  report += "  started in: " + fs::current_path(error).u8string() + "\n";
  report += "  unpacked tree " + root.u8string() + ":\n";
  std::vector<std::string> lines;
  for (auto it = fs::recursive_directory_iterator(root, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string relative = fs::relative(it->path(), root, error).generic_u8string();
    if (it->is_directory(error)) {
      lines.push_back("    " + relative + "/");
    } else {
      lines.push_back("    " + relative + " (" + std::to_string(it->file_size(error)) + " bytes)");
    }
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) {
    report += line + "\n";
  }
  report += "quillorbite demo: done\n";
  return report;
}
