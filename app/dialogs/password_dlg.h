// The password prompt shown when an image is password protected.
#pragma once

#include "app/lng_form.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace kw::app {

class TfrmPassword final : public TlngForm {
    Q_OBJECT
public:
    explicit TfrmPassword(QWidget* owner = nullptr);
    QString Password() const;

    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    QLabel* lblMessage = nullptr;
    QLineEdit* edtPassword = nullptr;
    QLabel* lblPassword = nullptr;
};

} // namespace kw::app
