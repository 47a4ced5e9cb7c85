// Build settings of the editor: the texts its windows show about itself.
#pragma once

namespace kw::app {

inline constexpr const char* kAppTitle = "Veltrane File Editor";
// Product name and version shown in the caption and the about box.
inline constexpr const char* kProductName = "Veltrane File Editor";
inline constexpr const char* kVersionNumber = "4.0";
inline constexpr const char* kBuildText = "Vtfe40.024";
inline constexpr const char* kSupportUrl = "https://veltrane.example/support";
// The HTML help file installed beside the program.
inline constexpr const char* kHelpFileName = "kwvtfe.html";

} // namespace kw::app
