// The progress, password and about windows.
#include "app/dialogs/about_box.h"
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/engine_dialogs.h"
#include "tests/app/app_fixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace kw::app;

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void percentNeverOverflowsOrDividesByZero_data() {
        QTest::addColumn<qulonglong>("done");
        QTest::addColumn<qulonglong>("total");
        QTest::addColumn<uint>("percent");
        QTest::newRow("zero total") << 5ULL << 0ULL << 0u;
        QTest::newRow("half") << 50ULL << 100ULL << 50u;
        QTest::newRow("large") << (1ULL << 62) << (1ULL << 63) << 50u;
        QTest::newRow("past the end") << 7ULL << 5ULL << 100u;
    }
    void percentNeverOverflowsOrDividesByZero() {
        QFETCH(qulonglong, done);
        QFETCH(qulonglong, total);
        QFETCH(uint, percent);
        QCOMPARE(PercentOf(done, total), percent);
    }

    void progressWithoutDialogGoesOn() {
        QVERIFY(VtfeProgDlg == nullptr);
        QCOMPARE(ProgressCallback(1, 1, 0, 0, 0), 0u);
    }

    void cancelIsAnsweredAtTheNextReport() {
        TVtfeProgDlg dlg;
        VtfeProgDlg = &dlg;
        QCOMPARE(ProgressCallback(1, 1, 0, 0, 0), 0u);
        QTest::mouseClick(dlg.CancelBtn, Qt::LeftButton);
        QCOMPARE(ProgressCallback(1, 1, 0, 0, 0), 1u);
        QCOMPARE(dlg.CancelBtn->text(), QString("&Cancel"));
        QCOMPARE(dlg.windowTitle(), QString("Progress"));
    }
    void cleanup() {
        VtfeProgDlg = nullptr;
        ExtImgProgDlg = nullptr;
    }

    void mainWindowStaysDisabledUntilLastProgressWindowGoes() {
        QWidget main;
        main.show();
        SetProgressMainWindow(&main);
        auto* copy = new TVtfeProgDlg;
        VtfeProgDlg = copy;
        copy->show();
        QVERIFY(!main.isEnabled());
        auto* extend = new TVtfeProgDlg;
        ExtImgProgDlg = extend;
        extend->show();
        QVERIFY(!copy->isEnabled()); // the one below cannot be clicked
        extend->hide();
        delete extend;
        QVERIFY(ExtImgProgDlg == nullptr);
        QVERIFY(copy->isEnabled());
        QVERIFY(!main.isEnabled()); // the copy still runs
        copy->hide();
        QVERIFY(main.isEnabled());
        delete copy;
        QVERIFY(VtfeProgDlg == nullptr);
        QVERIFY(!ProgressWindowUp());
        SetProgressMainWindow(nullptr);
    }

    void longNamesAreShortenedInTheMiddle() {
        TVtfeProgDlg dlg;
        dlg.ProgLbl->setFixedWidth(150);
        QString name = "C:\\one\\two\\three\\four\\five\\six\\seven\\file-name.txt";
        dlg.SetItemText(name);
        QString shown = dlg.ProgLbl->text();
        QVERIFY(shown.size() < name.size());
        QVERIFY(shown.startsWith("C:\\"));
        QVERIFY(shown.contains("..."));
    }

    void passwordForm() {
        TfrmPassword form;
        QCOMPARE(form.windowTitle(), QString("Supply Password"));
        QCOMPARE(form.lblMessage->text(), QString("This image is password protected."));
        QCOMPARE(form.edtPassword->echoMode(), QLineEdit::Password);
        QCOMPARE(form.lblPassword->buddy(), form.edtPassword);
        QTimer::singleShot(0, &form, [&] {
            QTest::keyClicks(form.edtPassword, "secret");
            form.close(); // the close box counts as Cancel
        });
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        QCOMPARE(form.Password(), QString("secret"));
        QTimer::singleShot(0, &form, [&] { form.btnOK->click(); });
        QCOMPARE(form.exec(), int(QDialog::Accepted));
    }

    void engineQuestionButtons() {
        QCOMPARE(EngineButtons(UI_BUTTON_OK), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(EngineButtons(UI_BUTTON_YES_NO | UI_BUTTON_CANCEL),
                 QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QCOMPARE(EngineButtons(UI_BUTTON_RETRY | UI_BUTTON_ABORT | UI_BUTTON_IGNORE),
                 QMessageBox::Retry | QMessageBox::Abort | QMessageBox::Ignore);
        QCOMPARE(EngineButtons(0), QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(EngineResult(QMessageBox::YesToAll) == UI_MODAL_RESULT::YesToAll);
        QVERIFY(EngineResult(QMessageBox::NoButton) == UI_MODAL_RESULT::Cancel);
        // The engine's answer for what the dialog hands back.
        QCOMPARE(ModalResultToAnswer(EngineResult(QMessageBox::Yes)), UI_ANSWER_YES);
    }

    void aboutBox() {
        kw::test::FakeUi ui;
        TAboutBox box(ui);
        QVERIFY(box.lblProduct->text().isEmpty());
        box.Fill("", "4.0", QPixmap());
        QCOMPARE(box.windowTitle(), QString("About "));
        box.Fill("Veltrane File Editor", "4.0", QPixmap());
        QCOMPARE(box.windowTitle(), QString("About Veltrane File Editor"));
        QCOMPARE(box.lblVersion->text(), QString("Version 4.0 build Vtfe40.024"));
        box.btnMore->click();
        QCOMPARE(ui.messages.size(), size_t(1));
        QCOMPARE(ui.messages[0].caption, QString("More Information"));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
