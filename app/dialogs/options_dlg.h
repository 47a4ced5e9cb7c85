// The options dialog: the default split size of new images, the default
// restore location and the list of extensions that count as image files.
// Its OK handler checks the split size and keeps the first two settings; the
// caller keeps the extension list.
#pragma once

#include "app/editor_settings.h"
#include "app/lng_form.h"

#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace kw::drives {
class DriveTable;
}

namespace kw::app {

class SettingsStore;
class UiServices;

inline constexpr uint32_t kMinSplitSize = 10000;
inline constexpr uint32_t kMaxSplitSize = 670000000;

// The split size a text gives: its digits as a number, thousands separators
// and blanks ignored, 0 or none giving the default. Nothing when the text
// holds anything else or the number lies outside the limits.
std::optional<uint32_t> ParseSplitSize(const QString& text);
// An extension typed by the user: the text from its last "." on, or "." +
// the text when it has none; empty when nothing usable is left.
QString ExtensionOf(const QString& typed);

class TOptionsDlg final : public TlngForm {
    Q_OBJECT
public:
    // defaults: the main window's values, changed by OK. drives turns the
    // host folders the folder browser gives into drive paths.
    TOptionsDlg(UiServices& ui, SettingsStore& settings, const SettingsKeys& keys,
                EditorDefaults& defaults, const drives::DriveTable& drives,
                QWidget* owner = nullptr);

    void SetExtensions(const std::vector<std::string>& extensions);
    std::vector<std::string> Extensions() const;

    void FormActivate();
    void BrowseBtnClick();
    void AddBtnClick();
    void ExtListChange();
    void RemoveBtnClick();
    void ClearBtnClick();
    void OKBtnClick();

    QTabWidget* PageControl1 = nullptr;
    QWidget* GeneralTab = nullptr;
    QWidget* ImageExtTab = nullptr;
    QLabel* DefSplitSizeLbl = nullptr;
    QLineEdit* DefSplitSizeEd = nullptr;
    QLabel* DefRestLocLbl = nullptr;
    QLineEdit* DefRestLocEd = nullptr;
    QPushButton* BrowseBtn = nullptr;
    QLabel* ImgExtInfoLbl = nullptr;
    QTreeWidget* ExtList = nullptr;
    QPushButton* RemoveBtn = nullptr;
    QPushButton* ClearBtn = nullptr;
    QLabel* ExtLbl = nullptr;
    QLineEdit* ExtEd = nullptr;
    QPushButton* AddBtn = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildGeneralTab();
    void BuildExtensionsTab();

    UiServices& ui_;
    SettingsStore& settings_;
    const SettingsKeys& keys_;
    EditorDefaults& defaults_;
    const drives::DriveTable& drives_;
};

// Fills the dialog from the main window's defaults and extension list and
// shows it; on OK the defaults have been kept by the dialog and the list is
// replaced by the dialog's rows and written. True on OK.
bool ShowOptions(QWidget* parent, UiServices& ui, SettingsStore& settings, const SettingsKeys& keys,
                 EditorDefaults& defaults, std::vector<std::string>& extensions,
                 const drives::DriveTable& drives);

} // namespace kw::app
