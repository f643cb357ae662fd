#pragma once

#include <functional>
#include <string>

namespace morvale {

// How long work reports to whoever started it. Engines never print: they call these, from
// whichever thread does the work, and an empty function means nobody listens.
using LogSink = std::function<void(const std::string& line)>;
// fraction in 0…1; message is short and ends in "...".
using ProgressSink = std::function<void(double fraction, const std::string& message)>;

}  // namespace morvale
