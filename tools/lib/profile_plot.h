// Pictures of profiles and sessions, as SVG that a browser shows.
#pragma once

#include <string>

#include "tools/lib/profile_model.h"
#include "tools/lib/simulation.h"

namespace mivo::tools {

// Each axis bind's response: device input -360..360 on the horizontal axis,
// the value the bind produces (for mouse binds, the movement per 10 ms) on the
// vertical one, as the driver computes it.
std::string response_plot_svg(const mivo::profile::Profile &profile);

// A session over time: the axes, buttons, keys and mouse movement the virtual
// device reported, with LED and profile changes marked.
std::string timeline_plot_svg(const SimulationResult &result);

} // namespace mivo::tools
