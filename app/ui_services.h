// The user-interface services the editor's windows and items ask for:
// message boxes, modal dialogs, folder choice, help, and letting pending
// window events run. The Qt implementation shows real windows; tests put a
// fake in its place that records and answers.
#pragma once

#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

namespace kw::app {

enum class MsgIcon { None, Information, Warning, Error, Question };

// Button sets of the message boxes.
enum class MsgButtons {
    Ok,
    OkCancel,
    YesNo,
    YesNoCancel,
    YesNoAllCancel,
    SkipAllCancel,
    BrowseCancel
};

enum class MsgAnswer { Ok, Cancel, Yes, No, YesToAll, NoToAll, Skip, SkipAll, Browse };

class UiServices {
public:
    virtual ~UiServices() = default;
    // A message box over the active window (else the main window), shown
    // once; SkipAllCancel offers "Skip", "Skip All" and "Cancel",
    // BrowseCancel "Browse..." and "Cancel".
    virtual MsgAnswer Message(const QString& text, const QString& caption, MsgIcon icon,
                              MsgButtons buttons) = 0;
    // Shows a dialog modally; the dialog's result code.
    virtual int ShowModal(QDialog& dialog) = 0;
    // The chosen folder (host form), empty when cancelled.
    virtual QString BrowseForFolder(QWidget* owner, const QString& title) = 0;
    // Files chosen to open (host paths), empty when cancelled. filter is in
    // the Qt form "Name (*.x);;Other (*.y)".
    virtual QStringList OpenFiles(QWidget* owner, const QString& title, const QString& folder,
                                  const QString& filter) = 0;
    // One file to write (host path), an existing one or a new name; empty
    // when cancelled. Choosing an existing file asks whether to replace it.
    virtual QString ChooseFileToWrite(QWidget* owner, const QString& title, const QString& folder,
                                      const QString& filter) = 0;
    // Opens a local file or a web address in the desktop's viewer.
    virtual bool OpenDocument(const QString& pathOrUrl) = 0;
    virtual void ProcessEvents() = 0;
    // Writes a line to the program's log (not shown to the user).
    virtual void Log(const QString& line) = 0;
};

class QtUiServices final : public UiServices {
public:
    MsgAnswer Message(const QString& text, const QString& caption, MsgIcon icon,
                      MsgButtons buttons) override;
    int ShowModal(QDialog& dialog) override;
    QString BrowseForFolder(QWidget* owner, const QString& title) override;
    QStringList OpenFiles(QWidget* owner, const QString& title, const QString& folder,
                          const QString& filter) override;
    QString ChooseFileToWrite(QWidget* owner, const QString& title, const QString& folder,
                              const QString& filter) override;
    bool OpenDocument(const QString& pathOrUrl) override;
    void ProcessEvents() override;
    void Log(const QString& line) override;
};

} // namespace kw::app
