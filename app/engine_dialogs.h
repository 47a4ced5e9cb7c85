// The engine's questions and messages as Qt message boxes: the dialog the
// engine's user interface asks through once the application exists.
#pragma once

#include "engine/core/ui_interface.h"

#include <QMessageBox>

#include <cstdint>
#include <string>

namespace kw::app {

// The standard buttons of the engine's button flags (its "All" button has
// no standard one and is added by the dialog itself).
QMessageBox::StandardButtons EngineButtons(uint32_t buttonFlags);
UI_MODAL_RESULT EngineResult(QMessageBox::StandardButton button);
// Shows the text captioned with the program's title; dialogType 1
// information, 2 confirmation, 3 warning, 4 error.
UI_MODAL_RESULT EngineQuestionDialog(const std::string& text, uint32_t dialogType,
                                     uint32_t buttonFlags);
// Makes EngineQuestionDialog the engine's dialog.
void InstallEngineDialogs();

} // namespace kw::app
