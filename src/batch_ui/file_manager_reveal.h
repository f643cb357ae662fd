#pragma once

#include <filesystem>
#include <vector>

namespace morvale {

// Shows the paths selected in the desktop's file manager (the FileManager1 D-Bus
// service); where no file manager answers, opens the folder holding the first path.
// Returns at once.
void revealInFileManager(const std::vector<std::filesystem::path>& paths);

}  // namespace morvale
