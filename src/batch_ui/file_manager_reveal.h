#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace morvale {

// Called with one line for the log when the folder could not be shown at all.
using RevealFailure = std::function<void(const std::string& line)>;

// Shows the paths selected in the desktop's file manager (the FileManager1 D-Bus
// service); where no file manager answers, opens the folder holding the first path.
// When nothing can open that folder either (no file manager, no launcher), `onFailure`
// gets revealFailureLine() of it, on the GUI thread. Returns at once.
void revealInFileManager(const std::vector<std::filesystem::path>& paths, RevealFailure onFailure = {});

// "Could not open the folder <path>: no file manager or launcher answered."
std::string revealFailureLine(const std::filesystem::path& folder);

}  // namespace morvale
