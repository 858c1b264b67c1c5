// The demo application a starter carries by default. It says where it runs
// from, what argument it got, and what lies in the unpacked tree beside it,
// so that a user sees the starter's whole job at work.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::error_code error;
  const fs::path self = fs::absolute(fs::u8path(argv[0]), error);
  // The executable lies three levels below the application's own folder,
  // which lies in the unpacked tree's root.
  const fs::path root = self.parent_path().parent_path().parent_path().parent_path();
  std::cout << "quillorbite demo: running as " << self.u8string() << "\n";
  std::cout << "  argument: " << (argc > 1 ? argv[1] : "(none)") << "\n";
  std::cout << "  started in: " << fs::current_path(error).u8string() << "\n";
  std::cout << "  unpacked tree " << root.u8string() << ":\n";
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
    std::cout << line << "\n";
  }
  std::cout << "quillorbite demo: done" << std::endl;
  return 0;
}
