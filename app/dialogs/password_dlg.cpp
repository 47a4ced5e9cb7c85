#include "app/dialogs/password_dlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace kw::app {

TfrmPassword::TfrmPassword(QWidget* owner) : TlngForm(owner) {
    setObjectName("TfrmPassword");
    setWindowTitle("Supply Password");
    btnOK = new QPushButton("OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    btnCancel->setObjectName("btnCancel");
    lblMessage = new QLabel("This image is password protected.", this);
    lblMessage->setObjectName("lblMessage");
    lblMessage->setWordWrap(true);
    edtPassword = new QLineEdit(this);
    edtPassword->setObjectName("edtPassword");
    edtPassword->setEchoMode(QLineEdit::Password);
    lblPassword = new QLabel("&Password:", this);
    lblPassword->setObjectName("lblPassword");
    lblPassword->setBuddy(edtPassword);

    auto* grid = new QGridLayout(this);
    grid->addWidget(lblMessage, 0, 0, 1, 2);
    grid->addWidget(lblPassword, 1, 0);
    grid->addWidget(edtPassword, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    grid->addLayout(buttons, 2, 0, 1, 2);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    setMinimumWidth(320);
    edtPassword->setFocus();
    FormSetup();
}

QString TfrmPassword::Password() const {
    return edtPassword->text();
}

} // namespace kw::app
