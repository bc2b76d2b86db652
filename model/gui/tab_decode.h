// Bytes a tab received, as text in the tab's encoding.
#pragma once

#include "model/gui/tab.h"

#include <string>

namespace veltaro::gui {

// Decodes with the tab's incremental decoder (made when the tab has none); when that fails,
// decodes `bytes` in one piece, replacing malformed input. May take over `bytes`.
std::string decode_for_tab(Tab& tab, std::string& bytes);

}  // namespace veltaro::gui
