#pragma once

#include <string>

namespace morvale {

// The product's own texts. The shell is generic: every product-specific word the
// window, the menus and the tray item show comes from this one record, filled by
// the application entry at start-up.
struct StandaloneBranding {
    std::string title;      // window title and tray title
    std::string subtitle;   // tagline under the title
    std::string icon;       // icon theme name of the product icon (also the tray icon)
    std::string dropTitle;  // drop-zone headline
    std::string dropHint;   // drop-zone explanation
    std::string runLabel;   // label of the run command (window, Batch menu, tray)
    std::string itemNoun;   // one queued item, e.g. "texture"
    std::string tokens;     // token help text of the naming-pattern section
};

}  // namespace morvale
