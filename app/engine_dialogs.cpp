#include "app/engine_dialogs.h"

#include "app/app_info.h"

#include <QApplication>
#include <QPushButton>

namespace kw::app {

QMessageBox::StandardButtons EngineButtons(uint32_t flags) {
    QMessageBox::StandardButtons b;
    if (flags & UI_BUTTON_OK)
        b |= QMessageBox::Ok;
    if (flags & UI_BUTTON_YES_NO)
        b |= QMessageBox::Yes | QMessageBox::No;
    if (flags & UI_BUTTON_YES_TO_ALL)
        b |= QMessageBox::YesToAll;
    if (flags & UI_BUTTON_NO_TO_ALL)
        b |= QMessageBox::NoToAll;
    if (flags & UI_BUTTON_RETRY)
        b |= QMessageBox::Retry;
    if (flags & UI_BUTTON_IGNORE)
        b |= QMessageBox::Ignore;
    if (flags & UI_BUTTON_ABORT)
        b |= QMessageBox::Abort;
    if (flags & UI_BUTTON_CANCEL)
        b |= QMessageBox::Cancel;
    if (b == QMessageBox::NoButton && !(flags & UI_BUTTON_ALL))
        b = QMessageBox::Ok;
    return b;
}

UI_MODAL_RESULT EngineResult(QMessageBox::StandardButton button) {
    switch (button) {
    case QMessageBox::Ok:
        return UI_MODAL_RESULT::Ok;
    case QMessageBox::Cancel:
        return UI_MODAL_RESULT::Cancel;
    case QMessageBox::Abort:
        return UI_MODAL_RESULT::Abort;
    case QMessageBox::Retry:
        return UI_MODAL_RESULT::Retry;
    case QMessageBox::Ignore:
        return UI_MODAL_RESULT::Ignore;
    case QMessageBox::Yes:
        return UI_MODAL_RESULT::Yes;
    case QMessageBox::No:
        return UI_MODAL_RESULT::No;
    case QMessageBox::NoToAll:
        return UI_MODAL_RESULT::NoToAll;
    case QMessageBox::YesToAll:
        return UI_MODAL_RESULT::YesToAll;
    default:
        return UI_MODAL_RESULT::Cancel; // closed without a button
    }
}

UI_MODAL_RESULT EngineQuestionDialog(const std::string& text, uint32_t dialogType,
                                     uint32_t buttonFlags) {
    static const QMessageBox::Icon kIcons[] = {QMessageBox::NoIcon, QMessageBox::Information,
                                               QMessageBox::Question, QMessageBox::Warning,
                                               QMessageBox::Critical};
    QMessageBox box(dialogType < 5 ? kIcons[dialogType] : QMessageBox::NoIcon, kAppTitle,
                    QString::fromStdString(text), EngineButtons(buttonFlags),
                    QApplication::activeWindow());
    QPushButton* all = nullptr;
    if (buttonFlags & UI_BUTTON_ALL)
        all = box.addButton("&All", QMessageBox::AcceptRole);
    box.exec();
    if (all != nullptr && box.clickedButton() == all)
        return UI_MODAL_RESULT::All;
    return EngineResult(box.standardButton(box.clickedButton()));
}

void InstallEngineDialogs() {
    kwSetQuestionDialog(&EngineQuestionDialog);
}

} // namespace kw::app
