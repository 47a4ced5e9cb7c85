// Copying partitions into images and deleting images, end to end: FAT
// volumes made by mkfs.fat and mtools, stored into an image through the
// image library, copied through the copy dialog of the main window, opened
// again and read back; image sets deleted beside files that are not theirs.
#include "app/dialogs/copy_to_image_dlg.h"
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/explorer/vtfe_prt.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "app/ui_callback.h"
#include "app/window_thread.h"
#include "kwvaults.h"
#include "platform/vfs/vfs.h"
#include "tests/app/app_fixture.h"
#include "tests/app/form_fixture.h"
#include "tests/app/image_fixture.h"
#include "tests/imagestore/legacy/legacy_writer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

using namespace kw::app;
using kw::test::Child;
namespace fs = std::filesystem;

namespace {

const std::u16string kPassword = u"s\u00e9cret";

// The names of the files in a folder.
std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

// A file inside an open image, read whole through the image access.
std::string ReadInImage(VtfeItem* partition, const std::string& name) {
    auto* part = static_cast<VtfePrt*>(partition);
    IMGACCESS* access = part->Info().GetAccess();
    IMGACCESS_FILEHANDLE* f = access->OpenFile((part->Info().GetPath() + "\\" + name).c_str());
    if (f == nullptr)
        return "cannot open " + name;
    std::string out(size_t(f->GetSize()), '\0');
    uint32_t done = 0;
    const bool ok = out.empty() || f->Read(out.data(), uint32_t(out.size()), &done);
    f->Release();
    return ok && done == out.size() ? out : "short read of " + name;
}

// Part `index` of an image: its name and its stored blocks.
std::string PartData(const std::string& hostImage, uint32_t index, std::string* name = nullptr,
                     const std::u16string& password = {}) {
    PART_STORE* store = kw::test::OpenFixtureImage(hostImage, password);
    if (store == nullptr || store->SelectPart(index) != 0) {
        if (store != nullptr)
            store->Release();
        return "no part";
    }
    char text[256] = {};
    store->GetPartName(text, sizeof text);
    if (name != nullptr)
        *name = text;
    uint64_t size = 0;
    std::string data;
    if (store->OpenUdata(&size) == 0) {
        data.resize(size_t(size));
        uint32_t got = 0;
        store->Read(data.data(), uint32_t(data.size()), &got);
        data.resize(got);
    }
    store->Release();
    return data;
}

// Runs act once, in the progress window's event processing, when its bar
// has reached percent.
void WhenBarReaches(int percent, std::function<void()> act) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, percent, act] {
        if (VtfeProgDlg != nullptr && VtfeProgDlg->ProgBar->value() >= percent) {
            timer->stop();
            timer->deleteLater();
            act();
        }
    });
    timer->start(0);
}

void CancelWhenBarReaches(int percent) {
    WhenBarReaches(percent, [] { VtfeProgDlg->CancelBtnClick(); });
}

// What a scripted user saw in the copy dialog.
struct Seen {
    int listed = -1;
    bool retry = false;
    bool highChecked = false, highEnabled = true, appendChecked = false;
    QString copyCaption;
};

} // namespace

class CopyTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;
    std::string rawA_, rawB_;

    std::unique_ptr<TMainForm> Start() { return kw::test::StartMainForm(ui_, settings_, drives_); }

    QTreeWidgetItem* ImageNode(TMainForm& form, const QString& name) {
        return kw::test::ImageNode(form, "imgs", name);
    }

    std::string Host(const char* relative) { return drives_.Dir() / relative; }

    std::string Expected(const std::string& raw, const std::string& inVolume) {
        return kw::test::McopyBytes(raw, inVolume, drives_.Dir() / "expected.bin");
    }

    void RunCopy(TMainForm& form, const std::function<void(TCopyToImageDlg&)>& user) {
        kw::test::RunCopy(form, ui_, user);
    }

private slots:
    void initTestCase() {
        kw::test::UseEmptyDisk(drives_.Dir());
        fs::create_directories(drives_.Dir() / "imgs");
        rawA_ = drives_.Dir() / "a.raw";
        rawB_ = drives_.Dir() / "b.raw";
        kw::test::WritePatternFiles(drives_.Dir().path());
        const std::string d = drives_.Dir().path();
        const std::string cmd =
            "mkfs.fat -C -F 12 -n SYSTEM " + rawA_ + " 2048 >/dev/null && mkfs.fat -C -F 12 -n " +
            "DATA " + rawB_ + " 2048 >/dev/null && mmd -i " + rawA_ + " ::/top && mcopy -i " +
            rawA_ + " " + d + "/ten.bin ::/TEN.BIN && mcopy -i " + rawA_ + " " + d +
            "/small.bin ::/top/a.bin && mcopy -i " + rawB_ + " " + d + "/small.bin ::/SMALL.BIN";
        QCOMPARE(std::system(cmd.c_str()), 0);
        QCOMPARE(
            kw::test::StoreRawVolumes(Host("imgs/two.kwi"), {rawA_, rawB_}, {"SYSTEM", "DATA"}, {}),
            0);
    }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modal = nullptr;
    }

    // Both partitions into a new protected, split image with each
    // compression; opened again, a file of each partition reads as mcopy's.
    void copiesTwoPartitionsIntoNewImage_data() {
        QTest::addColumn<QString>("level");
        QTest::addColumn<uint32_t>("flag");
        QTest::newRow("none") << "NoCompRBtn" << 0u;
        QTest::newRow("low") << "LowCompRBtn" << uint32_t(KW_IMAGE_LOW_COMPRESSION);
        QTest::newRow("high") << "HighCompRBtn" << uint32_t(KW_IMAGE_HIGH_COMPRESSION);
    }
    void copiesTwoPartitionsIntoNewImage() {
        QFETCH(QString, level);
        QFETCH(uint32_t, flag);
        auto form = Start();
        QTreeWidgetItem* image = ImageNode(*form, "two.kwi");
        QCOMPARE(image->childCount(), 2);
        form->ExploreTree->setCurrentItem(image);
        const QString name = QString("copy_") + QTest::currentDataTag();
        Seen seen;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            seen.listed = dlg.PartitionTree->topLevelItem(0)->childCount();
            dlg.DestEd->setText("T:\\out\\" + name); // no extension: ".kwi" is added
            dlg.DescrMemo->setPlainText("Nightly copy");
            dlg.SetPwdRBtn->setChecked(true);
            dlg.SetPwdRBtnClick();
            dlg.PasswordEd->setText(QString::fromStdU16String(kPassword));
            dlg.ConfirmPwdEd->setText(QString::fromStdU16String(kPassword));
            dlg.SplitImgChk->setChecked(true);
            dlg.SplitImgChkClick();
            dlg.FileSizeEd->setText("600,000");
            dlg.findChild<QRadioButton*>(level)->setChecked(true);
            if (std::string(QTest::currentDataTag()) == "high" && std::getenv("KW_SHOT_DIR")) {
                kw::test::SaveShot(dlg, "copy_dialog.png");
                WhenBarReaches(50, [] {
                    kw::test::SaveShot(*VtfeProgDlg, "copy_progress.png");
                    kw::test::SaveScreen("copy_progress_screen.png");
                });
            }
            dlg.CopyBtnClick();
        });
        QCOMPARE(seen.listed, 2);
        QVERIFY2(ui_.messages.empty(),
                 qPrintable(ui_.messages.empty() ? QString() : ui_.messages[0].text));
        const fs::path out = drives_.Dir() / "out";
        const std::string file = (out / (name + ".kwi").toStdString()).string();
        QVERIFY(fs::exists(file));
        if (flag == 0)
            QVERIFY(fs::exists(out / (name + ".002").toStdString())); // split
        PART_STORE* store = kw::test::OpenFixtureImage(file, kPassword);
        QVERIFY(store != nullptr);
        QCOMPARE(store->GetImageFlags() & 0x26u, flag | 0x20u);
        QCOMPARE(store->GetPartCount(), 2u);
        char text[64] = {};
        store->GetDescription(text, sizeof text);
        QCOMPARE(QString(text), QString("Nightly copy"));
        store->Release();

        // The recent list has it; opening it asks for the password.
        QTreeWidgetItem* recent =
            Child(form->RecentRoot(), drives_.Shown("T:\\out\\" + name + ".kwi"));
        QVERIFY(recent != nullptr);
        ui_.modal = [](QDialog& d) {
            static_cast<TfrmPassword&>(d).edtPassword->setText(
                QString::fromStdU16String(kPassword));
            return int(QDialog::Accepted);
        };
        recent->setExpanded(true);
        QCOMPARE(recent->childCount(), 2);
        QCOMPARE(ReadInImage(VtfeItem::OfNode(Child(recent, "E: (SYSTEM)")), "TEN.BIN"),
                 Expected(rawA_, "TEN.BIN"));
        QCOMPARE(ReadInImage(VtfeItem::OfNode(Child(recent, "F: (DATA)")), "SMALL.BIN"),
                 Expected(rawB_, "SMALL.BIN"));
    }

    // A destination typed as a host path is written there, volumes and all,
    // and listed by that path; one whose name holds "\\" is refused.
    void typedHostPathIsWhereTheImageGoes() {
        auto form = Start();
        form->ExploreTree->setCurrentItem(ImageNode(*form, "two.kwi"));
        const QString typed = QString::fromStdString(Host("srv/images/high"));
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText(typed + "\\x");
            dlg.CopyBtnClick();
            QCOMPARE(dlg.result(), int(QDialog::Rejected));
            dlg.DestEd->setText(typed);
            dlg.SplitImgChk->setChecked(true);
            dlg.FileSizeEd->setText("300,000");
            dlg.CopyBtnClick();
        });
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, "The name \"high\\x\" in " + typed +
                                           "\\x contains \"\\\", which no file or folder "
                                           "name on this machine may hold.");
        const std::set<std::string> written = Listing(drives_.Dir() / "srv/images");
        QVERIFY(written.count("high.kwi") == 1 && written.count("high.002") == 1);
        for (const std::string& name : written)
            QVERIFY2(name.rfind("high.", 0) == 0, name.c_str());
        QCOMPARE(VerifyImage(Host("srv/images/high.kwi"), nullptr), 0);
        QTreeWidgetItem* recent = Child(form->RecentRoot(), typed + ".kwi");
        QVERIFY(recent != nullptr);
        QCOMPARE(recent->toolTip(0), typed + ".kwi");
        QCOMPARE(VtfeItem::OfNode(recent)->Path(), QString("T:\\srv\\images\\high.kwi"));
    }

    // The copy keeps the source's partition order, which the trees' name
    // order is not, for the whole image and for partitions picked out of it.
    void copyKeepsTheSourcePartitionOrder() {
        kw::test::FixtureImage source;
        source.parts = {kw::test::FixturePart{"fat16", "", 'D'},
                        kw::test::FixturePart{"fat12", "", 'C'},
                        kw::test::FixturePart{"fat32", "", 'E'}};
        QCOMPARE(kw::test::WriteFixtureImage(Host("imgs/order.kwi"), source), 0);
        const auto namesOf = [](const std::string& image) {
            std::vector<std::string> names(3);
            for (uint32_t i = 0; i < 3; ++i)
                PartData(image, i, &names[i]);
            return names;
        };
        const std::vector<std::string> order = {"fat16", "fat12", "fat32"};
        QCOMPARE(namesOf(Host("imgs/order.kwi")), order);
        auto form = Start();
        QTreeWidgetItem* image = ImageNode(*form, "order.kwi");
        QCOMPARE(image->child(0)->text(0), QString("C: (fat12)")); // the tree sorts by name
        form->ExploreTree->setCurrentItem(image);
        RunCopy(*form, [](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\out\\ordered.kwi");
            dlg.CopyBtnClick();
        });
        QCOMPARE(namesOf(Host("out/ordered.kwi")), order);

        // The three picked in the list, the first-named one current.
        form->ExploreTree->setCurrentItem(ImageNode(*form, "order.kwi"));
        form->ContentsList->setCurrentItem(kw::test::Row(form->ContentsList, "C: (fat12)"));
        form->ContentsList->selectAll();
        form->CopyExecute();
        form->ExploreTree->setCurrentItem(kw::test::FolderNode(*form, "out"));
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TCopyToImageDlg&>(d);
            dlg.FormShow();
            dlg.DestEd->setText("T:\\out\\picked.kwi");
            dlg.CopyBtnClick();
            return dlg.result();
        };
        form->PasteExecute();
        QVERIFY(ui_.messages.empty());
        QCOMPARE(namesOf(Host("out/picked.kwi")), order);
    }

    // A password image typed as the destination while another image's
    // password is remembered: only its own password is asked for, never the
    // other's tried ("multiple passwords"), and the other keeps its own.
    void appendTargetIsOpenedWithItsOwnPasswordOnly() {
        for (const auto& [name, password] :
             {std::pair{"lockA.kwi", u"alpha"}, {"lockB.kwi", u"beta"}}) {
            kw::test::FixtureImage locked;
            locked.password = password;
            locked.parts = {kw::test::FixturePart{"Kept", "", 'C'}};
            QCOMPARE(
                kw::test::WriteFixtureImage(Host((std::string("imgs/") + name).c_str()), locked),
                0);
        }
        auto form = Start();
        QStringList typed = {"beta"};
        QStringList asked; // what each modal dialog was
        bool appendable = false;
        ui_.modal = [&](QDialog& d) {
            asked << d.objectName();
            if (auto* pwd = qobject_cast<TfrmPassword*>(&d)) {
                pwd->edtPassword->setText(typed.isEmpty() ? QString() : typed.takeFirst());
                return int(QDialog::Accepted);
            }
            auto& dlg = static_cast<TCopyToImageDlg&>(d);
            dlg.FormShow();
            dlg.DestEd->setText(drives_.Shown("T:\\imgs\\lockA.kwi"));
            appendable = dlg.AppendChk->isChecked();
            return int(QDialog::Rejected);
        };
        QTreeWidgetItem* b = ImageNode(*form, "lockB.kwi"); // opened with "beta"
        QCOMPARE(b->childCount(), 1);
        form->ExploreTree->setCurrentItem(ImageNode(*form, "two.kwi"));
        form->CopyExecute();
        form->ExploreTree->setCurrentItem(b);
        typed = {"wrong", "alpha"};
        asked.clear();
        form->PasteExecute(); // the dialog, dropped on B, is pointed at A
        QCOMPARE(asked, (QStringList{"TCopyToImageDlg", "TfrmPassword", "TfrmPassword"}));
        QStringList captions;
        for (const auto& m : ui_.messages)
            captions << m.caption;
        QCOMPARE(captions, QStringList{"Invalid Password"});
        QVERIFY(appendable);
        QCOMPARE(static_cast<VtfeKWI*>(VtfeItem::OfNode(b))->GetPassword(), QString("beta"));
    }

    // The copy's progress window lies above the copy dialog, modal to it and
    // enabled, while the copy runs off the window thread; Esc in it cancels
    // the copy as its Cancel does, the engine is told at once, and the new
    // image is taken back.
    void copyProgressIsReachableAndCancels() {
        fs::create_directories(drives_.Dir() / "esc");
        auto form = Start();
        form->ExploreTree->setCurrentItem(ImageNode(*form, "two.kwi"));
        QStringList seen;
        bool retry = false;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\esc\\two.kwi");
            WhenBarReaches(10, [&seen, &dlg] {
                const auto* p = VtfeProgDlg;
                seen << (p->parentWidget() == &dlg ? "owned" : "not owned")
                     << (p->isEnabled() ? "enabled" : "disabled")
                     << (p->isVisible() ? "visible" : "hidden")
                     << (p->windowModality() == Qt::WindowModal ? "modal" : "modeless");
                QTest::keyClick(VtfeProgDlg, Qt::Key_Escape);
                // The engine hears it at its next progress call, not at a poll.
                seen << (EngineCancelSet() ? "engine told" : "engine not told");
            });
            dlg.CopyBtnClick();
            retry = dlg.Retry();
            dlg.reject();
        });
        QCOMPARE(seen, (QStringList{"owned", "enabled", "visible", "modal", "engine told"}));
        QVERIFY(!EngineCancelSet()); // the next operation starts afresh
        QVERIFY(retry);
        QVERIFY(ui_.messages.empty());
        QVERIFY(Listing(drives_.Dir() / "esc").empty());
    }

    // What the library asks from a worker thread is asked on the window
    // thread, the worker waiting for the answer.
    void libraryCallsFromAWorkerAreAnsweredOnTheWindowThread() {
        VTFE_UI_CALLBACK callback(ui_);
        ui_.answers = {MsgAnswer::Ok, MsgAnswer::Cancel};
        const int first = RunOffWindowThread(
            [&callback] { return int(callback.AskMediaNumber("R:\\set.002", 2)); });
        const int second =
            RunOffWindowThread([&callback] { return int(callback.AskNextMedia("R:\\set.003")); });
        QCOMPARE(first, 1);
        QCOMPARE(second, 0);
        QCOMPARE(ui_.messages.size(), size_t(2));
        QCOMPARE(ui_.messages[0].text,
                 QString("Insert media 2 containing file R:\\set.002 into drive R:."));
        QVERIFY(ui_.messages[0].onWindowThread && ui_.messages[1].onWindowThread);
    }

    // One partition appended to an image made with high compression: a
    // cancel midway leaves the image as it was; the next try appends it.
    void appendCancelledMidwayThenAppended() {
        kw::test::FixtureImage target;
        target.description = "target";
        target.createFlags = KW_CREATE_HIGH_COMPRESSION;
        target.parts = {kw::test::FixturePart{"Kept", "", 'C', 0, 0x06, 1, 8, 64, 40}};
        const std::string host = Host("imgs/target.kwi");
        QCOMPARE(kw::test::WriteFixtureImage(host, target), 0);
        const std::string before = PartData(host, 0);

        auto form = Start();
        QTreeWidgetItem* data = Child(ImageNode(*form, "two.kwi"), "F: (DATA)");
        form->ExploreTree->setCurrentItem(data);
        Seen seen;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\imgs\\target.kwi");
            seen.highChecked = dlg.HighCompRBtn->isChecked();
            seen.highEnabled = dlg.HighCompRBtn->isEnabled();
            seen.appendChecked = dlg.AppendChk->isChecked();
            seen.copyCaption = dlg.CopyBtn->text();
            seen.listed = dlg.PartitionTree->topLevelItem(0)->childCount();
            CancelWhenBarReaches(20);
            dlg.CopyBtnClick();
            seen.retry = dlg.Retry() && dlg.result() != QDialog::Accepted;
            dlg.reject();
        });
        QVERIFY(seen.highChecked);
        QVERIFY(!seen.highEnabled);
        QVERIFY(seen.appendChecked);
        QCOMPARE(seen.copyCaption, QString("A&ppend"));
        QCOMPARE(seen.listed, 1);
        QVERIFY(seen.retry);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Confirm Append"));
        QCOMPARE(VerifyImage(host, nullptr), 0);
        PART_STORE* store = kw::test::OpenFixtureImage(host);
        QCOMPARE(store->GetPartCount(), 1u);
        store->Release();
        QCOMPARE(PartData(host, 0), before);
        QVERIFY(Child(form->RecentRoot(), drives_.Shown("T:\\imgs\\target.kwi")) == nullptr);

        ui_.messages.clear();
        form->ExploreTree->setCurrentItem(Child(ImageNode(*form, "two.kwi"), "F: (DATA)"));
        RunCopy(*form, [](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\imgs\\target.kwi");
            dlg.CopyBtnClick();
        });
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(VerifyImage(host, nullptr), 0);
        std::string name;
        QCOMPARE(PartData(host, 0), before);
        QCOMPARE(PartData(host, 1, &name), PartData(Host("imgs/two.kwi"), 1));
        QCOMPARE(name, std::string("DATA")); // the listed partition, not its neighbour
        QVERIFY(Child(form->RecentRoot(), drives_.Shown("T:\\imgs\\target.kwi")) != nullptr);
    }

    // A new split image that fails or is cancelled leaves no file of its set.
    void failedOrCancelledNewImageLeavesNoFile() {
        kw::test::FixtureImage bad;
        kw::test::FixturePart good{"Good", "", 'C', 0, 0x06, 1, 8, 200, 150};
        kw::test::FixturePart damaged{"Damaged", "", 'D', 0, 0x06, 1, 8, 16, 8};
        damaged.recordedUsed = 9; // the bitmap has 8 blocks
        bad.parts = {good, damaged};
        QCOMPARE(kw::test::WriteFixtureImage(Host("imgs/bad.kwi"), bad), 0);
        fs::create_directories(drives_.Dir() / "gone");
        drives_.Dir().Write("gone/keep.txt", "x");

        auto form = Start();
        form->ExploreTree->setCurrentItem(ImageNode(*form, "bad.kwi"));
        bool accepted = true;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\gone\\bad");
            dlg.SplitImgChk->setChecked(true);
            dlg.FileSizeEd->setText("200,000");
            dlg.CopyBtnClick();
            accepted = dlg.result() == QDialog::Accepted;
        });
        QVERIFY(!accepted);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Error 1802: Partition was not copied."));
        QCOMPARE(ui_.messages[0].caption, QString("Partition Copy Error"));
        QCOMPARE(Listing(drives_.Dir() / "gone"), std::set<std::string>{"keep.txt"});

        ui_.messages.clear();
        form->ExploreTree->setCurrentItem(ImageNode(*form, "two.kwi"));
        Seen seen;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\gone\\two.kwi");
            dlg.SplitImgChk->setChecked(true);
            dlg.FileSizeEd->setText("300,000");
            CancelWhenBarReaches(40);
            dlg.CopyBtnClick();
            seen.retry = dlg.Retry();
            dlg.reject();
        });
        QVERIFY(seen.retry);
        QVERIFY(ui_.messages.empty());
        QCOMPARE(Listing(drives_.Dir() / "gone"), std::set<std::string>{"keep.txt"});
    }

    // A copied image pasted on another folder: the dialog proposes the
    // image's own name there, and the new image becomes the selection.
    void pasteOntoFolderMakesAndSelectsTheImage() {
        fs::create_directories(drives_.Dir() / "pasted");
        auto form = Start();
        form->copyPause = 0;
        QTreeWidgetItem* pasted = kw::test::FolderNode(*form, "pasted");
        form->ExploreTree->setCurrentItem(ImageNode(*form, "two.kwi"));
        form->CopyExecute();
        form->ExploreTree->setCurrentItem(pasted);
        QString proposed;
        ui_.modal = [&proposed](QDialog& d) {
            auto& dlg = static_cast<TCopyToImageDlg&>(d);
            dlg.FormShow();
            proposed = dlg.DestEd->text();
            dlg.CopyBtnClick();
            return dlg.result();
        };
        form->PasteExecute();
        QCOMPARE(proposed, drives_.Shown("T:\\pasted\\two.kwi"));
        QVERIFY(ui_.messages.empty());
        QVERIFY(fs::exists(drives_.Dir() / "pasted/two.kwi"));
        QTreeWidgetItem* made = Child(pasted, "two.kwi");
        QVERIFY(made != nullptr);
        QCOMPARE(form->ExploreTree->currentItem(), made);
        QVERIFY(Child(form->RecentRoot(), drives_.Shown("T:\\pasted\\two.kwi")) != nullptr);

        // Pasted on the image it came from: refused.
        form->CopyExecute();
        ui_.modal = nullptr;
        ui_.modalDialogs.clear();
        form->PasteExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Invalid Destination"));
        QVERIFY(ui_.modalDialogs.isEmpty());
    }

    // What the dialog proposes and hands the library, and what it refuses.
    void dialogRulesAndRefusals() {
        drives_.Dir().Write("imgs/New.kwi", "x");
        drives_.Dir().Write("imgs/New1.kwi", "x");
        auto form = Start();
        QTreeWidgetItem* imgs = kw::test::FolderNode(*form, "imgs");
        VtfeItem* image = VtfeItem::OfNode(Child(imgs, "two.kwi"));
        {
            TCopyToImageDlg dlg(form->MakeCopyContext());
            dlg.SetSourceItem(image);
            dlg.SetDestItem(VtfeItem::OfNode(imgs));
            dlg.FormShow();
            QCOMPARE(dlg.DestEd->text(), drives_.Shown("T:\\imgs\\New2.kwi"));
            QVERIFY(!dlg.AppendChk->isEnabled());

            // Browsing: an existing image is examined for appending, a
            // new name taken as it is, the source itself refused.
            kw::test::FixtureImage other;
            other.parts = {kw::test::FixturePart{"P", "", 'C', 0, 0x06, 1, 8, 16, 8}};
            QCOMPARE(kw::test::WriteFixtureImage(Host("imgs/browse.kwi"), other), 0);
            ui_.fileToWrite = QString::fromStdString(Host("imgs/browse.kwi"));
            dlg.BrowseBtnClick();
            QCOMPARE(dlg.DestEd->text(), drives_.Shown("T:\\imgs\\browse.kwi"));
            QVERIFY(dlg.AppendChk->isChecked());
            ui_.fileToWrite = QString::fromStdString(Host("imgs/fresh.kwi"));
            dlg.BrowseBtnClick();
            QCOMPARE(dlg.DestEd->text(), drives_.Shown("T:\\imgs\\fresh.kwi"));
            QVERIFY(!dlg.AppendChk->isEnabled() && !dlg.AppendChk->isChecked());
            QVERIFY(dlg.NoCompRBtn->isEnabled());
            ui_.fileToWrite = QString::fromStdString(Host("imgs/two.kwi"));
            dlg.BrowseBtnClick();
            QCOMPARE(dlg.DestEd->text(), drives_.Shown("T:\\imgs\\fresh.kwi"));
            QCOMPARE(ui_.messages.size(), size_t(1));
            QCOMPARE(ui_.messages[0].text,
                     QString("Source and destination cannot be the same file."));
            ui_.messages.clear();

            const std::pair<const char*, const char*> names[] = {
                {"T:\\out\\copy", "T:\\out\\copy.kwi"},
                {"T:\\my.images\\copy", "T:\\my.images\\copy.kwi"},
                {"T:\\out\\copy.img", "T:\\out\\copy.img"},
            };
            for (const auto& [typed, full] : names) {
                dlg.DestEd->setText(typed);
                QCOMPARE(dlg.FullDestination(), QString(full));
            }
            std::string current;
            QVERIFY(drives_.Vfs().GetCurrentDirectory(&current));
            dlg.DestEd->setText("bare");
            QVERIFY(dlg.FullDestination().endsWith("\\bare.kwi"));
            QVERIFY(dlg.FullDestination().startsWith(QString::fromStdString(current)));

            dlg.FileSizeEd->setText("670,000,000");
            QCOMPARE(dlg.SplitSize(), 0u);
            dlg.SplitImgChk->setChecked(true);
            QCOMPARE(dlg.SplitSize(), 670000000u);
        }

        // A mismatched confirmation is refused before anything is written.
        form->ExploreTree->setCurrentItem(Child(imgs, "two.kwi"));
        bool accepted = true;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\out\\mismatch.kwi");
            dlg.SetPwdRBtn->setChecked(true);
            dlg.PasswordEd->setText("abc");
            dlg.ConfirmPwdEd->setText("abd");
            dlg.CopyBtnClick();
            accepted = dlg.result() == QDialog::Accepted;
        });
        QVERIFY(!accepted);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Password"));
        QVERIFY(!fs::exists(drives_.Dir() / "out/mismatch.kwi"));

        // The same file as source and destination is refused.
        ui_.messages.clear();
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\imgs\\two.kwi");
            accepted = dlg.CopyBtn->isEnabled();
        });
        QVERIFY(!accepted);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Source and destination cannot be the same file."));

        // So is the source named without its extension, once Copy completes
        // the name; the source image is left whole.
        ui_.messages.clear();
        const auto sourceSize = fs::file_size(Host("imgs/two.kwi"));
        accepted = true;
        RunCopy(*form, [&](TCopyToImageDlg& dlg) {
            dlg.DestEd->setText("T:\\imgs\\two");
            dlg.CopyBtnClick();
            accepted = dlg.result() == QDialog::Accepted;
        });
        QVERIFY(!accepted);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Source and destination cannot be the same file."));
        QCOMPARE(ui_.messages[0].caption, QString("Error"));
        QVERIFY(fs::exists(Host("imgs/two.kwi")));
        QCOMPARE(fs::file_size(Host("imgs/two.kwi")), sourceSize);
        fs::remove(drives_.Dir() / "imgs/New.kwi");
        fs::remove(drives_.Dir() / "imgs/New1.kwi");
    }

    // Image sets deleted from the list: a split set of the current format, a
    // set of the older format with its ".KWU" volume and continuations, and a
    // file that is no image; files beside them that are not theirs stay.
    void deletesWholeSetsAndNothingElse() {
        const fs::path del = drives_.Dir() / "del";
        fs::create_directories(del);
        kw::test::FixtureImage split;
        split.volumeLimit = 150000;
        split.parts = {kw::test::FixturePart{"P", "", 'C', 0, 0x06, 1, 8, 100, 100}};
        QCOMPARE(kw::test::WriteFixtureImage(del / "sys.old.kwi", split), 0);
        QVERIFY(fs::exists(del / "sys.old.002"));
        kw::legacy::testing::LegacyImage older;
        older.firstVolume = true;
        older.volumeLimit = 64 * 1024;
        kw::legacy::testing::LegacyPartition part;
        part.usedBlocks = part.blockCount = part.totalSectors = 400;
        part.data.assign(400 * 512, 0x5A);
        part.bitmap.assign(50, 0xFF);
        const auto written = kw::legacy::testing::writeLegacyImage(del / "old.kwi", older, {part});
        QVERIFY(written.size() >= 3);
        for (const char* stranger : {"sys.002", "junk.002", "old.txt"})
            drives_.Dir().Write((fs::path("del") / stranger).string(), "not mine");
        drives_.Dir().Write("del/junk.kwi", std::string(4096, 'j'));

        auto form = Start();
        QTreeWidgetItem* folder = kw::test::FolderNode(*form, "del");
        form->ExploreTree->setCurrentItem(folder);
        const auto selectImages = [&] {
            form->ContentsList->clearSelection();
            for (int i = 0; i < form->ContentsList->topLevelItemCount(); ++i) {
                QTreeWidgetItem* row = form->ContentsList->topLevelItem(i);
                if (row->text(0).endsWith(".kwi")) {
                    form->ContentsList->setCurrentItem(row, 0, QItemSelectionModel::Select);
                }
            }
        };
        selectImages();
        QCOMPARE(form->ContentsList->selectedItems().size(), 3);
        ui_.answers = {MsgAnswer::NoToAll};
        form->DeleteImgExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].buttons, MsgButtons::YesNoAllCancel);
        QVERIFY(fs::exists(del / "old.kwi") && fs::exists(del / "junk.kwi") &&
                fs::exists(del / "sys.old.kwi"));

        ui_.messages.clear();
        selectImages();
        ui_.answers = {MsgAnswer::YesToAll};
        form->DeleteImgExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(Listing(del), (std::set<std::string>{"junk.002", "old.txt", "sys.002"}));
        QCOMPARE(form->ContentsList->topLevelItemCount(), 0);

        // From the tree: the one image, its node gone, its folder selected.
        kw::test::FixtureImage one;
        one.parts = {kw::test::FixturePart{"P", "", 'C', 0, 0x06, 1, 8, 16, 8}};
        QCOMPARE(kw::test::WriteFixtureImage(del / "tree.kwi", one), 0);
        VtfeItem::OfNode(folder)->Expand(true);
        QVERIFY(Child(folder, "tree.kwi") != nullptr);
        form->ExploreTree->setCurrentItem(Child(folder, "tree.kwi"));
        form->ExploreTree->setFocus();
        ui_.messages.clear();
        form->DeleteImgExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].buttons, MsgButtons::YesNo);
        QVERIFY(!fs::exists(del / "tree.kwi"));
        QVERIFY(Child(folder, "tree.kwi") == nullptr);
        QCOMPARE(form->ExploreTree->currentItem(), folder);
    }
};

QTEST_MAIN(CopyTest)
#include "copy_test.moc"
