#include "app/ui_callback.h"

#include "app/app_info.h"
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/explorer/vtfe_prt.h"
#include "app/ui_services.h"
#include "app/window_thread.h"

#include <QProgressBar>
#include <QTreeWidgetItem>

#include <cmath>

namespace kw::app {
namespace {

constexpr int kPasswordUnits = 64;

const char* const kNeedsOpening = "File %1 needs to be opened.\n\n";

TVtfeProgDlg* ShowNewProgress() {
    auto* dlg = new TVtfeProgDlg(nullptr);
    dlg->show();
    return dlg;
}

void Dispose(TVtfeProgDlg*& dlg) {
    dlg->hide();
    delete dlg;
    dlg = nullptr;
}

} // namespace

std::u16string PasswordUnits(const QString& text) {
    const QString cut = text.left(kPasswordUnits);
    return std::u16string(reinterpret_cast<const char16_t*>(cut.utf16()), size_t(cut.size()));
}

std::u16string OlderPasswordUnits(const QString& text) {
    std::u16string units = PasswordUnits(text);
    for (char16_t& u : units)
        u = u > 127 ? u'?' : u;
    return units;
}

QString VTFE_UI_CALLBACK::GetDrive(const QString& path) {
    return path.left(2);
}

uint32_t VTFE_UI_CALLBACK::AskMedia(const QString& format, const char* path) {
    return InWindowThread([&] { return AskMediaHere(format, path); });
}

uint32_t VTFE_UI_CALLBACK::AskMediaHere(const QString& format, const char* path) {
    const QString p = QString::fromUtf8(path);
    const QString text = QString(format).arg(p, GetDrive(p)).left(400);
    const MsgAnswer a = ui_.Message(text, kAppTitle, MsgIcon::Information, MsgButtons::OkCancel);
    ui_.ProcessEvents();
    return a == MsgAnswer::Ok || a == MsgAnswer::Yes ? 1 : 0;
}

// The number takes the format's first place; the path and drive the others.
uint32_t VTFE_UI_CALLBACK::AskMediaNumbered(const QString& format, const char* path,
                                            uint32_t number) {
    return AskMedia(QString(format).arg(number), path);
}

uint32_t VTFE_UI_CALLBACK::AskNewMediaForCreate(const char* path) {
    return AskMedia("File %1 is being created.\n\nInsert a new media into drive %2.", path);
}

uint32_t VTFE_UI_CALLBACK::AskFirstMediaForUpdate(const char* path) {
    return AskMedia("File %1 needs to be updated.\n\nReinsert first media of the image set into "
                    "drive %2.",
                    path);
}

uint32_t VTFE_UI_CALLBACK::AskFirstMedia(const char* path) {
    return AskMedia(
        QString(kNeedsOpening) + "Insert the first media of the image set into drive %2.", path);
}

uint32_t VTFE_UI_CALLBACK::AskLastMedia(const char* path) {
    return AskMedia(
        QString(kNeedsOpening) + "Insert the last media of the image set into drive %2.", path);
}

uint32_t VTFE_UI_CALLBACK::AskNextMedia(const char* path) {
    return AskMedia(QString(kNeedsOpening) + "Insert the next media in drive %2.", path);
}

uint32_t VTFE_UI_CALLBACK::AskMediaWithFile(const char* path) {
    return AskMedia("Insert the media containing file %1 into drive %2.", path);
}

uint32_t VTFE_UI_CALLBACK::AskNewMediaNumber(const char* path, uint32_t number) {
    return AskMediaNumbered("Insert a new media %1 for file %2 into drive %3.", path, number);
}

uint32_t VTFE_UI_CALLBACK::AskMediaNumber(const char* path, uint32_t number) {
    return AskMediaNumbered("Insert media %1 containing file %2 into drive %3.", path, number);
}

void VTFE_UI_CALLBACK::WrongMedia(const char* path) {
    InWindowThread([&] { WrongMediaHere(path); });
}

void VTFE_UI_CALLBACK::WrongMediaHere(const char*) {
    ui_.Message("The media does not contain the correct file.", kAppTitle, MsgIcon::Information,
                MsgButtons::Ok);
    ui_.ProcessEvents();
}

// ---- progress of a verify (VtfeProgDlg) and of the image access (ExtImgProgDlg)

void VTFE_UI_CALLBACK::ProgressBegin() {
    InWindowThread([&] { ProgressBeginHere(); });
}

void VTFE_UI_CALLBACK::ProgressBeginHere() {
    if (VtfeProgDlg != nullptr)
        Dispose(VtfeProgDlg);
    VtfeProgDlg = ShowNewProgress();
    if (item_ != nullptr)
        VtfeProgDlg->SetMessage(item_->Path());
    VtfeProgDlg->SetItemText("Verifying");
}

uint32_t VTFE_UI_CALLBACK::ProgressStep(uint32_t total, uint32_t done) {
    return InWindowThread([&] { return ProgressStepHere(total, done); });
}

uint32_t VTFE_UI_CALLBACK::ProgressStepHere(uint32_t total, uint32_t done) {
    if (VtfeProgDlg == nullptr) {
        VtfeProgDlg = ShowNewProgress();
        ui_.ProcessEvents();
    }
    VtfeProgDlg->SetDone(done, total);
    ui_.ProcessEvents();
    return VtfeProgDlg->Cancelled() ? 0 : 1;
}

void VTFE_UI_CALLBACK::ProgressEnd() {
    InWindowThread([&] { ProgressEndHere(); });
}

void VTFE_UI_CALLBACK::ProgressEndHere() {
    if (VtfeProgDlg == nullptr)
        return;
    VtfeProgDlg->ProgBar->setValue(100);
    Dispose(VtfeProgDlg);
    ui_.ProcessEvents();
}

uint32_t VTFE_UI_CALLBACK::Progress(uint32_t low, uint32_t high, uint32_t current) {
    return InWindowThread([&] { return ProgressHere(low, high, current); });
}

uint32_t VTFE_UI_CALLBACK::ProgressHere(uint32_t low, uint32_t high, uint32_t current) {
    if (ExtImgProgDlg == nullptr) {
        ExtImgProgDlg = ShowNewProgress();
        ui_.ProcessEvents();
    }
    const double span = high > low ? double(high - low) : 1.0;
    const double at = current > low ? double(current - low) : 0.0;
    ExtImgProgDlg->ProgBar->setValue(int(std::min(100.0, std::ceil(at * 100.0 / span))));
    ui_.ProcessEvents();
    const bool cancelled = ExtImgProgDlg->Cancelled();
    if (cancelled && VtfeProgDlg != nullptr)
        VtfeProgDlg->CancelBtnClick();
    return cancelled ? 0 : 1;
}

uint32_t VTFE_UI_CALLBACK::EndProgress() {
    return InWindowThread([&] { return EndProgressHere(); });
}

uint32_t VTFE_UI_CALLBACK::EndProgressHere() {
    if (ExtImgProgDlg == nullptr)
        return 1;
    ExtImgProgDlg->ProgBar->setValue(100);
    const bool ok = !ExtImgProgDlg->Cancelled();
    Dispose(ExtImgProgDlg);
    ui_.ProcessEvents();
    return ok ? 1 : 0;
}

// ---- passwords

QString VTFE_UI_CALLBACK::RememberedPassword() const {
    if (item_ == nullptr)
        return {};
    if (item_->Kind() == KIND_IMAGE)
        return static_cast<VtfeKWI*>(item_)->GetPassword();
    if (item_->Kind() != KIND_PARTITION)
        return {};
    auto* part = static_cast<VtfePrt*>(item_);
    if (!part->GetPassword().isEmpty())
        return part->GetPassword();
    VtfeItem* image = part->Node() != nullptr ? VtfeItem::OfNode(part->Node()->parent()) : nullptr;
    return image != nullptr && image->Kind() == KIND_IMAGE
               ? static_cast<VtfeKWI*>(image)->GetPassword()
               : QString();
}

void VTFE_UI_CALLBACK::RememberPassword(const QString& text) {
    if (item_ != nullptr && item_->Kind() == KIND_IMAGE)
        static_cast<VtfeKWI*>(item_)->SetPassword(text);
    else if (item_ != nullptr && item_->Kind() == KIND_PARTITION)
        static_cast<VtfePrt*>(item_)->SetPassword(text);
}

bool VTFE_UI_CALLBACK::ShowPasswordDialog(QString* text, int attempts) {
    if (attempts != 0)
        ui_.Message("Password entered is not valid for this image. (Passwords are case-sensitive)",
                    "Invalid Password", MsgIcon::Error, MsgButtons::Ok);
    TfrmPassword form(nullptr);
    if (ui_.ShowModal(form) != QDialog::Accepted)
        return false;
    *text = form.Password().left(kPasswordUnits);
    RememberPassword(*text);
    return true;
}

// The remembered password first, then the user's; each text is tried in its
// UTF-16 form and, when that differs, in the older form.
uint32_t VTFE_UI_CALLBACK::AskPassword(PASSWORD_SINK* sink) {
    return InWindowThread([&] { return AskPasswordHere(sink); });
}

uint32_t VTFE_UI_CALLBACK::AskPasswordHere(PASSWORD_SINK* sink) {
    QString candidate = RememberedPassword();
    bool ask = candidate.isEmpty();
    int attempts = 0;
    for (;;) {
        if (ask && !ShowPasswordDialog(&candidate, attempts))
            return 0;
        const std::u16string units = PasswordUnits(candidate);
        const std::u16string older = OlderPasswordUnits(candidate);
        if (sink->TryPassword(units.c_str()) != 0 ||
            (older != units && sink->TryPassword(older.c_str()) != 0))
            return 1;
        if (!ask) {
            ask = true;
            ui_.Message("Image file contains multiple passwords; enter additional password.",
                        "Additional Passwords", MsgIcon::Information, MsgButtons::Ok);
        } else {
            ++attempts;
        }
    }
}

} // namespace kw::app
