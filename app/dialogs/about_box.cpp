#include "app/dialogs/about_box.h"

#include "app/app_info.h"
#include "app/ui_services.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace kw::app {

TAboutBox::TAboutBox(UiServices& ui, QWidget* owner) : TlngForm(owner), ui_(ui) {
    setObjectName("TAboutBox");
    setWindowTitle("About");
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::StyledPanel);
    imgAboutBmp = new QLabel(Panel1);
    imgAboutBmp->setObjectName("imgAboutBmp");
    lblProduct = new QLabel(Panel1);
    lblProduct->setObjectName("lblProduct");
    QFont big = lblProduct->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    lblProduct->setFont(big);
    lblVersion = new QLabel(Panel1);
    lblVersion->setObjectName("lblVersion");
    btnOK = new QPushButton("OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setDefault(true);
    btnMore = new QPushButton("&More Info...", this);
    btnMore->setObjectName("btnMore");

    auto* panel = new QGridLayout(Panel1);
    panel->addWidget(imgAboutBmp, 0, 0, 3, 1);
    panel->addWidget(lblProduct, 0, 1);
    panel->addWidget(lblVersion, 1, 1);
    panel->setRowStretch(2, 1);
    panel->setColumnStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnMore);
    buttons->addWidget(btnOK);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Panel1);
    layout->addLayout(buttons);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnMore, &QPushButton::clicked, this, &TAboutBox::btnMoreClick);
    // The labels start empty; the caller fills them.
    lblProduct->clear();
    lblVersion->clear();
    setMinimumWidth(380);
    FormSetup();
}

void TAboutBox::Fill(const QString& product, const QString& version, const QPixmap& picture) {
    setWindowTitle(QStringLiteral("About %1").arg(product));
    imgAboutBmp->setPixmap(picture);
    lblProduct->setText(product);
    lblVersion->setText(QStringLiteral("Version %1 build %2").arg(version, kBuildText));
}

void TAboutBox::btnMoreClick() {
    ui_.Message("Image compression uses the deflate method through the zlib library "
                "by Jean-loup Gailly and Mark Adler.",
                "More Information", MsgIcon::Information, MsgButtons::Ok);
}

} // namespace kw::app
