#include "app/dialogs/progress_dlg.h"

#include "app/engine_facade.h"
#include "app/window_thread.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace kw::app {

TVtfeProgDlg* VtfeProgDlg = nullptr;
TVtfeProgDlg* ExtImgProgDlg = nullptr;

namespace {

QPointer<QWidget> gMainWindow;
int gShown = 0; // progress windows showing

} // namespace

void SetProgressMainWindow(QWidget* window) {
    gMainWindow = window;
}

QWidget* ProgressMainWindow() {
    return gMainWindow;
}

bool ProgressWindowUp() {
    return gShown > 0;
}

uint32_t PercentOf(uint64_t done, uint64_t total) {
    if (total == 0)
        return 0;
    if (done >= total)
        return 100;
    return static_cast<uint32_t>(static_cast<unsigned __int128>(done) * 100 / total);
}

TVtfeProgDlg::TVtfeProgDlg(QWidget* owner)
    : TlngForm(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("TVtfeProgDlg");
    setWindowTitle("Progress");
    if (owner != nullptr)
        setWindowModality(Qt::WindowModal);
    setCursor(Qt::WaitCursor);
    MsgLbl = new QLabel("Extending the image index...", this);
    MsgLbl->setObjectName("MsgLbl");
    ProgBar = new QProgressBar(this);
    ProgBar->setObjectName("ProgBar");
    ProgBar->setRange(0, 100);
    ProgBar->setTextVisible(false);
    CancelBtn = new QPushButton("&Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setCursor(Qt::ArrowCursor);
    ProgLbl = new QLabel(this);
    ProgLbl->setObjectName("ProgLbl");
    ProgLbl->setMinimumWidth(300);
    lblFileName = new QLabel(this);
    lblFileName->setObjectName("lblFileName");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MsgLbl);
    layout->addWidget(ProgBar);
    layout->addWidget(ProgLbl);
    layout->addWidget(lblFileName);
    layout->addWidget(CancelBtn, 0, Qt::AlignHCenter);
    connect(CancelBtn, &QPushButton::clicked, this, &TVtfeProgDlg::CancelBtnClick);
    resize(360, sizeHint().height());
    FormSetup();
    // A new operation starts without an old one's cancel.
    if (VtfeProgDlg == nullptr && ExtImgProgDlg == nullptr)
        SetEngineCancel(false);
}

TVtfeProgDlg::~TVtfeProgDlg() {
    if (counted_)
        FormHide();
    if (cancelled_ && (VtfeProgDlg == this || VtfeProgDlg == nullptr))
        SetEngineCancel(false); // the operation it cancelled is over
    if (VtfeProgDlg == this)
        VtfeProgDlg = nullptr;
    if (ExtImgProgDlg == this)
        ExtImgProgDlg = nullptr;
}

void TVtfeProgDlg::CancelBtnClick() {
    cancelled_ = true;
    // Heard by the engine at its next progress call, without waiting for
    // the next poll of this window.
    SetEngineCancel(true);
    CancelBtn->setEnabled(false);
    MsgLbl->setText("Cancelling...");
}

void TVtfeProgDlg::reject() {
    CancelBtnClick();
}

bool TVtfeProgDlg::Cancelled() const {
    return cancelled_ ||
           (this == VtfeProgDlg && ExtImgProgDlg != nullptr && ExtImgProgDlg->cancelled_);
}

std::unique_ptr<ProgressView> ShowOperationProgress(QWidget* owner) {
    auto progress = std::make_unique<TVtfeProgDlg>(owner);
    VtfeProgDlg = progress.get();
    progress->show();
    return progress;
}

void TVtfeProgDlg::SetMessage(const QString& text) {
    MsgLbl->setText(text);
}

void TVtfeProgDlg::SetItemText(const QString& text) {
    // Shortened as a path: the middle folders give way to an ellipsis.
    QFontMetrics metrics(ProgLbl->font());
    int width = ProgLbl->contentsRect().width();
    QString shown = text;
    QStringList parts = text.split('\\');
    if (parts.size() > 3) {
        QStringList head = parts.mid(0, 2);
        QStringList tail = parts.mid(2);
        while (metrics.horizontalAdvance(shown) > width && tail.size() > 1) {
            tail.removeFirst();
            shown = (head + QStringList{"..."} + tail).join('\\');
        }
    }
    ProgLbl->setText(metrics.elidedText(shown, Qt::ElideMiddle, width));
}

void TVtfeProgDlg::SetDone(uint64_t done, uint64_t total) {
    if (total != 0)
        ProgBar->setValue(static_cast<int>(PercentOf(done, total)));
}

void TVtfeProgDlg::showEvent(QShowEvent* event) {
    TlngForm::showEvent(event);
    if (!counted_)
        FormShow();
}

void TVtfeProgDlg::hideEvent(QHideEvent* event) {
    TlngForm::hideEvent(event);
    if (counted_)
        FormHide();
}

void TVtfeProgDlg::closeEvent(QCloseEvent* event) {
    event->ignore(); // only the operation that made the window hides it
}

// A progress window owned by a dialog of the main window would be disabled
// with it: the dialog it blocks keeps the main window out of reach instead.
void TVtfeProgDlg::FormShow() {
    counted_ = true;
    ++gShown;
    bool owned = false;
    for (QWidget* w = parentWidget(); w != nullptr && !owned; w = w->parentWidget())
        owned = w == gMainWindow;
    if (gMainWindow && !owned)
        gMainWindow->setEnabled(false);
    if (VtfeProgDlg != nullptr && ExtImgProgDlg != nullptr && this == ExtImgProgDlg)
        VtfeProgDlg->setEnabled(false);
}

void TVtfeProgDlg::FormHide() {
    counted_ = false;
    --gShown;
    if (VtfeProgDlg != nullptr && VtfeProgDlg != this)
        VtfeProgDlg->setEnabled(true);
    // The main window comes back only when no progress window is left.
    if (gShown == 0 && gMainWindow)
        gMainWindow->setEnabled(true);
}

uint32_t ProgressCallback(uint32_t, uint8_t, uint32_t, uint32_t, uint32_t) {
    // From a worker, the window thread turns its own events.
    const bool turnEvents = OnWindowThread();
    return InWindowThread([turnEvents]() -> uint32_t {
        if (VtfeProgDlg == nullptr)
            return 0;
        VtfeProgDlg->ProgBar->setValue(
            static_cast<int>(std::min<uint32_t>(EngineProgressPercent(), 100)));
        if (turnEvents)
            QApplication::processEvents();
        return VtfeProgDlg != nullptr && VtfeProgDlg->Cancelled() ? 1 : 0;
    });
}

} // namespace kw::app
