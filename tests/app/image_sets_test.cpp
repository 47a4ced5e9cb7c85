// What the editor's writes leave when they cannot finish: an image held by
// another writer is not deleted, a damaged set goes whole, a failed append
// of several partitions keeps those copied before the failure and names
// them, and a failed new image takes the folders it made with it. Images
// are written by the image library at test time.
#include "app/dialogs/copy_to_image_dlg.h"
#include "app/explorer/vtfe_item.h"
#include "app/image_sets.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "kwvaults.h"
#include "tests/app/app_fixture.h"
#include "tests/app/form_fixture.h"
#include "tests/app/image_fixture.h"

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <fstream>
#include <set>

using namespace kw::app;
using kw::test::Child;
namespace fs = std::filesystem;

namespace {

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

// A part of 100 used blocks of 4 KiB: with a volume limit of 150,000 bytes
// its image spans several volume files.
kw::test::FixtureImage SplitImage() {
    kw::test::FixtureImage image;
    image.volumeLimit = 150000;
    image.parts = {kw::test::FixturePart{"P", "", 'C', 0, 0x06, 1, 8, 100, 100}};
    return image;
}

// The names of the parts of an image, in order; "unreadable" when it does
// not open.
std::vector<std::string> PartNames(const std::string& hostImage) {
    PART_STORE* store = kw::test::OpenFixtureImage(hostImage);
    if (store == nullptr)
        return {"unreadable"};
    std::vector<std::string> names;
    for (uint32_t i = 0; i < store->GetPartCount(); ++i) {
        char text[64] = {};
        store->SelectPart(i);
        store->GetPartName(text, sizeof text);
        names.emplace_back(text);
    }
    store->Release();
    return names;
}

void Overwrite(const fs::path& file, size_t at, const std::string& bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(at));
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

} // namespace

class ImageSetsTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;

    std::unique_ptr<TMainForm> Start() { return kw::test::StartMainForm(ui_, settings_, drives_); }
    fs::path Dir(const char* relative) { return drives_.Dir() / relative; }

private slots:
    void initTestCase() {
        kw::test::UseEmptyDisk(drives_.Dir());
        fs::create_directories(Dir("imgs"));
        kw::test::FixtureImage bad;
        kw::test::FixturePart good{"Good", "", 'C', 0, 0x06, 1, 8, 200, 150};
        kw::test::FixturePart damaged{"Damaged", "", 'D', 0, 0x06, 1, 8, 16, 8};
        damaged.recordedUsed = 9; // the bitmap has 8 blocks: its copy fails
        bad.parts = {good, damaged};
        QCOMPARE(kw::test::WriteFixtureImage(Dir("imgs/bad.kwi"), bad), 0);
        kw::test::FixtureImage two;
        two.parts = {kw::test::FixturePart{"One", "", 'C', 0, 0x06, 1, 8, 16, 8},
                     kw::test::FixturePart{"Two", "", 'D', 0, 0x06, 1, 8, 16, 4}};
        QCOMPARE(kw::test::WriteFixtureImage(Dir("imgs/two.kwi"), two), 0);
        kw::test::FixtureImage holed;
        kw::test::FixturePart lying{"Lying", "", 'D', 0, 0x06, 1, 8, 16, 8};
        lying.recordedUsed = 2000000; // more used blocks than the part has
        holed.parts = {good, lying};
        QCOMPARE(kw::test::WriteFixtureImage(Dir("imgs/holed.kwi"), holed), 0);
    }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modal = nullptr;
    }

    // An image that another writer holds open is never deleted, from the
    // tree or by the library's set function; once it is let go, it is.
    void imageInUseIsNotDeleted() {
        const fs::path del = Dir("inuse");
        fs::create_directories(del);
        QCOMPARE(kw::test::WriteFixtureImage(del / "held.kwi", SplitImage()), 0);
        const std::set<std::string> before = Listing(del);
        QVERIFY(before.count("held.002") == 1);
        int32_t error = 0;
        PART_STORE* writer =
            PartStoreOpenWriteOnly((del / "held.kwi").c_str(), 0, 0, nullptr, &error);
        QVERIFY(writer != nullptr);

        auto form = Start();
        QTreeWidgetItem* folder = kw::test::FolderNode(*form, "inuse");
        form->ExploreTree->setCurrentItem(Child(folder, "held.kwi"));
        form->ExploreTree->setFocus();
        form->DeleteImgExecute();
        QCOMPARE(ui_.messages.size(), size_t(2));
        QCOMPARE(ui_.messages[1].text,
                 "Cannot delete file " + drives_.Shown("T:\\inuse\\held.kwi") + ".");
        QCOMPARE(ui_.messages[1].caption, QString("Error"));
        QVERIFY(Child(folder, "held.kwi") != nullptr);
        QCOMPARE(Listing(del), before);
        QCOMPARE(DeleteImageSet(drives_.Vfs(), "T:\\inuse\\held.kwi", nullptr),
                 int32_t(ERR_IMG_OPEN));
        QCOMPARE(Listing(del), before);

        writer->Release();
        QCOMPARE(DeleteImageSet(drives_.Vfs(), "T:\\inuse\\held.kwi", nullptr), 0);
        QVERIFY(Listing(del).empty());
    }

    // A set of the current format that no longer opens goes with every
    // volume file of it; files that only look like its neighbours stay.
    void damagedSetIsDeletedWhole_data() {
        QTest::addColumn<size_t>("at");
        QTest::newRow("first record") << size_t(0);
        QTest::newRow("first chunk's data") << size_t(4000);
    }
    void damagedSetIsDeletedWhole() {
        QFETCH(size_t, at);
        const fs::path del = Dir("damaged");
        fs::create_directories(del);
        QCOMPARE(kw::test::WriteFixtureImage(del / "sys.kwi", SplitImage()), 0);
        QVERIFY(fs::exists(del / "sys.003"));
        Overwrite(del / "sys.kwi", at, std::string(96, '\x5A'));
        QVERIFY(kw::test::OpenFixtureImage(del / "sys.kwi") == nullptr);
        drives_.Dir().Write("damaged/sys.txt", "not mine");
        drives_.Dir().Write("damaged/sys.009", "not mine");

        QCOMPARE(DeleteImageSet(drives_.Vfs(), "T:\\damaged\\sys.kwi", nullptr), 0);
        QCOMPARE(Listing(del), (std::set<std::string>{"sys.009", "sys.txt"}));
        fs::remove_all(del);
    }

    // A partition the image lists as damaged is shown in its place with its
    // error, and opening it says so; the other stays browsable.
    void damagedPartitionIsShownWithItsError() {
        auto form = Start();
        QTreeWidgetItem* image = kw::test::ImageNode(*form, "imgs", "holed.kwi");
        QVERIFY(image != nullptr);
        QCOMPARE(image->childCount(), 2);
        QVERIFY(ui_.messages.empty());
        form->ExploreTree->setCurrentItem(image);
        QTreeWidgetItem* row = kw::test::Row(form->ContentsList, "*: (Damaged)");
        QVERIFY(row != nullptr);
        QCOMPARE(row->text(2), QString("Damaged (error 1802)"));
        QCOMPARE(kw::test::Row(form->ContentsList, "C: (Good)")->text(2), QString("FAT"));
        QTreeWidgetItem* damaged = Child(image, "*: (Damaged)");
        QVERIFY(!VtfeItem::OfNode(damaged)->Expand(false));
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(
            ui_.messages[0].text,
            QString("Error 1802: This partition of the image is damaged and cannot be opened."));
        form->ExploreTree->setCurrentItem(damaged);
        QCOMPARE(ui_.messages.size(), size_t(1)); // said once
        QVERIFY(kw::test::Row(form->ContentsList, "Damaged partition (error 1802).") != nullptr);
    }

    // A partition whose file system the engine reads no files of says so in
    // words when it is opened, instead of showing an empty folder.
    void partitionWithoutFileAccessSaysSo() {
        kw::test::FixtureImage hpfs;
        hpfs.parts = {kw::test::FixturePart{"Os2", "", 'D', 0, 0x07, 7, 8, 16, 8}};
        QCOMPARE(kw::test::WriteFixtureImage(Dir("imgs/hpfs.kwi"), hpfs), 0);
        auto form = Start();
        QTreeWidgetItem* image = kw::test::ImageNode(*form, "imgs", "hpfs.kwi");
        QVERIFY(image != nullptr);
        QTreeWidgetItem* part = Child(image, "D: (Os2)");
        QVERIFY(part != nullptr);
        QVERIFY(!VtfeItem::OfNode(part)->Expand(false));
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text,
                 QString("Restoring a file from this partition type is not currently supported."));
        form.reset();
        fs::remove(Dir("imgs/hpfs.kwi"));
    }

    // Two partitions appended where the second fails: the image keeps the
    // first, committed, and the user learns which partitions it kept, so
    // that another try does not store them twice. It takes appends after.
    void failedAppendKeepsThePartitionsCopiedBeforeIt() {
        const std::string target = Dir("imgs/target.kwi");
        kw::test::FixtureImage image;
        image.parts = {kw::test::FixturePart{"Before", "", 'C', 0, 0x06, 1, 8, 64, 40}};
        QCOMPARE(kw::test::WriteFixtureImage(target, image), 0);
        const auto appendFrom = [&](const QString& source) {
            auto form = Start();
            form->ExploreTree->setCurrentItem(kw::test::ImageNode(*form, "imgs", source));
            kw::test::RunCopy(*form, ui_, [](TCopyToImageDlg& dlg) {
                dlg.DestEd->setText("T:\\imgs\\target.kwi");
                dlg.CopyBtnClick();
            });
        };

        appendFrom("bad.kwi");
        QCOMPARE(ui_.messages.size(), size_t(3)); // the confirmation, the error, the list
        QCOMPARE(ui_.messages[1].text, QString("Error 1802: Partition was not copied."));
        QCOMPARE(ui_.messages[2].text, "These partitions were appended to the image " +
                                           drives_.Shown("T:\\imgs\\target.kwi") +
                                           " before the failure and are kept:\nC: (Good)");
        QCOMPARE(ui_.messages[2].caption, QString("Partition Copy Error"));
        QCOMPARE(ui_.messages[2].icon, MsgIcon::Warning);
        QCOMPARE(PartNames(target), (std::vector<std::string>{"Before", "Good"}));
        QCOMPARE(VerifyImage(target, nullptr), 0);

        ui_.messages.clear();
        appendFrom("two.kwi");
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(PartNames(target), (std::vector<std::string>{"Before", "Good", "One", "Two"}));
        QCOMPARE(VerifyImage(target, nullptr), 0);
    }

    // A new image that fails takes the folders made for it along; a folder
    // that was there before, or that holds something else, stays.
    void failedNewImageRemovesTheFoldersItMade() {
        fs::create_directories(Dir("there"));
        const std::pair<const char*, const char*> cases[] = {
            {"T:\\made\\deep\\bad.kwi", "made"},
            {"T:\\there\\deep\\bad.kwi", "there/deep"},
        };
        for (const auto& [destination, gone] : cases) {
            ui_.messages.clear();
            auto form = Start();
            form->ExploreTree->setCurrentItem(kw::test::ImageNode(*form, "imgs", "bad.kwi"));
            kw::test::RunCopy(*form, ui_, [d = destination](TCopyToImageDlg& dlg) {
                dlg.DestEd->setText(d);
                dlg.CopyBtnClick();
            });
            QCOMPARE(ui_.messages.size(), size_t(1));
            QCOMPARE(ui_.messages[0].caption, QString("Partition Copy Error"));
            QVERIFY2(!fs::exists(Dir(gone)), gone);
        }
        QVERIFY(fs::exists(Dir("there")));
    }

    // The delete question names the image and how many files its set has.
    void deleteQuestionNamesTheImageAndItsFiles() {
        kw::test::FixtureImage split;
        split.volumeLimit = 200000;
        split.parts = {kw::test::FixturePart{"Big", "", 'C', 0, 0x06, 1, 8, 200, 150}};
        fs::create_directories(Dir("asked"));
        QCOMPARE(kw::test::WriteFixtureImage(Dir("asked/set.kwi"), split), 0);
        int files = 1;
        while (fs::exists(Dir("asked") / ("set.00" + std::to_string(files + 1))))
            ++files;
        auto form = Start();
        form->ExploreTree->setCurrentItem(kw::test::ImageNode(*form, "asked", "set.kwi"));
        ui_.messages.clear();
        ui_.answers = {MsgAnswer::No};
        form->DeleteImg->trigger();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text,
                 QString("If you continue, the image %1 will be deleted with all %2 files of its "
                         "set.\nAre you sure you want to continue?")
                     .arg(QString::fromStdString(Dir("asked/set.kwi")))
                     .arg(files));
        QVERIFY(fs::exists(Dir("asked/set.kwi")));
    }

    // A volume of a split image that is not where the set expects it is
    // asked for by name when the image is opened or verified: Cancel stops
    // without an error box; browsing to where it was moved opens and verifies
    // the image.
    void missingVolumeIsAskedForByName() {
        kw::test::FixtureImage split;
        split.volumeLimit = 200000;
        split.parts = {kw::test::FixturePart{"Big", "", 'C', 0, 0x06, 1, 8, 200, 150}};
        fs::create_directories(Dir("split"));
        fs::create_directories(Dir("moved"));
        QCOMPARE(kw::test::WriteFixtureImage(Dir("split/set.kwi"), split), 0);
        QVERIFY(fs::exists(Dir("split/set.003")));
        fs::rename(Dir("split/set.002"), Dir("moved/elsewhere.002"));
        const QString prompt = "The volume " + QString::fromStdString(Dir("split/set.002")) +
                               " of the image " + QString::fromStdString(Dir("split/set.kwi")) +
                               " was not found.\n\nBrowse to it, or Cancel.";
        auto form = Start();
        QTreeWidgetItem* image = kw::test::ImageNode(*form, "split", "set.kwi");
        QCOMPARE(image->childCount(), 1); // its directory is in the last volume
        form->ExploreTree->setCurrentItem(image);
        ui_.messages.clear();
        ui_.answers = {MsgAnswer::Cancel};
        form->VerifyImg->trigger();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, prompt);
        QCOMPARE(ui_.messages[0].buttons, MsgButtons::BrowseCancel);
        kw::test::SaveShot(*form, "missing_volume.png");

        ui_.messages.clear();
        ui_.answers = {MsgAnswer::Browse};
        ui_.filesToOpen = {QString::fromStdString(Dir("moved/elsewhere.002"))};
        form->VerifyImg->trigger();
        QStringList texts;
        for (const auto& m : ui_.messages)
            texts << m.text;
        QCOMPARE(texts, (QStringList{prompt, "Image is valid."}));
        QCOMPARE(fs::read_symlink(Dir("split/set.002")), Dir("moved/elsewhere.002"));
        QCOMPARE(ui_.logged.size(), 1);
        ui_.filesToOpen.clear();
    }
};

QTEST_MAIN(ImageSetsTest)
#include "image_sets_test.moc"
