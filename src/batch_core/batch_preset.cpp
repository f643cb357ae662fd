#include "batch_core/batch_preset.h"

namespace morvale {

bool BatchPreset::canProcess(const BatchItem& item) const {
    std::string extension = item.fileExtension;
    for (auto& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return supportedExtensions().count(extension) > 0;
}

}  // namespace morvale
