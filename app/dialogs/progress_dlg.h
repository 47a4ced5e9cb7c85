// The small modeless window that shows a long operation's progress with a
// bar and Cancel, and keeps the main window disabled while any such window
// is up. A second one (an image being extended) may show over the first.
#pragma once

#include "app/lng_form.h"
#include "app/progress_view.h"

#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kw::app {

class TVtfeProgDlg final : public TlngForm, public ProgressView {
    Q_OBJECT
public:
    // owner: the dialog whose operation it shows (then it is modal to that
    // dialog and stays above it), or none (it disables the main window).
    explicit TVtfeProgDlg(QWidget* owner = nullptr);
    ~TVtfeProgDlg() override;

    void CancelBtnClick();
    // Esc cancels the operation; the window stays until it has ended.
    void reject() override;
    // This window's Cancel, or that of the image's window shown over it.
    bool Cancelled() const override;
    void Cancel() override { CancelBtnClick(); }
    void SetMessage(const QString& text) override;
    // Shows a name, its middle folders shortened to fit the label.
    void SetItemText(const QString& text) override;
    void SetDone(uint64_t done, uint64_t total) override;

    QLabel* MsgLbl = nullptr;
    QProgressBar* ProgBar = nullptr;
    QPushButton* CancelBtn = nullptr;
    QLabel* ProgLbl = nullptr;
    QLabel* lblFileName = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormShow();
    void FormHide();
    bool cancelled_ = false;
    bool counted_ = false;
};

// The progress window of the running operation, and the one shown over it;
// null when there is none. The creator stores and clears them.
extern TVtfeProgDlg* VtfeProgDlg;
extern TVtfeProgDlg* ExtImgProgDlg;

// The progress window of an operation (ProgressFactory): shown, and the
// running operation's window (VtfeProgDlg) until it is destroyed.
std::unique_ptr<ProgressView> ShowOperationProgress(QWidget* owner);

// The window the progress windows disable (the main window).
void SetProgressMainWindow(QWidget* window);
QWidget* ProgressMainWindow();
// Whether a progress window is showing.
bool ProgressWindowUp();

// The engine's progress callback while an operation runs: moves the bar of
// VtfeProgDlg, lets window events run and answers 1 after Cancel, else 0.
uint32_t ProgressCallback(uint32_t message, uint8_t cancelAllowed, uint32_t value,
                          uint32_t textMask, uint32_t valueMask);

// done * 100 / total in 64 bits, 0 for a total of 0, at most 100.
uint32_t PercentOf(uint64_t done, uint64_t total);

} // namespace kw::app
