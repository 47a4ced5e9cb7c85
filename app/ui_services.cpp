#include "app/ui_services.h"

#include "app/dialogs/progress_dlg.h"
#include "app/engine_facade.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace kw::app {
namespace {

QMessageBox::Icon ToQt(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::Warning:
        return QMessageBox::Warning;
    case MsgIcon::Error:
        return QMessageBox::Critical;
    case MsgIcon::Question:
        return QMessageBox::Question;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQt(MsgButtons buttons) {
    switch (buttons) {
    case MsgButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MsgButtons::YesNoAllCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::YesToAll | QMessageBox::NoToAll |
               QMessageBox::Cancel;
    case MsgButtons::SkipAllCancel:
    case MsgButtons::BrowseCancel:
        return QMessageBox::Cancel; // the other buttons are added by name
    case MsgButtons::Ok:
        break;
    }
    return QMessageBox::Ok;
}

MsgAnswer FromQt(int button) {
    switch (button) {
    case QMessageBox::Yes:
        return MsgAnswer::Yes;
    case QMessageBox::No:
        return MsgAnswer::No;
    case QMessageBox::YesToAll:
        return MsgAnswer::YesToAll;
    case QMessageBox::NoToAll:
        return MsgAnswer::NoToAll;
    case QMessageBox::Ok:
        return MsgAnswer::Ok;
    default:
        return MsgAnswer::Cancel;
    }
}

} // namespace

MsgAnswer QtUiServices::Message(const QString& text, const QString& caption, MsgIcon icon,
                                MsgButtons buttons) {
    QWidget* owner = QApplication::activeWindow();
    if (owner == nullptr)
        owner = ProgressMainWindow();
    QMessageBox box(ToQt(icon), caption, text, ToQt(buttons), owner);
    QAbstractButton* skip = nullptr;
    QAbstractButton* skipAll = nullptr;
    QAbstractButton* browse = nullptr;
    if (buttons == MsgButtons::SkipAllCancel) {
        skip = box.addButton("&Skip", QMessageBox::AcceptRole);
        skipAll = box.addButton("Skip &All", QMessageBox::AcceptRole);
        box.setDefaultButton(static_cast<QPushButton*>(skip));
    } else if (buttons == MsgButtons::BrowseCancel) {
        browse = box.addButton("&Browse...", QMessageBox::AcceptRole);
        box.setDefaultButton(static_cast<QPushButton*>(browse));
    }
    const int answer = box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked != nullptr && clicked == skip)
        return MsgAnswer::Skip;
    if (clicked != nullptr && clicked == skipAll)
        return MsgAnswer::SkipAll;
    if (clicked != nullptr && clicked == browse)
        return MsgAnswer::Browse;
    return FromQt(answer);
}

int QtUiServices::ShowModal(QDialog& dialog) {
    return dialog.exec();
}

QString QtUiServices::BrowseForFolder(QWidget* owner, const QString& title) {
    return QFileDialog::getExistingDirectory(owner, title);
}

QStringList QtUiServices::OpenFiles(QWidget* owner, const QString& title, const QString& folder,
                                    const QString& filter) {
    return QFileDialog::getOpenFileNames(owner, title, folder, filter);
}

QString QtUiServices::ChooseFileToWrite(QWidget* owner, const QString& title, const QString& folder,
                                        const QString& filter) {
    return QFileDialog::getSaveFileName(owner, title, folder, filter);
}

bool QtUiServices::OpenDocument(const QString& pathOrUrl) {
    QUrl url = QFileInfo::exists(pathOrUrl) ? QUrl::fromLocalFile(pathOrUrl) : QUrl(pathOrUrl);
    return QDesktopServices::openUrl(url);
}

void QtUiServices::ProcessEvents() {
    QApplication::processEvents();
}

void QtUiServices::Log(const QString& line) {
    LogLine(line.toStdString());
}

} // namespace kw::app
