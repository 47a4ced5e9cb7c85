// The editor's settings in the settings file: defaults, malformed values,
// numeric order of the numbered lists, and a write read back.
#include "app/editor_settings.h"
#include "app/settings_store.h"
#include "tests/platform/temp_dir.h"

#include <QTest>

using namespace kw::app;

class EditorSettingsTest : public QObject {
    Q_OBJECT
    const SettingsKeys keys_ = BuildKeyPaths();

private slots:
    void keyPaths() {
        QCOMPARE(QString::fromStdString(keys_.settings),
                 QString("Software\\Kestrelway\\Veltrane\\4.0\\VTFE\\Settings"));
        QCOMPARE(QString::fromStdString(keys_.recentImages),
                 QString("Software\\Kestrelway\\Veltrane\\4.0\\VTFE\\Recent Images"));
    }

    void valuesReadAsStored_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected"); // "-" for missing
        QTest::newRow("number") << "Width"
                                << "700"
                                << "700";
        QTest::newRow("negative") << "Left"
                                  << "-12"
                                  << "-12";
        QTest::newRow("double word") << "Top"
                                     << "4294967295"
                                     << "-1";
        QTest::newRow("too big") << "Top"
                                 << "4294967296"
                                 << "-";
        QTest::newRow("text") << "Height"
                              << "tall"
                              << "-";
        QTest::newRow("flag 2 is on") << "TextLabels"
                                      << "2"
                                      << "1";
        QTest::newRow("flag 0") << "StatusBar"
                                << "0"
                                << "0";
        QTest::newRow("empty") << "Toolbar"
                               << ""
                               << "-";
    }
    void valuesReadAsStored() {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        MemorySettingsStore store;
        store.File().SetString(keys_.settings, key.toStdString(), stored.toStdString());
        LayoutValues v = ReadLayout(store, keys_);
        auto show = [](auto opt) { return opt ? QString::number(int(*opt)) : QString("-"); };
        QString got = key == "Width"        ? show(v.width)
                      : key == "Left"       ? show(v.left)
                      : key == "Top"        ? show(v.top)
                      : key == "Height"     ? show(v.height)
                      : key == "TextLabels" ? show(v.textLabels)
                      : key == "StatusBar"  ? show(v.statusBar)
                                            : show(v.toolbar);
        QCOMPARE(got, expected);
    }

    void defaults() {
        MemorySettingsStore store;
        EditorDefaults d = ReadDefaults(store, keys_);
        QCOMPARE(d.splitSize, kDefaultSplitSize); // first start: the default, not 0
        QVERIFY(d.restoreLocation.empty());
        for (const char* loc : {"0", "0abc"}) {
            store.File().SetString(keys_.settings, "DefRstrLoc", loc);
            QVERIFY(ReadDefaults(store, keys_).restoreLocation.empty());
        }
        store.File().SetString(keys_.settings, "DefRstrLoc", "D:\\Restored");
        store.File().SetInt(keys_.settings, "DefSplit", 0);
        d = ReadDefaults(store, keys_);
        QCOMPARE(QString::fromStdString(d.restoreLocation), QString("D:\\Restored"));
        QCOMPARE(d.splitSize, kDefaultSplitSize);
    }

    void emptyLocationIsWrittenAsZero() {
        MemorySettingsStore store;
        WriteSettings(store, keys_, LayoutState{}, EditorDefaults{"", 1000000});
        QCOMPARE(QString::fromStdString(store.Values().GetString(keys_.settings, "DefRstrLoc", "")),
                 QString("0"));
        QCOMPARE(ReadDefaults(store, keys_).splitSize, 1000000u);
        QVERIFY(!store.Values().GetString(keys_.settings, "OpenDlgDir"));
    }

    void extensionsKeepNumericOrderAndComeOnce() {
        MemorySettingsStore store;
        const std::string& s = keys_.imageExtensions;
        store.File().SetString(s, "EXT10", ".ten");
        store.File().SetString(s, "EXT2", ".abc");
        store.File().SetString(s, "EXT3", ".ABC");
        store.File().SetString(s, "EXT1", ".KWI");
        QCOMPARE(ReadImageExtensions(store, keys_),
                 (std::vector<std::string>{".kwi", ".abc", ".ten"}));
    }

    void recentImagesRoundTripThroughTheFile() {
        kw::test::TempDir dir;
        std::string path = dir / "settings.ini";
        {
            FileSettingsStore store(path);
            std::vector<std::string> list;
            for (int i = 1; i <= 12; ++i) // past 9: the order is numeric, not textual
                list.push_back("C:\\img\\" + std::to_string(i) + ".kwi");
            list.push_back(std::string(400, 'x') + ".kwi"); // no length limit
            QVERIFY(WriteRecentImages(store, keys_, list));
        }
        FileSettingsStore again(path);
        std::vector<std::string> read = ReadRecentImages(again, keys_);
        QCOMPARE(read.size(), size_t(13));
        QCOMPARE(QString::fromStdString(read[9]), QString("C:\\img\\10.kwi"));
        QCOMPARE(read[12].size(), size_t(404));
        QVERIFY(WriteRecentImages(again, keys_, {}));
        QVERIFY(ReadRecentImages(FileSettingsStore(path), keys_).empty());
    }

    void otherSectionsOfTheFileSurvive() {
        kw::test::TempDir dir;
        std::string path = dir / "settings.ini";
        FileSettingsStore store(path);
        // Another part of the program writes the file meanwhile.
        kw::settings::SettingsFile other(path);
        other.SetString("Disks", "AllowWrites", "1");
        QVERIFY(other.Save());
        QVERIFY(SetOpenDlgDir(store, keys_, "C:\\images"));
        kw::settings::SettingsFile check(path);
        QVERIFY(check.Load());
        QCOMPARE(QString::fromStdString(check.GetString("Disks", "AllowWrites", "")), QString("1"));
        QCOMPARE(QString::fromStdString(GetOpenDlgDir(store, keys_)), QString("C:\\images"));
    }
};

QTEST_MAIN(EditorSettingsTest)
#include "editor_settings_test.moc"
