#include "batch_core/batch_preset.h"

#include "base/ascii.h"

namespace morvale {

bool BatchPreset::canProcess(const BatchItem& item) const {
    return supportedExtensions().count(ascii::lowered(item.fileExtension)) > 0;
}

}  // namespace morvale
