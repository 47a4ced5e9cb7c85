// A recorded append replayed through the states a power loss may leave. Every
// write, size change and flush of the volume files and every folder sync of
// one append is recorded through a file filter; before each flush and sync
// (and at the end) the files as written and as last made durable are kept.
// From each such moment the permitted crash states are built: writes since a
// file's last flush lost, kept, or kept but for one 4 KiB page or one 512-byte
// sector, or the file cut short; files made or removed since the last folder
// sync there or not. Each state must open with the committed streams byte
// for byte (the appended one whole or absent), verify, and take an append.
#include "container_test_util.h"

#include <algorithm>
#include <memory>
#include <set>

namespace kwv::test {
namespace {

using Files = std::map<std::string, std::vector<uint8_t>>;

constexpr size_t kPage = 4096;
constexpr size_t kSector = 512;

// The files of a folder at one moment: as written, and what a power loss
// keeps for certain (the contents at each file's last flush, the names as of
// the last folder sync).
struct Moment {
    Files written;
    Files flushed;
    std::set<std::string> durableNames;
};

class Journal {
public:
    explicit Journal(std::string folder) : folder_(std::move(folder)) {
        flushed_ = FolderBytes(folder_);
        for (const auto& [name, bytes] : flushed_) {
            durableNames_.insert(name);
        }
    }
    void Capture() { moments_.push_back({FolderBytes(folder_), flushed_, durableNames_}); }
    void Flushed(const std::string& path) {
        const std::string name = std::filesystem::path(path).filename().string();
        flushed_[name] = FileBytes(path);
    }
    void FolderSynced() {
        durableNames_.clear();
        for (const auto& e : std::filesystem::directory_iterator(folder_)) {
            durableNames_.insert(e.path().filename().string());
        }
    }
    const std::vector<Moment>& Moments() const { return moments_; }

private:
    std::string folder_;
    Files flushed_;
    std::set<std::string> durableNames_;
    std::vector<Moment> moments_;
};

class RecordingFile final : public VolumeFile {
public:
    RecordingFile(std::unique_ptr<VolumeFile> inner, std::string path, Journal* journal)
        : inner_(std::move(inner)), path_(std::move(path)), journal_(journal) {}
    bool ReadAt(uint64_t o, void* b, uint32_t n, uint32_t* done) override {
        return inner_->ReadAt(o, b, n, done);
    }
    bool WriteAt(uint64_t o, const void* d, uint32_t n, uint32_t* done) override {
        return inner_->WriteAt(o, d, n, done);
    }
    bool GetSize(uint64_t* size) override { return inner_->GetSize(size); }
    bool SetSize(uint64_t size) override { return inner_->SetSize(size); }
    bool Flush() override {
        journal_->Capture();
        const bool ok = inner_->Flush();
        journal_->Flushed(path_);
        return ok;
    }
    bool TryLock() override { return inner_->TryLock(); }

private:
    std::unique_ptr<VolumeFile> inner_;
    std::string path_;
    Journal* journal_;
};

class Recording {
public:
    explicit Recording(Journal* journal) {
        volfiles::SetFileFilterForTests([journal](std::unique_ptr<VolumeFile> file,
                                                  const std::string& path) {
            return std::unique_ptr<VolumeFile>(new RecordingFile(std::move(file), path, journal));
        });
        volfiles::SetFolderSyncForTests([journal](const std::string&) {
            journal->Capture();
            journal->FolderSynced();
            return true;
        });
    }
    ~Recording() {
        volfiles::SetFileFilterForTests(nullptr);
        volfiles::SetFolderSyncForTests(nullptr);
    }
};

// `bytes` with [at, at + n) as `old` holds it (zeros past its end).
std::vector<uint8_t> Reverted(std::vector<uint8_t> bytes, const std::vector<uint8_t>& old,
                              size_t at, size_t n) {
    for (size_t i = at; i < std::min(at + n, bytes.size()); ++i) {
        bytes[i] = i < old.size() ? old[i] : 0;
    }
    return bytes;
}

// The places where a stale page or sector is tried in a file that changed:
// in every changed chunk, its first, a middle and its last changed page, and
// its first and a middle changed sector.
std::vector<std::pair<size_t, size_t>> StalePlaces(const std::vector<uint8_t>& now,
                                                   const std::vector<uint8_t>& old) {
    std::vector<std::pair<size_t, size_t>> places;
    const auto differs = [&](size_t at, size_t n) {
        for (size_t i = at; i < std::min(at + n, now.size()); ++i) {
            if (i >= old.size() || now[i] != old[i]) {
                return true;
            }
        }
        return false;
    };
    for (size_t chunk = 0; chunk < now.size(); chunk += kPlainChunkSize) {
        std::vector<size_t> pages, sectors;
        for (size_t p = chunk; p < std::min(chunk + kPlainChunkSize, now.size()); p += kPage) {
            if (differs(p, kPage)) {
                pages.push_back(p);
            }
        }
        if (pages.empty()) {
            continue;
        }
        for (size_t s = pages.front(); s < pages.front() + kPage; s += kSector) {
            if (differs(s, kSector)) {
                sectors.push_back(s);
            }
        }
        for (size_t p : {pages.front(), pages[pages.size() / 2], pages.back()}) {
            places.emplace_back(p, kPage);
        }
        places.emplace_back(sectors.front(), kSector);
        places.emplace_back(sectors[sectors.size() / 2], kSector);
    }
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    return places;
}

// Every crash state of one moment.
std::vector<Files> CrashStates(const Moment& m) {
    std::set<std::string> names(m.durableNames);
    for (const auto& [name, bytes] : m.written) {
        names.insert(name);
    }
    const auto old = [&](const std::string& name) {
        const auto it = m.flushed.find(name);
        return it == m.flushed.end() ? std::vector<uint8_t>{} : it->second;
    };
    // Which names exist: as of the last folder sync, or as now.
    const auto state = [&](bool durableNames, bool kept) {
        Files files;
        for (const std::string& name : names) {
            const bool now = m.written.count(name) != 0;
            if (durableNames ? m.durableNames.count(name) == 0 : !now) {
                continue;
            }
            files[name] = kept && now ? m.written.at(name) : old(name);
        }
        return files;
    };
    std::vector<Files> states = {state(true, false), state(false, false), state(true, true),
                                 state(false, true)};
    const Files kept = state(false, true);
    for (const auto& [name, now] : m.written) {
        const std::vector<uint8_t> was = old(name);
        if (now == was) {
            continue;
        }
        for (const auto& [at, n] : StalePlaces(now, was)) {
            Files s = kept;
            s[name] = Reverted(now, was, at, n);
            states.push_back(std::move(s));
        }
        if (now.size() > was.size()) { // the file's new length lost, or half of it
            Files s = kept;
            s[name].resize(was.size() + (now.size() - was.size()) / 2);
            states.push_back(s);
            s[name].resize(was.size());
            states.push_back(std::move(s));
        }
    }
    return states;
}

TEST(ContainerReplay, EveryCrashStateOfARecordedAppendKeepsTheCommittedSet) {
    Threads threads(1);
    TempFolder rec, crash;
    const uint32_t limit = 2 * kPlainChunkSize; // the committed set spans two volumes
    const auto one = MixedBytes(150000, 1), two = MixedBytes(170000, 2),
               three = MixedBytes(500000, 3), four = MixedBytes(140000, 4);
    const std::string path = rec.File("p.kwi");
    int err = -1;
    StoreContainer* c = CreateContainer(path.c_str(), nullptr, limit, 0,
                                        kOptPayloadCrc | kOptOldSignature, nullptr, &err);
    ASSERT_NE(c, nullptr) << err;
    ASSERT_EQ(WriteStream(c, "one", one), 0);
    ASSERT_EQ(WriteStream(c, "two", two), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();

    Journal journal(rec.Path());
    {
        Recording recording(&journal);
        c = OpenContainerForAppend(path.c_str(), limit, 0, nullptr, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "three", three), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
        journal.Capture(); // after the commit
    }
    ASSERT_GE(journal.Moments().size(), 5u);
    const std::string copy = crash.File("p.kwi");
    size_t tried = 0;
    for (size_t k = 0; k < journal.Moments().size(); ++k) {
        const std::vector<Files> states = CrashStates(journal.Moments()[k]);
        for (size_t s = 0; s < states.size(); ++s) {
            SCOPED_TRACE("moment " + std::to_string(k) + ", state " + std::to_string(s));
            RestoreFolder(crash.Path(), states[s]);
            EXPECT_EQ(ReadBack(copy, "one", one), 0);
            EXPECT_EQ(ReadBack(copy, "two", two), 0);
            const int third = ReadBack(copy, "three", three);
            EXPECT_TRUE(third == 0 || third == kStoreNoSuchStream) << third;
            EXPECT_EQ(Verify(copy), 0);
            // Every few states, and the last of each moment: the next append.
            if (++tried % 5 != 0 && s + 1 != states.size()) {
                continue;
            }
            c = OpenContainerForAppend(copy.c_str(), limit, 0, nullptr, &err);
            ASSERT_NE(c, nullptr) << err;
            ASSERT_EQ(WriteStream(c, "four", four), 0);
            ASSERT_EQ(c->Close(), 0);
            c->Release();
            EXPECT_EQ(ReadBack(copy, "two", two), 0);
            EXPECT_EQ(ReadBack(copy, "three", three), third);
            EXPECT_EQ(ReadBack(copy, "four", four), 0);
            EXPECT_EQ(Verify(copy), 0);
        }
    }
    // The moment after the commit keeps the appended stream.
    RestoreFolder(crash.Path(), journal.Moments().back().written);
    EXPECT_EQ(ReadBack(copy, "three", three), 0);
    RecordProperty("crash states", int(tried));
}

} // namespace
} // namespace kwv::test
